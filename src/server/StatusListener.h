#pragma once
// The status port for load balancers and monitoring: plain HTTP on a port of
// its own, answering GET /health (200 while the listener accepts, 503 from
// the moment a stop begins or when the listener has ended) and GET /metrics
// (the counters in the Prometheus text format). It writes nothing to the
// daily log, so health checks every few seconds leave no trace there.

#include <cstdint>
#include <memory>
#include <string>

#include "base/Thread.h"
#include "platform/UniqueHandle.h"
#include "server/WorkerSet.h"
#include "transfer/SocketLib.h"

class TStatusListener : public TThread {
 public:
  // Binds and listens on `address` (host order) and `port` (0: the system
  // chooses). On failure the cause is logged under `logPath` and
  // std::runtime_error("Status Listener Initialize Error.") is thrown.
  TStatusListener(std::uint32_t address, int port, const std::string& logPath);
  ~TStatusListener() override;

  int Port() const;
  // Sets the terminate flag; the loop sees it within one second.
  void Stop();
  // The workers whose open connections /metrics shows; before Resume.
  // Without them the count is 0.
  void CountWorkers(std::shared_ptr<const TWorkerSet> workers);

 protected:
  void Execute() override;

 private:
  void Serve(TSocket socket);

  platform::UniqueSocket FListenSocket;
  std::shared_ptr<const TWorkerSet> FWorkers;
};

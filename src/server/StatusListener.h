#pragma once
// The status port for load balancers and monitoring: plain HTTP on a port of
// its own, answering GET /health (200 while the listener accepts, 503 from
// the moment a stop begins, when the listener has ended, or while
// connections are closed for want of a thread), GET /metrics (the
// counters in the Prometheus text format), GET /transfers (every open
// connection's progress as JSON), GET /bans (the banned addresses as JSON),
// GET / (a page that shows them) and, for
// the holder of the token, POST /transfers/ID/cut. One thread serves every status
// connection side by side, each within a deadline of its own, so that an
// idle or slow client never holds up a balancer's health check. It writes
// nothing to the daily log but accept failures, so health checks every few
// seconds leave no trace there.

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "base/Thread.h"
#include "server/AcceptFailures.h"
#include "platform/IpAddress.h"
#include "platform/UniqueHandle.h"
#include "server/LiveAccess.h"
#include "server/WorkerSet.h"
#include "transfer/SocketLib.h"

class TStatusListener : public TThread {
 public:
  // Binds and listens on each of `addresses` at `port` (0: the system
  // chooses). On failure the cause is logged under `logPath` and
  // std::runtime_error("Status Listener Initialize Error.") is thrown. A cut
  // needs "Authorization: Bearer `token`"; with no token, cuts are refused.
  TStatusListener(const std::vector<platform::IpAddress>& addresses, int port, const std::string& logPath,
                  std::string token = "");
  // Stops, then waits for the loop to end.
  ~TStatusListener() override;

  int Port() const;
  // Sets the terminate flag; the loop sees it within one second.
  void Stop();
  // The workers whose open connections /metrics counts and /transfers
  // shows, and a cut ends; before Resume. Without them there are none.
  void CountWorkers(std::shared_ptr<TWorkerSet> workers);
  // The bans that /bans lists and /metrics counts; before Resume. Without
  // them there are none.
  void ShowBans(std::shared_ptr<const TLiveAccess> access);

 protected:
  void Execute() override;

 private:
  using TClock = std::chrono::steady_clock;
  // One accepted connection: its request is read, then the answer is sent,
  // both before its deadline.
  struct TClient {
    platform::UniqueSocket Socket;
    TClock::time_point Deadline;
    std::string Request;
    std::string Answer;  // empty while the head is still coming
    std::size_t Sent = 0;
  };

  // One wait on the listening socket and every client, and what it found.
  void ServeOnce();
  void Accept(TSocket listening);
  // Reads or sends what the client's socket has or takes now; false once the
  // client is done with, answered or not.
  bool Step(TClient& client);
  // The answer to a whole request ("METHOD PATH VERSION\r\n...").
  std::string Answer(const std::string& request);
  std::string CutAnswer(const std::string& head, std::uint64_t id);

  const std::string FLogPath;
  const std::string FToken;
  std::vector<platform::UniqueSocket> FListenSockets;
  std::shared_ptr<TWorkerSet> FWorkers;
  std::shared_ptr<const TLiveAccess> FAccess;
  std::vector<TClient> FClients;
  // After a failed accept, the next one waits until then.
  TClock::time_point FAcceptAfter;
  TAcceptFailures FAcceptFailures;
};

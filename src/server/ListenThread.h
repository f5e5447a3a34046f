#pragma once
// The listener: owns the listening socket, waits for connections in 10-second
// waits and gives each accepted one to a worker of its own.

#include <cstdint>

#include "base/Thread.h"
#include "base/Throttle.h"
#include "platform/UniqueHandle.h"
#include "platform/WakeableWait.h"
#include "server/ServerConfig.h"
#include "transfer/SocketLib.h"

class TListenThread : public TThread {
 public:
  // Binds and listens on the configured address and port. On failure the
  // cause is logged and std::runtime_error("Listen Thread Initialize
  // Error.") is thrown. Every worker shares `config`.
  explicit TListenThread(TServerConfigPtr config);
  ~TListenThread() override;

  // The port actually bound (the one given, or the system's choice for 0).
  int Port() const;

  // Sets the terminate flag and ends the current wait at once rather than at
  // the end of its 10 seconds, so that a stop does not keep the service
  // manager waiting. Never blocks.
  void Stop();

 protected:
  void Execute() override;

 private:
  void StartWorker(TSocket socket);
  bool RefuseOverLimit(TSocket socket);
  void AcceptFailed(const std::string& error);

  platform::UniqueSocket FListenSocket;
  const TServerConfigPtr FConfig;
  platform::WakeableWait FWait;
  // One line a minute is enough to tell the operator; a flood of refused
  // connections or failed accepts must not flood the log too.
  TThrottle FLimitLines{60};
  TThrottle FAcceptLines{60};
  // The workers' threads, kept for the next connection when one ends.
  TThreadCache FWorkerThreads{kStackBytes};
};

// Posts a quit message to every other thread of the process that runs a
// message loop. Throws std::runtime_error when the threads cannot be
// enumerated.
void QuitOtherThreads();

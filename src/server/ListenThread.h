#pragma once
// The listener: owns the listening socket, waits for connections in 10-second
// waits and gives each accepted one to a worker of its own.

#include <cstdint>

#include "transfer/SocketLib.h"
#include "transfer/Thread.h"

class TListenThread : public TThread {
 public:
  // Binds and listens on all IPv4 interfaces. On failure the cause is logged
  // and std::runtime_error("Listen Thread Initialize Error.") is thrown.
  explicit TListenThread(std::int32_t port);
  ~TListenThread() override;

  // The port actually bound (the one given, or the system's choice for 0).
  int Port() const;

  // Sets the terminate flag and ends the current wait at once rather than at
  // the end of its 10 seconds, so that a stop does not keep the service
  // manager waiting.
  void Stop();

 protected:
  void Execute() override;

 private:
  void StartWorker(TSocket socket);

  TSocket FListenSocket = INVALID_SOCK;
};

// Posts a quit message to every other thread of the process that runs a
// message loop. Throws std::runtime_error when the threads cannot be
// enumerated.
void QuitOtherThreads();

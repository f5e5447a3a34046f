#pragma once
// The listener: owns the listening sockets (one per configured address) and
// the workers. There is no thread of its own that accepts and hands over:
// one idle worker thread at a time leads, waiting on all the sockets in
// 10-second waits; once it has accepted
// a connection it passes the lead to another idle thread (or a new one) and
// serves that connection itself, from handshake to close. With a [TLS] port
// the same leader waits on that port's sockets too, and a connection taken
// from one of them is served over TLS.

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "base/Throttle.h"
#include "platform/Tls.h"
#include "platform/UniqueHandle.h"
#include "platform/WakeableWait.h"
#include "server/AcceptFailures.h"
#include "server/ServerConfig.h"
#include "server/TransferPace.h"
#include "server/WorkerSet.h"
#include "transfer/SocketLib.h"

class TProcessThread;

class TListenThread {
 public:
  // Binds and listens on each configured address at the port, and at the
  // TLS port when there is one. On failure the cause is logged and
  // std::runtime_error("Listen Thread Initialize Error.") is thrown; a
  // certificate or key that cannot be used throws std::runtime_error with a
  // text that names the file and the reason. Every worker shares `config`.
  explicit TListenThread(TServerConfigPtr config);
  TListenThread(const TListenThread&) = delete;
  TListenThread& operator=(const TListenThread&) = delete;
  // Stops, waits until no thread leads, and closes the sockets. Workers still
  // serving go on; the set they share outlives the listener.
  ~TListenThread();

  // The port actually bound (the one given, or the system's choice for 0).
  int Port() const;
  // The TLS port actually bound; -1 without one.
  int TlsPort() const;

  // Reads the TLS certificate, key and client authorities again from the
  // configured files: connections accepted from now on use them, those
  // running keep theirs. When the new files cannot be used, the ones in use
  // stay, the line says why, and the result is false with the reason in
  // `error`. True at once without a TLS port.
  bool ReloadTls(std::string& error);

  // Starts accepting. Throws std::system_error when no thread can be made.
  void Resume();
  // Sets the terminate flag and ends the current wait at once rather than at
  // the end of its 10 seconds, so that a stop does not keep the service
  // manager waiting. Never blocks.
  void Stop();
  // The flag alone: the leading thread sees it at the end of its wait.
  void Terminate() { FTerminated = true; }
  bool Terminated() const { return FTerminated; }
  // Waits until no thread leads any more; never for a connection's worker.
  void WaitFor();

  std::shared_ptr<TWorkerSet> Workers() const { return FWorkers; }

 private:
  // A thread's turn as the leader; it returns after serving the connection
  // it took, or when the listener stops.
  static void Lead(void* listener);
  std::unique_ptr<TProcessThread> LeadUntilTaken();
  // The next connection with a worker for it, once the lead has passed to
  // another thread; null when the listener stops.
  std::unique_ptr<TProcessThread> NextConnection();
  // One wait on every listening socket: the index in FListenSockets of one
  // that has a connection to accept, or FListenSockets.size() after a
  // time-out or a stop.
  std::size_t NextReady();
  std::shared_ptr<const platform::TlsContext> CurrentTls() const;
  void EndLeading();
  bool RefuseOverLimit(TSocket socket);
  // Closes `socket`, held by `worker`, for which no thread could be made.
  void RefuseWithoutThread(TSocket socket, std::unique_ptr<TProcessThread> worker);

  // One for each configured address; FLastTaken is the one last accepted
  // from, read and written by the leading thread only.
  // The TLS port's sockets follow the plain ones, from FFirstTls on.
  std::vector<platform::UniqueSocket> FListenSockets;
  std::size_t FFirstTls = 0;
  std::size_t FLastTaken = 0;
  // The server context new TLS connections start with; replaced by a reload.
  mutable std::mutex FTlsLock;
  std::shared_ptr<const platform::TlsContext> FTls;
  const TServerConfigPtr FConfig;
  platform::WakeableWait FWait;
  std::atomic<bool> FTerminated{false};
  // From Resume until the thread that leads sees the stop; the lead passes
  // from thread to thread without a gap.
  bool FLeading = false;
  std::mutex FLeadLock;
  std::condition_variable FLeadEnded;
  // One line a minute is enough to tell the operator; a flood of refused
  // connections or failed accepts must not flood the log too.
  TThrottle FLimitLines{60};
  TThrottle FNoThreadLines{60};
  TAcceptFailures FAcceptFailures{FConfig->LogPath, ""};
  const std::shared_ptr<TWorkerSet> FWorkers = std::make_shared<TWorkerSet>();
  // The totals its workers share; each worker holds them too.
  const TSharedRates FRates{FConfig->Limits};
};

// Posts a quit message to every other thread of the process that runs a
// message loop. Throws std::runtime_error when the threads cannot be
// enumerated.
void QuitOtherThreads();

#pragma once
// The listener: owns the listening sockets (one per configured address), the
// connections that have not asked for anything yet (TWaitingRoom) and the
// workers. There is no thread of its own that accepts and hands over: one
// idle worker thread at a time leads, waiting on the listening sockets and
// the waiting connections at once; once a connection's first request is
// there, it passes the lead to another idle thread (or a new one) and serves
// that connection itself, to its close.
// With a [TLS] port the same leader waits on that port's sockets too; a
// connection taken from one of them waits for its first byte only, and its
// worker runs the TLS handshake before the conversation.

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
#include "server/LiveAccess.h"
#include "server/ServerConfig.h"
#include "server/TransferPace.h"
#include "server/WaitingRoom.h"
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
  // The [Access] rules its workers go by, which a reload replaces, and the
  // bans.
  std::shared_ptr<TLiveAccess> Access() const { return FAccess; }

 private:
  // A thread's turn as the leader; it returns after serving the connection
  // it took, or when the listener stops.
  static void Lead(void* listener);
  TTakenConnection LeadUntilTaken();
  // The next connection with a worker for it, once the lead has passed to
  // another thread; none when the listener stops.
  TTakenConnection NextConnection();
  // The next connection whose first request is there, with its worker.
  TTakenConnection NextTaken();
  // The index in FListenSockets of `socket`, or FListenSockets.size() when
  // it is none of them.
  std::size_t ListeningIndex(TSocket socket) const;
  void Accept(std::size_t listening);
  // At the stop: each waiting connection gets a thread of its own.
  void HandOverWaiting();
  static void ServeAlone(void* taken);
  std::shared_ptr<const platform::TlsContext> CurrentTls() const;
  void EndLeading();
  bool RefuseOverLimit(TSocket socket);
  // Closes `socket`, held by `worker` (if any), for which no thread could be
  // made.
  void RefuseWithoutThread(TSocket socket, std::unique_ptr<TProcessThread> worker);

  // One for each configured address; the TLS port's sockets follow the
  // plain ones, from FFirstTls on.
  std::vector<platform::UniqueSocket> FListenSockets;
  std::size_t FFirstTls = 0;
  // Whether accepted sockets have the idle time-out from the listening ones.
  bool FIdleTimeoutInherited = true;
  // The server context new TLS connections start with; replaced by a reload.
  mutable std::mutex FTlsLock;
  std::shared_ptr<const platform::TlsContext> FTls;
  const TServerConfigPtr FConfig;
  // The pause after a failed accept.
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
  const std::shared_ptr<TLiveAccess> FAccess = std::make_shared<TLiveAccess>(FConfig->Access);
  // Read and written by the leading thread only.
  TWaitingRoom FRoom{FConfig, FWorkers, FRates, FAccess};
};

// Posts a quit message to every other thread of the process that runs a
// message loop. Throws std::runtime_error when the threads cannot be
// enumerated.
void QuitOtherThreads();

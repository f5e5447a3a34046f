#include "server/ListenThread.h"

#include <cerrno>
#include <stdexcept>
#include <system_error>
#include <utility>

#include "base/DailyLog.h"
#include "base/Format.h"
#include "platform/ThreadMessages.h"
#include "server/ListenSockets.h"
#include "server/Metrics.h"
#include "server/ProcessThread.h"
#include "transfer/uGlobal.h"

namespace {
const char kInitializeError[] = "Listen Thread Initialize Error.";
}  // namespace

TListenThread::TListenThread(TServerConfigPtr config) : FConfig(std::move(config)) {
  const std::int32_t port = FConfig->Port;
  WriteLog(FConfig->LogPath, Format("Socket (Port=%d) bind.", static_cast<int>(port)));
  std::string error;
  if (!OpenListenSockets(FConfig->Listen.BindAddresses, port, FListenSockets, error)) {
    WriteLog(FConfig->LogPath, error);
    throw std::runtime_error(kInitializeError);
  }
  for (const platform::UniqueSocket& socket : FListenSockets) {
    FIdleTimeoutInherited =
        platform::NetSetIdleTimeoutOfAccepted(socket.get(), FConfig->Listen.IdleTimeout) && FIdleTimeoutInherited;
    if (FRoom.WatchListening(socket.get())) continue;
    WriteLog(FConfig->LogPath, Format("Listen: readiness wait failed %d.", platform::NetLastError()));
    throw std::runtime_error(kInitializeError);
  }
}

TListenThread::~TListenThread() {
  // The leader must have left its wait before the socket it waits on goes.
  Stop();
  WaitFor();
}

int TListenThread::Port() const { return platform::NetLocalPort(FListenSockets.front().get()); }

void TListenThread::Resume() {
  {
    std::lock_guard<std::mutex> hold(FLeadLock);
    FLeading = true;
  }
  Metrics().Accepting = true;
  if (!FWorkers->Run(Lead, this)) {
    EndLeading();
    throw std::system_error(EAGAIN, std::generic_category(), "thread creation failed");
  }
  // The thread that leads is one found: answers to the first clients come
  // from it, before any connection's worker.
  CountThreadFound();
}

void TListenThread::Stop() {
  Terminate();
  FRoom.Wake();
  FWait.Wake();
}

void TListenThread::WaitFor() {
  std::unique_lock<std::mutex> hold(FLeadLock);
  FLeadEnded.wait(hold, [this] { return !FLeading; });
}

void TListenThread::Lead(void* listener) {
  // Once the lead has passed on, the listener may be gone: the worker needs
  // nothing of it.
  TTakenConnection taken = static_cast<TListenThread*>(listener)->LeadUntilTaken();
  if (taken.worker) taken.Serve();
}

TTakenConnection TListenThread::LeadUntilTaken() {
  try {
    if (TTakenConnection taken = NextConnection(); taken.worker) return taken;
  } catch (...) {
  }
  try {
    HandOverWaiting();
  } catch (...) {
  }
  EndLeading();
  return {};
}

void TListenThread::EndLeading() {
  Metrics().Accepting = false;
  std::lock_guard<std::mutex> hold(FLeadLock);
  FLeading = false;
  FLeadEnded.notify_all();
}

TTakenConnection TListenThread::NextConnection() {
  while (!Terminated()) {
    TTakenConnection taken = NextTaken();
    if (!taken.worker) continue;
    // Another thread leads from here on. When none can be made, this one
    // keeps the lead, and the connection, which nobody could serve, is
    // closed.
    if (FWorkers->Run(Lead, this)) {
      CountThreadFound();
      return taken;
    }
    RefuseWithoutThread(taken.socket, std::move(taken.worker));
  }
  return {};
}

TTakenConnection TListenThread::NextTaken() {
  std::vector<TSocket> ready;
  while (!Terminated()) {
    if (TTakenConnection taken = FRoom.NextTaken(); taken.worker) return taken;
    FRoom.Wait(ready);
    for (TSocket socket : ready) {
      if (IsListening(socket))
        Accept(socket);
      else
        FRoom.Readable(socket);
    }
    FRoom.Expire();
  }
  return {};
}

bool TListenThread::IsListening(TSocket socket) const {
  for (const platform::UniqueSocket& listening : FListenSockets)
    if (listening.get() == socket) return true;
  return false;
}

void TListenThread::Accept(TSocket listening) {
  std::string error;
  TSocket socket = SocketAccept(listening, error);
  if (socket == INVALID_SOCK) {
    FAcceptFailures.Failed(error);
    // A stop still ends the pause at once.
    FWait.Wait(nullptr, 0, TAcceptFailures::kRetryMilliseconds);
    return;
  }
  ++Metrics().Accepted;
  if (Terminated()) {
    CloseSocket(socket);
    return;
  }
  if (RefuseOverLimit(socket)) return;
  // Nobody could serve it once the set makes no threads any more; waiting
  // would only hide that.
  if (FWorkers->Closed()) {
    RefuseWithoutThread(socket, nullptr);
    return;
  }
  if (!FIdleTimeoutInherited) platform::NetSetIdleTimeout(socket, FConfig->Listen.IdleTimeout);
  FRoom.Admit(socket);
}

void TListenThread::HandOverWaiting() {
  for (TTakenConnection& taken : FRoom.TakeAll()) {
    const TSocket socket = taken.socket;
    auto alone = std::make_unique<TTakenConnection>(std::move(taken));
    if (FWorkers->Run(ServeAlone, alone.get())) {
      alone.release();
      continue;
    }
    RefuseWithoutThread(socket, std::move(alone->worker));
  }
}

void TListenThread::ServeAlone(void* taken) {
  const std::unique_ptr<TTakenConnection> owned(static_cast<TTakenConnection*>(taken));
  owned->Serve();
}

bool TListenThread::RefuseOverLimit(TSocket socket) {
  if (FConfig->Listen.MaxConnections <= 0 || FWorkers->OpenConnections() < FConfig->Listen.MaxConnections) return false;
  platform::UniqueSocket refused(socket);
  ++Metrics().Refused;
  try {
    // Closed before the line is written, which may take long or fail.
    const std::string peer = GetPeerAddress(socket);
    refused.reset();
    std::uint64_t heldBack = 0;
    if (FLimitLines.Pass(heldBack))
      WriteLog(FConfig->LogPath, Format("%s-Listen: connection closed, MaxConnections %d reached", peer.c_str(),
                                        FConfig->Listen.MaxConnections));
  } catch (...) {
    // Short of memory as well: the connection is closed all the same, and
    // the listener goes on.
  }
  return true;
}

void TListenThread::RefuseWithoutThread(TSocket socket, std::unique_ptr<TProcessThread> worker) {
  CountNoThread();
  // Without a worker the socket is held here.
  platform::UniqueSocket alone(worker ? INVALID_SOCK : socket);
  try {
    // Closed before the line is written, which may take long or fail.
    const std::string peer = GetPeerAddress(socket);
    worker.reset();
    alone.reset();
    std::uint64_t heldBack = 0;
    if (!FNoThreadLines.Pass(heldBack)) return;
    std::string line = Format("%s-Listen: connection closed, no thread could be made to serve it", peer.c_str());
    if (heldBack != 0) line += Format(", %llu more since the last line", static_cast<unsigned long long>(heldBack));
    WriteLog(FConfig->LogPath, line);
  } catch (...) {
    // Short of memory as well: the connection is closed all the same, and
    // the listener goes on.
  }
}

void QuitOtherThreads() { platform::QuitOtherThreads(); }

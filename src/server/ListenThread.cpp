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
  FFirstTls = FListenSockets.size();
  if (FConfig->Tls.Enabled) {
    // A certificate that cannot be used fails the start: a TLS port that
    // refuses every handshake would look like a network fault.
    FTls = platform::MakeTlsServerContext(FConfig->Tls.Settings, error);
    if (!FTls) throw std::runtime_error("[TLS] " + error);
    const std::int32_t tlsPort = FConfig->Tls.Port;
    WriteLog(FConfig->LogPath, Format("Socket (Port=%d) bind, TLS.", static_cast<int>(tlsPort)));
    std::vector<platform::UniqueSocket> tlsSockets;
    if (!OpenListenSockets(FConfig->Listen.BindAddresses, tlsPort, tlsSockets, error)) {
      WriteLog(FConfig->LogPath, error);
      throw std::runtime_error(kInitializeError);
    }
    for (platform::UniqueSocket& socket : tlsSockets) FListenSockets.push_back(std::move(socket));
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

int TListenThread::TlsPort() const {
  return FFirstTls < FListenSockets.size() ? platform::NetLocalPort(FListenSockets[FFirstTls].get()) : -1;
}

bool TListenThread::ReloadTls(std::string& error) {
  if (!FConfig->Tls.Enabled) return true;
  std::shared_ptr<const platform::TlsContext> renewed = platform::MakeTlsServerContext(FConfig->Tls.Settings, error);
  if (!renewed) {
    WriteLog(FConfig->LogPath, "TLS reload failed, the certificate in use stays: " + error);
    return false;
  }
  {
    std::lock_guard<std::mutex> hold(FTlsLock);
    FTls.swap(renewed);
  }
  WriteLog(FConfig->LogPath, "TLS reload: " + FConfig->Tls.Settings.certificateFile);
  return true;
}

std::shared_ptr<const platform::TlsContext> TListenThread::CurrentTls() const {
  std::lock_guard<std::mutex> hold(FTlsLock);
  return FTls;
}

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
      const std::size_t listening = ListeningIndex(socket);
      if (listening < FListenSockets.size())
        Accept(listening);
      else
        FRoom.Readable(socket);
    }
    FRoom.Expire();
  }
  return {};
}

std::size_t TListenThread::ListeningIndex(TSocket socket) const {
  std::size_t at = 0;
  while (at < FListenSockets.size() && FListenSockets[at].get() != socket) ++at;
  return at;
}

void TListenThread::Accept(std::size_t listening) {
  std::string error;
  TSocket socket = SocketAccept(FListenSockets[listening].get(), error);
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
  FRoom.Admit(socket, listening >= FFirstTls ? CurrentTls() : nullptr);
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

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
constexpr int kAcceptWaitMilliseconds = 10000;
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
  if (!FConfig->Tls.Enabled) return;

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
}

void TListenThread::Stop() {
  Terminate();
  FWait.Wake();
}

void TListenThread::WaitFor() {
  std::unique_lock<std::mutex> hold(FLeadLock);
  FLeadEnded.wait(hold, [this] { return !FLeading; });
}

void TListenThread::Lead(void* listener) {
  // Once the lead has passed on, the listener may be gone: the worker needs
  // nothing of it.
  const std::unique_ptr<TProcessThread> worker = static_cast<TListenThread*>(listener)->LeadUntilTaken();
  if (worker) worker->Serve();
}

std::unique_ptr<TProcessThread> TListenThread::LeadUntilTaken() {
  try {
    if (std::unique_ptr<TProcessThread> worker = NextConnection()) return worker;
  } catch (...) {
  }
  EndLeading();
  return nullptr;
}

void TListenThread::EndLeading() {
  Metrics().Accepting = false;
  std::lock_guard<std::mutex> hold(FLeadLock);
  FLeading = false;
  FLeadEnded.notify_all();
}

std::unique_ptr<TProcessThread> TListenThread::NextConnection() {
  while (!Terminated()) {
    const std::size_t ready = NextReady();
    if (ready == FListenSockets.size()) continue;
    std::string error;
    TSocket socket = SocketAccept(FListenSockets[ready].get(), error);
    if (socket == INVALID_SOCK) {
      FAcceptFailures.Failed(error);
      // A stop still ends the pause at once.
      FWait.Wait(nullptr, 0, TAcceptFailures::kRetryMilliseconds);
      continue;
    }
    ++Metrics().Accepted;
    if (Terminated()) {
      CloseSocket(socket);
      break;
    }
    if (RefuseOverLimit(socket)) continue;
    platform::NetSetIdleTimeout(socket, FConfig->Listen.IdleTimeout);
    // A connection that gets no worker is closed at once, never left open.
    std::unique_ptr<TProcessThread> worker;
    try {
      worker = std::make_unique<TProcessThread>(socket, FConfig, FWorkers, FRates,
                                                ready >= FFirstTls ? CurrentTls() : nullptr);
    } catch (...) {
      CloseSocket(socket);
      continue;
    }
    if (worker->InitializeResult() != rcSuccess) continue;
    // Another thread leads from here on. When none can be made, this one
    // keeps the lead, and the connection, which nobody could serve, is
    // closed.
    if (FWorkers->Run(Lead, this)) {
      CountThreadFound();
      return worker;
    }
    RefuseWithoutThread(socket, std::move(worker));
  }
  return nullptr;
}

std::size_t TListenThread::NextReady() {
  std::vector<platform::PollEntry> entries;
  for (const platform::UniqueSocket& socket : FListenSockets) entries.push_back({socket.get(), true, false, false});
  if (FWait.Wait(entries.data(), entries.size(), kAcceptWaitMilliseconds) <= 0) return entries.size();
  // The search for a ready socket starts after the last one taken, so that
  // a busy address cannot keep the others waiting.
  for (std::size_t i = 1; i <= entries.size(); ++i) {
    const std::size_t at = (FLastTaken + i) % entries.size();
    if (!entries[at].ready) continue;
    FLastTaken = at;
    return at;
  }
  return entries.size();
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
  try {
    // Closed before the line is written, which may take long or fail.
    const std::string peer = GetPeerAddress(socket);
    worker.reset();
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

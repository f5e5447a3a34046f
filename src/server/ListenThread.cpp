#include "server/ListenThread.h"

#include <stdexcept>
#include <utility>

#include "base/DailyLog.h"
#include "base/Format.h"
#include "platform/ThreadMessages.h"
#include "server/Metrics.h"
#include "server/ProcessThread.h"
#include "transfer/uGlobal.h"

namespace {
constexpr int kAcceptWaitMilliseconds = 10000;
// After a failed accept (descriptors or buffers exhausted) the listening
// socket is still readable; a pause keeps the loop from spinning on it.
constexpr int kAcceptRetryMilliseconds = 100;
const char kInitializeError[] = "Listen Thread Initialize Error.";
}  // namespace

TListenThread::TListenThread(TServerConfigPtr config) : FConfig(std::move(config)) {
  const std::int32_t port = FConfig->Port;
  std::string error;
  FListenSocket.reset(BaseSocket(error));
  if (!FListenSocket.valid()) {
    WriteLog(FConfig->LogPath, error);
    throw std::runtime_error(kInitializeError);
  }
  WriteLog(FConfig->LogPath, Format("Socket (Port=%d) bind.", static_cast<int>(port)));
  if (SocketBind(FListenSocket.get(), FConfig->Listen.BindAddress, port, error) != 0 ||
      SocketListen(FListenSocket.get(), error) != 0) {
    WriteLog(FConfig->LogPath, error);
    FListenSocket.reset();
    throw std::runtime_error(kInitializeError);
  }
}

// The body must have left before the socket it waits on goes away.
TListenThread::~TListenThread() { WaitFor(); }

int TListenThread::Port() const { return platform::NetLocalPort(FListenSocket.get()); }

void TListenThread::Stop() {
  Terminate();
  FWait.Wake();
}

void TListenThread::Execute() {
  const TAcceptingMark accepting;
  while (!Terminated()) {
    if (FWait.Wait(FListenSocket.get(), kAcceptWaitMilliseconds, 5) <= 0) continue;
    std::string error;
    TSocket socket = SocketAccept(FListenSocket.get(), error);
    if (socket == INVALID_SOCK) {
      AcceptFailed(error);
      continue;
    }
    ++Metrics().Accepted;
    if (Terminated()) {
      CloseSocket(socket);
      break;
    }
    if (RefuseOverLimit(socket)) continue;
    platform::NetSetIdleTimeout(socket, FConfig->Listen.IdleTimeout);
    StartWorker(socket);
  }
}

void TListenThread::StartWorker(TSocket socket) {
  // A connection that gets no worker is closed at once, never left open.
  TProcessThread* worker = nullptr;
  try {
    worker = new TProcessThread(socket, FConfig);
  } catch (...) {
    CloseSocket(socket);
    return;
  }
  try {
    if (worker->InitializeResult() != rcSuccess) {
      delete worker;
      return;
    }
    worker->SetFreeOnTerminate(true);
    worker->Resume(FWorkerThreads);
  } catch (...) {
    delete worker;  // the destructor closes the socket
  }
}

bool TListenThread::RefuseOverLimit(TSocket socket) {
  if (FConfig->Listen.MaxConnections <= 0 || TProcessThread::OpenConnections() < FConfig->Listen.MaxConnections) return false;
  // Closed before the line is written, which may take long or fail.
  const std::string peer = GetPeerAddress(socket);
  ++Metrics().Refused;
  CloseSocket(socket);
  std::uint64_t heldBack = 0;
  if (FLimitLines.Pass(heldBack))
    WriteLog(FConfig->LogPath, Format("%s-Listen: connection closed, MaxConnections %d reached", peer.c_str(),
                             FConfig->Listen.MaxConnections));
  return true;
}

void TListenThread::AcceptFailed(const std::string& error) {
  std::uint64_t heldBack = 0;
  if (FAcceptLines.Pass(heldBack))
    WriteLog(FConfig->LogPath, heldBack == 0 ? error
                                    : error + Format(" %llu more failures since the last line.",
                                                     static_cast<unsigned long long>(heldBack)));
  // A stop still ends the pause at once.
  FWait.Wait(INVALID_SOCK, kAcceptRetryMilliseconds, 0);
}

void QuitOtherThreads() { platform::QuitOtherThreads(); }

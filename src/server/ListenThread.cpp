#include "server/ListenThread.h"

#include <chrono>
#include <stdexcept>

#include "platform/ThreadMessages.h"
#include "transfer/ProcessThread.h"
#include "transfer/uGlobal.h"

namespace {
constexpr int kAcceptWaitSeconds = 10;
const char kInitializeError[] = "Listen Thread Initialize Error.";
}  // namespace

TListenThread::TListenThread(std::int32_t port, const TListenOptions& options) : FOptions(options) {
  std::string error;
  FListenSocket = BaseSocket(error);
  if (FListenSocket == INVALID_SOCK) {
    WriteLog(LogPath, error);
    throw std::runtime_error(kInitializeError);
  }
  WriteLog(LogPath, Format("Socket (Port=%d) bind.", static_cast<int>(port)));
  if (SocketBind(FListenSocket, FOptions.BindAddress, port, error) != 0 || SocketListen(FListenSocket, error) != 0) {
    WriteLog(LogPath, error);
    CloseSocket(FListenSocket);
    FListenSocket = INVALID_SOCK;
    throw std::runtime_error(kInitializeError);
  }
}

TListenThread::~TListenThread() {
  // The body must have left before the socket it waits on goes away.
  WaitFor();
  if (FListenSocket != INVALID_SOCK) CloseSocket(FListenSocket);
}

int TListenThread::Port() const { return platform::NetLocalPort(FListenSocket); }

void TListenThread::Stop() {
  Terminate();
  // A connection to our own port wakes the wait; the loop sees the flag and
  // closes it without a worker.
  TSocket wake = platform::NetSocket();
  if (wake == INVALID_SOCK) return;
  platform::NetConnect(wake, FOptions.BindAddress ? FOptions.BindAddress : 0x7F000001, Port());
  CloseSocket(wake);
}

void TListenThread::Execute() {
  while (!Terminated()) {
    if (SocketSelect(FListenSocket, kAcceptWaitSeconds, 5) <= 0) continue;
    std::string error;
    TSocket socket = SocketAccept(FListenSocket, error);
    if (socket == INVALID_SOCK) {
      WriteLog(LogPath, error);
      continue;
    }
    if (Terminated()) {
      CloseSocket(socket);
      break;
    }
    if (RefuseOverLimit(socket)) continue;
    platform::NetSetIdleTimeout(socket, FOptions.IdleTimeout);
    StartWorker(socket);
  }
}

void TListenThread::StartWorker(TSocket socket) {
  // A connection that gets no worker is closed at once, never left open.
  TProcessThread* worker = nullptr;
  try {
    worker = new TProcessThread(socket);
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
  if (FOptions.MaxConnections <= 0 || TProcessThread::LiveCount() < FOptions.MaxConnections) return false;
  // One line a minute is enough to tell the operator; a flood must not
  // flood the log too.
  const std::int64_t now = std::chrono::duration_cast<std::chrono::seconds>(
                               std::chrono::steady_clock::now().time_since_epoch()).count();
  if (FLastLimitLog == 0 || now - FLastLimitLog >= 60) {
    FLastLimitLog = now;
    WriteLog(LogPath, Format("%s-Listen: connection closed, MaxConnections %d reached", GetPeerAddress(socket).c_str(),
                             FOptions.MaxConnections));
  }
  CloseSocket(socket);
  return true;
}

void QuitOtherThreads() { platform::QuitOtherThreads(); }

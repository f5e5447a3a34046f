#include "platform/ClientSockets.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include "platform/win32/SocketAddress.h"

namespace platform {

static SOCKET Native(SocketHandle s) { return static_cast<SOCKET>(s); }

static bool SetBlocking(SocketHandle s, bool blocking) {
  u_long nonBlocking = blocking ? 0 : 1;
  return ::ioctlsocket(Native(s), FIONBIO, &nonBlocking) == 0;
}

IoResult NetConnectTimed(SocketHandle s, const IpAddress& address, int port, int milliseconds) {
  if (!SetBlocking(s, false)) return {IoStatus::kFailed, ::WSAGetLastError()};
  const SocketAddress sa = ToSocketAddress(address, port);
  IoResult result;
  if (::connect(Native(s), sa.get(), sa.length) != 0) {
    if (::WSAGetLastError() != WSAEWOULDBLOCK) {
      result = {IoStatus::kFailed, ::WSAGetLastError()};
    } else {
      // Windows reports a refused connect in the exception set, not as writable.
      int ready = NetWaitMilliseconds(s, milliseconds, 2 | 4);
      int pending = 0;
      int len = sizeof pending;
      if (ready == 0) {
        result = {IoStatus::kTimedOut, 0};
      } else if (ready < 0 ||
                 ::getsockopt(Native(s), SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&pending), &len) != 0 ||
                 pending != 0) {
        result = {IoStatus::kFailed, pending != 0 ? pending : ::WSAGetLastError()};
      }
    }
  }
  SetBlocking(s, true);
  return result;
}

int NetShutdownSend(SocketHandle s) { return ::shutdown(Native(s), SD_SEND) == 0 ? 0 : -1; }

long NetSendNoWait(SocketHandle s, const void* data, std::size_t length) {
  if (!SetBlocking(s, false)) return -1;
  int n = ::send(Native(s), static_cast<const char*>(data), static_cast<int>(length), 0);
  const int error = ::WSAGetLastError();
  SetBlocking(s, true);
  if (n == SOCKET_ERROR && error == WSAEWOULDBLOCK) return 0;
  ::WSASetLastError(error);
  return n == SOCKET_ERROR ? -1 : n;
}

int NetWaitMilliseconds(SocketHandle s, int milliseconds, int waitSet) {
  fd_set readSet, writeSet, exceptSet;
  FD_ZERO(&readSet);
  FD_ZERO(&writeSet);
  FD_ZERO(&exceptSet);
  if (waitSet & 1) FD_SET(Native(s), &readSet);
  if (waitSet & 2) FD_SET(Native(s), &writeSet);
  if (waitSet & 4) FD_SET(Native(s), &exceptSet);
  timeval timeout{milliseconds / 1000, (milliseconds % 1000) * 1000};
  int r = ::select(0, &readSet, &writeSet, &exceptSet, &timeout);
  return r == SOCKET_ERROR ? -1 : r;
}

}  // namespace platform

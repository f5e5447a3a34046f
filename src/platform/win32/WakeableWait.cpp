#include "platform/WakeableWait.h"

#include <winsock2.h>
#include <ws2tcpip.h>

namespace platform {

namespace {
SOCKET Native(SocketHandle s) { return static_cast<SOCKET>(s); }
}  // namespace

// select waits on sockets only: a datagram socket on loopback that Wake
// sends one datagram to itself, never read, so that it stays readable. It
// does not block: the socket is non-blocking, and one datagram always fits.
WakeableWait::WakeableWait() {
  SOCKET s = ::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
  if (s == INVALID_SOCKET) return;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  int length = sizeof address;
  u_long nonBlocking = 1;
  if (::bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::getsockname(s, reinterpret_cast<sockaddr*>(&address), &length) != 0 ||
      ::connect(s, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::ioctlsocket(s, FIONBIO, &nonBlocking) != 0) {
    ::closesocket(s);
    return;
  }
  FReceiver = FSender = static_cast<SocketHandle>(s);
}

WakeableWait::~WakeableWait() {
  if (FReceiver != kNoSocket) ::closesocket(Native(FReceiver));
}

int WakeableWait::Wait(SocketHandle s, int milliseconds, int waitSet) {
  fd_set readSet, writeSet, exceptSet;
  FD_ZERO(&readSet);
  FD_ZERO(&writeSet);
  FD_ZERO(&exceptSet);
  if (s != kNoSocket) {
    if (waitSet & 1) FD_SET(Native(s), &readSet);
    if (waitSet & 2) FD_SET(Native(s), &writeSet);
    if (waitSet & 4) FD_SET(Native(s), &exceptSet);
  }
  if (FReceiver != kNoSocket) FD_SET(Native(FReceiver), &readSet);
  if (readSet.fd_count + writeSet.fd_count + exceptSet.fd_count == 0) {
    ::Sleep(static_cast<DWORD>(milliseconds));  // select refuses empty sets
    return 0;
  }
  timeval timeout{milliseconds / 1000, (milliseconds % 1000) * 1000};
  const int r = ::select(0, &readSet, &writeSet, &exceptSet, &timeout);
  if (r == SOCKET_ERROR) return -1;
  if (r > 0 && FReceiver != kNoSocket && FD_ISSET(Native(FReceiver), &readSet)) return 0;
  return r;
}

void WakeableWait::Wake() {
  if (FSender == kNoSocket) return;
  const char byte = 1;
  ::send(Native(FSender), &byte, 1, 0);
}

}  // namespace platform

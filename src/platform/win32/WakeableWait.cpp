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

int WakeableWait::Wait(PollEntry* entries, std::size_t count, int milliseconds) {
  fd_set readSet, writeSet;
  FD_ZERO(&readSet);
  FD_ZERO(&writeSet);
  for (std::size_t i = 0; i < count; ++i) {
    if (entries[i].readable) FD_SET(Native(entries[i].socket), &readSet);
    if (entries[i].writable) FD_SET(Native(entries[i].socket), &writeSet);
  }
  if (FReceiver != kNoSocket) FD_SET(Native(FReceiver), &readSet);
  if (readSet.fd_count + writeSet.fd_count == 0) {
    ::Sleep(static_cast<DWORD>(milliseconds));  // select refuses empty sets
    return 0;
  }
  timeval timeout{milliseconds / 1000, (milliseconds % 1000) * 1000};
  const int r = ::select(0, &readSet, &writeSet, nullptr, &timeout);
  if (r == SOCKET_ERROR) return -1;
  for (std::size_t i = 0; i < count; ++i)
    entries[i].ready = r > 0 && (FD_ISSET(Native(entries[i].socket), &readSet) ||
                                 FD_ISSET(Native(entries[i].socket), &writeSet));
  if (r > 0 && FReceiver != kNoSocket && FD_ISSET(Native(FReceiver), &readSet)) return 0;
  return r;
}

void WakeableWait::Wake() {
  if (FSender == kNoSocket) return;
  const char byte = 1;
  ::send(Native(FSender), &byte, 1, 0);
}

}  // namespace platform

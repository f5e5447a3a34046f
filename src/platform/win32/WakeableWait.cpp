#include "platform/WakeableWait.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <vector>

namespace platform {

namespace {
SOCKET Native(SocketHandle s) { return static_cast<SOCKET>(s); }
}  // namespace

// The wait takes sockets only: a datagram socket on loopback that Wake
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
  if (count == 0 && FReceiver == kNoSocket) {
    ::Sleep(static_cast<DWORD>(milliseconds));  // WSAPoll refuses an empty set
    return 0;
  }
  // WSAPoll, not select: an fd_set holds 64 sockets, and a listener's
  // waiting connections are many more.
  std::vector<WSAPOLLFD> fds(count + 1);
  for (std::size_t i = 0; i < count; ++i) {
    fds[i].fd = Native(entries[i].socket);
    fds[i].events = static_cast<SHORT>((entries[i].readable ? POLLRDNORM : 0) | (entries[i].writable ? POLLWRNORM : 0));
  }
  const std::size_t watched = FReceiver == kNoSocket ? count : count + 1;
  if (FReceiver != kNoSocket) {
    fds[count].fd = Native(FReceiver);
    fds[count].events = POLLRDNORM;
  }
  const int r = ::WSAPoll(fds.data(), static_cast<ULONG>(watched), milliseconds);
  if (r == SOCKET_ERROR) return -1;
  int ready = 0;
  for (std::size_t i = 0; i < count; ++i) {
    entries[i].ready = r > 0 && fds[i].revents != 0;
    ready += entries[i].ready;
  }
  if (r > 0 && FReceiver != kNoSocket && fds[count].revents != 0) return 0;
  return ready;
}

void WakeableWait::Wake() {
  if (FSender == kNoSocket) return;
  const char byte = 1;
  ::send(Native(FSender), &byte, 1, 0);
}

}  // namespace platform

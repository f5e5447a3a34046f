#include "platform/ClientSockets.h"

#include <arpa/inet.h>
#include <cerrno>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

namespace platform {

ConnectResult NetConnectTimed(SocketHandle s, std::uint32_t address, int port, int seconds) {
  const int fd = static_cast<int>(s);
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags < 0 || ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0) return ConnectResult::kFailed;

  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(address);
  sa.sin_port = htons(static_cast<std::uint16_t>(port));
  ConnectResult result = ConnectResult::kConnected;
  if (::connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
    if (errno != EINPROGRESS) {
      result = ConnectResult::kFailed;
    } else if (NetWaitMilliseconds(s, seconds * 1000, 2) == 0) {
      result = ConnectResult::kTimedOut;
    } else {
      int pending = 0;
      socklen_t len = sizeof pending;
      if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &pending, &len) != 0 || pending != 0) {
        if (pending != 0) errno = pending;
        result = ConnectResult::kFailed;
      }
    }
  }
  const int saved = errno;
  ::fcntl(fd, F_SETFL, flags);
  errno = saved;
  return result;
}

int NetShutdownSend(SocketHandle s) { return ::shutdown(static_cast<int>(s), SHUT_WR) == 0 ? 0 : -1; }

long NetSendNoWait(SocketHandle s, const void* data, std::size_t length) {
  ssize_t n;
  do {
    n = ::send(static_cast<int>(s), data, length, MSG_NOSIGNAL | MSG_DONTWAIT);
  } while (n < 0 && errno == EINTR);
  if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return 0;
  return static_cast<long>(n);
}

int NetWaitMilliseconds(SocketHandle s, int milliseconds, int waitSet) {
  pollfd p{};
  p.fd = static_cast<int>(s);
  if (waitSet & 1) p.events |= POLLIN;
  if (waitSet & 2) p.events |= POLLOUT;
  if (waitSet & 4) p.events |= POLLPRI;
  int r;
  do {
    r = ::poll(&p, 1, milliseconds);
  } while (r < 0 && errno == EINTR);
  return r;
}

}  // namespace platform

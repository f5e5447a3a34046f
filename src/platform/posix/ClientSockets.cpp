#include "platform/ClientSockets.h"

#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>

#include "platform/posix/SocketAddress.h"

namespace platform {

IoResult NetConnectTimed(SocketHandle s, const IpAddress& address, int port, int milliseconds) {
  const int fd = static_cast<int>(s);
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags < 0 || ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0) return {IoStatus::kFailed, errno};

  const SocketAddress sa = ToSocketAddress(address, port);
  IoResult result;
  if (::connect(fd, sa.get(), sa.length) != 0) {
    if (errno != EINPROGRESS) {
      result = {IoStatus::kFailed, errno};
    } else if (NetWaitMilliseconds(s, milliseconds, 2) == 0) {
      result = {IoStatus::kTimedOut, 0};
    } else {
      int pending = 0;
      socklen_t len = sizeof pending;
      if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &pending, &len) != 0 || pending != 0)
        result = {IoStatus::kFailed, pending != 0 ? pending : errno};
    }
  }
  ::fcntl(fd, F_SETFL, flags);
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
  // poll, not select: descriptors above FD_SETSIZE must work too.
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

#include "platform/Sockets.h"

#include <arpa/inet.h>
#include <cerrno>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include "platform/ClientSockets.h"
#include "platform/posix/SocketAddress.h"

namespace platform {

int NetStartup(std::uint16_t version, std::uint16_t& granted) {
  // POSIX sockets need no start-up: whatever is asked for is what there is.
  granted = version;
  return 0;
}

void NetCleanup() {}

int NetLastError() { return errno; }

SocketHandle NetSocket() { return NetSocket(IpAddress()); }

SocketHandle NetSocket(const IpAddress& family) {
  int s = ::socket(family.IsV4() ? AF_INET : AF_INET6, SOCK_STREAM, 0);
  return s < 0 ? kNoSocket : s;
}

int NetBind(SocketHandle s, const IpAddress& address, int port, bool dualStack) {
  const int fd = static_cast<int>(s);
  // A restart must bind at once: the connections the last run closed first
  // sit in TIME-WAIT on this port for a minute, and without SO_REUSEADDR
  // they keep the bind failing. A port held by a live listener still fails.
  const int on = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  // Set either way: the system's default (net.ipv6.bindv6only) is not ours.
  const int v6Only = dualStack ? 0 : 1;
  if (!address.IsV4() && ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &v6Only, sizeof v6Only) != 0) return -1;
  const SocketAddress sa = ToSocketAddress(address, port);
  return ::bind(fd, sa.get(), sa.length) == 0 ? 0 : -1;
}

int NetBind(SocketHandle s, std::uint32_t address, int port) { return NetBind(s, IpAddress::V4(address), port, false); }

int NetListen(SocketHandle s, int backlog) {
  return ::listen(static_cast<int>(s), backlog) == 0 ? 0 : -1;
}

SocketHandle NetAccept(SocketHandle s) {
  int c;
  do {
    c = ::accept(static_cast<int>(s), nullptr, nullptr);
  } while (c < 0 && errno == EINTR);
  return c < 0 ? kNoSocket : c;
}

int NetConnect(SocketHandle s, std::uint32_t address, int port) {
  const SocketAddress sa = ToSocketAddress(IpAddress::V4(address), port);
  return ::connect(static_cast<int>(s), sa.get(), sa.length) == 0 ? 0 : -1;
}

bool NetPeerAddress(SocketHandle s, std::string& text) {
  sockaddr_storage sa{};
  socklen_t len = sizeof sa;
  IpAddress address;
  if (::getpeername(static_cast<int>(s), reinterpret_cast<sockaddr*>(&sa), &len) != 0 ||
      !FromSocketAddress(sa, address))
    return false;
  text = address.Text();
  return true;
}

int NetLocalPort(SocketHandle s) {
  sockaddr_storage sa{};
  socklen_t len = sizeof sa;
  IpAddress address;
  int port = -1;
  if (::getsockname(static_cast<int>(s), reinterpret_cast<sockaddr*>(&sa), &len) != 0 ||
      !FromSocketAddress(sa, address, &port))
    return -1;
  return port;
}

void NetClose(SocketHandle s) { ::close(static_cast<int>(s)); }

void NetSetAbortiveClose(SocketHandle s, bool abortive) {
  const linger option{abortive ? 1 : 0, 0};
  ::setsockopt(static_cast<int>(s), SOL_SOCKET, SO_LINGER, &option, sizeof option);
}

void NetShutdownReceive(SocketHandle s) { ::shutdown(static_cast<int>(s), SHUT_RD); }

void NetShutdown(SocketHandle s) { ::shutdown(static_cast<int>(s), SHUT_RDWR); }

void NetSetIdleTimeout(SocketHandle s, int seconds) {
  if (seconds <= 0) return;
  const int fd = static_cast<int>(s);
  timeval timeout{seconds, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
  // The kernel refuses a keep-alive idle time above 32767 seconds.
  const int on = 1, probes = 3, interval = seconds < 30 ? seconds : 30, idle = seconds < 32767 ? seconds : 32767;
  ::setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
  ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle);
  ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval);
  ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &probes, sizeof probes);
}

bool NetSetIdleTimeoutOfAccepted(SocketHandle listening, int seconds) {
  // Linux copies the time-outs and the keep-alive settings into each
  // socket that accept returns.
  NetSetIdleTimeout(listening, seconds);
  return true;
}

int NetWait(SocketHandle s, int seconds, int waitSet) { return NetWaitMilliseconds(s, seconds * 1000, waitSet); }

int NetIdleTimeout(SocketHandle s) {
  timeval timeout{};
  socklen_t length = sizeof timeout;
  if (::getsockopt(static_cast<int>(s), SOL_SOCKET, SO_SNDTIMEO, &timeout, &length) != 0) return 0;
  return static_cast<int>(timeout.tv_sec * 1000 + timeout.tv_usec / 1000);
}

bool NetWaitWritable(SocketHandle s, int milliseconds) {
  pollfd p{};
  p.fd = static_cast<int>(s);
  p.events = POLLOUT;
  int r;
  do {
    r = ::poll(&p, 1, milliseconds < 0 ? -1 : milliseconds);
  } while (r < 0 && errno == EINTR);
  if (r == 0) errno = ETIMEDOUT;
  return r > 0;
}

void NetSetNonBlocking(SocketHandle s, bool nonBlocking) {
  // One call, where reading the flags and writing them back takes two.
  int on = nonBlocking ? 1 : 0;
  ::ioctl(static_cast<int>(s), FIONBIO, &on);
}

bool NetWouldBlock() { return errno == EAGAIN || errno == EWOULDBLOCK; }

long NetSend(SocketHandle s, const void* data, std::size_t length) {
  ssize_t n;
  do {
    n = ::send(static_cast<int>(s), data, length, MSG_NOSIGNAL);
  } while (n < 0 && errno == EINTR);
  return static_cast<long>(n);
}

long NetSendNow(SocketHandle s, const void* data, std::size_t length, bool moreFollows) {
  // More data following at once may hold these bytes back, so that both
  // leave in one segment: one wake-up less for the peer.
  const int flags = MSG_NOSIGNAL | MSG_DONTWAIT | (moreFollows ? MSG_MORE : 0);
  ssize_t n;
  do {
    n = ::send(static_cast<int>(s), data, length, flags);
  } while (n < 0 && errno == EINTR);
  if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return kNotReady;
  return static_cast<long>(n);
}

long NetRecvNow(SocketHandle s, void* data, std::size_t length) {
  ssize_t n;
  do {
    n = ::recv(static_cast<int>(s), data, length, MSG_DONTWAIT);
  } while (n < 0 && errno == EINTR);
  if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return kNotReady;
  return static_cast<long>(n);
}

long NetRecv(SocketHandle s, void* data, std::size_t length) {
  ssize_t n;
  do {
    n = ::recv(static_cast<int>(s), data, length, 0);
  } while (n < 0 && errno == EINTR);
  return static_cast<long>(n);
}

}  // namespace platform

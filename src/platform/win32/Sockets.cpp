#include "platform/Sockets.h"

#include <winsock2.h>
#include <ws2tcpip.h>
#include <mstcpip.h>

#include "platform/ClientSockets.h"
#include "platform/win32/SocketAddress.h"

namespace platform {

int NetStartup(std::uint16_t version, std::uint16_t& granted) {
  WSADATA data{};
  int rc = ::WSAStartup(version, &data);
  granted = data.wVersion;
  return rc;
}

void NetCleanup() { ::WSACleanup(); }

int NetLastError() { return ::WSAGetLastError(); }

static SOCKET Native(SocketHandle s) { return static_cast<SOCKET>(s); }

SocketHandle NetSocket() { return NetSocket(IpAddress()); }

SocketHandle NetSocket(const IpAddress& family) {
  SOCKET s = ::socket(family.IsV4() ? AF_INET : AF_INET6, SOCK_STREAM, 0);
  return s == INVALID_SOCKET ? kNoSocket : static_cast<SocketHandle>(s);
}

int NetBind(SocketHandle s, const IpAddress& address, int port, bool dualStack) {
  // Windows lets a later socket with SO_REUSEADDR bind over this one and
  // take its connections; exclusive use keeps any other process off the port.
  const BOOL on = TRUE;
  ::setsockopt(Native(s), SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&on), sizeof on);
  const DWORD v6Only = dualStack ? 0 : 1;
  if (!address.IsV4() && ::setsockopt(Native(s), IPPROTO_IPV6, IPV6_V6ONLY, reinterpret_cast<const char*>(&v6Only),
                                      sizeof v6Only) != 0)
    return -1;
  const SocketAddress sa = ToSocketAddress(address, port);
  return ::bind(Native(s), sa.get(), sa.length) == 0 ? 0 : -1;
}

int NetBind(SocketHandle s, std::uint32_t address, int port) { return NetBind(s, IpAddress::V4(address), port, false); }

int NetListen(SocketHandle s, int backlog) { return ::listen(Native(s), backlog) == 0 ? 0 : -1; }

SocketHandle NetAccept(SocketHandle s) {
  SOCKET c = ::accept(Native(s), nullptr, nullptr);
  return c == INVALID_SOCKET ? kNoSocket : static_cast<SocketHandle>(c);
}

int NetConnect(SocketHandle s, std::uint32_t address, int port) {
  const SocketAddress sa = ToSocketAddress(IpAddress::V4(address), port);
  return ::connect(Native(s), sa.get(), sa.length) == 0 ? 0 : -1;
}

bool NetPeerAddress(SocketHandle s, std::string& text) {
  sockaddr_storage sa{};
  int len = sizeof sa;
  IpAddress address;
  if (::getpeername(Native(s), reinterpret_cast<sockaddr*>(&sa), &len) != 0 || !FromSocketAddress(sa, address))
    return false;
  text = address.Text();
  return true;
}

int NetLocalPort(SocketHandle s) {
  sockaddr_storage sa{};
  int len = sizeof sa;
  IpAddress address;
  int port = -1;
  if (::getsockname(Native(s), reinterpret_cast<sockaddr*>(&sa), &len) != 0 || !FromSocketAddress(sa, address, &port))
    return -1;
  return port;
}

void NetClose(SocketHandle s) { ::closesocket(Native(s)); }

void NetSetAbortiveClose(SocketHandle s, bool abortive) {
  const linger option{static_cast<u_short>(abortive ? 1 : 0), 0};
  ::setsockopt(Native(s), SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&option), sizeof option);
}

// Shutting down does not wake a receive that waits already; cancelling the
// socket's pending I/O does, and that receive then fails.
void NetShutdownReceive(SocketHandle s) {
  ::shutdown(Native(s), SD_RECEIVE);
  ::CancelIoEx(reinterpret_cast<HANDLE>(Native(s)), nullptr);
}

void NetShutdown(SocketHandle s) {
  ::shutdown(Native(s), SD_BOTH);
  ::CancelIoEx(reinterpret_cast<HANDLE>(Native(s)), nullptr);
}

void NetSetIdleTimeout(SocketHandle s, int seconds) {
  if (seconds <= 0) return;
  const DWORD milliseconds = static_cast<DWORD>(seconds) * 1000;
  ::setsockopt(Native(s), SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&milliseconds), sizeof milliseconds);
  ::setsockopt(Native(s), SOL_SOCKET, SO_SNDTIMEO, reinterpret_cast<const char*>(&milliseconds), sizeof milliseconds);
  tcp_keepalive keepAlive{1, milliseconds, milliseconds < 30000 ? milliseconds : 30000};
  DWORD returned = 0;
  ::WSAIoctl(Native(s), SIO_KEEPALIVE_VALS, &keepAlive, sizeof keepAlive, nullptr, 0, &returned, nullptr, nullptr);
}

int NetWait(SocketHandle s, int seconds, int waitSet) { return NetWaitMilliseconds(s, seconds * 1000, waitSet); }

// Whether an accepted socket keeps the listening socket's time-outs and
// keep-alive values is not documented alike for every version: each one
// gets them itself.
bool NetSetIdleTimeoutOfAccepted(SocketHandle, int) { return false; }

int NetIdleTimeout(SocketHandle s) {
  DWORD milliseconds = 0;
  int length = sizeof milliseconds;
  if (::getsockopt(Native(s), SOL_SOCKET, SO_SNDTIMEO, reinterpret_cast<char*>(&milliseconds), &length) != 0) return 0;
  return static_cast<int>(milliseconds);
}

bool NetWaitWritable(SocketHandle s, int milliseconds) {
  fd_set writeSet, exceptSet;
  FD_ZERO(&writeSet);
  FD_ZERO(&exceptSet);
  FD_SET(Native(s), &writeSet);
  FD_SET(Native(s), &exceptSet);  // a failed connection shows here
  timeval timeout{milliseconds / 1000, (milliseconds % 1000) * 1000};
  const int r = ::select(0, nullptr, &writeSet, &exceptSet, milliseconds < 0 ? nullptr : &timeout);
  if (r == 0) ::WSASetLastError(WSAETIMEDOUT);
  return r > 0;
}

void NetSetNonBlocking(SocketHandle s, bool nonBlocking) {
  u_long mode = nonBlocking ? 1 : 0;
  ::ioctlsocket(Native(s), FIONBIO, &mode);
}

bool NetWouldBlock() { return ::WSAGetLastError() == WSAEWOULDBLOCK; }

long NetSend(SocketHandle s, const void* data, std::size_t length) {
  int n = ::send(Native(s), static_cast<const char*>(data), static_cast<int>(length), 0);
  return n == SOCKET_ERROR ? -1 : n;
}

long NetSendNow(SocketHandle, const void*, std::size_t, bool) { return kNotReady; }

long NetRecvNow(SocketHandle, void*, std::size_t) { return kNotReady; }

long NetRecv(SocketHandle s, void* data, std::size_t length) {
  int n = ::recv(Native(s), static_cast<char*>(data), static_cast<int>(length), 0);
  return n == SOCKET_ERROR ? -1 : n;
}

}  // namespace platform

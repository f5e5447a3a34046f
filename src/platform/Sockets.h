#pragma once
// The operating system's TCP sockets, reduced to what the socket layer needs.
// Error numbers are the platform's own (errno, or WSAGetLastError).

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/IpAddress.h"

namespace platform {

using SocketHandle = std::intptr_t;
constexpr SocketHandle kNoSocket = -1;

// Starts the socket library asking for `version` (low byte major, high byte
// minor). Returns the start-up call's own code (0 on success) and the granted
// version in `granted`.
int NetStartup(std::uint16_t version, std::uint16_t& granted);
void NetCleanup();

// The calling thread's last socket error number.
int NetLastError();

SocketHandle NetSocket();                                  // IPv4 stream socket
SocketHandle NetSocket(const IpAddress& family);           // a stream socket for that address's family
// Binds a socket that is to listen: a restart binds while the last run's
// closed connections linger, and no other process can bind the same port
// while this socket holds it. An IPv6 socket takes IPv4 connections too (as
// IPv4-mapped addresses) only with `dualStack`.
int NetBind(SocketHandle s, const IpAddress& address, int port, bool dualStack);
int NetBind(SocketHandle s, std::uint32_t address, int port);  // IPv4, address in host order
int NetListen(SocketHandle s, int backlog);
SocketHandle NetAccept(SocketHandle s);
int NetConnect(SocketHandle s, std::uint32_t address, int port);  // address in host order
// The peer's address as IpAddress::Text writes it: an IPv4 client of a
// dual-stack socket in plain dotted form, as on an IPv4 socket.
bool NetPeerAddress(SocketHandle s, std::string& text);
int NetLocalPort(SocketHandle s);                          // -1 when unknown
void NetClose(SocketHandle s);
// With `abortive` set, a close, and the end of the process, resets the
// connection instead of ending it with a normal close, so that the peer sees
// an error; without it, closes are normal again.
void NetSetAbortiveClose(SocketHandle s, bool abortive);
// Ends the receiving side only. A receive waiting in another thread, and
// every later one, returns 0 as if the peer had closed, or fails (Windows)
// -- but on Linux only while no data arrive: bytes that the peer keeps
// sending are still received. A caller that cuts a receiving loop this way
// also sets a mark of its own, and the loop looks at it after every receive.
void NetShutdownReceive(SocketHandle s);
// Ends both sides: a send or receive waiting in another thread, and every
// later one, fails or returns 0 at once.
void NetShutdown(SocketHandle s);

// Cuts a connection that makes no progress for `seconds`: blocking sends and
// receives fail after that long, and TCP keep-alive probes an idle peer.
// 0 leaves the socket as it is.
void NetSetIdleTimeout(SocketHandle s, int seconds);
// The same for every connection that `listening` accepts from now on, where
// they inherit it from the listening socket: six calls fewer per connection.
// False where they do not; each accepted socket then needs
// NetSetIdleTimeout itself.
bool NetSetIdleTimeoutOfAccepted(SocketHandle listening, int seconds);

// Readiness wait. `waitSet` bit 0: readable, bit 1: writable, bit 2:
// exceptional. Returns > 0 when ready, 0 on time-out, -1 on error.
int NetWait(SocketHandle s, int seconds, int waitSet);

// The idle time-out NetSetIdleTimeout gave the socket, in milliseconds; 0
// when it has none.
int NetIdleTimeout(SocketHandle s);
// Waits until the socket can take more data (or has failed, which the next
// send then reports), at most `milliseconds`; negative waits without limit.
// False on time-out, with the last error set to the platform's time-out
// error, or when the wait itself fails.
bool NetWaitWritable(SocketHandle s, int milliseconds);
// In non-blocking mode a send takes what fits and returns at once; one that
// would have had to wait fails with NetWouldBlock() true.
void NetSetNonBlocking(SocketHandle s, bool nonBlocking);
bool NetWouldBlock();

// One blocking send or receive; never raises SIGPIPE. Returns the byte count
// or -1.
long NetSend(SocketHandle s, const void* data, std::size_t length);
long NetRecv(SocketHandle s, void* data, std::size_t length);

// The same without waiting: kNotReady when the socket has nothing to give,
// or no room, right now. Where the system cannot tell that without a wait of
// its own (Windows, blocking sockets), every call is kNotReady and the
// caller waits first.
constexpr long kNotReady = -2;
long NetSendNow(SocketHandle s, const void* data, std::size_t length, bool moreFollows);
long NetRecvNow(SocketHandle s, void* data, std::size_t length);

}  // namespace platform

// The in-memory connection behind platform/Sockets.h. Only the one handle
// Connect returns is a connection; a call on any other handle, or on the
// connection after its close, is a fault of the server and aborts. Listening
// and connecting out always fail.

#include "MemorySockets.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace {

// Above every descriptor number the system hands out, so a call that reaches
// the system with it (sendfile) fails as on a bad descriptor and touches no
// real file.
constexpr platform::SocketHandle kHandle = 0x40000000;

struct Connection {
  const std::uint8_t* data = nullptr;
  std::size_t size = 0;
  std::size_t received = 0;
  bool open = false;
  bool cut = false;  // sends fail once both sides are shut down
  int closes = 0;
  std::string sent;
  std::size_t sentCount = 0;
};

Connection connection;
thread_local int lastError = 0;

void Check(bool condition) {
  if (!condition) std::abort();
}

void CheckOpen(platform::SocketHandle s) { Check(s == kHandle && connection.open); }

int Fail(int error) {
  lastError = error;
  return -1;
}

}  // namespace

namespace memory_sockets {

platform::SocketHandle Connect(const std::uint8_t* data, std::size_t size) {
  connection = Connection{};
  connection.data = data;
  connection.size = size;
  connection.open = true;
  return kHandle;
}

const std::string& Sent() { return connection.sent; }
std::size_t SentCount() { return connection.sentCount; }
int CloseCount() { return connection.closes; }

}  // namespace memory_sockets

namespace platform {

int NetStartup(std::uint16_t version, std::uint16_t& granted) {
  granted = version;
  return 0;
}

void NetCleanup() {}

int NetLastError() { return lastError; }

SocketHandle NetSocket() {
  lastError = EACCES;
  return kNoSocket;
}

SocketHandle NetSocket(const IpAddress&) { return NetSocket(); }

int NetBind(SocketHandle, const IpAddress&, int, bool) { return Fail(EACCES); }
int NetBind(SocketHandle, std::uint32_t, int) { return Fail(EACCES); }
int NetListen(SocketHandle, int) { return Fail(EACCES); }

SocketHandle NetAccept(SocketHandle) {
  lastError = EINVAL;
  return kNoSocket;
}

int NetConnect(SocketHandle, std::uint32_t, int) { return Fail(ECONNREFUSED); }

bool NetPeerAddress(SocketHandle s, std::string& dotted) {
  CheckOpen(s);
  dotted = "127.0.0.1";
  return true;
}

int NetLocalPort(SocketHandle s) {
  CheckOpen(s);
  return 7001;
}

void NetClose(SocketHandle s) {
  CheckOpen(s);
  connection.open = false;
  ++connection.closes;
}

// How the connection ends makes no difference in memory.
void NetSetAbortiveClose(SocketHandle s, bool) { CheckOpen(s); }

// Whatever the client still sends is dropped: receives see the end.
void NetShutdownReceive(SocketHandle s) {
  CheckOpen(s);
  connection.received = connection.size;
}

// Both sides: receives see the end and sends fail.
void NetShutdown(SocketHandle s) {
  NetShutdownReceive(s);
  connection.cut = true;
}

void NetSetIdleTimeout(SocketHandle s, int) { CheckOpen(s); }

// Always ready at once: the client's bytes are all there, its close is
// readable as the end, and sending never blocks.
int NetWait(SocketHandle s, int seconds, int) {
  CheckOpen(s);
  Check(seconds >= 0);
  return 1;
}

int NetIdleTimeout(SocketHandle s) {
  CheckOpen(s);
  return 0;
}

bool NetWaitWritable(SocketHandle s, int) {
  CheckOpen(s);
  return true;
}

void NetSetNonBlocking(SocketHandle s, bool) { CheckOpen(s); }

bool NetWouldBlock() { return false; }

long NetSend(SocketHandle s, const void* data, std::size_t length) {
  CheckOpen(s);
  Check(data != nullptr || length == 0);
  if (connection.cut) return -1;
  const std::size_t kept = connection.sent.size();
  if (kept < memory_sockets::kKeptBytes) {
    const std::size_t more = std::min(length, memory_sockets::kKeptBytes - kept);
    connection.sent.append(static_cast<const char*>(data), more);
  }
  connection.sentCount += length;
  return static_cast<long>(length);
}

long NetRecv(SocketHandle s, void* data, std::size_t length) {
  CheckOpen(s);
  Check(data != nullptr || length == 0);
  const std::size_t n = std::min(length, connection.size - connection.received);
  if (n > 0) std::memcpy(data, connection.data + connection.received, n);
  connection.received += n;
  return static_cast<long>(n);
}

// Ready at once, as NetWait says.
long NetSendNow(SocketHandle s, const void* data, std::size_t length, bool) { return NetSend(s, data, length); }

long NetRecvNow(SocketHandle s, void* data, std::size_t length) { return NetRecv(s, data, length); }

}  // namespace platform

#include "transfer/SocketLib.h"

#include <algorithm>
#include <cstring>

#include "base/Format.h"

MsgHeader MakeHeader(const char* command, std::int32_t size) {
  MsgHeader header;
  std::memcpy(header.CMD, command, std::min<std::size_t>(std::strlen(command), 4));
  header.SIZE = size;
  return header;
}

void EncodeHeader(const MsgHeader& header, unsigned char out[MSG_HEADER_SIZE]) {
  std::memcpy(out, header.CMD, 4);
  const auto size = static_cast<std::uint32_t>(header.SIZE);
  for (int i = 0; i < 4; ++i) out[4 + i] = static_cast<unsigned char>(size >> (8 * i));
}

MsgHeader DecodeHeader(const unsigned char in[MSG_HEADER_SIZE]) {
  MsgHeader header;
  std::memcpy(header.CMD, in, 4);
  std::uint32_t size = 0;
  for (int i = 0; i < 4; ++i) size |= static_cast<std::uint32_t>(in[4 + i]) << (8 * i);
  header.SIZE = static_cast<std::int32_t>(size);
  return header;
}

std::string CommandText(const MsgHeader& header) {
  std::size_t length = 0;
  while (length < 4 && header.CMD[length] != '\0') ++length;
  return std::string(header.CMD, length);
}

bool IsCommand(const MsgHeader& header, const char* command) { return CommandText(header) == command; }

int SockStartup(std::string& error) {
  std::uint16_t granted = 0;
  int rc = platform::NetStartup(0x0002, granted);
  if (rc != 0) {
    error = Format("SockStartup(): failed %d.", rc);
    return -1;
  }
  if ((granted & 0xFF) != 2 || (granted >> 8) != 0) {
    platform::NetCleanup();
    error = "SockStartup(): failed, version mismatch.";
    return -1;
  }
  return 0;
}

int SockCleanup() {
  platform::NetCleanup();
  return 0;
}

TSocket BaseSocket(std::string& error) { return BaseSocket(platform::IpAddress(), error); }

TSocket BaseSocket(const platform::IpAddress& family, std::string& error) {
  TSocket s = platform::NetSocket(family);
  if (s == INVALID_SOCK) error = Format("BaseSocket(): failed %d.", platform::NetLastError());
  return s;
}

int SocketBind(TSocket s, std::int32_t port, std::string& error) { return SocketBind(s, 0, port, error); }

int SocketBind(TSocket s, std::uint32_t address, std::int32_t port, std::string& error) {
  return SocketBind(s, platform::IpAddress::V4(address), port, false, error);
}

int SocketBind(TSocket s, const platform::IpAddress& address, std::int32_t port, bool dualStack, std::string& error) {
  if (platform::NetBind(s, address, port, dualStack) == 0) return 0;
  error = Format("SocketBind(%d): failed %d.", static_cast<int>(port), platform::NetLastError());
  return -1;
}

int SocketListen(TSocket s, std::string& error) {
  // Room for a burst of connects: a connect that finds the queue full has
  // its SYN dropped, and the client sends it again only after a second, so
  // 64 clients connecting at once through a queue of 5 lost whole seconds.
  // The system caps the value at its own limit (somaxconn).
  constexpr int kBacklog = 1024;
  if (platform::NetListen(s, kBacklog) == 0) return 0;
  error = Format("SocketListen(): failed %d.", platform::NetLastError());
  return -1;
}

TSocket SocketAccept(TSocket s, std::string& error) {
  TSocket c = platform::NetAccept(s);
  if (c == INVALID_SOCK) error = Format("SocketAccept(): failed %d.", platform::NetLastError());
  return c;
}

std::string GetPeerAddress(TSocket s) {
  std::string address;
  if (!platform::NetPeerAddress(s, address)) address.clear();
  return address;
}

int SocketSelect(TSocket s, int timeoutSeconds, int waitSet) {
  return platform::NetWait(s, timeoutSeconds, waitSet);
}

void CloseSocket(TSocket s) { platform::NetClose(s); }

IoResult ReadBuffer(TSocket s, void* buffer, int length, int timeoutSeconds) {
  if (length > MAX_BLOCK_SIZE) return {IoStatus::kTooLong, length};
  auto* position = static_cast<char*>(buffer);
  for (int done = 0; done < length;) {
    // Bytes that are there already are taken without a wait: the wait, with
    // its time-out, is for bytes still to come.
    const std::size_t missing = static_cast<std::size_t>(length - done);
    long n = platform::NetRecvNow(s, position, missing);
    if (n == platform::kNotReady) {
      // A wait that fails outright counts as one that ran out, as it always has.
      if (SocketSelect(s, timeoutSeconds, 5) <= 0) return {IoStatus::kTimedOut, 0};
      n = platform::NetRecv(s, position, missing);
    }
    // 0 bytes while bytes are missing: the peer has closed its side.
    if (n <= 0) return {n == 0 ? IoStatus::kClosed : IoStatus::kFailed, platform::NetLastError()};
    position += n;
    done += static_cast<int>(n);
  }
  return {};
}

namespace {

// WriteBuffer, with the hint that more data follow at once.
IoResult Write(TSocket s, const void* buffer, int length, int timeoutSeconds, bool moreFollows) {
  if (length > MAX_BLOCK_SIZE) return {IoStatus::kTooLong, length};
  const auto* position = static_cast<const char*>(buffer);
  for (int done = 0; done < length;) {
    // Room in the socket is used without a wait, as in ReadBuffer.
    const std::size_t left = static_cast<std::size_t>(length - done);
    long n = platform::NetSendNow(s, position, left, moreFollows);
    if (n == platform::kNotReady) {
      if (SocketSelect(s, timeoutSeconds, 6) <= 0) return {IoStatus::kTimedOut, 0};
      n = platform::NetSend(s, position, left);
    }
    if (n <= 0) return {IoStatus::kFailed, platform::NetLastError()};
    position += n;
    done += static_cast<int>(n);
  }
  return {};
}

}  // namespace

IoResult WriteBuffer(TSocket s, const void* buffer, int length, int timeoutSeconds) {
  return Write(s, buffer, length, timeoutSeconds, false);
}

IoResult ReadHeader(TSocket s, MsgHeader& header, int timeoutSeconds) {
  unsigned char bytes[MSG_HEADER_SIZE];
  const IoResult result = ReadBuffer(s, bytes, MSG_HEADER_SIZE, timeoutSeconds);
  if (result.Ok()) header = DecodeHeader(bytes);
  return result;
}

IoResult WriteHeader(TSocket s, const MsgHeader& header, int timeoutSeconds) {
  unsigned char bytes[MSG_HEADER_SIZE];
  EncodeHeader(header, bytes);
  return WriteBuffer(s, bytes, MSG_HEADER_SIZE, timeoutSeconds);
}

IoResult WriteHeaderBeforeData(TSocket s, const MsgHeader& header, int timeoutSeconds) {
  unsigned char bytes[MSG_HEADER_SIZE];
  EncodeHeader(header, bytes);
  return Write(s, bytes, MSG_HEADER_SIZE, timeoutSeconds, true);
}

std::string SocketResultText(SocketCall call, const IoResult& result) {
  // Reads have always said "error", writes "failed".
  const char* function = call == SocketCall::kRead ? "ReadBuffer()" : "WriteBuffer()";
  const char* verb = call == SocketCall::kRead ? "error" : "failed";
  switch (result.status) {
    case IoStatus::kOk:
      return {};
    case IoStatus::kTooLong:
      return Format("%s: failed, %s, %d.", function, "Len overflow", result.error);
    case IoStatus::kTimedOut:
      return Format("%s: %s, %s.", function, verb, "SocketSelect()");
    case IoStatus::kClosed:
    case IoStatus::kFailed:
      break;
  }
  return Format("%s: %s %d.", function, verb, result.error);
}

#pragma once
// The wire header and the socket primitives every conversation rests on.
// No function here logs or throws: failures come back as -1 (or an invalid
// socket) with an English text in the last argument, which is assigned only on
// failure.

#include <cstdint>
#include <string>

#include "platform/Sockets.h"

using TSocket = platform::SocketHandle;
constexpr TSocket INVALID_SOCK = platform::kNoSocket;

// The most one ReadBuffer or WriteBuffer moves, the largest command body, and
// the size of each connection's transfer buffer.
constexpr int MAX_BLOCK_SIZE = 16000;

// Four command letters, then SIZE: a body length in requests, a result code
// in replies. SIZE is little-endian on the wire on every host.
struct MsgHeader {
  char CMD[4] = {0, 0, 0, 0};
  std::int32_t SIZE = 0;
};
constexpr int MSG_HEADER_SIZE = 8;

MsgHeader MakeHeader(const char* command, std::int32_t size);
void EncodeHeader(const MsgHeader& header, unsigned char out[MSG_HEADER_SIZE]);
MsgHeader DecodeHeader(const unsigned char in[MSG_HEADER_SIZE]);

// The letters up to the first zero byte (at most four).
std::string CommandText(const MsgHeader& header);
// Case-sensitive comparison of CommandText with `command`.
bool IsCommand(const MsgHeader& header, const char* command);

int SockStartup(std::string& error);
int SockCleanup();
TSocket BaseSocket(std::string& error);
int SocketBind(TSocket s, std::int32_t port, std::string& error);  // all IPv4 interfaces
int SocketBind(TSocket s, std::uint32_t address, std::int32_t port, std::string& error);
int SocketListen(TSocket s, std::string& error);
TSocket SocketAccept(TSocket s, std::string& error);
std::string GetPeerAddress(TSocket s);
int SocketSelect(TSocket s, int timeoutSeconds, int waitSet);
void CloseSocket(TSocket s);

// Exactly `length` bytes, each readiness wait at most `timeoutSeconds`.
int ReadBuffer(TSocket s, void* buffer, int length, int timeoutSeconds, std::string& error);
int WriteBuffer(TSocket s, const void* buffer, int length, int timeoutSeconds, std::string& error);

// One header through ReadBuffer or WriteBuffer.
int ReadHeader(TSocket s, MsgHeader& header, int timeoutSeconds, std::string& error);
int WriteHeader(TSocket s, const MsgHeader& header, int timeoutSeconds, std::string& error);
// WriteHeader for a reply that file data follow at once: the system may hold
// its bytes back to send them in one segment with the data, which spares the
// client one wake-up. The bytes on the wire are the same.
int WriteHeaderBeforeData(TSocket s, const MsgHeader& header, int timeoutSeconds, std::string& error);

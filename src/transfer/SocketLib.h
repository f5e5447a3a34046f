#pragma once
// The wire header and the socket primitives every conversation rests on.
// No function here logs or throws. The data calls return an IoResult that
// says whether the wait ran out, the peer closed or the system failed;
// SocketResultText words it where a line is written. The set-up calls
// return -1 (or an invalid socket) with an English text in the last
// argument, which is assigned only on failure.

#include <cstdint>
#include <string>

#include "platform/IoResult.h"
#include "platform/Sockets.h"

using TSocket = platform::SocketHandle;
constexpr TSocket INVALID_SOCK = platform::kNoSocket;
using platform::IoResult;
using platform::IoStatus;

// How long either end waits for the other's next header or body, and the
// connection's first header, before it gives up.
constexpr int kPeerWaitSeconds = 10;

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
TSocket BaseSocket(std::string& error);  // IPv4
TSocket BaseSocket(const platform::IpAddress& family, std::string& error);
int SocketBind(TSocket s, std::int32_t port, std::string& error);  // all IPv4 interfaces
int SocketBind(TSocket s, std::uint32_t address, std::int32_t port, std::string& error);
// `dualStack`: an IPv6 socket takes IPv4 connections too.
int SocketBind(TSocket s, const platform::IpAddress& address, std::int32_t port, bool dualStack, std::string& error);
int SocketListen(TSocket s, std::string& error);
TSocket SocketAccept(TSocket s, std::string& error);
// The peer's address: dotted IPv4, or IPv6 in its shortest form; an IPv4
// client of a dual-stack socket in dotted form. Empty when unknown.
std::string GetPeerAddress(TSocket s);
int SocketSelect(TSocket s, int timeoutSeconds, int waitSet);
void CloseSocket(TSocket s);

// Exactly `length` bytes, each readiness wait at most `timeoutSeconds`; more
// than MAX_BLOCK_SIZE is kTooLong before the socket is touched.
IoResult ReadBuffer(TSocket s, void* buffer, int length, int timeoutSeconds);
IoResult WriteBuffer(TSocket s, const void* buffer, int length, int timeoutSeconds);

// One header through ReadBuffer or WriteBuffer.
IoResult ReadHeader(TSocket s, MsgHeader& header, int timeoutSeconds);
IoResult WriteHeader(TSocket s, const MsgHeader& header, int timeoutSeconds);
// WriteHeader for a reply that file data follow at once: the system may hold
// its bytes back to send them in one segment with the data, which spares the
// client one wake-up. The bytes on the wire are the same.
IoResult WriteHeaderBeforeData(TSocket s, const MsgHeader& header, int timeoutSeconds);

// The text of a failed read (ReadBuffer, ReadHeader) or write, in the words
// the socket layer has always used: "ReadBuffer(): error, SocketSelect()."
// for a wait that ran out, "WriteBuffer(): failed 32." for a system error.
enum class SocketCall { kRead, kWrite };
std::string SocketResultText(SocketCall call, const IoResult& result);


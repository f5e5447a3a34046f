#pragma once
// File data from a file's current position to a socket. Where the system
// can move the bytes without passing them through the caller's buffer, it
// does; a failure is still told apart as the file's or the connection's.

#include <cstddef>

#include "platform/Files.h"
#include "platform/SendDeadline.h"
#include "platform/Sockets.h"

namespace platform {

enum class SendFileResult {
  kSent,        // `sent` bytes went out, 0 when the file ends at its position
  kReadFailed,  // the file could not be read; LastError() holds the reason
  kSendFailed,  // the socket refused the bytes, or took none for its idle
                // time-out; NetLastError() holds the reason
};

// Sends up to `length` bytes of `file` from its current position on, and
// moves the position past the bytes sent; `sent` counts them, also when a
// failure ends the step early. A send that fails sends nothing of its bytes
// twice. The step waits for room in the socket itself and fails once no
// byte has left for the socket's idle time-out (SendDeadline). `buffer`
// (`bufferSize` bytes) carries the data where the system has no direct
// path, or where the direct path failed: the bytes are then read into it,
// which tells a failed read from a failed send, and sent from there.
//
// The caller sends until a call moves nothing or fails, or until `ended`
// says that the file ended after the bytes sent: Linux tells that when the
// step ran into the end, which saves the caller a last call; elsewhere it
// stays false. On Linux the socket stays corked from the first call to
// the last one.
//
// Linux uses sendfile. Windows server editions use TransmitFile, which does
// not tell a failed read from a failed send: a step that fails is the
// file's failure when the file cannot be read where it began. Client
// editions read and send: TransmitFile runs at most two transfers at a time
// there and queues the rest, so one client that stops reading would hold up
// every other download.
SendFileResult SendFileData(SocketHandle s, FileHandle file, std::size_t length, char* buffer,
                            std::size_t bufferSize, std::size_t& sent, bool* ended = nullptr);

// The path through `buffer` alone, on a socket in non-blocking mode: reads
// of at most `bufferSize` bytes, each sent to its last byte before the next,
// until `length` bytes or the end of the file. Adds the bytes sent to `sent`.
SendFileResult ReadAndSend(SocketHandle s, FileHandle file, std::size_t length, char* buffer,
                           std::size_t bufferSize, SendDeadline& deadline, std::size_t& sent);

}  // namespace platform

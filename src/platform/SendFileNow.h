#pragma once
// File data to a socket without waiting for room: for the thread that serves
// many connections at once and must never be held by one of them.

#include <cstddef>

#include "platform/Files.h"
#include "platform/Sockets.h"

namespace platform {

// Sends what the socket takes at once of up to `length` bytes of `file` from
// its current position, moves the position past them and returns their
// count; `ended` tells that the file ended within them. Fewer than `length`
// without the end means the socket had no room, or refused the bytes: the
// caller goes on with SendFileData, which waits for room and tells a failed
// read from a failed send.
//
// Linux uses sendfile on the socket switched to non-blocking mode for the
// call, on the threads that hold SIGPIPE back for their life (StartThread's;
// elsewhere nothing is sent here). Windows sends files only through calls
// that wait, so there nothing is sent here and every file goes on with
// SendFileData.
std::size_t SendFileNow(SocketHandle s, FileHandle file, std::size_t length, bool& ended);

}  // namespace platform

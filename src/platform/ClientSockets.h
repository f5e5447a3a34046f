#pragma once
// What a connecting client needs beyond the server's socket calls: a connect
// that gives up after a time, half-closing the sending side, sends that never
// wait, and readiness waits finer than a second.

#include <cstddef>
#include <cstdint>

#include "platform/IoResult.h"
#include "platform/IpAddress.h"
#include "platform/Sockets.h"

namespace platform {

// Connects `s` (a socket of the address's family) to address:port, waiting
// at most `milliseconds`: kOk, kTimedOut, or kFailed with the cause. The
// socket is blocking again afterwards.
IoResult NetConnectTimed(SocketHandle s, const IpAddress& address, int port, int milliseconds);

// Ends the sending direction: the peer reads the end of the stream while
// this side can still receive.
int NetShutdownSend(SocketHandle s);

// Sends what the socket takes at once, never waiting for room: the bytes
// sent, 0 when there was no room, -1 on error. A blocking send of a whole
// block would hang when the peer stops reading.
long NetSendNoWait(SocketHandle s, const void* data, std::size_t length);

// As NetWait, with the time-out in milliseconds (0 polls).
int NetWaitMilliseconds(SocketHandle s, int milliseconds, int waitSet);

}  // namespace platform

#pragma once
// One readiness wait over many sockets, for a thread that serves several
// short connections side by side instead of one after the other.

#include <cstddef>

#include "platform/Sockets.h"

namespace platform {

struct PollEntry {
  SocketHandle socket = kNoSocket;
  bool readable = false;  // wait for bytes, a connection to accept, or the peer's close
  bool writable = false;  // wait for room to send
  // Set by NetPoll: what was asked for is there, or the socket has failed
  // (the next receive or send then tells which).
  bool ready = false;
};

// Waits until at least one of `entries` is ready or `milliseconds` (0 or
// more) have passed. The number ready, 0 on time-out, -1 on error.
int NetPoll(PollEntry* entries, std::size_t count, int milliseconds);

}  // namespace platform

#pragma once
// A readiness wait on a socket that another thread can end at once. The wait
// also watches a wake-up of its own, which Wake makes ready without ever
// blocking: a connection to the own port, the other way to end such a wait,
// can itself wait for minutes when the listen queue is full.

#include <cstddef>

#include "platform/SocketPoll.h"
#include "platform/Sockets.h"

namespace platform {

class WakeableWait {
 public:
  WakeableWait();
  ~WakeableWait();
  WakeableWait(const WakeableWait&) = delete;
  WakeableWait& operator=(const WakeableWait&) = delete;

  // As NetPoll over `entries` (none: it only pauses), until one of them is
  // ready, Wake has been called, or `milliseconds` (0 or more) have passed.
  // The number ready, 0 on time-out or once woken, -1 on error. Without a
  // wake-up of its own (the system would not give one) it waits on the
  // entries alone.
  int Wait(PollEntry* entries, std::size_t count, int milliseconds);

  // From any thread, any number of times: this and every later Wait return
  // at once.
  void Wake();

  // What turns readable once woken, for a wait of another kind that watches
  // it beside its own sockets; kNoSocket without a wake-up of its own.
  SocketHandle Signal() const { return FReceiver; }

 private:
  SocketHandle FReceiver = kNoSocket;  // readable once woken
  SocketHandle FSender = kNoSocket;    // where Wake writes; may be FReceiver
};

}  // namespace platform

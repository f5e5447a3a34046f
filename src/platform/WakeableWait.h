#pragma once
// A readiness wait on a socket that another thread can end at once. The wait
// also watches a wake-up of its own, which Wake makes ready without ever
// blocking: a connection to the own port, the other way to end such a wait,
// can itself wait for minutes when the listen queue is full.

#include "platform/Sockets.h"

namespace platform {

class WakeableWait {
 public:
  WakeableWait();
  ~WakeableWait();
  WakeableWait(const WakeableWait&) = delete;
  WakeableWait& operator=(const WakeableWait&) = delete;

  // Waits until `s` is ready for `waitSet` (the bits of NetWait), Wake has
  // been called, or `milliseconds` (0 or more) have passed. With `s` kNoSocket it only
  // pauses. > 0 when `s` is ready, 0 on time-out or once woken, -1 on error.
  // Without a wake-up of its own (the system would not give one) it waits
  // on `s` alone.
  int Wait(SocketHandle s, int milliseconds, int waitSet);

  // From any thread, any number of times: this and every later Wait return
  // at once.
  void Wake();

 private:
  SocketHandle FReceiver = kNoSocket;  // readable once woken
  SocketHandle FSender = kNoSocket;    // where Wake writes; may be FReceiver
};

}  // namespace platform

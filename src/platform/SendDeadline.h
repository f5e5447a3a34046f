#pragma once
// How long the sending side of a connection may go without progress: the
// socket's idle time-out (NetSetIdleTimeout), counted from the last byte that
// left rather than per call, so that a peer that stops reading is cut that
// long after its last progress however many calls hand the bytes over.

#include <chrono>

#include "platform/Sockets.h"

namespace platform {

class SendDeadline {
 public:
  // The clock starts now.
  explicit SendDeadline(SocketHandle s);

  // Waits until the socket takes more data. False once the idle time-out
  // has passed since the last progress (the last error then names a
  // time-out), or when the wait fails. Without an idle time-out it waits
  // as long as it takes.
  bool WaitForRoom();
  void Progressed() { FLastProgress = std::chrono::steady_clock::now(); }

 private:
  SocketHandle FSocket;
  int FIdleMilliseconds;
  std::chrono::steady_clock::time_point FLastProgress;
};

}  // namespace platform

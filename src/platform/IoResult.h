#pragma once
// How one socket operation ended, in the words every caller decides by: done,
// the wait ran out, the peer closed, or the system refused it. The system's
// error number travels with the result, so that the text a caller logs or
// shows is made where it is written, not at the point of failure.

namespace platform {

enum class IoStatus {
  kOk,
  kTimedOut,  // a readiness wait or a connect gave up after its time
  kClosed,    // the peer ended the stream while bytes were still due
  kFailed,    // the system reported an error (see `error`)
  kTooLong,   // more than one call may move was asked for; nothing was done
};

struct IoResult {
  IoStatus status = IoStatus::kOk;
  // The system's error number (errno, or WSAGetLastError) as the operation
  // left it; for kTooLong the length that was refused.
  int error = 0;

  bool Ok() const { return status == IoStatus::kOk; }
  bool TimedOut() const { return status == IoStatus::kTimedOut; }
};

}  // namespace platform

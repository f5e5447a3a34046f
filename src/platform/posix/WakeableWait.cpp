#include "platform/WakeableWait.h"

#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

namespace platform {

// A pipe: Wake writes one byte that is never read, so the read end stays
// readable.
WakeableWait::WakeableWait() {
  int ends[2];
  if (::pipe2(ends, O_CLOEXEC | O_NONBLOCK) != 0) return;
  FReceiver = ends[0];
  FSender = ends[1];
}

WakeableWait::~WakeableWait() {
  if (FReceiver != kNoSocket) ::close(static_cast<int>(FReceiver));
  if (FSender != kNoSocket) ::close(static_cast<int>(FSender));
}

int WakeableWait::Wait(SocketHandle s, int milliseconds, int waitSet) {
  pollfd p[2] = {};
  p[0].fd = static_cast<int>(s);  // a negative descriptor is not watched
  if (waitSet & 1) p[0].events |= POLLIN;
  if (waitSet & 2) p[0].events |= POLLOUT;
  if (waitSet & 4) p[0].events |= POLLPRI;
  p[1].fd = static_cast<int>(FReceiver);
  p[1].events = POLLIN;
  int r;
  do {
    r = ::poll(p, 2, milliseconds);
  } while (r < 0 && errno == EINTR);
  if (r > 0 && p[1].revents != 0) return 0;
  return r;
}

void WakeableWait::Wake() {
  if (FSender == kNoSocket) return;
  const char byte = 1;
  // A full pipe is woken already.
  while (::write(static_cast<int>(FSender), &byte, 1) < 0 && errno == EINTR) {
  }
}

}  // namespace platform

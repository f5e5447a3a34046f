#include "platform/WakeableWait.h"

#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <vector>

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

int WakeableWait::Wait(PollEntry* entries, std::size_t count, int milliseconds) {
  std::vector<pollfd> fds(count + 1);
  for (std::size_t i = 0; i < count; ++i) {
    fds[i].fd = static_cast<int>(entries[i].socket);
    fds[i].events = static_cast<short>((entries[i].readable ? POLLIN : 0) | (entries[i].writable ? POLLOUT : 0));
  }
  fds[count].fd = static_cast<int>(FReceiver);  // a negative descriptor is not watched
  fds[count].events = POLLIN;
  int r;
  do {
    r = ::poll(fds.data(), fds.size(), milliseconds);
  } while (r < 0 && errno == EINTR);
  for (std::size_t i = 0; i < count; ++i) entries[i].ready = r > 0 && fds[i].revents != 0;
  if (r > 0 && fds[count].revents != 0) return 0;
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

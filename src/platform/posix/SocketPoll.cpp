#include "platform/SocketPoll.h"

#include <cerrno>
#include <poll.h>
#include <vector>

namespace platform {

// poll, not select: descriptors above FD_SETSIZE must work too.
int NetPoll(PollEntry* entries, std::size_t count, int milliseconds) {
  std::vector<pollfd> fds(count);
  for (std::size_t i = 0; i < count; ++i) {
    fds[i].fd = static_cast<int>(entries[i].socket);
    fds[i].events = static_cast<short>((entries[i].readable ? POLLIN : 0) | (entries[i].writable ? POLLOUT : 0));
  }
  int r;
  do {
    r = ::poll(fds.data(), fds.size(), milliseconds);
  } while (r < 0 && errno == EINTR);
  for (std::size_t i = 0; i < count; ++i) entries[i].ready = r > 0 && fds[i].revents != 0;
  return r;
}

}  // namespace platform

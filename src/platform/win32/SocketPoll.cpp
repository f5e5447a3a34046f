#include "platform/SocketPoll.h"

#include <winsock2.h>

#include <vector>

namespace platform {

// WSAPoll, not select: an fd_set holds 64 sockets at most.
int NetPoll(PollEntry* entries, std::size_t count, int milliseconds) {
  std::vector<WSAPOLLFD> fds(count);
  for (std::size_t i = 0; i < count; ++i) {
    fds[i].fd = static_cast<SOCKET>(entries[i].socket);
    fds[i].events = static_cast<SHORT>((entries[i].readable ? POLLRDNORM : 0) | (entries[i].writable ? POLLWRNORM : 0));
  }
  const int r = ::WSAPoll(fds.data(), static_cast<ULONG>(fds.size()), milliseconds);
  for (std::size_t i = 0; i < count; ++i) entries[i].ready = r > 0 && fds[i].revents != 0;
  return r == SOCKET_ERROR ? -1 : r;
}

}  // namespace platform

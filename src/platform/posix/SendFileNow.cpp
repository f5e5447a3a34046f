#include "platform/SendFileNow.h"

#include <sys/sendfile.h>

#include <cerrno>

#include "platform/posix/PipeSignal.h"

namespace platform {

std::size_t SendFileNow(SocketHandle s, FileHandle file, std::size_t length, bool& ended) {
  ended = false;
  // sendfile has no MSG_NOSIGNAL: only where SIGPIPE is held back for the
  // thread's life can it run without mask changes around it.
  if (!PipeSignalHeldForLife()) return 0;
  std::size_t sent = 0;
  NetSetNonBlocking(s, true);
  while (sent < length) {
    const ssize_t n = ::sendfile(static_cast<int>(s), static_cast<int>(file), nullptr, length - sent);
    if (n > 0) {
      sent += static_cast<std::size_t>(n);
    } else if (n == 0) {
      ended = true;
      break;
    } else if (errno != EINTR) {
      // No room, or a failure that SendFileData meets again and tells apart.
      break;
    }
  }
  NetSetNonBlocking(s, false);
  return sent;
}

}  // namespace platform

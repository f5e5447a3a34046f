#include "platform/SendFile.h"

#include <cerrno>
#include <csignal>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <ctime>
#include <optional>
#include <pthread.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <unistd.h>

namespace platform {

namespace {

ssize_t SendFileCorked(int socket, int file, std::size_t length) {
  // Corked, the data leave in whole segments, which the receiving side
  // takes in fewer and larger pieces. The caller sends until a step finds
  // the end of the file, so a step that moved bytes is always followed by
  // another: the socket stays corked between steps (and while it waits for
  // room), and the step that moves nothing or fails uncorks, which sends
  // the rest at once.
  int cork = 1;
  ::setsockopt(socket, IPPROTO_TCP, TCP_CORK, &cork, sizeof cork);
  ssize_t n;
  do {
    n = ::sendfile(socket, file, nullptr, length);
  } while (n < 0 && errno == EINTR);
  if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK)) {
    const int sendError = errno;
    cork = 0;
    ::setsockopt(socket, IPPROTO_TCP, TCP_CORK, &cork, sizeof cork);
    errno = sendError;
  }
  return n;
}

// sendfile has no MSG_NOSIGNAL: SIGPIPE is held back for the call, and the
// one it raised on a closed connection is taken off the thread again. The
// server's own threads hold it back for their whole life (StartThread), so
// for them a signal left pending does no harm and nothing else is needed.
ssize_t SendFileNoSignal(int socket, int file, std::size_t length) {
  sigset_t pipe, previous;
  sigemptyset(&pipe);
  sigaddset(&pipe, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &pipe, &previous);
  if (sigismember(&previous, SIGPIPE) == 1) return SendFileCorked(socket, file, length);
  sigset_t pending;
  sigpending(&pending);
  const bool wasPending = sigismember(&pending, SIGPIPE) == 1;

  const ssize_t n = SendFileCorked(socket, file, length);

  if (!wasPending) {
    const int error = errno;
    sigpending(&pending);
    const timespec none{0, 0};
    if (sigismember(&pending, SIGPIPE) == 1)
      while (sigtimedwait(&pipe, nullptr, &none) < 0 && errno == EINTR) {
      }
    errno = error;
  }
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  return n;
}

}  // namespace

SendFileResult SendFileData(SocketHandle s, FileHandle file, std::size_t length, char* buffer,
                            std::size_t bufferSize, std::size_t& sent) {
  sent = 0;
  if (length == 0) return SendFileResult::kSent;
  // Each sendfile takes what fits into the socket and returns; the waits
  // for room in between are the deadline's, so a peer that stops reading
  // is cut once, not after a time-out per call. The deadline is only made
  // when the socket first has no room: most steps never wait.
  std::optional<SendDeadline> deadline;
  NetSetNonBlocking(s, true);
  SendFileResult result = SendFileResult::kSent;
  while (sent < length) {
    const ssize_t n = SendFileNoSignal(static_cast<int>(s), static_cast<int>(file), length - sent);
    if (n == 0) break;  // the end of the file
    if (n > 0) {
      sent += static_cast<std::size_t>(n);
      if (deadline) deadline->Progressed();
      continue;
    }
    if (NetWouldBlock()) {
      if (!deadline) deadline.emplace(s);
      if (deadline->WaitForRoom()) continue;
      result = SendFileResult::kSendFailed;
      break;
    }
    // A failed sendfile has moved no byte and left the position as it was;
    // reading through the buffer tells the file's failure from the socket's.
    if (!deadline) deadline.emplace(s);
    result = ReadAndSend(s, file, length - sent, buffer, bufferSize, *deadline, sent);
    break;
  }
  // The failure's error number outlives the switch back.
  const int error = errno;
  NetSetNonBlocking(s, false);
  errno = error;
  return result;
}

}  // namespace platform

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

#include "platform/posix/PipeSignal.h"

namespace platform {

namespace {

void SetCork(SocketHandle s, bool on) {
  const int cork = on ? 1 : 0;
  ::setsockopt(static_cast<int>(s), IPPROTO_TCP, TCP_CORK, &cork, sizeof cork);
}

ssize_t SendFileOnce(int socket, int file, std::size_t length) {
  ssize_t n;
  do {
    n = ::sendfile(socket, file, nullptr, length);
  } while (n < 0 && errno == EINTR);
  return n;
}

// sendfile has no MSG_NOSIGNAL: SIGPIPE is held back for the call, and the
// one it raised on a closed connection is taken off the thread again. The
// server's own threads hold it back for their whole life (StartThread), so
// for them a signal left pending does no harm and nothing else is needed,
// not even a look at the mask.
ssize_t SendFileNoSignal(int socket, int file, std::size_t length) {
  if (PipeSignalHeldForLife()) return SendFileOnce(socket, file, length);
  sigset_t pipe, previous;
  sigemptyset(&pipe);
  sigaddset(&pipe, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &pipe, &previous);
  if (sigismember(&previous, SIGPIPE) == 1) return SendFileOnce(socket, file, length);
  sigset_t pending;
  sigpending(&pending);
  const bool wasPending = sigismember(&pending, SIGPIPE) == 1;

  const ssize_t n = SendFileOnce(socket, file, length);

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
                            std::size_t bufferSize, std::size_t& sent, bool* ended) {
  sent = 0;
  if (ended != nullptr) *ended = false;
  if (length == 0) return SendFileResult::kSent;
  // Each sendfile takes what fits into the socket and returns; the waits
  // for room in between are the deadline's, so a peer that stops reading
  // is cut once, not after a time-out per call. The deadline is only made
  // when the socket first has no room: most steps never wait.
  std::optional<SendDeadline> deadline;
  NetSetNonBlocking(s, true);
  // Corked, the data leave in whole segments, which the receiving side
  // takes in fewer and larger pieces. The caller sends until a step finds
  // the end of the file or fails, so a step that moved bytes is always
  // followed by another: the socket stays corked between steps (and while
  // it waits for room), and the step that ends uncorks, which sends the
  // rest at once.
  SetCork(s, true);
  bool corked = true, atEnd = false;
  SendFileResult result = SendFileResult::kSent;
  while (sent < length) {
    const ssize_t n = SendFileNoSignal(static_cast<int>(s), static_cast<int>(file), length - sent);
    if (n == 0) {
      atEnd = true;
      break;
    }
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
    // Its pieces go out as they are read.
    SetCork(s, false);
    corked = false;
    if (!deadline) deadline.emplace(s);
    result = ReadAndSend(s, file, length - sent, buffer, bufferSize, *deadline, sent);
    break;
  }
  // The failure's error number outlives the uncork and the switch back.
  const int error = errno;
  if (corked && (atEnd || result != SendFileResult::kSent)) SetCork(s, false);
  NetSetNonBlocking(s, false);
  errno = error;
  if (ended != nullptr) *ended = atEnd;
  return result;
}

}  // namespace platform

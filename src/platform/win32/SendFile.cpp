#include "platform/SendFile.h"

#include <winsock2.h>
#include <mswsock.h>
#include <windows.h>
#include <versionhelpers.h>

#include <algorithm>
#include <cstdint>

namespace platform {

namespace {

// The most one TransmitFile call moves: the idle time-out below is waited
// for each call, so each call must be able to finish well within it.
constexpr std::int64_t kTransmitStep = 4 << 20;

// Server editions run any number of TransmitFile calls at once; client
// editions run two and queue the rest, so that one client that stops reading
// would hold up every other download. Those read and send.
bool TransmitsWithoutLimit() {
  static const bool server = IsWindowsServer();
  return server;
}

// The wait a blocking send has on this socket (the idle time-out), or none.
DWORD SendTimeout(SOCKET s) {
  DWORD milliseconds = 0;
  int size = sizeof milliseconds;
  if (::getsockopt(s, SOL_SOCKET, SO_SNDTIMEO, reinterpret_cast<char*>(&milliseconds), &size) != 0) return INFINITE;
  return milliseconds == 0 ? INFINITE : milliseconds;
}

// TransmitFile from `position`, overlapped so that it gives up after the
// socket's send time-out as a blocking send would. The count sent, or -1
// when nothing went out; a call cut short counts what went out before, as
// a short sendfile does, and the next call fails.
long long Transmit(SOCKET s, HANDLE file, std::int64_t position, DWORD length) {
  OVERLAPPED overlapped{};
  overlapped.Offset = static_cast<DWORD>(position);
  overlapped.OffsetHigh = static_cast<DWORD>(position >> 32);
  overlapped.hEvent = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (overlapped.hEvent == nullptr) return -1;
  long long sent = -1;
  if (::TransmitFile(s, file, length, 0, &overlapped, nullptr, 0) || ::WSAGetLastError() == WSA_IO_PENDING) {
    const bool finished = ::WaitForSingleObject(overlapped.hEvent, SendTimeout(s)) == WAIT_OBJECT_0;
    if (!finished) ::CancelIoEx(reinterpret_cast<HANDLE>(s), &overlapped);
    DWORD done = 0, flags = 0;
    if ((::WSAGetOverlappedResult(s, &overlapped, &done, TRUE, &flags) && finished) || done > 0) sent = done;
    if (!finished) ::WSASetLastError(WSAETIMEDOUT);
  }
  const int error = ::WSAGetLastError();
  ::CloseHandle(overlapped.hEvent);
  ::WSASetLastError(error);
  return sent;
}

// TransmitFile does not say whether the file or the connection failed: a
// file that cannot be read where the step began is the file's failure.
bool ReadableAt(HANDLE file, std::int64_t position) {
  OVERLAPPED at{};
  at.Offset = static_cast<DWORD>(position);
  at.OffsetHigh = static_cast<DWORD>(position >> 32);
  char byte;
  DWORD read = 0;
  return ::ReadFile(file, &byte, 1, &read, &at) != 0;
}

// Reads and sends on the socket in non-blocking mode, with one deadline
// for the whole step.
SendFileResult ReadThroughBuffer(SocketHandle s, FileHandle file, std::size_t length, char* buffer,
                                 std::size_t bufferSize, std::size_t& sent) {
  SendDeadline deadline(s);
  NetSetNonBlocking(s, true);
  const SendFileResult result = ReadAndSend(s, file, length, buffer, bufferSize, deadline, sent);
  // The failure's error number outlives the switch back.
  const DWORD error = ::GetLastError();
  NetSetNonBlocking(s, false);
  ::SetLastError(error);
  return result;
}

}  // namespace

SendFileResult SendFileData(SocketHandle s, FileHandle file, std::size_t length, char* buffer,
                            std::size_t bufferSize, std::size_t& sent, bool* ended) {
  sent = 0;
  if (ended != nullptr) *ended = false;
  if (length == 0) return SendFileResult::kSent;
  if (!TransmitsWithoutLimit()) return ReadThroughBuffer(s, file, length, buffer, bufferSize, sent);

  // TransmitFile reads at the offset it is given and leaves the file's
  // position alone: the position is read first and moved past what was sent.
  const HANDLE handle = reinterpret_cast<HANDLE>(file);
  LARGE_INTEGER position{}, size{};
  if (!::SetFilePointerEx(handle, LARGE_INTEGER{}, &position, FILE_CURRENT) || !::GetFileSizeEx(handle, &size))
    return SendFileResult::kReadFailed;
  const std::int64_t step =
      std::min({size.QuadPart - position.QuadPart, static_cast<std::int64_t>(length), kTransmitStep});
  if (step <= 0) return SendFileResult::kSent;
  const long long n = Transmit(static_cast<SOCKET>(s), handle, position.QuadPart, static_cast<DWORD>(step));
  if (n < 0) {
    const int sendError = ::WSAGetLastError();
    if (!ReadableAt(handle, position.QuadPart)) return SendFileResult::kReadFailed;
    ::WSASetLastError(sendError);
    return SendFileResult::kSendFailed;
  }
  LARGE_INTEGER next{};
  next.QuadPart = position.QuadPart + n;
  ::SetFilePointerEx(handle, next, nullptr, FILE_BEGIN);
  sent = static_cast<std::size_t>(n);
  return SendFileResult::kSent;
}

}  // namespace platform

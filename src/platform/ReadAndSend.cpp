#include "platform/SendFile.h"

namespace platform {

// A failed read is the file's fault, a failed send afterwards the
// connection's.
SendFileResult ReadAndSend(SocketHandle s, FileHandle file, std::size_t length, char* buffer,
                           std::size_t bufferSize, SendDeadline& deadline, std::size_t& sent) {
  for (std::size_t left = length; left > 0;) {
    const long n = ReadFile(file, buffer, left < bufferSize ? left : bufferSize);
    if (n < 0) return SendFileResult::kReadFailed;
    if (n == 0) break;
    for (long done = 0; done < n;) {
      if (!deadline.WaitForRoom()) return SendFileResult::kSendFailed;
      const long m = NetSend(s, buffer + done, static_cast<std::size_t>(n - done));
      if (m < 0 && NetWouldBlock()) continue;
      if (m <= 0) return SendFileResult::kSendFailed;
      done += m;
      sent += static_cast<std::size_t>(m);
      deadline.Progressed();
    }
    left -= static_cast<std::size_t>(n);
  }
  return SendFileResult::kSent;
}

}  // namespace platform

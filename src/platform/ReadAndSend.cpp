#include "platform/SendFile.h"

namespace platform {

// A failed read is the file's fault, a failed send afterwards the
// connection's.
SendFileResult ReadAndSend(SocketHandle s, FileHandle file, std::size_t length, char* buffer,
                           std::size_t bufferSize, std::size_t& sent) {
  const long n = ReadFile(file, buffer, length < bufferSize ? length : bufferSize);
  if (n < 0) return SendFileResult::kReadFailed;
  for (long done = 0; done < n;) {
    const long m = NetSend(s, buffer + done, static_cast<std::size_t>(n - done));
    if (m <= 0) return SendFileResult::kSendFailed;
    done += m;
  }
  sent = static_cast<std::size_t>(n);
  return SendFileResult::kSent;
}

}  // namespace platform

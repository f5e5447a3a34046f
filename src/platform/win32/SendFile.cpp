#include "platform/SendFile.h"

namespace platform {

SendFileResult SendFileData(SocketHandle s, FileHandle file, std::size_t length, char* buffer,
                            std::size_t bufferSize, std::size_t& sent) {
  sent = 0;
  if (length == 0) return SendFileResult::kSent;
  SendDeadline deadline(s);
  NetSetNonBlocking(s, true);
  const SendFileResult result = ReadAndSend(s, file, length, buffer, bufferSize, deadline, sent);
  NetSetNonBlocking(s, false);
  return result;
}

}  // namespace platform

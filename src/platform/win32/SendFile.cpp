#include "platform/SendFile.h"

namespace platform {

SendFileResult SendFileData(SocketHandle s, FileHandle file, std::size_t length, char* buffer,
                            std::size_t bufferSize, std::size_t& sent) {
  sent = 0;
  if (length == 0) return SendFileResult::kSent;
  return ReadAndSend(s, file, length, buffer, bufferSize, sent);
}

}  // namespace platform

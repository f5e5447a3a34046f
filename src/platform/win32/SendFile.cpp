#include "platform/SendFile.h"

#include <windows.h>

namespace platform {

SendFileResult SendFileData(SocketHandle s, FileHandle file, std::size_t length, char* buffer,
                            std::size_t bufferSize, std::size_t& sent) {
  sent = 0;
  if (length == 0) return SendFileResult::kSent;
  SendDeadline deadline(s);
  NetSetNonBlocking(s, true);
  const SendFileResult result = ReadAndSend(s, file, length, buffer, bufferSize, deadline, sent);
  // The failure's error number outlives the switch back.
  const DWORD error = ::GetLastError();
  NetSetNonBlocking(s, false);
  ::SetLastError(error);
  return result;
}

}  // namespace platform

#include "platform/Files.h"
#include "platform/Tls.h"

// What the TLS sessions of both systems share, on top of their own reads.

namespace platform {

IoResult TlsSession::ReadExactly(void* data, std::size_t length, int timeoutSeconds) {
  auto* position = static_cast<char*>(data);
  for (std::size_t done = 0; done < length;) {
    std::size_t n = 0;
    const IoResult result = ReadSome(position + done, length - done, timeoutSeconds, n);
    if (!result.Ok()) return result;
    done += n;
  }
  return {};
}

std::string TlsResultText(const IoResult& result, const TlsSession& session) {
  switch (result.status) {
    case IoStatus::kOk:
      return {};
    case IoStatus::kTimedOut:
      return "timed out";
    case IoStatus::kClosed:
      return "closed by the peer";
    case IoStatus::kTooLong:
      return "too long";
    case IoStatus::kFailed:
      break;
  }
  if (result.error == kTlsCut) return "cut without close-notify";
  if (result.error == kTlsProtocolError) return session.ErrorText();
  const std::string text = ErrorText(result.error);
  return text.empty() ? "system error " + std::to_string(result.error) : text;
}

}  // namespace platform

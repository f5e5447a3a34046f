#include "platform/Files.h"
#include "platform/Tls.h"

namespace platform {

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

#include "client/Transfer.h"

#include "platform/Files.h"
#include "client/ResultMeaning.h"

TransferOutcome Failure(ExitStatus status, const std::string& message) {
  TransferOutcome outcome;
  outcome.status = status;
  outcome.message = message;
  return outcome;
}

TransferOutcome Refusal(const std::string& what, std::int32_t code) {
  TransferOutcome outcome =
      Failure(ExitStatus::kRefused, what + " refused by the server: " + std::to_string(code) + " (" + ResultMeaning(code) + ")");
  outcome.resultCode = code;
  return outcome;
}

std::string SystemError(int error) {
  std::string text = platform::ErrorText(error);
  return (text.empty() ? "error" : text) + " (" + std::to_string(error) + ")";
}

#include "service/SystemError.h"

#include "base/Format.h"

namespace {

std::string SystemErrorText(const platform::SystemFailure& failure) {
  if (failure.code == 0) return "A call to an OS function failed";
  return Format("System Error.  Code: %d.\r\n%s", failure.code, failure.text.c_str());
}

}  // namespace

ESystemError::ESystemError(const platform::SystemFailure& failure)
    : std::runtime_error(SystemErrorText(failure)), FErrorCode(failure.code) {}

void RaiseLastOSError(const platform::SystemFailure& failure) { throw ESystemError(failure); }

std::string ExceptionMessage(std::exception_ptr error) {
  try {
    std::rethrow_exception(error);
  } catch (const std::exception& e) {
    return e.what();
  } catch (...) {
    return "Unknown exception";
  }
}

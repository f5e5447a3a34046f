#pragma once
// Failed platform calls as exceptions, with the message the user is shown.

#include <exception>
#include <stdexcept>
#include <string>

#include "platform/ServiceManager.h"

class ESystemError : public std::runtime_error {
 public:
  explicit ESystemError(const platform::SystemFailure& failure);
  int ErrorCode() const { return FErrorCode; }

 private:
  int FErrorCode;
};

// "System Error.  Code: %d.\r\n%s", or "A call to an OS function failed" when
// the call left no error code.
[[noreturn]] void RaiseLastOSError(const platform::SystemFailure& failure);

// The message of an exception caught by catch (...).
std::string ExceptionMessage(std::exception_ptr error);

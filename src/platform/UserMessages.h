#pragma once
// Messages to the person who ran the program: on the console when one is
// attached (information on standard output, errors on standard error),
// otherwise in message boxes with one OK button. POSIX always uses the
// standard streams.

#include <string>

namespace platform {

enum class MessageKind { kInformation, kError };

class UserMessages {
 public:
  virtual ~UserMessages() = default;
  virtual void Show(MessageKind kind, const std::string& title, const std::string& text) = 0;
};

UserMessages& SystemUserMessages();

}  // namespace platform

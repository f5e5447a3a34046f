#include "platform/UserMessages.h"

#include <cstdio>
#include <windows.h>

namespace platform {
namespace {

// Standard output counts as a console when it leads anywhere: a console
// window, a file or a pipe. A program started from the desktop has none.
bool ConsoleAttached() {
  HANDLE output = ::GetStdHandle(STD_OUTPUT_HANDLE);
  return output != nullptr && output != INVALID_HANDLE_VALUE && ::GetFileType(output) != FILE_TYPE_UNKNOWN;
}

class ConsoleOrMessageBox : public UserMessages {
 public:
  void Show(MessageKind kind, const std::string& title, const std::string& text) override {
    const bool error = kind == MessageKind::kError;
    if (ConsoleAttached()) {
      std::FILE* stream = error ? stderr : stdout;
      std::fprintf(stream, "%s\n", text.c_str());
      std::fflush(stream);
      return;
    }
    ::MessageBoxA(nullptr, text.c_str(), title.c_str(), MB_OK | (error ? MB_ICONERROR : MB_ICONINFORMATION));
  }
};

}  // namespace

UserMessages& SystemUserMessages() {
  static ConsoleOrMessageBox messages;
  return messages;
}

}  // namespace platform

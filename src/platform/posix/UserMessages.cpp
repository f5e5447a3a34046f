#include "platform/UserMessages.h"

#include <cstdio>

namespace platform {
namespace {

class StandardStreams : public UserMessages {
 public:
  void Show(MessageKind kind, const std::string&, const std::string& text) override {
    std::FILE* stream = kind == MessageKind::kError ? stderr : stdout;
    std::fprintf(stream, "%s\n", text.c_str());
    std::fflush(stream);
  }
};

}  // namespace

UserMessages& SystemUserMessages() {
  static StandardStreams messages;
  return messages;
}

}  // namespace platform

#include "platform/Volumes.h"

#include <sys/statvfs.h>

#include "platform/Paths.h"

namespace platform {

// The name's directory is usually still to be created, so the volume is the
// one of its nearest existing ancestor; a relative name starts from the
// working directory.
std::int64_t VolumeFreeBytes(const std::string& volume) {
  std::string directory = DirectoryPart(volume);
  for (;;) {
    struct statvfs st{};
    if (::statvfs(directory.empty() ? "." : directory.c_str(), &st) == 0)
      return static_cast<std::int64_t>(st.f_bfree) * static_cast<std::int64_t>(st.f_frsize);
    if (directory.empty() || directory == "/") return -1;
    while (!directory.empty() && directory.back() == '/') directory.pop_back();
    directory = directory.empty() ? "/" : DirectoryPart(directory);
  }
}

}  // namespace platform

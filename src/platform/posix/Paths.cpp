#include "platform/Paths.h"

#include <cerrno>
#include <climits>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/Files.h"

namespace platform {

const char kPathDelimiter = '/';

std::string ExecutablePath() {
  char path[PATH_MAX + 1];
  ssize_t n = ::readlink("/proc/self/exe", path, PATH_MAX);
  if (n <= 0) return {};
  return std::string(path, static_cast<std::size_t>(n));
}

std::string DirectoryPart(const std::string& path) {
  std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

// There are no drives: the name itself leads to its volume.
std::string DrivePart(const std::string& name) { return name; }

bool CreateDirectories(const std::string& directory) {
  // Walk the levels outermost first; a level that exists already is fine.
  for (std::size_t i = 1; i <= directory.size(); ++i) {
    if (i < directory.size() && directory[i] != '/') continue;
    std::string level = directory.substr(0, i);
    if (level.empty() || level == "/") continue;
    if (::mkdir(level.c_str(), 0755) != 0 && errno != EEXIST) return false;
  }
  return directory.empty() || IsDirectory(directory);
}

}  // namespace platform

#include "platform/Paths.h"

#include <windows.h>

#include "platform/Files.h"

namespace platform {

const char kPathDelimiter = '\\';

std::string ExecutablePath() {
  char path[1025];
  DWORD n = ::GetModuleFileNameA(nullptr, path, sizeof path);
  if (n == 0 || n >= sizeof path) return {};
  return std::string(path, n);
}

std::string DirectoryPart(const std::string& path) {
  std::size_t last = path.find_last_of("\\:");
  return last == std::string::npos ? std::string() : path.substr(0, last + 1);
}

std::string DrivePart(const std::string& name) {
  if (name.size() >= 2 && name[1] == ':') return name.substr(0, 2);
  if (name.rfind("\\\\", 0) == 0) {
    // "\\server\share": up to the backslash that ends the share name.
    std::size_t server = name.find('\\', 2);
    std::size_t share = server == std::string::npos ? server : name.find('\\', server + 1);
    return name.substr(0, share);
  }
  return {};
}

// Length of the part of a path that names a volume and cannot be created:
// "C:\", or "\\server\share\".
static std::size_t RootLength(const std::string& path) {
  if (path.size() >= 2 && path[1] == ':') return path.size() >= 3 && path[2] == '\\' ? 3 : 2;
  if (path.rfind("\\\\", 0) == 0) {
    std::size_t server = path.find('\\', 2);
    if (server == std::string::npos) return path.size();
    std::size_t share = path.find('\\', server + 1);
    return share == std::string::npos ? path.size() : share + 1;
  }
  return path.rfind("\\", 0) == 0 ? 1 : 0;
}

bool CreateDirectories(const std::string& directory) {
  for (std::size_t i = RootLength(directory) + 1; i <= directory.size(); ++i) {
    if (i < directory.size() && directory[i] != '\\') continue;
    std::string level = directory.substr(0, i);
    if (!::CreateDirectoryA(level.c_str(), nullptr) && ::GetLastError() != ERROR_ALREADY_EXISTS)
      return false;
  }
  return directory.empty() || IsDirectory(directory);
}

}  // namespace platform

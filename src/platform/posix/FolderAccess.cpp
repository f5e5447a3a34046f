#include "platform/FolderAccess.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>

namespace platform {

bool MakeFolder(const std::string& path, SystemFailure& failure) {
  if (::mkdir(path.c_str(), 0755) == 0 || errno == EEXIST) return true;
  failure = {errno, std::strerror(errno)};
  return false;
}

bool GrantFolderAccess(const std::string&, const std::string&, FolderRights, SystemFailure& failure) {
  failure = {};
  return true;
}

}  // namespace platform

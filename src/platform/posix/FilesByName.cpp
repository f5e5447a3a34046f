#include "platform/Files.h"

#include <cerrno>
#include <cstdio>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {

// Only regular files have a size here: a FIFO, socket or device behind a
// client's name is never meant as a file to transfer.
std::int64_t RegularFileSize(const std::string& name) {
  struct stat st{};
  if (::stat(name.c_str(), &st) != 0) return -1;
  return S_ISREG(st.st_mode) ? static_cast<std::int64_t>(st.st_size) : -1;
}

bool IsDirectory(const std::string& name) {
  struct stat st{};
  return ::stat(name.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool Exists(const std::string& name) {
  struct stat st{};
  return ::lstat(name.c_str(), &st) == 0;
}

bool MoveNoReplace(const std::string& from, const std::string& to) {
  if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return true;
  if (errno != EINVAL) return false;
  // A file system without RENAME_NOREPLACE: a hard link fails when `to`
  // exists, which keeps the promise; then the old name goes.
  if (::link(from.c_str(), to.c_str()) != 0) return false;
  ::unlink(from.c_str());
  return true;
}

std::vector<std::string> FileNamesIn(const std::string& folder) {
  std::vector<std::string> names;
  DIR* directory = ::opendir(folder.c_str());
  if (!directory) return names;
  const std::string base = folder.empty() || folder.back() == '/' ? folder : folder + "/";
  while (const dirent* entry = ::readdir(directory)) {
    struct stat st{};
    if (::lstat((base + entry->d_name).c_str(), &st) == 0 && S_ISREG(st.st_mode)) names.emplace_back(entry->d_name);
  }
  ::closedir(directory);
  return names;
}

bool RemoveFile(const std::string& name) { return ::unlink(name.c_str()) == 0; }

bool RefreshesDirectoryEntries() { return false; }

void NotifyDirectoryChanged(const std::string&) {}

}  // namespace platform

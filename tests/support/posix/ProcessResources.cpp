#include "support/ProcessResources.h"

#include <csignal>
#include <dirent.h>
#include <fcntl.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

namespace vtest {

namespace {

// Entries of a /proc directory, without "." and "..", and without the
// descriptor that reads the directory itself.
int CountEntries(const char* directory) {
  DIR* dir = ::opendir(directory);
  if (dir == nullptr) return -1;
  const std::string own = std::to_string(::dirfd(dir));
  int count = 0;
  while (const dirent* entry = ::readdir(dir)) {
    const std::string name = entry->d_name;
    if (name != "." && name != ".." && name != own) ++count;
  }
  ::closedir(dir);
  return count;
}

}  // namespace

int ThreadCount() { return CountEntries("/proc/self/task"); }

int HandleCount() { return CountEntries("/proc/self/fd"); }

bool AllowOpenHandles(int count) {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) return false;
  const rlim_t wanted = static_cast<rlim_t>(count);
  if (limit.rlim_cur != RLIM_INFINITY && limit.rlim_cur < wanted) {
    if (limit.rlim_max != RLIM_INFINITY && limit.rlim_max < wanted) return false;
    limit.rlim_cur = wanted;
    if (::setrlimit(RLIMIT_NOFILE, &limit) != 0) return false;
  }
  return true;
}

FileSizeLimit::FileSizeLimit(std::int64_t bytes) {
  rlimit limit{};
  if (::getrlimit(RLIMIT_FSIZE, &limit) != 0) return;
  FSoftBefore = limit.rlim_cur;
  FHardBefore = limit.rlim_max;
  // Without this the write past the limit would end the process instead of
  // failing.
  FSignalBefore = std::signal(SIGXFSZ, SIG_IGN);
  limit.rlim_cur = static_cast<rlim_t>(bytes);
  FActive = ::setrlimit(RLIMIT_FSIZE, &limit) == 0;
  if (!FActive) std::signal(SIGXFSZ, FSignalBefore);
}

FileSizeLimit::~FileSizeLimit() {
  if (!FActive) return;
  const rlimit limit{static_cast<rlim_t>(FSoftBefore), static_cast<rlim_t>(FHardBefore)};
  ::setrlimit(RLIMIT_FSIZE, &limit);
  std::signal(SIGXFSZ, FSignalBefore);
}

FullVolume::FullVolume(const std::string& directory) : FDirectory(directory) {
  if (::mount("vardex-full", directory.c_str(), "tmpfs", 0, "size=16k") != 0) return;
  FActive = true;
  const int fd = ::open((directory + "/filler").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
  const std::string page(4096, 'f');
  while (fd >= 0 && ::write(fd, page.data(), page.size()) > 0) {
  }
  const char byte = 'f';
  while (fd >= 0 && ::write(fd, &byte, 1) > 0) {
  }
  if (fd >= 0) ::close(fd);
}

FullVolume::~FullVolume() {
  // Detached, so that a file still open there does not keep it mounted.
  if (FActive) ::umount2(FDirectory.c_str(), MNT_DETACH);
}

void ResetConnection(TSocket s) {
  // A linger time of zero makes the close send a reset and drop what is
  // still unsent.
  const linger abort{1, 0};
  ::setsockopt(static_cast<int>(s), SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
  CloseSocket(s);
}

}  // namespace vtest

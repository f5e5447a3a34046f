#pragma once
// What this process holds of the operating system, for the leak checks of the
// fault tests, and the limits those tests put on it.

#include <cstdint>
#include <string>

#include "transfer/SocketLib.h"

namespace vtest {

// Threads of this process right now.
int ThreadCount();
// Open descriptors (POSIX) or handles (Windows) of this process right now.
int HandleCount();

// Raises the soft limit on open descriptors to `count` where it is lower and
// the hard limit allows it. True when `count` descriptors may be open at once.
bool AllowOpenHandles(int count);

// While it lives, files this process writes cannot grow beyond `bytes`: a
// write past it fails as it would on a full disk, and the signal the system
// would send for it is ignored. Both are restored at the end. Active() is
// false where the system has no such limit.
class FileSizeLimit {
 public:
  explicit FileSizeLimit(std::int64_t bytes);
  ~FileSizeLimit();
  FileSizeLimit(const FileSizeLimit&) = delete;
  FileSizeLimit& operator=(const FileSizeLimit&) = delete;
  bool Active() const { return FActive; }

 private:
  bool FActive = false;
  std::uint64_t FSoftBefore = 0, FHardBefore = 0;
  void (*FSignalBefore)(int) = nullptr;
};

// While it lives, a file system of a few pages is mounted over `directory`
// and filled to its last byte, as a log volume that uploads have filled:
// files there can be created, and every write to them fails. Active() is
// false where it cannot be had (not root, no tmpfs, Windows).
class FullVolume {
 public:
  explicit FullVolume(const std::string& directory);
  ~FullVolume();
  FullVolume(const FullVolume&) = delete;
  FullVolume& operator=(const FullVolume&) = delete;
  bool Active() const { return FActive; }

 private:
  std::string FDirectory;
  bool FActive = false;
};

// Closes `s` with a reset instead of an orderly end, as a client whose
// connection breaks does: the server's next receive fails.
void ResetConnection(TSocket s);

}  // namespace vtest

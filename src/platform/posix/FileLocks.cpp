#include "platform/FileLocks.h"

#include <cerrno>
#include <fcntl.h>

namespace platform {

namespace {

int SetLock(FileHandle file, std::int64_t offset, short type) {
  struct flock lock {};
  lock.l_type = type;
  lock.l_whence = SEEK_SET;
  lock.l_start = static_cast<off_t>(offset);
  lock.l_len = 1;
  int result;
  do {
    result = ::fcntl(static_cast<int>(file), F_OFD_SETLK, &lock);
  } while (result < 0 && errno == EINTR);
  return result;
}

}  // namespace

LockResult TryLockByte(FileHandle file, std::int64_t offset) {
  if (SetLock(file, offset, F_WRLCK) == 0) return LockResult::kLocked;
  return errno == EAGAIN || errno == EACCES ? LockResult::kBusy : LockResult::kUnsupported;
}

void UnlockByte(FileHandle file, std::int64_t offset) { SetLock(file, offset, F_UNLCK); }

}  // namespace platform

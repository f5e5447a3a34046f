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

// Only the answers that say the lock cannot exist here mean "no locks":
// EINVAL from a kernel without open-file-description locks, EOPNOTSUPP and
// ENOSYS from file systems without lock calls. Anything else, ENOLCK from an
// NFS server whose lock service is gone and EIO among them, is a failure of
// a volume whose other writers may well hold locks.
LockResult TryLockByte(FileHandle file, std::int64_t offset) {
  if (SetLock(file, offset, F_WRLCK) == 0) return LockResult::kLocked;
  switch (errno) {
    case EAGAIN:
    case EACCES:
      return LockResult::kBusy;
    case EINVAL:
    case EOPNOTSUPP:
    case ENOSYS:
      return LockResult::kUnsupported;
    default:
      return LockResult::kFailed;
  }
}

void UnlockByte(FileHandle file, std::int64_t offset) { SetLock(file, offset, F_UNLCK); }

}  // namespace platform

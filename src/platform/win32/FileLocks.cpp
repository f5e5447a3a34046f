#include "platform/FileLocks.h"

#include <windows.h>

namespace platform {

namespace {

OVERLAPPED At(std::int64_t offset) {
  OVERLAPPED where{};
  where.Offset = static_cast<DWORD>(static_cast<std::uint64_t>(offset) & 0xFFFFFFFFu);
  where.OffsetHigh = static_cast<DWORD>(static_cast<std::uint64_t>(offset) >> 32);
  return where;
}

}  // namespace

LockResult TryLockByte(FileHandle file, std::int64_t offset) {
  OVERLAPPED where = At(offset);
  if (::LockFileEx(reinterpret_cast<HANDLE>(file), LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0,
                   &where))
    return LockResult::kLocked;
  // Only a file system without lock calls answers that it cannot do them;
  // any other error is a failure of a volume that keeps locks.
  switch (::GetLastError()) {
    case ERROR_LOCK_VIOLATION:
    case ERROR_IO_PENDING:
      return LockResult::kBusy;
    case ERROR_NOT_SUPPORTED:
    case ERROR_INVALID_FUNCTION:
      return LockResult::kUnsupported;
    default:
      return LockResult::kFailed;
  }
}

void UnlockByte(FileHandle file, std::int64_t offset) {
  OVERLAPPED where = At(offset);
  ::UnlockFileEx(reinterpret_cast<HANDLE>(file), 0, 1, 0, &where);
}

}  // namespace platform

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
  const DWORD error = ::GetLastError();
  return error == ERROR_LOCK_VIOLATION || error == ERROR_IO_PENDING ? LockResult::kBusy : LockResult::kUnsupported;
}

void UnlockByte(FileHandle file, std::int64_t offset) {
  OVERLAPPED where = At(offset);
  ::UnlockFileEx(reinterpret_cast<HANDLE>(file), 0, 1, 0, &where);
}

}  // namespace platform

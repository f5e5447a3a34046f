#pragma once
// Byte-range locks on an open file that every other opener sees, in this
// process, in other processes and, on a shared file system that honours
// them (NFSv4, CephFS, SMB), on other hosts. A lock belongs to the open
// file: it ends when the file is closed or its process dies, so a crash
// never leaves one behind. POSIX uses open-file-description locks
// (F_OFD_SETLK), Windows LockFileEx.

#include <cstdint>

#include "platform/Files.h"

namespace platform {

enum class LockResult {
  kLocked,       // the byte is now held through `file`
  kBusy,         // another open file holds it
  kUnsupported,  // the file system keeps no such locks at all
  kFailed,       // it keeps them, but this call failed (LastError tells why)
};

// An exclusive lock of the one byte at `offset`, which may lie far beyond
// the end of the file; never waits. `file` is open for writing.
LockResult TryLockByte(FileHandle file, std::int64_t offset);
void UnlockByte(FileHandle file, std::int64_t offset);

}  // namespace platform

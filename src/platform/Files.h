#pragma once
// Files by handle and by name. Every open shares reading, writing and
// deleting with other openers, except the log append, which shares reading
// only. Failures leave the platform's last error (LastError) set.

#include <cstddef>
#include <cstdint>
#include <string>

namespace platform {

using FileHandle = std::intptr_t;
constexpr FileHandle kNoFile = -1;

enum class OpenMode {
  kReadExisting,    // read, existing file only
  kWriteTruncate,   // write, created anew (an existing file is emptied)
  kWriteExisting,   // write, existing file opened as it is
  kAppend,          // write at the end, created when missing (log files)
};

FileHandle OpenFile(const std::string& name, OpenMode mode);
void CloseFile(FileHandle file);

// Returns the bytes read (0 at the end of the file) or -1.
long ReadFile(FileHandle file, void* data, std::size_t length);
// True when all `length` bytes were written.
bool WriteFile(FileHandle file, const void* data, std::size_t length);
void FlushFile(FileHandle file);
// Moves to an absolute position; false for positions the platform refuses.
bool SeekFile(FileHandle file, std::int64_t position);

// Size of the regular file `name`, or -1 (missing, a directory, and on
// POSIX any FIFO, socket or device).
std::int64_t RegularFileSize(const std::string& name);
bool IsDirectory(const std::string& name);
// True when `name` exists in any form.
bool Exists(const std::string& name);
// Renames without ever replacing an existing `to`.
bool MoveNoReplace(const std::string& from, const std::string& to);

// Whether this platform refreshes directory entries by moving a file away
// and back (Windows, where a directory entry's size can lag behind the
// file). POSIX sizes come from stat and are always current.
bool RefreshesDirectoryEntries();
// Tells the shell that `directory` changed; nothing on POSIX.
void NotifyDirectoryChanged(const std::string& directory);

// The calling thread's last system error number, and the system's text for
// an error number.
int LastError();
std::string ErrorText(int error);

}  // namespace platform

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

// The calling thread's last system error number, and the system's text for
// an error number.
int LastError();
std::string ErrorText(int error);

}  // namespace platform

#pragma once
// Files by handle and by name. Every open shares reading, writing and
// deleting with other openers, except the log append, which shares reading
// only. Failures leave the platform's last error (LastError) set.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace platform {

using FileHandle = std::intptr_t;
constexpr FileHandle kNoFile = -1;

enum class OpenMode {
  kReadExisting,    // read, existing file only
  kWriteTruncate,   // write, created anew (an existing file is emptied)
  kWriteExisting,   // write, existing file opened as it is
  kWriteKeep,       // write, created when missing, an existing file opened as it is
  kAppend,          // write at the end, created when missing (log files)
};

FileHandle OpenFile(const std::string& name, OpenMode mode);
// False when the system reports an error at the close: on network volumes a
// write that failed late (no space, quota, I/O) may show only here. The
// handle is gone either way.
bool CloseFile(FileHandle file);

// Returns the bytes read (0 at the end of the file) or -1.
long ReadFile(FileHandle file, void* data, std::size_t length);
// True when all `length` bytes were written.
bool WriteFile(FileHandle file, const void* data, std::size_t length);
// Brings the file's data to the disk (fdatasync, FlushFileBuffers); false
// when the system could not, and the data may be lost.
bool FlushFile(FileHandle file);
// Cuts or extends the file to end at its current position.
bool EndFileHere(FileHandle file);
// Size of the open file, or -1.
std::int64_t OpenFileSize(FileHandle file);
// What tells whether a file changed since it was last looked at: the file
// itself on its volume (device and inode; volume serial and file index) and
// its size and modification time. Two equal identities are taken for the
// same bytes.
struct FileIdentity {
  std::uint64_t volume = 0;
  std::uint64_t index = 0;
  std::int64_t size = -1;
  std::int64_t modified = 0;  // in the platform's own unit, finest it keeps

  bool operator==(const FileIdentity& other) const {
    return volume == other.volume && index == other.index && size == other.size && modified == other.modified;
  }
  bool operator!=(const FileIdentity& other) const { return !(*this == other); }
};
// The identity of the open file; false when the system cannot tell it.
bool OpenFileIdentity(FileHandle file, FileIdentity& identity);
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

// The names (without the folder) of the regular files directly in `folder`,
// in no particular order; empty when the folder cannot be read.
std::vector<std::string> FileNamesIn(const std::string& folder);
// Deletes the file `name`; false with LastError set.
bool RemoveFile(const std::string& name);

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

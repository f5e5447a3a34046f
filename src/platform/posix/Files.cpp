#include "platform/Files.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {

FileHandle OpenFile(const std::string& name, OpenMode mode) {
  int flags = O_CLOEXEC;
  switch (mode) {
    case OpenMode::kReadExisting: flags |= O_RDONLY; break;
    case OpenMode::kWriteTruncate: flags |= O_WRONLY | O_CREAT | O_TRUNC; break;
    case OpenMode::kWriteExisting: flags |= O_WRONLY; break;
    case OpenMode::kWriteKeep: flags |= O_WRONLY | O_CREAT; break;
    case OpenMode::kAppend: flags |= O_WRONLY | O_CREAT | O_APPEND; break;
  }
  int fd;
  do {
    fd = ::open(name.c_str(), flags, 0644);
  } while (fd < 0 && errno == EINTR);
  return fd < 0 ? kNoFile : fd;
}

// Linux releases the descriptor even when close is interrupted, so EINTR is
// no failure and the call is never repeated.
bool CloseFile(FileHandle file) { return ::close(static_cast<int>(file)) == 0 || errno == EINTR; }

long ReadFile(FileHandle file, void* data, std::size_t length) {
  ssize_t n;
  do {
    n = ::read(static_cast<int>(file), data, length);
  } while (n < 0 && errno == EINTR);
  return static_cast<long>(n);
}

bool WriteFile(FileHandle file, const void* data, std::size_t length) {
  const char* p = static_cast<const char*>(data);
  while (length > 0) {
    ssize_t n = ::write(static_cast<int>(file), p, length);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (n == 0) errno = ENOSPC;
      return false;
    }
    p += n;
    length -= static_cast<std::size_t>(n);
  }
  return true;
}

bool FlushFile(FileHandle file) {
  int result;
  do {
    result = ::fdatasync(static_cast<int>(file));
  } while (result < 0 && errno == EINTR);
  return result == 0;
}

bool EndFileHere(FileHandle file) {
  const off_t position = ::lseek(static_cast<int>(file), 0, SEEK_CUR);
  if (position < 0) return false;
  int result;
  do {
    result = ::ftruncate(static_cast<int>(file), position);
  } while (result < 0 && errno == EINTR);
  return result == 0;
}

std::int64_t OpenFileSize(FileHandle file) {
  struct stat status {};
  if (::fstat(static_cast<int>(file), &status) != 0) return -1;
  return static_cast<std::int64_t>(status.st_size);
}

bool OpenFileIdentity(FileHandle file, FileIdentity& identity) {
  struct stat status {};
  if (::fstat(static_cast<int>(file), &status) != 0) return false;
  identity.volume = static_cast<std::uint64_t>(status.st_dev);
  identity.index = static_cast<std::uint64_t>(status.st_ino);
  identity.size = static_cast<std::int64_t>(status.st_size);
  identity.modified = static_cast<std::int64_t>(status.st_mtim.tv_sec) * 1000000000 + status.st_mtim.tv_nsec;
  return true;
}

bool SeekFile(FileHandle file, std::int64_t position) {
  if (position < 0) {
    errno = EINVAL;
    return false;
  }
  return ::lseek(static_cast<int>(file), static_cast<off_t>(position), SEEK_SET) == position;
}

int LastError() { return errno; }

std::string ErrorText(int error) { return std::strerror(error); }

}  // namespace platform

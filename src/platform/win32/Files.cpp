#include "platform/Files.h"

#include <windows.h>

namespace platform {

static HANDLE Native(FileHandle file) { return reinterpret_cast<HANDLE>(file); }

FileHandle OpenFile(const std::string& name, OpenMode mode) {
  const DWORD shareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
  DWORD access = GENERIC_WRITE, share = shareAll, disposition = OPEN_EXISTING;
  switch (mode) {
    case OpenMode::kReadExisting: access = GENERIC_READ; break;
    case OpenMode::kWriteTruncate: disposition = CREATE_ALWAYS; break;
    case OpenMode::kWriteExisting: break;
    // The upload that opens it this way reads its size (OpenFileSize).
    case OpenMode::kWriteKeep: access |= FILE_READ_ATTRIBUTES; disposition = OPEN_ALWAYS; break;
    // One writer at a time, readers welcome: two lines never mix.
    case OpenMode::kAppend: share = FILE_SHARE_READ; disposition = OPEN_ALWAYS; break;
  }
  HANDLE h = ::CreateFileA(name.c_str(), access, share, nullptr, disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return kNoFile;
  if (mode == OpenMode::kAppend && ::SetFilePointer(h, 0, nullptr, FILE_END) == INVALID_SET_FILE_POINTER &&
      ::GetLastError() != NO_ERROR) {
    ::CloseHandle(h);
    return kNoFile;
  }
  return reinterpret_cast<FileHandle>(h);
}

bool CloseFile(FileHandle file) { return ::CloseHandle(Native(file)) != 0; }

long ReadFile(FileHandle file, void* data, std::size_t length) {
  DWORD read = 0;
  if (!::ReadFile(Native(file), data, static_cast<DWORD>(length), &read, nullptr)) return -1;
  return static_cast<long>(read);
}

bool WriteFile(FileHandle file, const void* data, std::size_t length) {
  DWORD written = 0;
  if (!::WriteFile(Native(file), data, static_cast<DWORD>(length), &written, nullptr)) return false;
  if (written != length) {
    ::SetLastError(ERROR_DISK_FULL);
    return false;
  }
  return true;
}

bool FlushFile(FileHandle file) { return ::FlushFileBuffers(Native(file)) != 0; }

bool EndFileHere(FileHandle file) { return ::SetEndOfFile(Native(file)) != 0; }

std::int64_t OpenFileSize(FileHandle file) {
  LARGE_INTEGER size{};
  if (!::GetFileSizeEx(Native(file), &size)) return -1;
  return static_cast<std::int64_t>(size.QuadPart);
}

bool OpenFileIdentity(FileHandle file, FileIdentity& identity) {
  BY_HANDLE_FILE_INFORMATION info{};
  if (!::GetFileInformationByHandle(Native(file), &info)) return false;
  const auto wide = [](DWORD high, DWORD low) { return (static_cast<std::uint64_t>(high) << 32) | low; };
  identity.volume = info.dwVolumeSerialNumber;
  identity.index = wide(info.nFileIndexHigh, info.nFileIndexLow);
  identity.size = static_cast<std::int64_t>(wide(info.nFileSizeHigh, info.nFileSizeLow));
  identity.modified =
      static_cast<std::int64_t>(wide(info.ftLastWriteTime.dwHighDateTime, info.ftLastWriteTime.dwLowDateTime));
  return true;
}

bool SeekFile(FileHandle file, std::int64_t position) {
  // Below -2^31 the 32-bit path would land on the low part's position.
  if (position < 0) {
    ::SetLastError(ERROR_NEGATIVE_SEEK);
    return false;
  }
  LONG low = static_cast<LONG>(position & 0xFFFFFFFF);
  if (position > 0x7FFFFFFF) {
    // A low part of 0xFFFFFFFF is a valid position unless an error is set.
    LONG high = static_cast<LONG>(position >> 32);
    ::SetLastError(NO_ERROR);
    DWORD r = ::SetFilePointer(Native(file), low, &high, FILE_BEGIN);
    return !(r == INVALID_SET_FILE_POINTER && ::GetLastError() != NO_ERROR);
  }
  return ::SetFilePointer(Native(file), low, nullptr, FILE_BEGIN) != INVALID_SET_FILE_POINTER;
}

int LastError() { return static_cast<int>(::GetLastError()); }

std::string ErrorText(int error) {
  char* text = nullptr;
  DWORD n = ::FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                             nullptr, static_cast<DWORD>(error), 0, reinterpret_cast<char*>(&text), 0, nullptr);
  std::string result = n ? std::string(text, n) : std::string();
  if (text) ::LocalFree(text);
  while (!result.empty() && (result.back() == '\n' || result.back() == '\r' || result.back() == ' '))
    result.pop_back();
  return result;
}

}  // namespace platform

#include "platform/Files.h"

#include <windows.h>
#include <shlobj.h>

namespace platform {

// The size recorded in the directory entry; a file still being written may
// show less here than through an open handle.
std::int64_t RegularFileSize(const std::string& name) {
  DWORD attributes = ::GetFileAttributesA(name.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY)) return -1;
  WIN32_FIND_DATAA entry;
  HANDLE search = ::FindFirstFileA(name.c_str(), &entry);
  if (search == INVALID_HANDLE_VALUE) return -1;
  ::FindClose(search);
  return static_cast<std::int64_t>(entry.nFileSizeHigh) * 4294967296LL + entry.nFileSizeLow;
}

bool IsDirectory(const std::string& name) {
  DWORD attributes = ::GetFileAttributesA(name.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool Exists(const std::string& name) { return ::GetFileAttributesA(name.c_str()) != INVALID_FILE_ATTRIBUTES; }

// MoveFileA never replaces an existing target.
bool MoveNoReplace(const std::string& from, const std::string& to) {
  return ::MoveFileA(from.c_str(), to.c_str()) != 0;
}

std::vector<std::string> FileNamesIn(const std::string& folder) {
  std::vector<std::string> names;
  const std::string base = folder.empty() || folder.back() == '\\' || folder.back() == '/' ? folder : folder + "\\";
  WIN32_FIND_DATAA entry;
  HANDLE search = ::FindFirstFileA((base + "*").c_str(), &entry);
  if (search == INVALID_HANDLE_VALUE) return names;
  do {
    if (!(entry.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)))
      names.emplace_back(entry.cFileName);
  } while (::FindNextFileA(search, &entry));
  ::FindClose(search);
  return names;
}

bool RemoveFile(const std::string& name) { return ::DeleteFileA(name.c_str()) != 0; }

bool RefreshesDirectoryEntries() { return true; }

void NotifyDirectoryChanged(const std::string& directory) {
  ::SHChangeNotify(SHCNE_UPDATEDIR, SHCNF_PATHA | SHCNF_FLUSHNOWAIT, directory.c_str(), nullptr);
}

}  // namespace platform

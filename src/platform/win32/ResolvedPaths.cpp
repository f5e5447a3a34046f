#include "platform/ResolvedPaths.h"

#include <cctype>
#include <windows.h>

namespace platform {
namespace {

// The path a handle really names, following junctions and links: "\\?\C:\x"
// becomes "C:\x" and "\\?\UNC\server\share" becomes "\\server\share".
bool FinalPath(const std::string& existing, std::string& final) {
  HANDLE h = ::CreateFileA(existing.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  char buffer[4096];
  DWORD n = ::GetFinalPathNameByHandleA(h, buffer, sizeof buffer, FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
  ::CloseHandle(h);
  if (n == 0 || n >= sizeof buffer) return false;
  final.assign(buffer, n);
  if (final.rfind("\\\\?\\UNC\\", 0) == 0)
    final.replace(0, 8, "\\\\");
  else if (final.rfind("\\\\?\\", 0) == 0)
    final.erase(0, 4);
  return true;
}

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

}  // namespace

bool ResolvePath(const std::string& name, std::string& resolved) {
  // Windows removes "." and ".." from the text before it looks anything up,
  // so the full path name is what will be opened.
  char full[4096];
  DWORD n = ::GetFullPathNameA(name.empty() ? "." : name.c_str(), sizeof full, full, nullptr);
  if (n == 0 || n >= sizeof full) return false;
  std::string path(full, n);
  while (path.size() > 3 && path.back() == '\\') path.pop_back();

  // The longest existing prefix is resolved through the file system; the
  // rest does not exist yet and is appended as written.
  for (std::size_t end = path.size(); end != std::string::npos && end > 0; end = path.rfind('\\', end - 1)) {
    std::string prefix = path.substr(0, end);
    std::string final;
    if (::GetFileAttributesA(prefix.c_str()) != INVALID_FILE_ATTRIBUTES && FinalPath(prefix, final)) {
      while (final.size() > 3 && final.back() == '\\') final.pop_back();
      resolved = final + path.substr(end);
      return true;
    }
    if (end == 0) break;
  }
  resolved = path;
  return true;
}

bool PathIsWithin(const std::string& path, const std::string& root) {
  std::string base = Lower(root), candidate = Lower(path);
  while (base.size() > 1 && base.back() == '\\') base.pop_back();
  if (candidate.compare(0, base.size(), base) != 0) return false;
  return candidate.size() == base.size() || base.back() == '\\' || base.back() == ':' ||
         candidate[base.size()] == '\\';
}

}  // namespace platform

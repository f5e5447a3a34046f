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

bool IsSeparator(char c) { return c == '\\' || c == '/'; }

// "\\?\" and "\\.\" (with either separator) reach the object manager
// with little or no normalisation, and "\??\" is its own name space.
bool HasDevicePrefix(const std::string& name) {
  if (name.size() >= 4 && IsSeparator(name[0]) && IsSeparator(name[1]) && (name[2] == '?' || name[2] == '.') &&
      IsSeparator(name[3]))
    return true;
  return name.size() >= 4 && IsSeparator(name[0]) && name[1] == '?' && name[2] == '?' && IsSeparator(name[3]);
}

// CON, PRN, AUX, NUL, COM0-9, LPT0-9 (also with the superscript digits
// 1-3 of the ANSI code page), CONIN$ and CONOUT$ name devices in every
// directory, with any extension and trailing blanks.
bool IsDeviceName(const std::string& component) {
  std::string base = Lower(component.substr(0, component.find('.')));
  while (!base.empty() && base.back() == ' ') base.pop_back();
  if (base == "con" || base == "prn" || base == "aux" || base == "nul" || base == "conin$" || base == "conout$")
    return true;
  if (base.size() != 4 || (base.compare(0, 3, "com") != 0 && base.compare(0, 3, "lpt") != 0)) return false;
  const unsigned char digit = static_cast<unsigned char>(base[3]);
  return (digit >= '0' && digit <= '9') || digit == 0xB9 || digit == 0xB2 || digit == 0xB3;
}

// A full path whose target its text does not tell: a device or verbatim
// prefix, an alternate data stream (a ":" past the drive), a device name
// as any component, or a component of dots and blanks only, which the
// layers below read differently ("..." or ". ." left by normalisation).
bool CannotBeReasonedAbout(const std::string& path) {
  if (HasDevicePrefix(path) || path.find(':', 2) != std::string::npos ||
      (path.find(':') != std::string::npos && path.find(':') != 1))
    return true;
  const std::size_t first = path.size() >= 2 && path[1] == ':' ? 2 : 0;  // past the drive
  for (std::size_t start = first; start < path.size();) {
    std::size_t end = start;
    while (end < path.size() && !IsSeparator(path[end])) ++end;
    const std::string component = path.substr(start, end - start);
    if (!component.empty() &&
        (component.find_first_not_of(". ") == std::string::npos || IsDeviceName(component)))
      return true;
    start = end + 1;
  }
  return false;
}

}  // namespace

bool ResolvePath(const std::string& name, std::string& resolved) {
  if (HasDevicePrefix(name)) return false;
  // Windows removes "." and ".." from the text before it looks anything up,
  // so the full path name is what will be opened.
  char full[4096];
  DWORD n = ::GetFullPathNameA(name.empty() ? "." : name.c_str(), sizeof full, full, nullptr);
  if (n == 0 || n >= sizeof full) return false;
  std::string path(full, n);
  if (CannotBeReasonedAbout(path)) return false;
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

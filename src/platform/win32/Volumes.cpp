#include "platform/Volumes.h"

#include <windows.h>

namespace platform {

// "C:" becomes "C:\", an empty text the root of the current drive; the cut
// to three characters leaves a UNC drive text naming no volume.
std::int64_t VolumeFreeBytes(const std::string& volume) {
  std::string root = volume;
  if (root.empty() || root.back() != '\\') root += '\\';
  root = root.substr(0, 3);
  ULARGE_INTEGER totalFree;
  if (!::GetDiskFreeSpaceExA(root.c_str(), nullptr, nullptr, &totalFree)) return -1;
  return static_cast<std::int64_t>(totalFree.QuadPart);
}

}  // namespace platform

#pragma once
// Free space of volumes.

#include <cstdint>
#include <string>

namespace platform {

// Total free bytes of the volume that `volume` (from DrivePart) names; -1
// when it cannot be queried. Windows: "\" is appended unless present and the
// text is cut to three characters (so a UNC drive text names no volume).
// POSIX: statvfs of the nearest existing ancestor directory, f_bfree * f_frsize.
std::int64_t VolumeFreeBytes(const std::string& volume);

}  // namespace platform

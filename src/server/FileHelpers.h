#pragma once
// File-system helpers shared by both transfer directions. None logs or
// throws; failures come back in the result.

#include <cstdint>
#include <string>

#include "platform/Files.h"

// Size of the regular file `name`; -1 when there is none (missing name,
// directory, or on POSIX any other non-regular file).
std::int64_t GetFileSize64(const std::string& name);

// Moves `file` to the absolute `position`; false for negative positions and
// whatever the platform refuses. The platform's last error stays set.
bool SetFilePos(platform::FileHandle file, std::int64_t position);

// Free bytes of the volume that `drive` names (see platform::DrivePart);
// -1 when it cannot be queried.
std::int64_t GetDiskFreeBytes(const std::string& drive);

#pragma once
// Names of files and directories on this platform.

#include <string>

namespace platform {

// The separator between directory levels ('\\' on Windows, '/' on POSIX).
extern const char kPathDelimiter;

// Full path of the running executable; empty when it cannot be had.
std::string ExecutablePath();

// Everything up to and including the last delimiter of `path` (on Windows
// also a drive colon); empty when `path` has none.
std::string DirectoryPart(const std::string& path);

// The text naming the volume that holds `name`, for VolumeFreeBytes. On
// Windows the drive part: "C:" for "C:\\x", "\\\\server\\share" for a UNC name,
// empty otherwise (the current drive). On POSIX the name itself: its free
// space is that of its nearest existing ancestor directory.
std::string DrivePart(const std::string& name);

// Creates every missing directory of `directory`, outermost first. True when
// the whole path exists as a directory afterwards.
bool CreateDirectories(const std::string& directory);

}  // namespace platform

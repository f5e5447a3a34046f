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

// Creates every missing directory of `directory`, outermost first. True when
// the whole path exists as a directory afterwards.
bool CreateDirectories(const std::string& directory);

}  // namespace platform

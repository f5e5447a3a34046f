#pragma once
// Where the program's files are taken to be when the executable's own path
// cannot be had: "C:\Vardex\" on Windows, "/opt/vardex/" on POSIX.

namespace platform {

extern const char kFallbackDirectory[];

}  // namespace platform

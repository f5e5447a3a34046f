#include "server/FileHelpers.h"

#include "platform/Volumes.h"

std::int64_t GetFileSize64(const std::string& name) { return platform::RegularFileSize(name); }

bool SetFilePos(platform::FileHandle file, std::int64_t position) { return platform::SeekFile(file, position); }

std::int64_t GetDiskFreeBytes(const std::string& drive) { return platform::VolumeFreeBytes(drive); }

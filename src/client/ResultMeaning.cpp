#include "client/ResultMeaning.h"

namespace {

const char* const kMeanings[] = {
    "success",
    "the disk is full",
    "no such file",
    "permission denied",
    "the file is read-only",
    "the file already exists",
    "no such directory",
    "the directory cannot be created",
    "no such disk",
    "the file's size does not match",
    "the file cannot be opened",
    "the file cannot be positioned",
    "the file cannot be read",
    "the file cannot be written",
    "the file cannot be closed",
    "connection failed",
    "read timed out",
    "write timed out",
    "protocol mismatch",
    "the server is stopping",
    "general error",
    "stopped by the user",
    nullptr,  // 22 is never sent
    "error while writing the file",
    "busy: too many digests are being computed",
};

}  // namespace

std::string ResultMeaning(std::int32_t code) {
  const auto index = static_cast<std::uint32_t>(code);
  if (index < sizeof kMeanings / sizeof kMeanings[0] && kMeanings[index] != nullptr) return kMeanings[index];
  return "unknown code";
}

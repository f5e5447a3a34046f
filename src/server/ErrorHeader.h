#pragma once
// The data phase's only message from the worker: four zero letters and the
// result code, sent when a download or upload cannot go on.

#include <cstdint>
#include <string>

#include "transfer/SocketLib.h"

// Sends the error header for `code` and returns `code`. When it cannot be
// sent, the result becomes 17 (rcWriteTimeout) and `error` names the step and
// `what` was being sent: "<step>(<name>): failed, <text of 17>, <what>".
std::int32_t SendErrorHeader(TSocket s, std::int32_t code, const char* step, const char* what,
                             const std::string& name, std::string& error);

#pragma once
// The data phase's only message from the worker: four zero letters and the
// result code, sent when a download or upload cannot go on.

#include <cstdint>
#include <string>

#include "transfer/Connection.h"

// Sends the error header for `code` and returns `code`. When it cannot be
// sent, the result becomes 17 (rcWriteTimeout) and `error` names the step and
// `what` was being sent: "<step>(<name>): failed, <text of 17>, <what>".
std::int32_t SendErrorHeader(TConnection& connection, std::int32_t code, const char* step, const char* what,
                             const std::string& name, std::string& error);

#pragma once
// What a result code means, in English, for the user of the client. The
// server's own texts (uGlobal's ResultText) stay those its log lines and
// its operators know.

#include <cstdint>
#include <string>

// "permission denied" for 3; "unknown code" for a code without a meaning.
std::string ResultMeaning(std::int32_t code);

#pragma once
// HMAC-SHA256 from the system's cryptography: OpenSSL's libcrypto on POSIX,
// CNG (BCrypt) on Windows: the reports' signature and the access tokens,
// which the client mints as well.

#include <string>

namespace platform {

// The 32-byte HMAC-SHA256 of `message` under `key` into `digest`; false when
// the system could not compute it.
bool HmacSha256(const std::string& key, const std::string& message, std::string& digest);

}  // namespace platform

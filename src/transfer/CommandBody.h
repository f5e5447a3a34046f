#pragma once
// The KEY=VALUE text that follows a request header: lines split at CR, LF
// and CR LF; the name is the text before the first "=", the value everything
// after it; nothing is trimmed; the first line whose name matches a key
// (ignoring ASCII case) gives its value.

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

class TCommandBody {
 public:
  TCommandBody() = default;
  // `data` is the received body; the text ends at its first zero byte.
  TCommandBody(const char* data, std::size_t length);

  // The value of the first entry named `key`; empty when there is none.
  std::string Value(const std::string& key) const;
  std::int32_t Int32(const std::string& key) const { return static_cast<std::int32_t>(ParseInteger(Value(key), 32)); }
  std::int64_t Int64(const std::string& key) const { return ParseInteger(Value(key), 64); }

  // Optional leading blanks, optional sign, then decimal digits, or
  // hexadecimal digits after "$", "x", "X", "0x" or "0X" taken as the bit
  // pattern of `bits` (32 or 64). Anything else, and any overflow, gives 0.
  static std::int64_t ParseInteger(const std::string& value, int bits);

 private:
  std::vector<std::pair<std::string, std::string>> FEntries;
};

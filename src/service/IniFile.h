#pragma once
// A read-only INI file. Section and key names ignore case; values are
// trimmed; a missing file, section or key gives the caller's default.

#include <cstdint>
#include <map>
#include <string>

class TIniFile {
 public:
  // A file that cannot be read behaves as an empty one.
  explicit TIniFile(const std::string& fileName);
  // Whether the file could be opened; for a caller to which an empty file
  // and a missing one mean different things.
  bool Opened() const { return FOpened; }

  std::string ReadString(const std::string& section, const std::string& key,
                         const std::string& defaultValue) const;
  // Decimal, or hexadecimal after "0x", "0X" or "$", with an optional sign;
  // anything else gives the default.
  std::int32_t ReadInteger(const std::string& section, const std::string& key,
                           std::int32_t defaultValue) const;

  // The integer rule on its own.
  static bool ParseInteger(const std::string& text, std::int32_t& value);

 private:
  std::map<std::string, std::string> FValues;  // "section\nkey" in lower case
  bool FOpened = false;
};

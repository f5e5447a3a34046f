#include "service/IniFile.h"

#include <algorithm>
#include <cctype>
#include <fstream>

#include "base/Text.h"

namespace {

std::string Lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

std::string Trim(const std::string& text) {
  const char* blanks = " \t\r\n";
  std::size_t first = text.find_first_not_of(blanks);
  if (first == std::string::npos) return {};
  return text.substr(first, text.find_last_not_of(blanks) - first + 1);
}

std::string Slot(const std::string& section, const std::string& key) {
  return Lower(section) + '\n' + Lower(key);
}

}  // namespace

TIniFile::TIniFile(const std::string& fileName) {
  std::ifstream in(fileName, std::ios::binary);
  FOpened = in.is_open();
  std::string line, section;
  // An editor's UTF-8 byte-order mark is not part of the first line.
  if (in.peek() == 0xEF) {
    char mark[3] = {};
    in.read(mark, 3);
    if (std::string(mark, 3) != "\xEF\xBB\xBF") in.seekg(0);
  }
  while (std::getline(in, line)) {
    line = Trim(line);
    if (line.empty() || line[0] == ';' || line[0] == '#') continue;
    if (line.front() == '[') {
      std::size_t close = line.find(']');
      section = Trim(line.substr(1, close == std::string::npos ? std::string::npos : close - 1));
      continue;
    }
    std::size_t equals = line.find('=');
    if (equals == std::string::npos) continue;
    // The first occurrence of a key in a section counts.
    FValues.emplace(Slot(section, Trim(line.substr(0, equals))), Trim(line.substr(equals + 1)));
  }
}

std::string TIniFile::ReadString(const std::string& section, const std::string& key,
                                 const std::string& defaultValue) const {
  auto it = FValues.find(Slot(section, key));
  return it == FValues.end() ? defaultValue : it->second;
}

std::int32_t TIniFile::ReadInteger(const std::string& section, const std::string& key,
                                   std::int32_t defaultValue) const {
  std::int32_t value = 0;
  return ParseInteger(ReadString(section, key, ""), value) ? value : defaultValue;
}

bool TIniFile::ParseInteger(const std::string& text, std::int32_t& value) {
  std::size_t i = 0;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  int base = 10;
  if (text.compare(i, 1, "$") == 0) {
    base = 16;
    i += 1;
  } else if (text.compare(i, 2, "0x") == 0 || text.compare(i, 2, "0X") == 0) {
    base = 16;
    i += 2;
  }
  // Hexadecimal is the bit pattern of 32 bits; decimal must fit the signed range.
  std::uint64_t magnitude = 0;
  if (base == 16 ? !ParseHex(text, i, 32, magnitude)
                 : !ParseDecimal(text, i, negative ? 0x80000000ull : 0x7FFFFFFFull, magnitude))
    return false;
  const auto bits = static_cast<std::uint32_t>(magnitude);
  value = static_cast<std::int32_t>(negative ? 0u - bits : bits);
  return true;
}

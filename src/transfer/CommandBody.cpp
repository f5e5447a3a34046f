#include "transfer/CommandBody.h"

#include <string_view>

#include "base/Text.h"

namespace {

// Length of the hexadecimal prefix at `p` ("$", "x", "X", "0x", "0X"), or 0.
std::size_t HexPrefixLength(const std::string& text, std::size_t p) {
  if (p < text.size() && (text[p] == '$' || text[p] == 'x' || text[p] == 'X')) return 1;
  if (p + 1 < text.size() && text[p] == '0' && (text[p + 1] == 'x' || text[p + 1] == 'X')) return 2;
  return 0;
}

// The low `bits` of `pattern` read as a two's complement number.
std::int64_t SignExtend(std::uint64_t pattern, int bits) {
  if (bits == 64) return static_cast<std::int64_t>(pattern);
  return static_cast<std::int32_t>(static_cast<std::uint32_t>(pattern));
}

}  // namespace

TCommandBody::TCommandBody(const char* data, std::size_t length) {
  const std::string_view received(data, length);
  const std::string text(received.substr(0, received.find('\0')));

  std::size_t start = 0;
  while (start <= text.size()) {
    std::size_t end = text.find_first_of("\r\n", start);
    if (end == std::string::npos) end = text.size();
    const std::string line = text.substr(start, end - start);
    const std::size_t equals = line.find('=');
    if (equals != std::string::npos) FEntries.emplace_back(line.substr(0, equals), line.substr(equals + 1));
    if (end == text.size()) break;
    // A CR directly followed by an LF ends one line only.
    start = end + (text[end] == '\r' && end + 1 < text.size() && text[end + 1] == '\n' ? 2 : 1);
  }
}

std::string TCommandBody::Value(const std::string& key) const {
  for (const auto& [name, value] : FEntries)
    if (EqualsIgnoringAsciiCase(name, key)) return value;
  return {};
}

std::int64_t TCommandBody::ParseInteger(const std::string& value, int bits) {
  std::size_t p = value.find_first_not_of(' ');
  if (p == std::string::npos) return 0;
  const bool negative = value[p] == '-';
  if (value[p] == '+' || value[p] == '-') ++p;

  if (std::size_t prefix = HexPrefixLength(value, p)) {
    std::uint64_t pattern;
    if (!ParseHex(value, p + prefix, bits, pattern)) return 0;
    // The sign applies to the pattern's two's complement value; negating the
    // most negative value leaves it as it is.
    std::uint64_t number = static_cast<std::uint64_t>(SignExtend(pattern, bits));
    return SignExtend(negative ? ~number + 1 : number, bits);
  }

  const std::uint64_t largest = (std::uint64_t{1} << (bits - 1)) - 1;
  std::uint64_t magnitude;
  if (!ParseDecimal(value, p, negative ? largest + 1 : largest, magnitude)) return 0;
  return negative ? static_cast<std::int64_t>(~magnitude + 1) : static_cast<std::int64_t>(magnitude);
}

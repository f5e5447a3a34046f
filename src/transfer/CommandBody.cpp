#include "transfer/CommandBody.h"

#include <string_view>

namespace {

char LowerAscii(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool EqualsIgnoringAsciiCase(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (LowerAscii(a[i]) != LowerAscii(b[i])) return false;
  return true;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Length of the hexadecimal prefix at `p` ("$", "x", "X", "0x", "0X"), or 0.
std::size_t HexPrefixLength(const std::string& text, std::size_t p) {
  if (p < text.size() && (text[p] == '$' || text[p] == 'x' || text[p] == 'X')) return 1;
  if (p + 1 < text.size() && text[p] == '0' && (text[p + 1] == 'x' || text[p + 1] == 'X')) return 2;
  return 0;
}

// Hex digits from `p` to the end as an unsigned pattern of `bits`; false when
// there are none, a non-digit follows, or the pattern is wider than `bits`.
bool ParseHex(const std::string& text, std::size_t p, int bits, std::uint64_t& pattern) {
  if (p >= text.size()) return false;
  const std::uint64_t limit = bits == 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << bits) - 1;
  pattern = 0;
  for (; p < text.size(); ++p) {
    int digit = HexDigit(text[p]);
    if (digit < 0 || pattern > (limit >> 4)) return false;
    pattern = pattern << 4 | static_cast<std::uint64_t>(digit);
  }
  return true;
}

// Decimal digits from `p` to the end as a magnitude no larger than `limit`.
bool ParseDecimal(const std::string& text, std::size_t p, std::uint64_t limit, std::uint64_t& magnitude) {
  if (p >= text.size()) return false;
  magnitude = 0;
  for (; p < text.size(); ++p) {
    if (text[p] < '0' || text[p] > '9') return false;
    auto digit = static_cast<std::uint64_t>(text[p] - '0');
    if (magnitude > (limit - digit) / 10) return false;
    magnitude = magnitude * 10 + digit;
  }
  return true;
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

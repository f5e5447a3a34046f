#include "base/Text.h"

namespace {

char LowerAscii(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

}  // namespace

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool EqualsIgnoringAsciiCase(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (LowerAscii(a[i]) != LowerAscii(b[i])) return false;
  return true;
}

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

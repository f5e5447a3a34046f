#pragma once
// Text helpers that the wire layer and the configuration share: ASCII case
// folding (never the locale's, so that a name compares the same on every
// host) and runs of digits read without overflow.

#include <cstddef>
#include <cstdint>
#include <string>

bool EqualsIgnoringAsciiCase(const std::string& a, const std::string& b);

// The value of one hexadecimal digit, either case; -1 for any other byte.
int HexDigit(char c);

// Decimal digits from `p` to the end as a magnitude no larger than `limit`;
// false when there are none or anything else follows.
bool ParseDecimal(const std::string& text, std::size_t p, std::uint64_t limit, std::uint64_t& magnitude);
// Hexadecimal digits from `p` to the end as an unsigned pattern of `bits`;
// false when there are none, anything else follows, or the pattern is wider.
bool ParseHex(const std::string& text, std::size_t p, int bits, std::uint64_t& pattern);

#include "platform/IpAddress.h"

#include <algorithm>
#include <cstdio>
#include <vector>

namespace platform {

namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

int HexValue(char c) {
  if (IsDigit(c)) return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool IsV4Mapped(const IpAddress::Bytes& bytes) {
  return std::all_of(bytes.begin(), bytes.begin() + 10, [](std::uint8_t b) { return b == 0; }) &&
         bytes[10] == 0xFF && bytes[11] == 0xFF;
}

bool ParseV4(const std::string& text, std::uint32_t& address) {
  std::uint32_t result = 0;
  int parts = 0;
  std::size_t at = 0;
  while (parts < 4) {
    std::size_t digits = 0;
    unsigned value = 0;
    while (at + digits < text.size() && IsDigit(text[at + digits]) && digits < 4)
      value = value * 10 + static_cast<unsigned>(text[at + digits++] - '0');
    if (digits == 0 || digits > 3 || value > 255) return false;
    result = result << 8 | value;
    at += digits;
    if (++parts < 4) {
      if (at >= text.size() || text[at] != '.') return false;
      ++at;
    }
  }
  if (at != text.size()) return false;
  address = result;
  return true;
}

// Hexadecimal groups separated by ":", at most one "::" for a run of zero
// groups, and optionally a dotted IPv4 address as the last two groups.
bool ParseV6(const std::string& text, IpAddress::Bytes& bytes) {
  std::vector<unsigned> head, tail;
  bool gap = false;
  std::size_t at = 0;
  if (text.compare(0, 2, "::") == 0) {
    gap = true;
    at = 2;
  }
  while (at < text.size()) {
    std::vector<unsigned>& groups = gap ? tail : head;
    const std::size_t end = std::min(text.find(':', at), text.size());
    const std::string part = text.substr(at, end - at);
    std::uint32_t v4 = 0;
    if (end == text.size() && ParseV4(part, v4)) {
      groups.push_back(v4 >> 16);
      groups.push_back(v4 & 0xFFFF);
      break;
    }
    if (part.empty() || part.size() > 4) return false;
    unsigned value = 0;
    for (char c : part) {
      if (HexValue(c) < 0) return false;
      value = value << 4 | static_cast<unsigned>(HexValue(c));
    }
    groups.push_back(value);
    at = end + 1;
    if (end == text.size()) break;
    if (at == text.size()) return false;  // a single ":" at the end
    if (text[at] == ':') {
      if (gap) return false;
      gap = true;
      ++at;
    }
  }
  const std::size_t count = head.size() + tail.size();
  if (gap ? count > 7 : count != 8) return false;
  std::vector<unsigned> groups = head;
  groups.resize(8 - tail.size(), 0);
  groups.insert(groups.end(), tail.begin(), tail.end());
  for (int i = 0; i < 8; ++i) {
    bytes[2 * i] = static_cast<std::uint8_t>(groups[i] >> 8);
    bytes[2 * i + 1] = static_cast<std::uint8_t>(groups[i] & 0xFF);
  }
  return true;
}

std::string V6Text(const IpAddress::Bytes& bytes) {
  std::array<unsigned, 8> groups{};
  for (int i = 0; i < 8; ++i) groups[i] = static_cast<unsigned>(bytes[2 * i] << 8 | bytes[2 * i + 1]);
  int bestStart = -1, bestLength = 1;
  for (int i = 0; i < 8;) {
    int j = i;
    while (j < 8 && groups[j] == 0) ++j;
    if (j - i > bestLength) {
      bestStart = i;
      bestLength = j - i;
    }
    i = j == i ? i + 1 : j;
  }
  std::string text;
  char group[8];
  for (int i = 0; i < 8; ++i) {
    if (i == bestStart) {
      text += "::";
      i += bestLength - 1;
      continue;
    }
    if (!text.empty() && text.back() != ':') text += ':';
    std::snprintf(group, sizeof group, "%x", groups[i]);
    text += group;
  }
  return text;
}

// The first `bits` bits of `a` and `b` are equal.
bool SameLeadingBits(const IpAddress::Bytes& a, const IpAddress::Bytes& b, int bits) {
  for (int i = 0; bits > 0; ++i, bits -= 8) {
    const std::uint8_t mask = static_cast<std::uint8_t>(bits >= 8 ? 0xFF : 0xFF << (8 - bits));
    if ((a[i] & mask) != (b[i] & mask)) return false;
  }
  return true;
}

}  // namespace

IpAddress IpAddress::V4(std::uint32_t hostOrder) {
  IpAddress address;
  for (int i = 0; i < 4; ++i) address.FBytes[12 + i] = static_cast<std::uint8_t>(hostOrder >> (24 - 8 * i));
  return address;
}

IpAddress IpAddress::V6(const Bytes& bytes) {
  IpAddress address;
  address.FBytes = bytes;
  address.FV4 = IsV4Mapped(bytes);
  return address;
}

bool IpAddress::Parse(const std::string& text, IpAddress& address) {
  std::uint32_t v4 = 0;
  if (ParseV4(text, v4)) {
    address = V4(v4);
    return true;
  }
  Bytes bytes{};
  if (text.find(':') == std::string::npos || !ParseV6(text, bytes)) return false;
  address = V6(bytes);
  return true;
}

bool IpAddress::IsAny() const { return FV4 ? V4Value() == 0 : FBytes == Bytes{}; }

std::uint32_t IpAddress::V4Value() const {
  if (!FV4) return 0;
  return static_cast<std::uint32_t>(FBytes[12]) << 24 | static_cast<std::uint32_t>(FBytes[13]) << 16 |
         static_cast<std::uint32_t>(FBytes[14]) << 8 | FBytes[15];
}

std::string IpAddress::Text() const {
  if (!FV4) return V6Text(FBytes);
  char text[16];
  std::snprintf(text, sizeof text, "%u.%u.%u.%u", FBytes[12], FBytes[13], FBytes[14], FBytes[15]);
  return text;
}

bool IpPrefix::Parse(const std::string& text, IpPrefix& prefix) {
  const std::size_t slash = text.find('/');
  IpAddress network;
  if (!IpAddress::Parse(text.substr(0, slash), network)) return false;
  // A mapped network counts its bits within the IPv6 address.
  const bool mapped = network.IsV4() && text.find(':') != std::string::npos;
  const int width = network.IsV4() && !mapped ? 32 : 128;
  int bits = width;
  if (slash != std::string::npos) {
    const std::string digits = text.substr(slash + 1);
    if (digits.empty() || digits.size() > 3 || digits.find_first_not_of("0123456789") != std::string::npos)
      return false;
    bits = std::stoi(digits);
    if (bits > width || (mapped && bits < 96)) return false;
  }
  if (mapped) bits -= 96;
  const int leading = network.IsV4() ? 96 + bits : bits;
  // Host bits set: the network compared with itself cut to its prefix.
  IpAddress::Bytes cut{};
  const IpAddress::Bytes& all = network.V6Bytes();
  for (int i = 0; i < 16; ++i) {
    const int left = leading - 8 * i;
    cut[i] = static_cast<std::uint8_t>(left >= 8 ? all[i] : left <= 0 ? 0 : all[i] & (0xFF << (8 - left)));
  }
  if (cut != all) return false;
  prefix.FNetwork = network;
  prefix.FBits = bits;
  return true;
}

bool IpPrefix::Contains(const IpAddress& address) const {
  if (address.IsV4() != FNetwork.IsV4()) return false;
  return SameLeadingBits(address.V6Bytes(), FNetwork.V6Bytes(), FNetwork.IsV4() ? 96 + FBits : FBits);
}

bool IpPrefix::ParseList(const std::string& text, bool skipEmpty, std::vector<IpPrefix>& prefixes) {
  const auto trimmed = [](const std::string& entry) {
    const std::size_t first = entry.find_first_not_of(" \t");
    if (first == std::string::npos) return std::string();
    return entry.substr(first, entry.find_last_not_of(" \t") - first + 1);
  };
  std::vector<IpPrefix> parsed;
  for (std::size_t at = 0;;) {
    const std::size_t end = std::min(text.find(';', at), text.size());
    const std::string entry = trimmed(text.substr(at, end - at));
    IpPrefix prefix;
    if (!(entry.empty() && skipEmpty)) {
      if (!Parse(entry, prefix)) return false;
      parsed.push_back(prefix);
    }
    if (end == text.size()) break;
    at = end + 1;
  }
  prefixes = std::move(parsed);
  return true;
}

bool IpPrefix::AnyContains(const std::vector<IpPrefix>& prefixes, const std::string& text) {
  IpAddress address;
  if (!IpAddress::Parse(text, address)) return false;
  return std::any_of(prefixes.begin(), prefixes.end(), [&address](const IpPrefix& p) { return p.Contains(address); });
}

}  // namespace platform

#include "server/ProxyHeader.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <vector>

#include "base/Format.h"

namespace {

using TIPv6 = std::array<std::uint8_t, 16>;

const char kV1Prefix[] = "PROXY ";
const std::uint8_t kV2Signature[12] = {0x0D, 0x0A, 0x0D, 0x0A, 0x00, 0x0D, 0x0A, 0x51, 0x55, 0x49, 0x54, 0x0A};
// Both versions are at least this long ("PROXY UNKNOWN\r\n"), so this much
// can always be read before the version is known.
constexpr std::size_t kShortestHeader = 15;
constexpr std::size_t kV2FixedPart = 16;

TProxyHeader Invalid() {
  TProxyHeader header;
  header.State = TProxyHeader::kInvalid;
  return header;
}

TProxyHeader Incomplete(std::size_t wanted) {
  TProxyHeader header;
  header.Wanted = wanted;
  return header;
}

TProxyHeader Complete(std::size_t length, std::string clientAddress) {
  TProxyHeader header;
  header.State = TProxyHeader::kComplete;
  header.Length = length;
  header.ClientAddress = std::move(clientAddress);
  return header;
}

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

int HexValue(char c) {
  if (IsDigit(c)) return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::string FormatIPv4(std::uint32_t address) {
  return Format("%u.%u.%u.%u", (address >> 24) & 0xFF, (address >> 16) & 0xFF, (address >> 8) & 0xFF, address & 0xFF);
}

// The shortest form: lower-case groups without leading zeros, the longest
// run of two or more zero groups (the first of equal runs) written "::".
std::string FormatIPv6(const TIPv6& bytes) {
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
  for (int i = 0; i < 8; ++i) {
    if (i == bestStart) {
      text += "::";
      i += bestLength - 1;
      continue;
    }
    if (!text.empty() && text.back() != ':') text += ':';
    text += Format("%x", groups[i]);
  }
  return text;
}

// Hexadecimal groups separated by ":", at most one "::" for a run of zero
// groups, and optionally a dotted IPv4 address as the last two groups.
bool ParseIPv6(const std::string& text, TIPv6& bytes) {
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
    if (end == text.size() && ParseIPv4(part, v4)) {
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

bool ParsePort(const std::string& text) {
  if (text.empty() || text.size() > 5) return false;
  unsigned value = 0;
  for (char c : text) {
    if (!IsDigit(c)) return false;
    value = value * 10 + static_cast<unsigned>(c - '0');
  }
  return value <= 65535;
}

std::vector<std::string> SplitBySpace(const std::string& line) {
  std::vector<std::string> fields;
  std::size_t at = 0;
  for (std::size_t space; (space = line.find(' ', at)) != std::string::npos; at = space + 1)
    fields.push_back(line.substr(at, space - at));
  fields.push_back(line.substr(at));
  return fields;
}

// "PROXY TCP4|TCP6 source destination sport dport", or "PROXY UNKNOWN"
// followed by anything; single spaces between the fields.
TProxyHeader ParseV1Line(const std::string& line, std::size_t length) {
  const std::vector<std::string> fields = SplitBySpace(line);
  if (fields.size() >= 2 && fields[1] == "UNKNOWN") return Complete(length, "");
  if (fields.size() != 6 || !ParsePort(fields[4]) || !ParsePort(fields[5])) return Invalid();
  if (fields[1] == "TCP4") {
    std::uint32_t source = 0, destination = 0;
    if (!ParseIPv4(fields[2], source) || !ParseIPv4(fields[3], destination)) return Invalid();
    return Complete(length, FormatIPv4(source));
  }
  if (fields[1] == "TCP6") {
    TIPv6 source{}, destination{};
    if (!ParseIPv6(fields[2], source) || !ParseIPv6(fields[3], destination)) return Invalid();
    return Complete(length, FormatIPv6(source));
  }
  return Invalid();
}

TProxyHeader ParseV1(const std::uint8_t* data, std::size_t size) {
  const char* text = reinterpret_cast<const char*>(data);
  if (std::memcmp(text, kV1Prefix, std::min(size, sizeof kV1Prefix - 1)) != 0) return Invalid();
  std::size_t lineLength = 0;
  while (lineLength < size && text[lineLength] != '\r' && text[lineLength] != '\n') ++lineLength;
  if (lineLength == size) {
    // The line ends by CR LF within the longest header, or never.
    if (size >= kProxyV1MaxLength - 1) return Invalid();
    return Incomplete(size < kShortestHeader ? kShortestHeader - size : 1);
  }
  if (text[lineLength] == '\n') return Invalid();
  if (lineLength + 1 == size) return Incomplete(1);
  if (text[lineLength + 1] != '\n' || std::memchr(text, '\0', lineLength) != nullptr) return Invalid();
  return ParseV1Line(std::string(text, lineLength), lineLength + 2);
}

TProxyHeader ParseV2(const std::uint8_t* data, std::size_t size) {
  if (std::memcmp(data, kV2Signature, std::min(size, sizeof kV2Signature)) != 0) return Invalid();
  if (size < kV2FixedPart) return Incomplete(kV2FixedPart - size);
  const unsigned version = data[12] >> 4, command = data[12] & 0x0F;
  const unsigned family = data[13] >> 4;
  const std::size_t length = kV2FixedPart + (static_cast<std::size_t>(data[14]) << 8 | data[15]);
  if (version != 2 || command > 1 || family > 3) return Invalid();
  if (length > kProxyV2MaxLength) return Invalid();
  if (size < length) return Incomplete(length - size);

  // LOCAL is the balancer speaking for itself, as in its health checks; an
  // unspecified or local-socket family names no client either.
  const std::uint8_t* addresses = data + kV2FixedPart;
  const std::size_t available = length - kV2FixedPart;
  if (command == 0 || family == 0 || family == 3) return Complete(length, "");
  if (family == 1) {
    if (available < 12) return Invalid();
    const std::uint32_t source = static_cast<std::uint32_t>(addresses[0]) << 24 |
                                 static_cast<std::uint32_t>(addresses[1]) << 16 |
                                 static_cast<std::uint32_t>(addresses[2]) << 8 | addresses[3];
    return Complete(length, FormatIPv4(source));
  }
  if (available < 36) return Invalid();
  TIPv6 source{};
  std::memcpy(source.data(), addresses, source.size());
  return Complete(length, FormatIPv6(source));
}

}  // namespace

TProxyHeader ParseProxyHeader(const std::uint8_t* data, std::size_t size) {
  // The first byte tells the versions apart, so that a client that is no
  // balancer is refused at once rather than after a wait for more bytes.
  if (size == 0) return Incomplete(1);
  return data[0] == static_cast<std::uint8_t>(kV1Prefix[0]) ? ParseV1(data, size) : ParseV2(data, size);
}

bool ParseIPv4(const std::string& text, std::uint32_t& address) {
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

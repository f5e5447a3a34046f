#include "server/ProxyHeader.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "platform/IpAddress.h"

namespace {

using platform::IpAddress;

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

bool IsV6Text(const std::string& text) { return text.find(':') != std::string::npos; }

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
  // The family names the text's form: an IPv4 text under TCP6 is as
  // malformed as an IPv6 one under TCP4.
  const bool v6 = fields[1] == "TCP6";
  if (!v6 && fields[1] != "TCP4") return Invalid();
  IpAddress source, destination;
  if (!IpAddress::Parse(fields[2], source) || !IpAddress::Parse(fields[3], destination)) return Invalid();
  if (IsV6Text(fields[2]) != v6 || IsV6Text(fields[3]) != v6) return Invalid();
  return Complete(length, source.Text());
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
  // A line that ends beyond the longest header is as malformed as one that
  // never ends, however much was read at once.
  if (text[lineLength] == '\n' || lineLength + 2 > kProxyV1MaxLength) return Invalid();
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
    return Complete(length, IpAddress::V4(source).Text());
  }
  if (available < 36) return Invalid();
  IpAddress::Bytes source{};
  std::memcpy(source.data(), addresses, source.size());
  return Complete(length, IpAddress::V6(source).Text());
}

}  // namespace

TProxyHeader ParseProxyHeader(const std::uint8_t* data, std::size_t size) {
  // The first byte tells the versions apart, so that a client that is no
  // balancer is refused at once rather than after a wait for more bytes.
  if (size == 0) return Incomplete(1);
  return data[0] == static_cast<std::uint8_t>(kV1Prefix[0]) ? ParseV1(data, size) : ParseV2(data, size);
}

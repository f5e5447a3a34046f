#pragma once
// An IPv4 or IPv6 address, its text form, and the prefixes that lists of
// addresses are written in. One type for the listener, the PROXY header, the
// trusted balancers and the logs, so that a client is written and matched the
// same way wherever it appears. Pure values: no socket, no system call.

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace platform {

class IpAddress {
 public:
  using Bytes = std::array<std::uint8_t, 16>;

  // 0.0.0.0, every IPv4 interface.
  IpAddress() = default;
  static IpAddress V4(std::uint32_t hostOrder);
  // An IPv4-mapped address (::ffff:a.b.c.d) becomes the IPv4 address it
  // carries: a dual-stack socket reports IPv4 clients that way, and they are
  // the same clients as on an IPv4 socket.
  static IpAddress V6(const Bytes& bytes);

  // Dotted IPv4 ("192.0.2.1": four decimal parts, none above 255) or IPv6
  // text ("2001:db8::1", "::ffff:192.0.2.1"); no zone, no brackets. False,
  // leaving `address` as it was, when malformed.
  static bool Parse(const std::string& text, IpAddress& address);

  bool IsV4() const { return FV4; }
  // The unspecified address of its family: 0.0.0.0 or ::.
  bool IsAny() const;
  // IPv4 in host order; 0 for IPv6.
  std::uint32_t V4Value() const;
  // IPv6 bytes; an IPv4 address as its IPv4-mapped form.
  const Bytes& V6Bytes() const { return FBytes; }

  // "192.0.2.1", or IPv6 in its shortest form (RFC 5952): lower-case groups
  // without leading zeros, the longest run of two or more zero groups (the
  // first of equal runs) written "::".
  std::string Text() const;

  bool operator==(const IpAddress& other) const { return FV4 == other.FV4 && FBytes == other.FBytes; }
  bool operator!=(const IpAddress& other) const { return !(*this == other); }

 private:
  bool FV4 = true;
  Bytes FBytes{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF, 0, 0, 0, 0};
};

// An address and the number of leading bits that a match compares.
class IpPrefix {
 public:
  // "10.0.0.0/8", "2001:db8::/32", or an address alone (all its bits).
  // Host bits must be zero, so that a typo such as 10.0.0.1/8 is not
  // silently widened. An IPv4-mapped prefix (::ffff:10.0.0.0/104) is the
  // IPv4 prefix it maps. False, leaving `prefix` as it was, when malformed.
  static bool Parse(const std::string& text, IpPrefix& prefix);

  // An IPv4 prefix matches IPv4 addresses (an IPv4-mapped client is one),
  // an IPv6 prefix IPv6 addresses: ::/0 is every IPv6 client, not every
  // client.
  bool Contains(const IpAddress& address) const;

  // A `;`-separated list ("10.0.0.5;10.1.0.0/16;2001:db8::/32"), blanks
  // around entries ignored. An empty entry is passed over where
  // `skipEmpty`, and malformed otherwise. False, leaving `prefixes` as it
  // was, when any entry is malformed.
  static bool ParseList(const std::string& text, bool skipEmpty, std::vector<IpPrefix>& prefixes);
  // Whether the address written `text` lies in any of `prefixes`; false for
  // a text that is no address.
  static bool AnyContains(const std::vector<IpPrefix>& prefixes, const std::string& text);

 private:
  IpAddress FNetwork;
  int FBits = 32;  // of the family's width
};

}  // namespace platform

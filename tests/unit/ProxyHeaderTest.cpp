// The PROXY header from a load balancer: the parser on its own (a table of
// headers as balancers write them and as they must not be taken), the list
// of trusted balancers, and the address type they and the listener share.

#include <cstdint>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/IpAddress.h"
#include "server/ProxyHeader.h"
#include "server/ProxySources.h"
#include "support/ProxyHeaders.h"

namespace {

using vtest::kV4Addresses;
using vtest::kV6Addresses;
using vtest::V2;

struct Case {
  const char* what;
  std::string bytes;
  TProxyHeader::TState state;
  std::string client;
};

std::vector<Case> Cases() {
  return {
      {"v1 TCP4", "PROXY TCP4 192.0.2.7 10.0.0.1 5000 80\r\n", TProxyHeader::kComplete, "192.0.2.7"},
      {"v1 TCP6", "PROXY TCP6 2001:DB8:0:0:1::7 ::1 5000 80\r\n", TProxyHeader::kComplete, "2001:db8::1:0:0:7"},
      {"v1 TCP6 IPv4-mapped", "PROXY TCP6 ::ffff:192.0.2.7 ::1 1 2\r\n", TProxyHeader::kComplete, "192.0.2.7"},
      {"v1 IPv4 under TCP6", "PROXY TCP6 192.0.2.7 ::1 1 2\r\n", TProxyHeader::kInvalid, ""},
      {"v1 UNKNOWN", "PROXY UNKNOWN whatever follows\r\n", TProxyHeader::kComplete, ""},
      {"v1 shortest", "PROXY UNKNOWN\r\n", TProxyHeader::kComplete, ""},
      {"v1 IPv6 under TCP4", "PROXY TCP4 ::1 ::1 1 2\r\n", TProxyHeader::kInvalid, ""},
      {"v1 address out of range", "PROXY TCP4 192.0.2.256 10.0.0.1 1 2\r\n", TProxyHeader::kInvalid, ""},
      {"v1 port out of range", "PROXY TCP4 192.0.2.7 10.0.0.1 65536 2\r\n", TProxyHeader::kInvalid, ""},
      {"v1 two spaces", "PROXY TCP4  192.0.2.7 10.0.0.1 1 2\r\n", TProxyHeader::kInvalid, ""},
      {"v1 LF alone", "PROXY TCP4 192.0.2.7 10.0.0.1 1 2\n", TProxyHeader::kInvalid, ""},
      {"v1 CR without LF", "PROXY TCP4 192.0.2.7 10.0.0.1 1 2\rX", TProxyHeader::kInvalid, ""},
      {"v1 oversized", "PROXY UNKNOWN " + std::string(100, 'x') + "\r\n", TProxyHeader::kInvalid, ""},
      {"v1 truncated", "PROXY TCP4 192.0.2.7 10.0", TProxyHeader::kIncomplete, ""},
      {"bad signature", "PROXI TCP4 192.0.2.7 10.0.0.1 1 2\r\n", TProxyHeader::kInvalid, ""},
      {"the handshake itself", std::string("DNLD\0\0\0\0", 8), TProxyHeader::kInvalid, ""},
      {"v2 PROXY IPv4", V2(0x21, 0x11, kV4Addresses), TProxyHeader::kComplete, "192.0.2.7"},
      {"v2 PROXY IPv6", V2(0x21, 0x21, kV6Addresses), TProxyHeader::kComplete, "2001:db8::1:0:0:7"},
      {"v2 PROXY IPv4 with extensions", V2(0x21, 0x11, kV4Addresses + std::string("\x04\x00\x02\x01\x02", 5)),
       TProxyHeader::kComplete, "192.0.2.7"},
      {"v2 LOCAL", V2(0x20, 0x00, ""), TProxyHeader::kComplete, ""},
      {"v2 LOCAL with IPv4 block", V2(0x20, 0x11, kV4Addresses), TProxyHeader::kComplete, ""},
      {"v2 IPv4 block too short", V2(0x21, 0x11, kV4Addresses.substr(0, 11)), TProxyHeader::kInvalid, ""},
      {"v2 IPv6 block too short", V2(0x21, 0x21, kV4Addresses), TProxyHeader::kInvalid, ""},
      {"v2 version 1", V2(0x11, 0x11, kV4Addresses), TProxyHeader::kInvalid, ""},
      {"v2 unknown command", V2(0x22, 0x11, kV4Addresses), TProxyHeader::kInvalid, ""},
      {"v2 truncated", V2(0x21, 0x11, kV4Addresses).substr(0, 20), TProxyHeader::kIncomplete, ""},
      {"v2 oversized", V2(0x21, 0x11, kV4Addresses + std::string(kProxyV2MaxLength, '\0')), TProxyHeader::kInvalid,
       ""},
      {"v2 bad signature", std::string("\r\n\r\n\0\r\nQUIT\r", 12) + std::string(16, '\0'), TProxyHeader::kInvalid,
       ""},
  };
}

// Read as the worker reads: only the bytes the parser asks for, so that a
// complete header ends exactly where the connection's own bytes begin.
TProxyHeader ReadAsTheWorkerDoes(const std::string& bytes) {
  const auto* data = reinterpret_cast<const std::uint8_t*>(bytes.data());
  std::size_t size = 0;
  TProxyHeader header = ParseProxyHeader(data, size);
  while (header.State == TProxyHeader::kIncomplete && size + header.Wanted <= bytes.size()) {
    size += header.Wanted;
    header = ParseProxyHeader(data, size);
  }
  return header;
}

TEST(ProxyHeader, TableOfHeaders) {
  const std::string after("DNLD\0\0\0\0", 8);
  for (const Case& c : Cases()) {
    const TProxyHeader header = ReadAsTheWorkerDoes(c.bytes + after);
    if (c.state == TProxyHeader::kIncomplete) {
      // Whatever follows a header cut short does not complete it.
      EXPECT_NE(ReadAsTheWorkerDoes(c.bytes).State, TProxyHeader::kComplete) << c.what;
      continue;
    }
    ASSERT_EQ(header.State, c.state) << c.what;
    // Parsed from all the bytes at once, the header reads the same.
    const std::string whole = c.bytes + after;
    EXPECT_EQ(ParseProxyHeader(reinterpret_cast<const std::uint8_t*>(whole.data()), whole.size()).State, c.state)
        << c.what;
    if (c.state != TProxyHeader::kComplete) continue;
    EXPECT_EQ(header.Length, c.bytes.size()) << c.what;
    EXPECT_EQ(header.ClientAddress, c.client) << c.what;
  }
}

TEST(ProxyHeader, TrustedSourcesTakeAddressesAndPrefixesAndRefuseTypos) {
  TProxySources sources;
  ASSERT_TRUE(sources.Parse(" 10.0.0.0/8 ; 192.0.2.7;2001:db8::/32"));
  EXPECT_TRUE(sources.Contains("10.200.3.4"));
  EXPECT_TRUE(sources.Contains("192.0.2.7"));
  EXPECT_TRUE(sources.Contains("2001:db8:5::1"));
  EXPECT_FALSE(sources.Contains("192.0.2.8"));
  EXPECT_FALSE(sources.Contains("11.0.0.1"));
  EXPECT_FALSE(sources.Contains("2001:db9::1"));
  for (const char* typo : {"10.0.0.1/8", "10.0.0.0/33", "10.0.0.0/", "10.0.0", "10.0.0.1 x", "fe80::1%eth0",
                           "10.0.0.0/-8", "2001:db8::1/32", "::/129"}) {
    EXPECT_FALSE(sources.Parse(typo)) << typo;
    EXPECT_TRUE(sources.Contains("10.1.1.1")) << "a failed parse keeps the list, " << typo;
  }
  ASSERT_TRUE(sources.Parse(""));
  EXPECT_TRUE(sources.Empty());
}

// One address type for the listener, the PROXY header, the balancers and
// the logs: what it takes, how it writes it back, and what a prefix matches.
TEST(IpAddress, TableOfTextsAndPrefixes) {
  using platform::IpAddress;
  const struct {
    const char* text;
    const char* written;  // nullptr: malformed
  } kAddresses[] = {
      {"192.0.2.1", "192.0.2.1"},
      {"0.0.0.0", "0.0.0.0"},
      {"2001:DB8:0:0:0:0:0:1", "2001:db8::1"},
      {"2001:db8:0:0:1:0:0:1", "2001:db8::1:0:0:1"},  // the first of equal runs
      {"2001:0:0:1:0:0:0:1", "2001:0:0:1::1"},       // the longest run
      {"2001:db8:0:1:1:1:1:1", "2001:db8:0:1:1:1:1:1"},  // one zero group stays
      {"::", "::"},
      {"::1", "::1"},
      {"fe80::", "fe80::"},
      {"::ffff:10.1.2.3", "10.1.2.3"},  // IPv4-mapped: plain IPv4
      {"::FFFF:a01:203", "10.1.2.3"},
      {"::10.1.2.3", "::a01:203"},  // IPv4-compatible is no mapping
      {"127.0.0", nullptr},
      {"127.0.0.300", nullptr},
      {"1.2.3.4.5", nullptr},
      {"localhost", nullptr},
      {"", nullptr},
      {"1:2:3:4:5:6:7:8:9", nullptr},
      {"1::2::3", nullptr},
      {"1:2:3:4:5:6:7:", nullptr},
      {"12345::1", nullptr},
      {"fe80::1%eth0", nullptr},
      {"[::1]", nullptr},
      {" ::1", nullptr},
  };
  for (const auto& c : kAddresses) {
    IpAddress address = IpAddress::V4(0x01020304);
    EXPECT_EQ(IpAddress::Parse(c.text, address), c.written != nullptr) << c.text;
    EXPECT_EQ(address.Text(), c.written ? c.written : "1.2.3.4") << c.text;
  }

  const struct {
    const char* prefix;
    const char* address;
    bool contains;
  } kMatches[] = {
      {"10.0.0.0/8", "10.200.3.4", true},
      {"10.0.0.0/8", "::ffff:10.200.3.4", true},  // a dual-stack socket's IPv4 client
      {"10.0.0.0/8", "11.0.0.1", false},
      {"10.0.0.0/8", "::a00:1", false},
      {"192.0.2.7", "192.0.2.7", true},
      {"192.0.2.7", "192.0.2.8", false},
      {"0.0.0.0/0", "203.0.113.9", true},
      {"0.0.0.0/0", "2001:db8::1", false},
      {"::/0", "2001:db8::1", true},
      {"::/0", "10.0.0.1", false},  // every IPv6 client is not every client
      {"2001:db8::/32", "2001:db8:ffff::1", true},
      {"2001:db8::/32", "2001:db9::1", false},
      {"2001:db8::/33", "2001:db8:8000::1", false},
      {"2001:db8::1", "2001:db8::1", true},
      {"2001:db8::1", "2001:db8::2", false},
      {"::ffff:10.0.0.0/104", "10.9.9.9", true},  // mapped form of 10.0.0.0/8
      {"::ffff:10.0.0.0/104", "11.0.0.1", false},
  };
  for (const auto& c : kMatches) {
    platform::IpPrefix prefix;
    IpAddress address;
    ASSERT_TRUE(platform::IpPrefix::Parse(c.prefix, prefix)) << c.prefix;
    ASSERT_TRUE(IpAddress::Parse(c.address, address)) << c.address;
    EXPECT_EQ(prefix.Contains(address), c.contains) << c.prefix << " " << c.address;
  }
  platform::IpPrefix prefix;
  for (const char* malformed : {"10.0.0.1/8", "10.0.0.0/33", "2001:db8::1/32", "::/129", "::ffff:10.0.0.0/95",
                                "10.0.0.0/", "10.0.0.0/x", "/8"})
    EXPECT_FALSE(platform::IpPrefix::Parse(malformed, prefix)) << malformed;
}

}  // namespace

// The PROXY header from a load balancer: the parser on its own (a table of
// headers as balancers write them and as they must not be taken) and the list
// of trusted balancers.

#include <cstdint>
#include <string>
#include <vector>

#include <gtest/gtest.h>

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
      {"v1 TCP6 with IPv4 tail", "PROXY TCP6 ::ffff:192.0.2.7 ::1 1 2\r\n", TProxyHeader::kComplete,
       "::ffff:c000:207"},
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
    if (c.state != TProxyHeader::kComplete) continue;
    EXPECT_EQ(header.Length, c.bytes.size()) << c.what;
    EXPECT_EQ(header.ClientAddress, c.client) << c.what;
  }
}

TEST(ProxyHeader, TrustedSourcesTakeAddressesAndPrefixesAndRefuseTypos) {
  TProxySources sources;
  ASSERT_TRUE(sources.Parse(" 10.0.0.0/8 ; 192.0.2.7;"));
  EXPECT_TRUE(sources.Contains("10.200.3.4"));
  EXPECT_TRUE(sources.Contains("192.0.2.7"));
  EXPECT_FALSE(sources.Contains("192.0.2.8"));
  EXPECT_FALSE(sources.Contains("11.0.0.1"));
  for (const char* typo : {"10.0.0.1/8", "10.0.0.0/33", "10.0.0.0/", "10.0.0", "10.0.0.1 x", "fe80::1", "10.0.0.0/-8"}) {
    EXPECT_FALSE(sources.Parse(typo)) << typo;
    EXPECT_TRUE(sources.Contains("10.1.1.1")) << "a failed parse keeps the list, " << typo;
  }
  ASSERT_TRUE(sources.Parse(""));
  EXPECT_TRUE(sources.Empty());
}

}  // namespace

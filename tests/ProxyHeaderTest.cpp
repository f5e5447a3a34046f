// The PROXY header from a load balancer: the parser on its own (a table of
// headers as balancers write them and as they must not be taken), the list
// of trusted balancers, and a running listener that parses headers only
// from a listed address.

#include <thread>

#include <gtest/gtest.h>

#include "server/ProxyHeader.h"
#include "server/ProxySources.h"
#include "support/TestSupport.h"

namespace {

std::string V2(std::uint8_t versionCommand, std::uint8_t family, const std::string& addresses) {
  std::string header("\r\n\r\n\0\r\nQUIT\n", 12);
  header += static_cast<char>(versionCommand);
  header += static_cast<char>(family);
  header += static_cast<char>(addresses.size() >> 8);
  header += static_cast<char>(addresses.size() & 0xFF);
  return header + addresses;
}

// Source 192.0.2.7:5000, destination 10.0.0.1:80.
const std::string kV4Addresses("\xC0\x00\x02\x07\x0A\x00\x00\x01\x13\x88\x00\x50", 12);
// Source 2001:db8::1:0:0:7, destination ::1.
const std::string kV6Addresses = std::string("\x20\x01\x0D\xB8\0\0\0\0\0\x01\0\0\0\0\0\x07", 16) +
                                 std::string(15, '\0') + "\x01" + std::string("\x13\x88\x00\x50", 4);

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

class ProxiedListener : public ::testing::Test {
 protected:
  // The server, restarted to trust `sources` as balancers.
  bool TrustProxiesFrom(const std::string& sources) {
    TServerConfig config = server.Config();
    if (!config.ProxyFrom.Parse(sources)) return false;
    server.Restart(config);
    return true;
  }

  // A download of a file that does not exist, after `prefix`; its log line
  // names the address the connection is taken to come from.
  std::string FailedDownloadLine(const std::string& prefix) {
    const std::string missing = server.Dir().File("missing.bin");
    const std::string body = "REMOTEFILENAME=" + missing + "\r\nFILESIZE=1\r\n";
    TSocket s = vtest::Connect(server.Port());
    EXPECT_TRUE(vtest::SendAll(s, prefix + vtest::EncodeHeader("DNLD", 0) +
                                      vtest::EncodeHeader("DL01", static_cast<std::int32_t>(body.size())) + body));
    const std::string reply = vtest::Receive(s, 16);
    vtest::WaitForClose(s, 5);
    CloseSocket(s);
    EXPECT_EQ(reply, vtest::EncodeHeader("DNLD", 0) + vtest::EncodeHeader("DL01", 2));
    // The line of this download is the last one that names the file.
    std::string line;
    for (int i = 0; i < 50 && line.empty(); ++i, std::this_thread::sleep_for(std::chrono::milliseconds(100))) {
      int seen = 0;
      for (const std::string& message : vtest::LogMessages(server.LogPrefix()))
        if (message.find("missing.bin") != std::string::npos && ++seen > FLinesSeen) line = message;
    }
    ++FLinesSeen;
    return line;
  }

  int FLinesSeen = 0;
  vtest::RunningServer server;
};

TEST_F(ProxiedListener, ListedSourceNamesTheClientAndLocalKeepsTheBalancer) {
  ASSERT_TRUE(TrustProxiesFrom("127.0.0.0/8"));
  EXPECT_EQ(FailedDownloadLine("PROXY TCP4 192.0.2.7 10.0.0.1 5000 80\r\n").rfind("192.0.2.7-doDownload(", 0), 0u);
  EXPECT_EQ(FailedDownloadLine(V2(0x21, 0x21, kV6Addresses)).rfind("2001:db8::1:0:0:7-doDownload(", 0), 0u);
  EXPECT_EQ(FailedDownloadLine(V2(0x20, 0x00, "")).rfind("127.0.0.1-doDownload(", 0), 0u);

  // Without a valid header nothing is answered.
  TSocket s = vtest::Connect(server.Port());
  ASSERT_TRUE(vtest::SendAll(s, vtest::EncodeHeader("DNLD", 0)));
  EXPECT_TRUE(vtest::WaitForClose(s, 5));
  EXPECT_EQ(vtest::Receive(s, 8, 1), "");
  CloseSocket(s);
  EXPECT_TRUE(vtest::WaitForLog(server.LogPrefix(), "127.0.0.1-ProxyHeader: connection closed", 5));
}

TEST_F(ProxiedListener, UnlistedSourceIsNeverTrusted) {
  ASSERT_TRUE(TrustProxiesFrom("192.0.2.0/24"));
  TSocket s = vtest::Connect(server.Port());
  ASSERT_TRUE(vtest::SendAll(s, "PROXY TCP4 192.0.2.7 10.0.0.1 5000 80\r\n"));
  // The header's first eight bytes are taken for the handshake, as any
  // other garbage would be.
  EXPECT_EQ(vtest::Receive(s, 8), vtest::EncodeHeader("PROX", 18));
  CloseSocket(s);
}

}  // namespace

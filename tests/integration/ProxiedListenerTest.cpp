// A running listener that takes PROXY headers only from a listed balancer.

#include <thread>

#include <gtest/gtest.h>

#include "server/ProxySources.h"
#include "support/ProxyHeaders.h"
#include "support/TestSupport.h"

namespace {

using vtest::kV6Addresses;
using vtest::V2;

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

// A balancer whose header's address block trickles in a byte at a time,
// each byte well within the wait for the next, is cut once the header as a
// whole is late: at a byte every half second, long before it is complete.
TEST_F(ProxiedListener, TricklingHeaderIsCutAtOneDeadlineForTheWhole) {
  ASSERT_TRUE(TrustProxiesFrom("127.0.0.0/8"));
  const std::string header = V2(0x21, 0x21, kV6Addresses);
  TSocket s = vtest::Connect(server.Port());
  std::size_t sent = 16;  // the fixed part at once; the server then waits for 36 bytes
  ASSERT_TRUE(vtest::SendAll(s, header.substr(0, sent)));
  while (sent < header.size() && platform::NetWait(s, 0, 1) == 0) {
    ASSERT_TRUE(vtest::SendAll(s, header.substr(sent++, 1)));
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
  }
  EXPECT_LT(sent, header.size()) << "the whole header was taken";
  EXPECT_TRUE(vtest::WaitForClose(s, 15));
  CloseSocket(s);
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

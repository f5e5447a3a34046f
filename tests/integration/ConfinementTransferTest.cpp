// Transfers with roots configured: names inside behave as always, names
// outside are refused with 3 in the direction's own check.

#include <gtest/gtest.h>

#include "platform/Paths.h"
#include "server/Confinement.h"
#include "support/TestSupport.h"
#include "transfer/uGlobal.h"

namespace {

using vtest::EncodeHeader;

class ConfinedTransfer : public ::testing::Test {
 protected:
  void SetUp() override {
    vtest::fs::create_directories(server.Dir().path() / "root");
    vtest::fs::create_directories(server.Dir().path() / "other");
    TServerConfig config = server.Config();
    config.Roots = {server.Dir().File("root")};
    server.Restart(config);
    inside = server.Dir().File("root") + sep + "in.bin";
    outside = server.Dir().File("other") + sep + "out.bin";
    vtest::WriteAll(inside, "inside bytes");
    vtest::WriteAll(outside, "outside bytes");
  }

  std::string Exchange(const char* hello, const char* command, const std::string& body, std::size_t expect) {
    TSocket s = vtest::Connect(server.Port());
    vtest::SendAll(s, EncodeHeader(hello, 0) + vtest::Request(command, body));
    std::string answer = vtest::Receive(s, expect);
    CloseSocket(s);
    return answer;
  }

  const std::string sep = std::string(1, platform::kPathDelimiter);
  vtest::RunningServer server;
  std::string inside, outside;
};

TEST_F(ConfinedTransfer, DownloadsInsideARootAreServedAndOthersRefusedWith3) {
  EXPECT_EQ(Exchange("DNLD", "DL01", "REMOTEFILENAME=" + inside + "\r\nFILESIZE=12", 100),
            EncodeHeader("DNLD", 0) + EncodeHeader("DL01", 0) + "inside bytes");
  EXPECT_EQ(Exchange("DNLD", "DL01", "REMOTEFILENAME=" + outside + "\r\nFILESIZE=13", 100),
            EncodeHeader("DNLD", 0) + EncodeHeader("DL01", 3));
  const std::string escape = server.Dir().File("root") + sep + ".." + sep + "other" + sep + "out.bin";
  EXPECT_EQ(Exchange("DNLD", "DL01", "REMOTEFILENAME=" + escape + "\r\nFILESIZE=13", 100),
            EncodeHeader("DNLD", 0) + EncodeHeader("DL01", 3));
  // A file's record of block digests lies inside the root but is the
  // server's own: neither read nor written by a client.
  const std::string record = server.Dir().File("root") + sep + ".in.bin.vardex-digests";
  vtest::WriteAll(record, "record bytes");
  EXPECT_EQ(Exchange("DNLD", "DL01", "REMOTEFILENAME=" + record + "\r\nFILESIZE=12", 100),
            EncodeHeader("DNLD", 0) + EncodeHeader("DL01", 3));
  EXPECT_EQ(Exchange("UPLD", "UP01", "REMOTEFILENAME=" + record + "\r\nFILESIZE=5", 100),
            EncodeHeader("UPLD", 0) + EncodeHeader("UP01", 3));
  EXPECT_TRUE(vtest::WaitForLog(server.LogPrefix(),
                                "127.0.0.1-doDownload(" + outside + "): failed, " + ResultText(3) + ", doFileCheck(" +
                                    outside + "): failed. " + ResultText(3) + ", outside every root",
                                5));
}

TEST_F(ConfinedTransfer, UploadsOutsideEveryRootAreRefusedAtTheDiskCheck) {
  const std::string target = server.Dir().File("other") + sep + "new.bin";
  EXPECT_EQ(Exchange("UPLD", "UP01", "REMOTEFILENAME=" + target + "\r\nFILESIZE=5", 100),
            EncodeHeader("UPLD", 0) + EncodeHeader("UP01", 3));
  EXPECT_TRUE(vtest::WaitForLog(server.LogPrefix(),
                                "127.0.0.1-doUpload(): failed, " + ResultText(3) + ", doDiskCheck(" + target +
                                    "): failed. " + ResultText(3) + ", doDiskCheck",
                                5));
  EXPECT_FALSE(vtest::fs::exists(target));
  // Inside a root the negotiation goes on to the resume offer.
  TSocket s = vtest::Connect(server.Port());
  const std::string body = "REMOTEFILENAME=" + inside + "\r\nFILESIZE=20";
  vtest::SendAll(s, EncodeHeader("UPLD", 0) + vtest::Request("UP01", body) + EncodeHeader("UP02", 0));
  EXPECT_EQ(vtest::Receive(s, 16 + 8 + 10), EncodeHeader("UPLD", 0) + EncodeHeader("UP01", 0) +
                                                 EncodeHeader("UP02", 10) + "FILEPOS=12");
  CloseSocket(s);
}

}  // namespace

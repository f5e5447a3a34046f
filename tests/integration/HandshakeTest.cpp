// The opening handshake of a connection, against a running listener.

#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "support/ProcessResources.h"
#include "support/TestSupport.h"
#include "transfer/uGlobal.h"

namespace {

using vtest::EncodeHeader;

class Handshake : public ::testing::Test {
 protected:
  vtest::RunningServer server;
};

TEST_F(Handshake, DownloadAndUploadAreAcceptedWhateverTheirSize) {
  for (std::int32_t size : {0, -1, 16001}) {
    TSocket s = vtest::Connect(server.Port());
    ASSERT_TRUE(vtest::SendAll(s, EncodeHeader("DNLD", size)));
    EXPECT_EQ(vtest::Receive(s, 8), EncodeHeader("DNLD", 0));
    CloseSocket(s);
  }
  TSocket s = vtest::Connect(server.Port());
  ASSERT_TRUE(vtest::SendAll(s, EncodeHeader("UPLD", 7)));
  EXPECT_EQ(vtest::Receive(s, 8), EncodeHeader("UPLD", 0));
  CloseSocket(s);
}

TEST_F(Handshake, UnknownLettersAreEchoedWith18AndClosedWithoutALogLine) {
  TSocket s = vtest::Connect(server.Port());
  ASSERT_TRUE(vtest::SendAll(s, EncodeHeader("upld", 0)));
  EXPECT_EQ(vtest::Receive(s, 8), EncodeHeader("upld", 18));
  EXPECT_TRUE(vtest::WaitForClose(s, 5));
  CloseSocket(s);
  for (const std::string& message : vtest::LogMessages(server.LogPrefix()))
    EXPECT_EQ(message.find("Validate"), std::string::npos) << message;
}

TEST_F(Handshake, HeaderInTwoPiecesFiveSecondsApartIsServed) {
  TSocket s = vtest::Connect(server.Port());
  ASSERT_TRUE(vtest::SendAll(s, "DN"));
  std::this_thread::sleep_for(std::chrono::seconds(5));
  ASSERT_TRUE(vtest::SendAll(s, std::string("LD\0\0\0\0", 6)));
  EXPECT_EQ(vtest::Receive(s, 8), EncodeHeader("DNLD", 0));
  CloseSocket(s);
}

TEST_F(Handshake, SilentClientIsLoggedAfterTenSecondsAndClosed) {
  TSocket s = vtest::Connect(server.Port());
  const std::string line = "127.0.0.1-Validate(): failed. " + ResultText(16) + ", Validate header recv";
  EXPECT_FALSE(vtest::WaitForLog(server.LogPrefix(), line, 7));  // not before its time
  EXPECT_TRUE(vtest::WaitForLog(server.LogPrefix(), line, 8));
  EXPECT_TRUE(vtest::WaitForClose(s, 5));
  EXPECT_EQ(vtest::Receive(s, 8, 1), "");  // no reply was ever sent
  CloseSocket(s);
}

// Quiet connections cost no thread: those that sent nothing and those whose
// opening header was answered wait side by side without one, and each is
// still ended at its own step, with the line a worker would write.
TEST_F(Handshake, QuietClientsWaitWithoutAThreadEachAndEndAtTheirStep) {
  constexpr int kEach = 50;
  const int threadsBefore = vtest::ThreadCount();
  std::vector<TSocket> silent, answered;
  for (int i = 0; i < kEach; ++i) {
    silent.push_back(vtest::Connect(server.Port()));
    answered.push_back(vtest::Connect(server.Port()));
    ASSERT_TRUE(vtest::SendAll(answered.back(), EncodeHeader(i % 2 ? "UPLD" : "DNLD", 0)));
  }
  for (int i = 0; i < kEach; ++i) EXPECT_EQ(vtest::Receive(answered[i], 8), EncodeHeader(i % 2 ? "UPLD" : "DNLD", 0));
  EXPECT_EQ(server.Workers()->Live(), 2 * kEach) << "every connection counts while it waits";
  EXPECT_LT(vtest::ThreadCount(), threadsBefore + kEach / 5) << "quiet connections hold threads";

  const std::string text = ResultText(16);
  EXPECT_TRUE(vtest::WaitForLogCount(server.LogPrefix(), "127.0.0.1-Validate(): failed. " + text + ", Validate header recv",
                                     kEach, 20));
  EXPECT_TRUE(vtest::WaitForLogCount(server.LogPrefix(), "-doDownload(): failed. " + text + ", Download header recv",
                                     kEach / 2, 20));
  EXPECT_TRUE(vtest::WaitForLogCount(server.LogPrefix(), "-doUpload(): failed. " + text + ", Upload header recv",
                                     kEach / 2, 20));
  for (const std::vector<TSocket>* group : {&silent, &answered})
    for (TSocket s : *group) {
      EXPECT_TRUE(vtest::WaitForClose(s, 5));
      CloseSocket(s);
    }
}

}  // namespace

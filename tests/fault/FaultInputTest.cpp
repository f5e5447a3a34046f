// Garbage from clients: random bytes, wrong letters, sizes far out of range
// and bodies that are no command bodies. Each request gets the answer the
// conversation gives it, or none, and the connection is closed; the files
// stay as they were.

#include <cstdint>
#include <thread>

#include "support/FaultScenario.h"
#include "transfer/uGlobal.h"

namespace {

using vtest::EncodeHeader;

struct Case {
  std::string what;
  std::string request;  // everything the client sends, after connecting
  std::string answer;   // everything the server sends before it closes
};

class FaultInput : public vtest::FaultScenario {
 protected:
  // Runs every case on a connection of its own, all at once, so that the
  // ones that wait out the server's 10 seconds do so together.
  void ExpectAnswers(const std::vector<Case>& cases) {
    vtest::Connections sockets;
    for (const Case& c : cases) {
      TSocket s = sockets.Add(vtest::Connect(Server().Port()));
      ASSERT_NE(s, INVALID_SOCK) << c.what;
      EXPECT_TRUE(vtest::SendAll(s, c.request)) << c.what;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));  // the listen queue holds 5
    }
    for (std::size_t i = 0; i < cases.size(); ++i) {
      const std::string answer = vtest::Receive(sockets[i], SIZE_MAX, 20);
      EXPECT_TRUE(answer == cases[i].answer) << cases[i].what << ": " << answer.size() << " bytes, expected "
                                             << cases[i].answer.size();
      EXPECT_TRUE(vtest::WaitForClose(sockets[i], 1)) << cases[i].what << ": left open";
    }
  }
};

std::string Dnld() { return EncodeHeader("DNLD", 0); }
std::string Upld() { return EncodeHeader("UPLD", 0); }
const auto Error = vtest::ErrorHeader;

TEST_F(FaultInput, GarbageDownloadRequestsAreAnsweredAsDesignedOrClosed) {
  const std::string name = File("data.bin");
  const std::string data = vtest::RandomBytes(200000, 7);
  vtest::WriteAll(name, data);
  auto request = [&](const std::string& body) { return Dnld() + vtest::Request("DL01", body); };
  auto checked = [&](std::int32_t code) { return Dnld() + EncodeHeader("DL01", code); };
  const std::string random8 = vtest::RandomBytes(8, 1);
  const std::string named = "REMOTEFILENAME=" + name + "\r\n";

  std::vector<Case> cases = {
      {"random opening header", random8, random8.substr(0, 4) + EncodeHeader("", 18).substr(4)},
      {"lower-case letters", EncodeHeader("dnld", 0), EncodeHeader("dnld", 18)},
      {"letters cut by a zero", std::string("DN\0D", 4) + std::string(4, '\0'), std::string("DN\0D", 4) + EncodeHeader("", 18).substr(4)},
      {"wrong request letters", Dnld() + EncodeHeader("DL02", 0), Dnld()},
      {"largest body size", Dnld() + EncodeHeader("DL01", INT32_MAX), Dnld()},
      {"negative body size: an empty body", Dnld() + EncodeHeader("DL01", -5), checked(2)},
      {"smallest body size", Dnld() + EncodeHeader("DL01", INT32_MIN), checked(2)},
      {"body without =", request("no equals sign here\r\njust text"), checked(2)},
      {"random body of 16000 bytes", request(vtest::RandomBytes(16000, 2)), checked(2)},
      {"name of 15980 bytes", request("REMOTEFILENAME=/" + std::string(15980, 'x')), checked(2)},
      {"a zero byte ends the body", request(named + "FILESIZE=200000\r\n" + std::string(1, '\0') + "FILEPOS=500\r\n"),
       checked(0) + data},
      {"size beyond 64 bits: 0", request(named + "FILESIZE=99999999999999999999\r\n"), checked(0)},
      {"negative file size", request(named + "FILESIZE=-1\r\nFILEPOS=0\r\n"), checked(0) + Error(9)},
      {"smallest file size", request(named + "FILESIZE=-9223372036854775808\r\n"), checked(0) + Error(9)},
      {"largest file size", request(named + "FILESIZE=9223372036854775807\r\n"), checked(9)},
      {"negative position", request(named + "FILESIZE=200000\r\nFILEPOS=-1\r\n"), checked(0) + Error(11)},
      {"smallest position", request(named + "FILESIZE=200000\r\nFILEPOS=-9223372036854775808\r\n"),
       checked(0) + Error(11)},
      {"position beyond the end", request(named + "FILESIZE=200005\r\nFILEPOS=200003\r\n"), checked(0)},
      {"body shorter than its size", Dnld() + EncodeHeader("DL01", 100) + "REMOTEFIL", Dnld()},
  };
  ExpectAnswers(cases);

  EXPECT_EQ(LogCount("-doDownload(): failed, incorrect command, DL02"), 1);
  EXPECT_EQ(LogCount("-doDownload(): failed. MsgHeader.SIZE Too large, 2147483647"), 1);
  EXPECT_EQ(LogCount("): failed. FilePos is bigger than FileSize, 0>-1"), 1);
  EXPECT_EQ(LogCount("-doDownload(): failed, " + ResultText(16) + ", doFileCheck(): failed. " + ResultText(16) +
                     ", Command body recv"), 1);
  EXPECT_TRUE(vtest::ReadAll(name) == data);
}

TEST_F(FaultInput, GarbageUploadRequestsAreAnsweredAsDesignedOrClosed) {
  const std::string kept = File("kept.bin");
  const std::string data = vtest::RandomBytes(50000, 8);
  vtest::WriteAll(kept, data);
  const std::string offer0 = EncodeHeader("UP02", 9) + "FILEPOS=0";
  auto up01 = [](const std::string& body) { return Upld() + vtest::Request("UP01", body); };
  auto up03 = [](const std::string& body) { return EncodeHeader("UP02", 0) + vtest::Request("UP03", body); };
  const std::string zeros(100, '\0');
  const std::string fresh = File("fresh/new.bin");
  const std::string named = "REMOTEFILENAME=" + fresh + "\r\n";

  std::vector<Case> cases = {
      {"random letters", Upld() + vtest::RandomBytes(8, 3), Upld()},
      {"largest body size", Upld() + EncodeHeader("UP01", INT32_MAX), Upld()},
      // No name: the empty name is refused where the file would be made.
      {"body of zeros", up01(zeros) + up03(""), Upld() + EncodeHeader("UP01", 0) + offer0 + EncodeHeader("UP03", 0) + Error(7)},
      {"smallest body size", Upld() + EncodeHeader("UP01", INT32_MIN) + up03(""),
       Upld() + EncodeHeader("UP01", 0) + offer0 + EncodeHeader("UP03", 0) + Error(7)},
      {"random body", up01(vtest::RandomBytes(16000, 4)) + vtest::RandomBytes(8, 5), Upld() + EncodeHeader("UP01", 0)},
      {"size beyond the disk", up01(named + "FILESIZE=9223372036854775807\r\n"), Upld() + EncodeHeader("UP01", 1)},
      {"negative file size", up01(named + "FILESIZE=-5\r\n") + up03("FILEPOS=0"),
       Upld() + EncodeHeader("UP01", 0) + offer0 + EncodeHeader("UP03", 0) + Error(9)},
      // Position 0 of a size of 0: nothing is missing, and the file is not
      // even opened.
      {"malformed position", up01("REMOTEFILENAME=" + kept + "\r\nFILESIZE=0\r\n") + up03("FILEPOS=12abc"),
       Upld() + EncodeHeader("UP01", 0) + EncodeHeader("UP02", 13) + "FILEPOS=50000" + EncodeHeader("UP03", 0)},
      {"negative pointer size", up01("REMOTEFILENAME=" + kept + "\r\nFILESIZE=x\r\n") + EncodeHeader("UP02", 0) +
                                    EncodeHeader("UP03", -7),
       Upld() + EncodeHeader("UP01", 0) + EncodeHeader("UP02", 13) + "FILEPOS=50000" + EncodeHeader("UP03", 0)},
      {"name of 15980 bytes", up01("REMOTEFILENAME=" + File(std::string(15900, 'y')) + "\r\nFILESIZE=10\r\n") + up03(""),
       Upld() + EncodeHeader("UP01", 0) + offer0 + EncodeHeader("UP03", 0) + Error(10)},
  };
  ExpectAnswers(cases);

  EXPECT_EQ(LogCount("-doUpload(): failed. MsgHeader.SIZE Too large, 2147483647"), 1);
  EXPECT_TRUE(vtest::ReadAll(kept) == data) << "an upload refused before its data changed the file";
}

}  // namespace

// Downloads end to end over loopback: the request, the file check with its
// reply and report, and the bytes on the wire.

#include <chrono>
#include <cstdint>
#include <string>
#include <thread>
#include <utility>

#include <gtest/gtest.h>

#include "base/Format.h"
#include "platform/Files.h"
#include "platform/Paths.h"
#include "server/Reports.h"
#include "support/HttpServer.h"
#include "support/TestSupport.h"
#include "transfer/uGlobal.h"

namespace {

using vtest::EncodeHeader;

std::string Bytes(std::size_t length) {
  std::string bytes;
  for (std::size_t i = 0; i < length; ++i) bytes += static_cast<char>((i * 7 + i / 251) & 0xFF);
  return bytes;
}

std::string Body(const std::string& name, std::int64_t size, std::int64_t pos, int fileNo = 5) {
  return Format("REMOTEFILENAME=%s\r\nFILENO=%d\r\nUSERNO=3\r\nFILESIZE=%lld\r\nFILEPOS=%lld\r\n", name.c_str(), fileNo,
                static_cast<long long>(size), static_cast<long long>(pos));
}

// Four zero letters, then the code.
using vtest::ErrorHeader;

class Download : public ::testing::Test {
 protected:
  void SetUp() override { server.ReportTo(web.Host()); }

  // A connection past the "DNLD" handshake.
  TSocket Open() {
    TSocket s = vtest::Connect(server.Port());
    EXPECT_TRUE(vtest::SendAll(s, EncodeHeader("DNLD", 0)));
    EXPECT_EQ(vtest::Receive(s, 8), EncodeHeader("DNLD", 0));
    return s;
  }

  // Sends a request and returns everything the server sends until it closes.
  std::string Request(const std::string& header, const std::string& body) {
    TSocket s = Open();
    EXPECT_TRUE(vtest::SendAll(s, header + body));
    std::string answer = vtest::Receive(s, SIZE_MAX);
    CloseSocket(s);
    return answer;
  }
  std::string Request(const std::string& body) {
    return Request(vtest::RequestHeader("DL01", body), body);
  }

  // Log messages of the download conversation.
  std::vector<std::string> DownloadLines() const {
    std::vector<std::string> lines;
    for (const std::string& message : vtest::LogMessages(server.LogPrefix()))
      if (message.find("doDownload") != std::string::npos) lines.push_back(message);
    return lines;
  }

  vtest::RunningServer server;
  vtest::HttpServer web;
};

TEST_F(Download, SendsTheFileFromTheRequestedPositionToItsEnd) {
  for (std::size_t length : {1u, 15999u, 16000u, 16001u, 40000u}) {
    const std::string name = server.Dir().File(Format("f%d.bin", static_cast<int>(length)));
    const std::string content = Bytes(length);
    vtest::WriteAll(name, content);
    for (std::size_t pos : {std::size_t{0}, std::size_t{1}, length - 1, std::size_t{16000}}) {
      if (pos >= length) continue;
      EXPECT_EQ(Request(Body(name, static_cast<std::int64_t>(length), static_cast<std::int64_t>(pos))),
                EncodeHeader("DL01", 0) + content.substr(pos))
          << length << " from " << pos;
    }
  }
  EXPECT_TRUE(DownloadLines().empty());
  EXPECT_TRUE(web.RequestLines().empty());
}

TEST_F(Download, KeysIgnoreCaseAndTheDataRunsToTheEndOfTheFileNotToFileSize) {
  const std::string name = server.Dir().File("longer.bin");
  const std::string content = Bytes(100);
  vtest::WriteAll(name, content);
  const std::string body = "remotefilename=" + name + "\nFileSize=10\nfilepos=4\n";
  EXPECT_EQ(Request(body), EncodeHeader("DL01", 0) + content.substr(4));
}

TEST_F(Download, PositionAtOrBeyondTheDeclaredSize) {
  const std::string name = server.Dir().File("f.bin");
  vtest::WriteAll(name, Bytes(40));
  // Equal: nothing at all, also when both are missing from the body.
  EXPECT_EQ(Request(Body(name, 40, 40)), EncodeHeader("DL01", 0));
  EXPECT_EQ(Request("REMOTEFILENAME=" + name), EncodeHeader("DL01", 0));
  EXPECT_TRUE(DownloadLines().empty());

  EXPECT_EQ(Request(Body(name, 40, 41)), EncodeHeader("DL01", 0) + ErrorHeader(9));
  EXPECT_EQ(Request(Body(name, 40, -1)), EncodeHeader("DL01", 0) + ErrorHeader(11));
  // Beyond the end of the file but within the declared size: nothing.
  EXPECT_EQ(Request(Body(name, 50, 45)), EncodeHeader("DL01", 0));

  const std::vector<std::string> lines = DownloadLines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0], "127.0.0.1-doDownload(): failed, doInternalDownload3(" + name +
                          "): failed. FilePos is bigger than FileSize, 41>40");
  EXPECT_EQ(lines[1].rfind("127.0.0.1-doDownload(): failed, doInternalDownload4(" + name + "): failed. " +
                               ResultText(11) + ", ",
                           0),
            0u)
      << lines[1];
  EXPECT_TRUE(web.RequestLines().empty());  // data-phase failures are not reported
}

TEST_F(Download, AShortfallOfTenMebibytesFailsAndIsReported) {
  const std::string name = server.Dir().File("growing file.bin");
  vtest::WriteAll(name, Bytes(100));
  EXPECT_EQ(Request(Body(name, 100 + 10485759, 0)), EncodeHeader("DL01", 0) + Bytes(100));
  EXPECT_EQ(Request(Body(name, 100 + 10485760, 0, 42)), EncodeHeader("DL01", 9));

  const std::vector<std::string> lines = DownloadLines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0], "127.0.0.1-doDownload(" + name + "): failed, " + ResultText(9) + ", File(" + name +
                          "), 100 10485860, 100");
  ASSERT_TRUE(web.WaitForRequests(1, 5));
  EXPECT_EQ(web.Paths()[0], "/service/serverDownloadError.php?errno=9&fileno=42&filesize=100&filename=" +
                                PercentEncode(name));
}

TEST_F(Download, AMissingFileIsAnsweredWith2AndReported) {
  const std::string name = server.Dir().File("no such file.bin");
  // The connection closes before its report goes out: each is awaited, so
  // that they arrive in order.
  EXPECT_EQ(Request(Body(name, 10, 0, 77)), EncodeHeader("DL01", 2));
  ASSERT_TRUE(web.WaitForRequests(1, 5));
  // An empty body names no file.
  EXPECT_EQ(Request(""), EncodeHeader("DL01", 2));
  ASSERT_TRUE(web.WaitForRequests(2, 5));
  // A directory is no file either.
  EXPECT_EQ(Request(Body(server.Dir().path().string(), 0, 0, 1)), EncodeHeader("DL01", 2));

  const std::vector<std::string> lines = DownloadLines();
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0], "127.0.0.1-doDownload(" + name + "): failed, " + ResultText(2) + ", , -1");
  EXPECT_EQ(lines[1], "127.0.0.1-doDownload(): failed, " + ResultText(2) + ", , -1");
  ASSERT_TRUE(web.WaitForRequests(3, 5));
  const std::vector<std::string> paths = web.Paths();
  EXPECT_EQ(paths[0], "/service/serverDownloadError.php?errno=2&fileno=77&filesize=-1&filename=" + PercentEncode(name));
  EXPECT_EQ(paths[1], "/service/serverDownloadError.php?errno=2&fileno=0&filesize=-1&filename=");
}

TEST_F(Download, BodiesUpTo16000BytesAreRead) {
  const std::string name = server.Dir().File("f.bin");
  vtest::WriteAll(name, Bytes(30));
  std::string body = Body(name, 30, 20);
  body += std::string(16000 - body.size() - 2, 'x') + "\r\n";
  ASSERT_EQ(body.size(), 16000u);
  EXPECT_EQ(Request(body), EncodeHeader("DL01", 0) + Bytes(30).substr(20));

  EXPECT_EQ(Request(body + "x"), "");
  const std::vector<std::string> lines = DownloadLines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0], "127.0.0.1-doDownload(): failed. MsgHeader.SIZE Too large, 16001");
}

TEST_F(Download, ARequestThatComesInPiecesIsServedAsAWholeOne) {
  // The listener reads a request as its bytes come and goes on where the
  // last piece ended: in the header, at its end, and within the body.
  const std::string name = server.Dir().File("f.bin");
  vtest::WriteAll(name, Bytes(300));
  std::string body = Body(name, 300, 7);
  body += std::string(12000, 'x') + "\r\n";
  const std::string request = vtest::RequestHeader("DL01", body) + body;
  TSocket s = Open();
  for (const auto& [from, length] : {std::pair<std::size_t, std::size_t>{0, 3}, {3, 5}, {8, 100}, {108, 9000}}) {
    ASSERT_TRUE(vtest::SendAll(s, request.substr(from, length)));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
  }
  ASSERT_TRUE(vtest::SendAll(s, request.substr(9108)));
  EXPECT_EQ(vtest::Receive(s, SIZE_MAX), EncodeHeader("DL01", 0) + Bytes(300).substr(7));
  CloseSocket(s);
  EXPECT_TRUE(DownloadLines().empty());
}

TEST_F(Download, WrongLettersOrAMissingRequestGetNoReply) {
  EXPECT_EQ(Request(EncodeHeader("dl01", 0), ""), "");
  EXPECT_EQ(Request(EncodeHeader("DL0", 0), ""), "");
  // A body cut short by the client's close.
  TSocket s = Open();
  ASSERT_TRUE(vtest::SendAll(s, EncodeHeader("DL01", 20) + "REMOTEFILENAME="));
  CloseSocket(s);
  ASSERT_TRUE(vtest::WaitForLog(server.LogPrefix(), "Command body recv", 5));

  const std::vector<std::string> lines = DownloadLines();
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0], "127.0.0.1-doDownload(): failed, incorrect command, dl01");
  EXPECT_EQ(lines[1], "127.0.0.1-doDownload(): failed, incorrect command, DL0");
  EXPECT_EQ(lines[2], "127.0.0.1-doDownload(): failed, " + ResultText(16) + ", doFileCheck(): failed. " +
                          ResultText(16) + ", Command body recv");
}

TEST_F(Download, AClientThatClosesMidDataEndsTheTransferWith17) {
  const std::string name = server.Dir().File("big.bin");
  const std::int64_t size = 256LL << 20;  // far more than the socket buffers hold
  vtest::MakeSparse(name, size);
  TSocket s = Open();
  const std::string body = Body(name, size, 0);
  ASSERT_TRUE(vtest::SendAll(s, EncodeHeader("DL01", static_cast<std::int32_t>(body.size())) + body));
  EXPECT_EQ(vtest::Receive(s, 8), EncodeHeader("DL01", 0));
  EXPECT_EQ(vtest::Receive(s, 1000).size(), 1000u);
  CloseSocket(s);

  const std::string failure = "doDownload(): failed, doInternalDownload6: failed. " + ResultText(17) + ", ";
  ASSERT_TRUE(vtest::WaitForLog(server.LogPrefix(), failure, 20));
  const std::vector<std::string> lines = DownloadLines();
  ASSERT_EQ(lines.size(), 1u);
  // The sent counter stops short of the size, which follows it.
  const std::string counts = lines[0].substr(lines[0].find(failure) + failure.size());
  const std::int64_t sent = std::stoll(counts);
  EXPECT_GT(sent, 0);
  EXPECT_LT(sent, size);
  EXPECT_EQ(counts.substr(counts.find(", ") + 2, std::to_string(size).size() + 2), std::to_string(size) + ", ");
}

TEST_F(Download, AnEmptyFileIsServedAsItIs) {
  const std::string name = server.Dir().File("empty-" + std::to_string(server.Port()) + ".bin");
  vtest::WriteAll(name, "");
#ifdef _WIN32
  // The move to the drive's root never replaces a file that is there already.
  const std::string rootName = platform::DrivePart(name) + "\\" + name.substr(platform::DirectoryPart(name).size());
  vtest::WriteAll(rootName, "other");
#endif
  EXPECT_EQ(Request(Body(name, 0, 0)), EncodeHeader("DL01", 0));
  EXPECT_EQ(Request(Body(name, 10485760, 0)), EncodeHeader("DL01", 9));
  EXPECT_EQ(vtest::ReadAll(name), "");
  const std::vector<std::string> lines = DownloadLines();
#ifdef _WIN32
  EXPECT_EQ(vtest::ReadAll(rootName), "other");
  std::filesystem::remove(rootName);
  // Windows refreshes the empty entry by moving the file away and back.
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0], "doDownload(" + name + "): renamed " + rootName + ",  0");
  EXPECT_EQ(lines[1], lines[0]);
  EXPECT_TRUE(platform::Exists(name));
#else
  ASSERT_EQ(lines.size(), 1u);
#endif
  EXPECT_EQ(lines.back(), "127.0.0.1-doDownload(" + name + "): failed, " + ResultText(9) + ", File(" + name +
                              "), 0 10485760, 0");
}

#ifdef _WIN32
TEST_F(Download, TheEmptyEntryRefreshMovesTheFileAwayAndBack) {
  const std::string name = server.Dir().File("refresh-" + std::to_string(server.Port()) + ".bin");
  vtest::WriteAll(name, "");
  const std::string rootName = platform::DrivePart(name) + "\\" + name.substr(platform::DirectoryPart(name).size());
  EXPECT_EQ(Request(Body(name, 0, 0)), EncodeHeader("DL01", 0));
  EXPECT_TRUE(platform::Exists(name));
  EXPECT_FALSE(platform::Exists(rootName));
  const std::vector<std::string> lines = DownloadLines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0], "doDownload(" + name + "): renamed " + rootName + ",  0");
}
#endif

}  // namespace

// Uploads end to end over loopback: the disk check, the resume offer and the
// position, the data written in place, and the completion with its log line
// and report. Every upload that reaches the completion steps waits five
// seconds before its report, so related cases share one upload where they can.

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#ifndef _WIN32
#include <sys/stat.h>
#endif

#include "base/Format.h"
#include "platform/Files.h"
#include "platform/Paths.h"
#include "platform/Sockets.h"
#include "platform/UniqueHandle.h"
#include "server/Metrics.h"
#include "server/Reports.h"
#include "server/SharedWriter.h"
#include "server/UploadWriters.h"
#include "support/HttpServer.h"
#include "support/TestSupport.h"
#include "transfer/BlockDigest.h"
#include "transfer/uGlobal.h"

namespace {

using vtest::EncodeHeader;
using vtest::fs::exists;

constexpr std::int32_t kNoReply = -1000;
const std::string kPeer = "127.0.0.1";

std::string Body(const std::string& name, std::int64_t size, int fileNo = 5) {
  return Format("REMOTEFILENAME=%s\r\nFILESIZE=%lld\r\nFILENO=%d\r\nUSERNO=3\r\n", name.c_str(),
                static_cast<long long>(size), fileNo);
}

std::string Position(std::int64_t pos) { return Format("FILEPOS=%lld", static_cast<long long>(pos)); }

std::string Header(const std::string& command, const std::string& body) {
  return EncodeHeader(command.c_str(), static_cast<std::int32_t>(body.size()));
}

// The SIZE of the next reply, which must carry `command`; kNoReply when the
// server sent no full header.
std::int32_t Reply(TSocket s, const char* command) {
  std::string bytes = vtest::Receive(s, 8);
  if (bytes.size() != 8) return kNoReply;
  MsgHeader header = DecodeHeader(reinterpret_cast<const unsigned char*>(bytes.data()));
  EXPECT_EQ(CommandText(header), command);
  return header.SIZE;
}

class Upload : public ::testing::Test {
 protected:
  void SetUp() override { server.ReportTo(web.Host()); }

  // `name` (written with "/") below the server's directory, in native form.
  std::string File(const std::string& name) const {
    return (server.Dir().path() / vtest::fs::path(name).make_preferred()).string();
  }

  // A connection past the "UPLD" handshake.
  TSocket Open() {
    TSocket s = vtest::Connect(server.Port());
    EXPECT_TRUE(vtest::SendAll(s, EncodeHeader("UPLD", 0)));
    EXPECT_EQ(vtest::Receive(s, 8), EncodeHeader("UPLD", 0));
    return s;
  }

  // "UP02" and the offer that follows its reply, whose SIZE is the offer's
  // length.
  std::string Offer(TSocket s) {
    if (!vtest::SendAll(s, EncodeHeader("UP02", 0))) return "";
    std::int32_t length = Reply(s, "UP02");
    if (length < 0) return "";
    std::string offer = vtest::Receive(s, static_cast<std::size_t>(length));
    EXPECT_EQ(offer.size(), static_cast<std::size_t>(length));
    return offer;
  }

  // The three steps up to the data, each expected to pass.
  TSocket Negotiate(const std::string& name, std::int64_t size, std::int64_t pos, std::int64_t offered,
                    int fileNo = 5) {
    TSocket s = Open();
    const std::string body = Body(name, size, fileNo);
    EXPECT_TRUE(vtest::SendAll(s, Header("UP01", body) + body));
    EXPECT_EQ(Reply(s, "UP01"), 0);
    EXPECT_EQ(Offer(s), Position(offered));
    EXPECT_TRUE(vtest::SendAll(s, Header("UP03", Position(pos)) + Position(pos)));
    EXPECT_EQ(Reply(s, "UP03"), 0);
    return s;
  }

  // Sends `data` after the negotiation and closes.
  void SendAndClose(const std::string& name, std::int64_t size, std::int64_t pos, std::int64_t offered,
                    const std::string& data, int fileNo = 5) {
    TSocket s = Negotiate(name, size, pos, offered, fileNo);
    EXPECT_TRUE(vtest::SendAll(s, data));
    CloseSocket(s);
  }

  // Everything the data phase sends before the server closes.
  std::string DataPhase(const std::string& name, std::int64_t size, std::int64_t pos, std::int64_t offered) {
    TSocket s = Negotiate(name, size, pos, offered);
    std::string answer = vtest::Receive(s, SIZE_MAX);
    CloseSocket(s);
    return answer;
  }

  // What a conversation gets back after `request` until the server closes.
  std::string Answer(const std::string& request) {
    TSocket s = Open();
    EXPECT_TRUE(vtest::SendAll(s, request));
    std::string answer = vtest::Receive(s, SIZE_MAX);
    CloseSocket(s);
    return answer;
  }

  bool Logged(const std::string& text, int seconds = 15) const {
    return vtest::WaitForLog(server.LogPrefix(), text, seconds);
  }
  // The day's log as it stands, line ends included.
  std::string RawLog() const { return vtest::RawLog(server.LogPrefix()); }
  bool RawLogged(const std::string& text, int seconds = 15) const {
    return vtest::WaitForRawLog(server.LogPrefix(), text, seconds);
  }

  // The completion line of an upload that ended short of its size.
  static std::string FailLine(const std::string& error, const std::string& name, long long size, long long declared) {
    return kPeer + "-doUpload: " + error + "\r\n" + Format("Upload Fail(%s) %lld / %lld", name.c_str(), size, declared) +
           "\r\n";
  }

  // Checks the report at `index` once it has arrived.
  // Checks the report at `index` once it has arrived; `sha256` is empty for
  // a report without the digest.
  void ExpectReport(std::size_t index, const std::string& errorCode, int fileNo, long long size,
                    const std::string& name, const std::string& sha256 = "") {
    ASSERT_TRUE(web.WaitForRequests(index + 1, 20));
    const std::string target = web.Paths()[index];
    EXPECT_EQ(target.rfind("/service/UploadCompleteServer.php?", 0), 0u) << target;
    EXPECT_EQ(vtest::HttpServer::QueryValue(target, "errno"), errorCode) << target;
    EXPECT_EQ(vtest::HttpServer::QueryValue(target, "fileno"), std::to_string(fileNo)) << target;
    EXPECT_EQ(vtest::HttpServer::QueryValue(target, "filesize"), std::to_string(size)) << target;
    EXPECT_EQ(vtest::HttpServer::QueryValue(target, "filename"), PercentEncode(name)) << target;
    EXPECT_EQ(vtest::HttpServer::QueryValue(target, "sha256"), sha256) << target;
  }

  vtest::RunningServer server;
  vtest::HttpServer web;
};

TEST_F(Upload, NewFileEndsByCountWhileTheClientStaysConnected) {
  const std::string name = File("new dir/inner/movie.avi.part");  // directories created on the way
  const std::string data = vtest::RandomBytes(40000);
  TSocket s = Negotiate(name, 40000, 0, 0, 41);
  ASSERT_TRUE(vtest::SendAll(s, data));
  // The server closes once the count is reached, before its pause and
  // report, with a normal close: a reset would tell the client it failed.
  char byte;
  EXPECT_GT(platform::NetWait(s, 4, 1), 0);
  EXPECT_EQ(platform::NetRecv(s, &byte, 1), 0);
  EXPECT_TRUE(web.Paths().empty());
  CloseSocket(s);

  EXPECT_TRUE(Logged(kPeer + "-doUpload: Upload Complete(" + name + ")"));
  ExpectReport(0, "0", 41, 40000, name);
  EXPECT_EQ(vtest::ReadAll(name), data);
  EXPECT_FALSE(exists(File("new dir/inner/movie.avi")));
  EXPECT_EQ(RawLog().find("failed"), std::string::npos);
#ifdef _WIN32
  EXPECT_TRUE(Logged("doUpload(" + name + ",40000): renamed " + File("new dir/inner/movie.avi") + ", 40000"));
#else
  EXPECT_EQ(RawLog().find("renamed"), std::string::npos);
#endif
}

TEST_F(Upload, ResumedFileEndsWhenTheClientClosesAndPositionsBeyondTheOfferAreRefused) {
  const std::string name = File("resume.bin");
  const std::string data = vtest::RandomBytes(3000000, 2);
  vtest::WriteAll(name, data.substr(0, 1000000));

  // A position one byte beyond what is on disk: 9, logged with an empty error text.
  TSocket s = Open();
  std::string body = Body(name, 3000000);
  ASSERT_TRUE(vtest::SendAll(s, Header("UP01", body) + body));
  EXPECT_EQ(Reply(s, "UP01"), 0);
  EXPECT_EQ(Offer(s), "FILEPOS=1000000");
  ASSERT_TRUE(vtest::SendAll(s, Header("UP03", Position(1000001)) + Position(1000001)));
  EXPECT_EQ(Reply(s, "UP03"), 9);
  EXPECT_TRUE(vtest::WaitForClose(s, 5));
  CloseSocket(s);
  EXPECT_TRUE(Logged(kPeer + "-doUpload(): failed, " + ResultText(9) + ", , doDiskCheck", 5));
  EXPECT_EQ(vtest::ReadAll(name), data.substr(0, 1000000));

  SendAndClose(name, 3000000, 1000000, 1000000, data.substr(1000000), 7);
  EXPECT_TRUE(Logged(kPeer + "-doUpload: Upload Complete(" + name + ")"));
  ExpectReport(0, "0", 7, 3000000, name);
  EXPECT_EQ(vtest::ReadAll(name), data);
}

// With the digest in the reports: only the completed upload's report has it,
// the file's whole digest, kept across the two resumes.
TEST_F(Upload, InterruptedUploadsResumeFromWhatArrivedAndDownloadByteExact) {
  TServerConfig config = server.Config();
  config.Report.Digest = true;
  server.Restart(config);
  const std::uint64_t doneBefore = Metrics().Uploads[0], earlyBefore = Metrics().UploadsEndedEarly;
  // A complete file offered again is left alone: no data, no line, no report.
  const std::string complete = File("complete.bin");
  vtest::WriteAll(complete, vtest::RandomBytes(1000, 4));
  EXPECT_EQ(DataPhase(complete, 1000, 1000, 1000), "");

  const std::string name = File("pieces.bin");
  const std::string data = vtest::RandomBytes(40000, 3);
  SendAndClose(name, 40000, 0, 0, data.substr(0, 10000));
  EXPECT_TRUE(RawLogged(FailLine("", name, 10000, 40000)));
  ExpectReport(0, "0", 5, 10000, name);

  SendAndClose(name, 40000, 10000, 10000, data.substr(10000, 15000));
  EXPECT_TRUE(RawLogged(FailLine("", name, 25000, 40000)));
  ExpectReport(1, "0", 5, 25000, name);

  SendAndClose(name, 40000, 25000, 25000, data.substr(25000));
  EXPECT_TRUE(Logged(kPeer + "-doUpload: Upload Complete(" + name + ")"));
  TBlockDigest whole;
  whole.Update(data.data(), data.size());
  TDigest expected{};
  ASSERT_TRUE(whole.Finish(expected));
  ExpectReport(2, "0", 5, 40000, name, DigestHex(expected));
  EXPECT_EQ(vtest::ReadAll(name), data);
  // An early close ends with result 0: no failure line.
  EXPECT_EQ(RawLog().find("e:20"), std::string::npos);
  EXPECT_EQ(web.Paths().size(), 3u);
  EXPECT_EQ(RawLog().find(complete), std::string::npos);
  EXPECT_EQ(vtest::ReadAll(complete), vtest::RandomBytes(1000, 4));

  // The same bytes come back in two resumed downloads.
  auto download = [&](std::int64_t pos, std::size_t length) {
    TSocket s = vtest::Connect(server.Port());
    const std::string body = Format("REMOTEFILENAME=%s\r\nFILESIZE=40000\r\nFILEPOS=%lld\r\n", name.c_str(),
                                    static_cast<long long>(pos));
    EXPECT_TRUE(vtest::SendAll(s, EncodeHeader("DNLD", 0) + Header("DL01", body) + body));
    EXPECT_EQ(vtest::Receive(s, 16), EncodeHeader("DNLD", 0) + EncodeHeader("DL01", 0));
    std::string bytes = vtest::Receive(s, length);
    CloseSocket(s);
    return bytes;
  };
  EXPECT_EQ(download(0, 12345) + download(12345, SIZE_MAX), data);

  // The two that ended early are told from the complete one and the one
  // that had nothing to send; the last one is counted after its report.
  for (auto start = vtest::Clock::now(); Metrics().Uploads[0] - doneBefore < 2 && vtest::SecondsSince(start) < 15;)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_EQ(Metrics().Uploads[0] - doneBefore, 2u);
  EXPECT_EQ(Metrics().UploadsEndedEarly - earlyBefore, 2u);
}

TEST_F(Upload, PositionZeroEmptiesTheFileAndBytesBeyondTheSizeAreWritten) {
  const std::string name = File("over.bin");
  vtest::WriteAll(name, std::string(50000, 'x'));
  const std::string data = vtest::RandomBytes(300, 5);
  TSocket s = Negotiate(name, 100, 0, 50000);
  ASSERT_TRUE(vtest::SendAll(s, data));  // one block that runs past the size
  EXPECT_TRUE(vtest::WaitForClose(s, 4));
  CloseSocket(s);

  EXPECT_TRUE(RawLogged(FailLine("", name, 300, 100)));
  ExpectReport(0, "0", 5, 300, name);
  EXPECT_EQ(vtest::ReadAll(name), data);
  EXPECT_EQ(RawLog().find("e:20"), std::string::npos);
}

TEST_F(Upload, PreparationFailuresAnswerWithAnErrorHeaderAndLeaveTheFile) {
  const std::string text7 = ResultText(7), text10 = ResultText(10), text11 = ResultText(11);

  // A position beyond the declared size, within what is on disk.
  const std::string big = File("big.bin");
  vtest::WriteAll(big, std::string(1000, 'b'));
  EXPECT_EQ(DataPhase(big, 500, 1000, 1000), EncodeHeader("", 9));
  EXPECT_TRUE(Logged(kPeer + "-doUpload(): failed, doInternalUpload5(" + big +
                     "): failed. FilePos is bigger than FileSize, 1000>500 e:20", 5));
  EXPECT_EQ(vtest::ReadAll(big), std::string(1000, 'b'));

  // A negative position passes the offer but not the seek.
  const std::string negative = File("negative.bin");
  EXPECT_EQ(DataPhase(negative, 500, -1, 0), EncodeHeader("", 11));
  EXPECT_TRUE(Logged(kPeer + "-doUpload(): failed, doInternalUpload7(" + negative + "): failed. " + text11 + ", ", 5));

  // A name without a directory part is never created relative to anything.
  EXPECT_EQ(DataPhase("plain.bin", 500, 0, 0), EncodeHeader("", 7));
  EXPECT_TRUE(Logged(kPeer + "-doUpload(): failed, doInternalUpload1(plain.bin): failed. " + text7 + ", ", 5));
  EXPECT_FALSE(exists("plain.bin"));

  // An existing directory is offered 0 and refused at the open.
  const std::string folder = File("folder");
  vtest::fs::create_directory(folder);
  EXPECT_EQ(DataPhase(folder, 500, 0, 0), EncodeHeader("", 10));
  EXPECT_TRUE(Logged(kPeer + "-doUpload(): failed, doInternalUpload3(" + folder + "): failed. " + text10 + ", ", 5));
  EXPECT_TRUE(vtest::fs::is_directory(folder));

#ifndef _WIN32
  // A FIFO is refused without being opened, which would block the worker.
  const std::string fifo = File("pipe");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0644), 0);
  EXPECT_EQ(DataPhase(fifo, 500, 0, 0), EncodeHeader("", 10));
#endif

  // A size of 0 makes the directories and nothing else.
  const std::string empty = File("made/zero.bin");
  EXPECT_EQ(DataPhase(empty, 0, 0, 0), "");
  EXPECT_TRUE(vtest::fs::is_directory(File("made")));
  EXPECT_FALSE(exists(empty));
}

TEST_F(Upload, DiskCheckAndProtocolFaults) {
  const std::string name = File("faults.bin");
  const std::string text = ResultText(1);

  // More than the disk holds: 1, and nothing after it.
  std::string body = Body(name, INT64_MAX);
  EXPECT_EQ(Answer(Header("UP01", body) + body), EncodeHeader("UP01", 1));
  EXPECT_TRUE(Logged(kPeer + "-doUpload(): failed, " + text + ", doDiskCheck(" + name + "): failed. " + text +
                     ", doDiskCheck", 5));

  // Wrong letters or an oversized body get no reply at all.
  EXPECT_EQ(Answer(EncodeHeader("up01", 0)), "");
  EXPECT_TRUE(Logged(kPeer + "-doUpload(): failed, incorrect command, up01", 5));
  EXPECT_EQ(Answer(EncodeHeader("UP01", 16001)), "");
  EXPECT_TRUE(Logged(kPeer + "-doUpload(): failed. MsgHeader.SIZE Too large, 16001", 5));

  body = Body(name, 10);
  EXPECT_EQ(Answer(Header("UP01", body) + body + EncodeHeader("UP2", 0)), EncodeHeader("UP01", 0));
  EXPECT_TRUE(Logged(kPeer + "-doUpload(): failed, " + ResultText(18) + ", doDiskCheck(" + name +
                     "): failed, incorrect command, UP2, doDiskCheck", 5));

  // The size of "UP02" is ignored; a pointer body above 16000 is not read.
  EXPECT_EQ(Answer(Header("UP01", body) + body + EncodeHeader("UP02", 77) + EncodeHeader("UP03", 16001)),
            EncodeHeader("UP01", 0) + EncodeHeader("UP02", 9) + "FILEPOS=0");
  EXPECT_TRUE(Logged(kPeer + "-doUpload(): failed, " + ResultText(16) + ", doDiskCheck(" + name + "): failed. " +
                     ResultText(16) + ", Upload pointer recv, doDiskCheck", 5));

  // An empty request names no file; the data phase refuses the empty name.
  EXPECT_EQ(Answer(EncodeHeader("UP01", 0) + EncodeHeader("UP02", 0) + EncodeHeader("UP03", 0)),
            EncodeHeader("UP01", 0) + EncodeHeader("UP02", 9) + "FILEPOS=0" + EncodeHeader("UP03", 0) +
                EncodeHeader("", 7));
  EXPECT_TRUE(Logged(kPeer + "-doUpload(): failed, doInternalUpload1(): failed. " + ResultText(7) + ", ", 5));
  EXPECT_FALSE(exists(name));
}

TEST_F(Upload, ShortNameMovesLeaveEveryFileUnderItsOwnName) {
  // Three uploads at once: a plain short name, a short name that is taken,
  // and an extension that also names a folder of the path.
  const std::string plain = File("in/movie.avi.part"), taken = File("busy/movie.avi.part"),
                    folder = File("a.tmp/b.tmp");
  vtest::fs::create_directory(File("busy"));
  vtest::WriteAll(File("busy/movie.avi"), "keep");
  const std::string data = vtest::RandomBytes(1000, 6);
  std::vector<TSocket> sockets;
  for (const std::string& name : {plain, taken, folder}) sockets.push_back(Negotiate(name, 1000, 0, 0));
  for (TSocket s : sockets) EXPECT_TRUE(vtest::SendAll(s, data));
  for (TSocket s : sockets) CloseSocket(s);
  for (const std::string& name : {plain, taken, folder})
    EXPECT_TRUE(Logged(kPeer + "-doUpload: Upload Complete(" + name + ")"));

  for (const std::string& name : {plain, taken, folder}) EXPECT_EQ(vtest::ReadAll(name), data) << name;
  EXPECT_FALSE(exists(File("in/movie.avi")));
  EXPECT_EQ(vtest::ReadAll(File("busy/movie.avi")), "keep");
#ifdef _WIN32
  EXPECT_TRUE(Logged("doUpload(" + plain + ",1000): renamed " + File("in/movie.avi") + ", 1000"));
  EXPECT_TRUE(Logged("doUpload(" + taken + ",1000): renamed " + File("busy/movie.avi") + ", 1000"));
  EXPECT_TRUE(Logged("doUpload(" + folder + ",1000): renamed " + File("a/b") + ", 1000"));
#else
  EXPECT_EQ(RawLog().find("renamed"), std::string::npos);
#endif
  // The workers still report; none may reach the next test's web server.
  EXPECT_TRUE(web.WaitForRequests(3, 20));
}

// A client whose connection died without a close reconnects and resumes
// while the old worker still waits in its receive: the old one is ended as
// if its client had closed, and the offer is what it wrote.
TEST_F(Upload, ANewerUploadEndsTheOlderOneAndResumesFromWhatItWrote) {
  const std::string name = File("in/resumed.bin"), content = vtest::RandomBytes(3000000, 7);
  const auto waitForSize = [&](std::int64_t size) {
    for (auto start = vtest::Clock::now(); vtest::SecondsSince(start) < 15;) {
      if (platform::RegularFileSize(name) == size) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return platform::RegularFileSize(name);
  };
  TSocket stalled = Negotiate(name, 3000000, 0, 0);
  ASSERT_TRUE(vtest::SendAll(stalled, content.substr(0, 1000000)));
  ASSERT_EQ(waitForSize(1000000), 1000000);

  // A client that only reads the offer, and whose position is then refused,
  // commits to nothing: the running upload goes on.
  TSocket asking = Open();
  const std::string body = Body(name, 3000000);
  ASSERT_TRUE(vtest::SendAll(asking, Header("UP01", body) + body));
  EXPECT_EQ(Reply(asking, "UP01"), 0);
  EXPECT_EQ(Offer(asking), Position(1000000));
  ASSERT_TRUE(vtest::SendAll(asking, Header("UP03", Position(1000001)) + Position(1000001)));
  EXPECT_EQ(Reply(asking, "UP03"), 9);
  CloseSocket(asking);
  ASSERT_TRUE(vtest::SendAll(stalled, content.substr(1000000, 500000)));
  ASSERT_EQ(waitForSize(1500000), 1500000);

  TSocket resumed = Negotiate(name, 3000000, 1500000, 1500000);
  EXPECT_TRUE(vtest::WaitForClose(stalled, 5));
  // The older connection's address may be gone by the time it is logged.
  EXPECT_TRUE(RawLogged("-doUpload: \r\nUpload Fail(" + name + ") 1500000 / 3000000\r\n"));
  ASSERT_TRUE(vtest::SendAll(resumed, content.substr(1500000)));
  CloseSocket(resumed);
  EXPECT_TRUE(Logged("-doUpload: Upload Complete(" + name + ")"));
  EXPECT_TRUE(vtest::ReadAll(name) == content);
  CloseSocket(stalled);
}

// A writer that does not let go within five seconds keeps the file: the
// newer upload's data phase is refused like a file that cannot be opened,
// and its client, which waits ten seconds for each reply, has every reply
// in time.
TEST_F(Upload, AFileAnotherUploadHoldsOnToIsRefusedWith10) {
  const std::string name = File("busy.bin");
  vtest::WriteAll(name, "abc");
  vtest::SocketPair elsewhere;
  TUploadClaim holder;
  ASSERT_TRUE(holder.Claim(name, elsewhere.server, 1));

  const auto start = vtest::Clock::now();
  TSocket s = Negotiate(name, 10, 3, 3);
  EXPECT_LT(vtest::SecondsSince(start), 6.0) << "the replies took longer than the client waits";
  EXPECT_EQ(vtest::Receive(s, SIZE_MAX), EncodeHeader("", 10));
  CloseSocket(s);
  EXPECT_TRUE(Logged("doInternalUpload3(" + name + "): failed. " + ResultText(10) + ", file in use by another upload"));
  EXPECT_EQ(vtest::ReadAll(name), "abc");

  holder.Release();
  SendAndClose(name, 10, 3, 3, "defghij");
  EXPECT_TRUE(Logged("-doUpload: Upload Complete(" + name + ")"));
  EXPECT_EQ(vtest::ReadAll(name), "abcdefghij");
}

// An upload from position 0 cuts the file only once it is the file's only
// writer, here and across instances: a writer elsewhere (held here through a
// file of its own) that never lets go keeps the file as it was; one that
// writes its last block and lets go leaves no hole and none of its bytes.
TEST_F(Upload, AnUploadFromZeroChangesTheFileOnlyAsItsOnlyWriter) {
  const std::string name = File("shared.bin"), old = vtest::RandomBytes(1 << 20, 8);
  vtest::WriteAll(name, old);
  const auto offered = static_cast<std::int64_t>(old.size());
  platform::UniqueFile elsewhere(platform::OpenFile(name, platform::OpenMode::kWriteExisting));
  ASSERT_TRUE(elsewhere.valid());
  std::atomic<int> cuts{0};
  TSharedWriter holder;
  ASSERT_EQ(holder.Acquire(elsewhere.get(), [&] { ++cuts; }, 1), TSharedWriter::Result::kWriter);

  EXPECT_EQ(DataPhase(name, 1000, 0, offered), EncodeHeader("", 10));
  EXPECT_TRUE(Logged("doInternalUpload3(" + name + "): failed. " + ResultText(10) +
                     ", file in use by an upload on another instance"));
  EXPECT_TRUE(vtest::ReadAll(name) == old);
  EXPECT_EQ(cuts, 1);

  holder.Release();
  ASSERT_EQ(holder.Acquire(elsewhere.get(), [&] { ++cuts; }, 1), TSharedWriter::Result::kWriter);
  const std::string data = vtest::RandomBytes(1000, 9);
  TSocket s = Negotiate(name, 1000, 0, offered);
  for (auto start = vtest::Clock::now(); cuts < 2 && vtest::SecondsSince(start) < 10;)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  ASSERT_EQ(cuts, 2);
  ASSERT_TRUE(platform::SeekFile(elsewhere.get(), offered));
  ASSERT_TRUE(platform::WriteFile(elsewhere.get(), "last", 4));
  holder.Release();
  ASSERT_TRUE(vtest::SendAll(s, data));
  EXPECT_TRUE(vtest::WaitForClose(s, 10));
  CloseSocket(s);
  EXPECT_TRUE(Logged("-doUpload: Upload Complete(" + name + ")"));
  EXPECT_TRUE(vtest::ReadAll(name) == data);

  // Within one instance: a client offered the old size commits only after an
  // upload from 0 has made the file shorter; its position is refused at the
  // data phase and the file stays the newer upload's.
  TSocket late = Open();
  const std::string body = Body(name, 5000);
  ASSERT_TRUE(vtest::SendAll(late, Header("UP01", body) + body));
  EXPECT_EQ(Reply(late, "UP01"), 0);
  EXPECT_EQ(Offer(late), Position(1000));
  SendAndClose(name, 10, 0, 1000, "0123456789");
  EXPECT_TRUE(vtest::WaitForLogCount(server.LogPrefix(), "-doUpload: Upload Complete(" + name + ")", 2, 15));
  ASSERT_TRUE(vtest::SendAll(late, Header("UP03", Position(1000)) + Position(1000)));
  EXPECT_EQ(Reply(late, "UP03"), 0);
  EXPECT_EQ(vtest::Receive(late, SIZE_MAX), EncodeHeader("", 9));
  CloseSocket(late);
  EXPECT_TRUE(Logged("doInternalUpload5(" + name + "): failed. FilePos is bigger than the file's size, 1000>10"));
  EXPECT_EQ(vtest::ReadAll(name), "0123456789");
  EXPECT_TRUE(web.WaitForRequests(2, 20));
}

}  // namespace

// A disk that fills while an upload is written: the write fails, the upload
// ends with 13, the file keeps what was written before, and every other file
// stays as it was. A flush that fails, as a network volume's may: the upload
// ends with 13 and a reset, never as complete. A full log volume: lines are
// lost, and nothing else.

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <mutex>
#include <thread>

#ifndef _WIN32
#include <dlfcn.h>
#endif

#include "base/DailyLog.h"
#include "base/Format.h"
#include "platform/Files.h"
#include "platform/Paths.h"
#include "platform/ClientSockets.h"
#include "server/Metrics.h"
#include "server/ProcessThread.h"
#include "service/svcMain.h"
#include "support/FakeHost.h"
#include "support/FaultScenario.h"
#include "support/ProcessResources.h"
#include "transfer/uGlobal.h"

#ifndef _WIN32
// The error every flush of this program fails with, or how long each one
// takes, as on a slow network volume; 0 passes them on to the system. The
// server's flushes come here because the program defines them.
static std::atomic<int> gFlushError{0}, gFlushMilliseconds{0};

extern "C" int fdatasync(int fd) {
  std::this_thread::sleep_for(std::chrono::milliseconds(gFlushMilliseconds.load()));
  if (const int error = gFlushError.load()) {
    errno = error;
    return -1;
  }
  using Flush = int (*)(int);
  static const auto flush = reinterpret_cast<Flush>(::dlsym(RTLD_NEXT, "fdatasync"));
  return flush(fd);
}
#endif

namespace {

using vtest::EncodeHeader;
using vtest::RequestHeader;

class FaultDisk : public vtest::FaultScenario {
 protected:
  void SetUp() override {
#ifdef _WIN32
    GTEST_SKIP() << "Windows has no per-process file size limit to make a write fail as on a full disk";
#endif
    FaultScenario::SetUp();
  }

  // A connection at the start of the data, offered and accepted at
  // `offered`, or with `fromZero` at 0 whatever the offer; INVALID_SOCK when
  // none could be made.
  TSocket Negotiate(const std::string& name, std::int64_t size, std::int64_t offered, bool fromZero = false) {
    TSocket s = Open("UPLD");
    if (s == INVALID_SOCK) return s;
    const std::string body = Format("REMOTEFILENAME=%s\r\nFILESIZE=%lld\r\nFILENO=4\r\n", name.c_str(),
                                    static_cast<long long>(size));
    const std::string offer = Format("FILEPOS=%lld", static_cast<long long>(offered));
    EXPECT_TRUE(vtest::SendAll(s, RequestHeader("UP01", body) + body + EncodeHeader("UP02", 0)));
    if (fromZero) {
      const std::string replies = vtest::Receive(s, 16);
      const MsgHeader offered = DecodeHeader(reinterpret_cast<const unsigned char*>(replies.data() + 8));
      EXPECT_EQ(vtest::Receive(s, static_cast<std::size_t>(offered.SIZE)).rfind("FILEPOS=", 0), 0u);
      EXPECT_TRUE(vtest::SendAll(s, RequestHeader("UP03", "FILEPOS=0") + "FILEPOS=0"));
      EXPECT_EQ(vtest::Receive(s, 8), EncodeHeader("UP03", 0));
      return s;
    }
    EXPECT_EQ(vtest::Receive(s, 16 + offer.size()), EncodeHeader("UP01", 0) + RequestHeader("UP02", offer) + offer);
    EXPECT_TRUE(vtest::SendAll(s, RequestHeader("UP03", offer) + offer));
    EXPECT_EQ(vtest::Receive(s, 8), EncodeHeader("UP03", 0));
    return s;
  }

  // Sends everything after the accepted position and closes; a server that
  // stops reading may make the send fail, which is not looked at.
  void Upload(const std::string& name, const std::string& data, std::int64_t offered) {
    TSocket s = Negotiate(name, static_cast<std::int64_t>(data.size()), offered);
    ASSERT_NE(s, INVALID_SOCK);
    vtest::SendAll(s, data.substr(static_cast<std::size_t>(offered)));
    CloseSocket(s);
  }
};

TEST_F(FaultDisk, AWriteThatFailsEndsTheUploadWith13AndKeepsWhatWasWritten) {
  const std::string small = File("small.bin"), large = File("large.bin"), target = File("in/target.bin");
  const std::string smallData = vtest::RandomBytes(300000, 21), largeData = vtest::RandomBytes(5 << 20, 22);
  vtest::WriteAll(small, smallData);
  vtest::WriteAll(large, largeData);  // larger than the limit: it only limits growth
  const std::string data = vtest::RandomBytes(8 << 20, 23);
  constexpr std::int64_t kLimit = 3 << 20;
  {
    vtest::FileSizeLimit limit(kLimit);
    ASSERT_TRUE(limit.Active());
    Upload(target, data, 0);
    EXPECT_TRUE(WaitForRawLog("Upload Fail(" + target + ") ", 20));
  }
  const std::string failed = Format("doInternalUpload10(%s): failed. %s, %d\r\nUpload Fail(%s) %lld / %lld", target.c_str(),
                                    ResultText(13).c_str(), EFBIG, target.c_str(), static_cast<long long>(kLimit),
                                    static_cast<long long>(data.size()));
  EXPECT_NE(RawLog().find(Peer() + "-doUpload: " + failed + "\r\n"), std::string::npos);
  EXPECT_TRUE(WaitForRawLog(Peer() + "-doUpload(): failed, " + failed + " e:20\r\n", 20));
  ASSERT_TRUE(web.WaitForRequests(1, 20));
  EXPECT_EQ(vtest::HttpServer::QueryValue(web.Paths()[0], "errno"), "13");
  EXPECT_EQ(vtest::HttpServer::QueryValue(web.Paths()[0], "filesize"), std::to_string(kLimit));

  // What was written before the failure is the start of the file, and the
  // upload resumes from there once there is room.
  EXPECT_TRUE(vtest::ReadAll(target) == data.substr(0, kLimit));
  Upload(target, data, kLimit);
  EXPECT_TRUE(WaitForLogCount(Peer() + "-doUpload: Upload Complete(" + target + ")", 1, 20));
  EXPECT_TRUE(vtest::ReadAll(target) == data);
  EXPECT_TRUE(web.WaitForRequests(2, 20));

  EXPECT_TRUE(vtest::ReadAll(small) == smallData);
  EXPECT_TRUE(vtest::ReadAll(large) == largeData);
}

#ifndef _WIN32
// Every byte arrived and was written, but the flush failed: the data may not
// be on the disk, so the client must not take the end for success.
TEST_F(FaultDisk, AFailedFlushEndsTheUploadWith13AndAResetNeverAsComplete) {
  const std::string target = File("unflushed.bin"), data = vtest::RandomBytes(1000, 24);
  const std::uint64_t failedBefore = Metrics().Uploads[rcWriteFile], doneBefore = Metrics().Uploads[rcSuccess];
  gFlushError = EIO;
  TSocket s = Negotiate(target, static_cast<std::int64_t>(data.size()), 0);
  ASSERT_NE(s, INVALID_SOCK);
  EXPECT_TRUE(vtest::SendAll(s, data));
  platform::NetShutdownSend(s);
  char byte;
  EXPECT_GT(platform::NetWait(s, 15, 1), 0);
  EXPECT_EQ(platform::NetRecv(s, &byte, 1), -1) << "the connection ended normally";
  CloseSocket(s);
  const std::string failed = Format("doInternalUpload13(%s): failed. %s, %d, flush\r\nUpload Fail(%s) 1000 / 1000",
                                    target.c_str(), ResultText(13).c_str(), EIO, target.c_str());
  EXPECT_TRUE(WaitForRawLog(Peer() + "-doUpload(): failed, " + failed + " e:20\r\n", 20)) << RawLog();
  gFlushError = 0;
  EXPECT_EQ(RawLog().find("Upload Complete"), std::string::npos);
  ASSERT_TRUE(web.WaitForRequests(1, 20));
  EXPECT_EQ(vtest::HttpServer::QueryValue(web.Paths()[0], "errno"), "13");
  EXPECT_EQ(Metrics().Uploads[rcWriteFile] - failedBefore, 1u);
  EXPECT_EQ(Metrics().Uploads[rcSuccess], doneBefore);
}
#endif

#ifndef _WIN32
// A client that sends faster than a slow volume takes the data keeps bytes
// waiting at every receive. The newer upload's cut still ends the older one
// at its next receive, and the newer one, from 0, leaves the file its own
// bytes only.
TEST_F(FaultDisk, ANewerUploadWinsOverAnOlderOneWhoseClientKeepsSending) {
  const std::string name = File("sending.bin"), data = vtest::RandomBytes(1000, 25);
  gFlushMilliseconds = 200;
  TSocket older = Negotiate(name, std::int64_t{1} << 30, 0);
  ASSERT_NE(older, INVALID_SOCK);
  std::atomic<bool> stop{false}, ended{false};
  std::thread sender([&] {
    const std::string block(1 << 20, 'o');
    for (auto start = vtest::Clock::now(); !stop && vtest::SecondsSince(start) < 60;)
      if (!vtest::SendAll(older, block)) {
        ended = true;
        return;
      }
  });
  for (auto start = vtest::Clock::now(); platform::RegularFileSize(name) <= 0 && vtest::SecondsSince(start) < 15;)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));

  TSocket newer = Negotiate(name, static_cast<std::int64_t>(data.size()), 0, true);
  ASSERT_NE(newer, INVALID_SOCK);
  EXPECT_TRUE(vtest::SendAll(newer, data));
  EXPECT_TRUE(vtest::WaitForClose(newer, 30));
  CloseSocket(newer);
  EXPECT_TRUE(WaitForLogCount(Peer() + "-doUpload: Upload Complete(" + name + ")", 1, 30)) << RawLog();
  EXPECT_TRUE(WaitForRawLog("Upload Fail(" + name + ") ", 20));
  gFlushMilliseconds = 0;
  EXPECT_TRUE(vtest::ReadAll(name) == data);
  stop = true;
  sender.join();
  EXPECT_TRUE(ended) << "the older connection was not ended";
  CloseSocket(older);
  EXPECT_TRUE(web.WaitForRequests(2, 20));
}
#endif

class FaultLogVolume : public vtest::FaultScenario {
 protected:
  void SetUp() override {
    if (platform::kPathDelimiter != '/') GTEST_SKIP() << "a small file system is mounted from the POSIX side only";
    FaultScenario::SetUp();
  }
  TListenOptions Options() const override {
    TListenOptions options;
    options.MaxConnections = 1;
    return options;
  }
};

TEST_F(FaultLogVolume, AFullLogVolumeLosesLinesButNoConnectionNorTheStop) {
  std::mutex mutex;
  std::vector<std::string> reports;
  {
    vtest::FullVolume volume(platform::DirectoryPart(Server().LogPrefix()));
    if (!volume.Active()) GTEST_SKIP() << "mounting a small file system over the log directory needs root on Linux";
    SetLogFailureReport([&](const std::string& message) {
      std::lock_guard<std::mutex> lock(mutex);
      reports.push_back(message);
    });
    const std::uint64_t before = LogWriteFailures();

    // The one place is taken: the next connection is closed at once, its
    // line lost, and the listener takes the next ones as before.
    TSocket held = Open("DNLD");
    ASSERT_NE(held, INVALID_SOCK);
    TSocket over = vtest::Connect(Server().Port());
    EXPECT_TRUE(vtest::WaitForClose(over, 5));
    CloseSocket(over);
    CloseSocket(held);  // its worker's failure line is lost too
    for (auto start = vtest::Clock::now(); Server().Workers()->OpenConnections() > 0 && vtest::SecondsSince(start) < 15;)
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    ExpectServesDownload();

    // The stop completes; only its line is lost.
    vtest::FakeEventLog events;
    vtest::FakeFirewall firewall;
    // Its log lies where the server's does.
    TVardexServerService service(events, firewall, Server().Dir().File(""));
    bool stopped = false;
    EXPECT_NO_THROW(service.ServiceStop(service, stopped));
    EXPECT_TRUE(stopped);
    EXPECT_GE(LogWriteFailures() - before, 3u) << "the limit line, the held worker's line and the stop's";
    SetLogFailureReport(nullptr);
  }
  // The operator hears of the first loss with its reason; the others of
  // the same minute are held back.
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_NE(reports[0].find(platform::ErrorText(ENOSPC)), std::string::npos) << reports[0];
}

}  // namespace

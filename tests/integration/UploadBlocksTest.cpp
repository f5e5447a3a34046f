// The upload's data phase with large receive blocks, each written and
// flushed while the next one arrives: the bytes land in order whatever the
// pieces the client sends, and a failed write still ends the upload with 13
// after the data that did reach the disk.

#include <chrono>
#include <cstdint>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#ifndef _WIN32
#include <csignal>
#include <sys/resource.h>
#endif

#include "base/Format.h"
#include "server/DigestRecord.h"
#include "server/Reports.h"
#include "support/HttpServer.h"
#include "support/TestSupport.h"
#include "transfer/BlockDigest.h"
#include "transfer/uGlobal.h"

namespace {

using vtest::EncodeHeader;

class UploadBlocks : public ::testing::Test {
 protected:
  void SetUp() override { server.ReportTo(web.Host()); }

  std::string Reply(TSocket s) { return vtest::Receive(s, 8); }

  // A connection at the start of the data of a new file.
  TSocket Negotiate(const std::string& name, std::int64_t size) {
    TSocket s = vtest::Connect(server.Port());
    const std::string body = Format("REMOTEFILENAME=%s\r\nFILESIZE=%lld\r\nFILENO=9\r\n", name.c_str(),
                                    static_cast<long long>(size));
    EXPECT_TRUE(vtest::SendAll(s, EncodeHeader("UPLD", 0)));
    EXPECT_EQ(Reply(s), EncodeHeader("UPLD", 0));
    EXPECT_TRUE(vtest::SendAll(s, EncodeHeader("UP01", static_cast<std::int32_t>(body.size())) + body));
    EXPECT_EQ(Reply(s), EncodeHeader("UP01", 0));
    EXPECT_TRUE(vtest::SendAll(s, EncodeHeader("UP02", 0)));
    EXPECT_EQ(vtest::Receive(s, 8 + 9), EncodeHeader("UP02", 9) + "FILEPOS=0");
    EXPECT_TRUE(vtest::SendAll(s, EncodeHeader("UP03", 9) + "FILEPOS=0"));
    EXPECT_EQ(Reply(s), EncodeHeader("UP03", 0));
    return s;
  }

  std::string Log() const { return vtest::RawLog(server.LogPrefix()); }

  vtest::RunningServer server;
  vtest::HttpServer web;
};

TEST_F(UploadBlocks, PiecesOfEverySizeAndPausesLandInOrder) {
  const std::string name = server.Dir().File("pieces.bin");
  const std::string data = vtest::RandomBytes(5 * 1024 * 1024 + 4321);
  TSocket s = Negotiate(name, static_cast<std::int64_t>(data.size()));
  // From single bytes to several receive blocks at once, with pauses that
  // let the server write and flush what it has before more arrives.
  const std::size_t pieces[] = {1, 7, 15999, 16000, 16001, 65536, 1 << 20, (1 << 20) + 1, 3 << 20};
  std::size_t at = 0;
  for (std::size_t i = 0; at < data.size(); ++i) {
    const std::size_t n = std::min(pieces[i % std::size(pieces)], data.size() - at);
    ASSERT_TRUE(vtest::SendAll(s, data.substr(at, n)));
    at += n;
    if (i % 3 == 0) std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  EXPECT_TRUE(vtest::WaitForClose(s, 10));
  CloseSocket(s);
  ASSERT_TRUE(vtest::WaitForLog(server.LogPrefix(), "-doUpload: Upload Complete(" + name + ")", 15));
  EXPECT_TRUE(vtest::ReadAll(name) == data);
  EXPECT_EQ(Log().find("failed"), std::string::npos);
  // The report follows the completion's pause; it must not reach the next test.
  ASSERT_TRUE(web.WaitForRequests(1, 20));
  EXPECT_EQ(vtest::HttpServer::QueryValue(web.Paths()[0], "errno"), "0");
}

#ifndef _WIN32
// A file size limit makes the writes fail part way, as a full disk would.
class FileSizeLimit {
 public:
  explicit FileSizeLimit(rlim_t bytes) {
    FPreviousSignal = std::signal(SIGXFSZ, SIG_IGN);
    getrlimit(RLIMIT_FSIZE, &FPrevious);
    rlimit limit = FPrevious;
    limit.rlim_cur = bytes;
    setrlimit(RLIMIT_FSIZE, &limit);
  }
  ~FileSizeLimit() {
    setrlimit(RLIMIT_FSIZE, &FPrevious);
    std::signal(SIGXFSZ, FPreviousSignal);
  }

 private:
  rlimit FPrevious{};
  void (*FPreviousSignal)(int) = nullptr;
};

TEST_F(UploadBlocks, AFailedWriteEndsWith13AndKeepsWhatReachedTheDisk) {
  const std::string name = server.Dir().File("limited.bin");
  const std::int64_t size = 8 << 20, limit = 3 << 20;
  const std::string data = vtest::RandomBytes(static_cast<std::size_t>(size));
  {
    FileSizeLimit fileSizeLimit(static_cast<rlim_t>(limit));
    TSocket s = Negotiate(name, size);
    vtest::SendAll(s, data);  // the server stops reading once a write fails
    EXPECT_TRUE(vtest::WaitForClose(s, 10));
    CloseSocket(s);
    ASSERT_TRUE(vtest::WaitForLog(server.LogPrefix(), "e:20", 15));
  }
  const std::string written = vtest::ReadAll(name);
  EXPECT_EQ(written.size(), static_cast<std::size_t>(limit));
  EXPECT_TRUE(written == data.substr(0, written.size()));
  const std::string failure = "doInternalUpload10(" + name + "): failed. " + ResultText(13) + ", " + std::to_string(EFBIG);
  EXPECT_NE(Log().find("127.0.0.1-doUpload: " + failure + "\r\nUpload Fail(" + name + ") " + std::to_string(limit) +
                       " / " + std::to_string(size) + "\r\n"),
            std::string::npos)
      << Log();
  EXPECT_NE(Log().find("127.0.0.1-doUpload(): failed, " + failure), std::string::npos);
  ASSERT_TRUE(web.WaitForRequests(1, 20));
  EXPECT_EQ(vtest::HttpServer::QueryValue(web.Paths()[0], "errno"), "13");
  EXPECT_EQ(vtest::HttpServer::QueryValue(web.Paths()[0], "filesize"), std::to_string(limit));
}

// Blocks are hashed as they arrive, ahead of the disk: the digest record
// left by a failed write holds the digests of the flushed bytes as it says
// it does, never one of a digest block that the failed write (or a block
// received after it) completed.
TEST_F(UploadBlocks, AFailedWriteLeavesTheRecordOfTheFlushedBytesOnly) {
  const std::string name = server.Dir().File("recorded.bin");
  // The write that fails is of the block that would complete the second
  // digest block.
  const std::int64_t size = 10 << 20, limit = (8 << 20) - 1024;
  const std::string data = vtest::RandomBytes(static_cast<std::size_t>(size));
  {
    FileSizeLimit fileSizeLimit(static_cast<rlim_t>(limit));
    TSocket s = Negotiate(name, size);
    vtest::SendAll(s, data);
    EXPECT_TRUE(vtest::WaitForClose(s, 10));
    CloseSocket(s);
    ASSERT_TRUE(vtest::WaitForLog(server.LogPrefix(), "e:20", 15));
  }
  // Magic, volume, index, size, modified time, number of blocks; then the
  // digests.
  const std::string record = vtest::ReadAll(DigestRecordName(name));
  ASSERT_GE(record.size(), 48u);
  const auto field = [&record](std::size_t at) {
    std::uint64_t value = 0;
    for (int i = 7; i >= 0; --i) value = (value << 8) | static_cast<std::uint8_t>(record[at + i]);
    return value;
  };
  const std::uint64_t recordedSize = field(24), count = field(40);
  EXPECT_LE(recordedSize, static_cast<std::uint64_t>(limit));
  EXPECT_EQ(count, recordedSize / kDigestBlockSize);
  EXPECT_EQ(count, 1u);  // receives of at most 1 MiB: the last flush ended between 4 and 8 MiB
  ASSERT_GE(record.size(), 48 + count * sizeof(TDigest));
  TBlockDigest flushed;
  flushed.Update(data.data(), static_cast<std::size_t>(recordedSize));
  for (std::size_t i = 0; i < count && i < flushed.Blocks().size(); ++i)
    EXPECT_EQ(record.compare(48 + i * sizeof(TDigest), sizeof(TDigest),
                             reinterpret_cast<const char*>(flushed.Blocks()[i].data()), sizeof(TDigest)),
              0)
        << "block " << i;
  ASSERT_TRUE(web.WaitForRequests(1, 20));
}
#endif

}  // namespace

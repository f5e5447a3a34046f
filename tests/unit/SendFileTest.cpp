// File data from a file straight to a socket: position, length and end of
// file, and a failure told apart as the file's or the connection's.

#include <cstdint>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "platform/Files.h"
#include "platform/SendFile.h"
#include "support/TestSupport.h"

namespace {

using platform::SendFileResult;

struct Sender {
  char buffer[MAX_BLOCK_SIZE];
  std::size_t sent = 0;
  SendFileResult Send(TSocket s, platform::FileHandle file, std::size_t length) {
    return platform::SendFileData(s, file, length, buffer, sizeof buffer, sent);
  }
};

TEST(SendFile, SendsFromThePositionInStepsToTheEndOfTheFile) {
  vtest::TempDir dir;
  const std::string name = dir.File("data.bin");
  const std::string content = vtest::RandomBytes(3 * 1024 * 1024 + 17);
  vtest::WriteAll(name, content);
  const std::size_t start = 1000001;

  vtest::SocketPair pair;
  ASSERT_NE(pair.server, INVALID_SOCK);
  std::string received;
  std::thread reader([&] { received = vtest::Receive(pair.client, content.size() - start); });

  platform::FileHandle file = platform::OpenFile(name, platform::OpenMode::kReadExisting);
  ASSERT_NE(file, platform::kNoFile);
  ASSERT_TRUE(platform::SeekFile(file, static_cast<std::int64_t>(start)));
  Sender sender;
  // A short step first: exactly that many bytes, and the next step goes on
  // from there.
  ASSERT_EQ(sender.Send(pair.server, file, 10), SendFileResult::kSent);
  EXPECT_EQ(sender.sent, 10u);
  std::size_t total = sender.sent, steps = 0;
  for (; steps < 10000; ++steps) {
    ASSERT_EQ(sender.Send(pair.server, file, 1 << 20), SendFileResult::kSent);
    if (sender.sent == 0) break;
    EXPECT_LE(sender.sent, std::size_t{1} << 20);
    total += sender.sent;
  }
  EXPECT_EQ(total, content.size() - start);
  // At the end it stays at the end.
  ASSERT_EQ(sender.Send(pair.server, file, 1 << 20), SendFileResult::kSent);
  EXPECT_EQ(sender.sent, 0u);
  platform::CloseFile(file);
  reader.join();
  EXPECT_TRUE(received == content.substr(start)) << received.size() << " bytes received";
}

TEST(SendFile, AFileThatCannotBeReadIsTheFilesFailureAndSendsNothing) {
  vtest::TempDir dir;
  const std::string name = dir.File("write-only.bin");
  vtest::WriteAll(name, vtest::RandomBytes(50000));
  platform::FileHandle file = platform::OpenFile(name, platform::OpenMode::kWriteExisting);
  ASSERT_NE(file, platform::kNoFile);

  vtest::SocketPair pair;
  Sender sender;
  EXPECT_EQ(sender.Send(pair.server, file, 1 << 20), SendFileResult::kReadFailed);
  EXPECT_NE(platform::LastError(), 0);
  platform::CloseFile(file);
  CloseSocket(pair.server);
  pair.server = INVALID_SOCK;
  EXPECT_EQ(vtest::Receive(pair.client, 1, 5), "");
}

TEST(SendFile, AClosedConnectionIsTheSendsFailure) {
  vtest::TempDir dir;
  const std::string name = dir.File("data.bin");
  vtest::WriteAll(name, vtest::RandomBytes(1 << 20));
  platform::FileHandle file = platform::OpenFile(name, platform::OpenMode::kReadExisting);
  ASSERT_NE(file, platform::kNoFile);

  vtest::SocketPair pair;
  CloseSocket(pair.client);
  pair.client = INVALID_SOCK;
  // The first bytes may still be taken before the peer's reset arrives; the
  // process must also survive the broken pipe.
  Sender sender;
  SendFileResult outcome = SendFileResult::kSent;
  for (int step = 0; step < 1000 && outcome == SendFileResult::kSent; ++step) {
    ASSERT_TRUE(platform::SeekFile(file, 0));
    outcome = sender.Send(pair.server, file, 1 << 20);
  }
  EXPECT_EQ(outcome, SendFileResult::kSendFailed);
  EXPECT_NE(platform::NetLastError(), 0);
  platform::CloseFile(file);
}

}  // namespace

// One writer per file: a newer claim cuts the older one's receiving and waits
// until it lets go, and names meet where they lead; across instances, the
// file's own locks do the same between two open files.

#include <atomic>
#include <cerrno>
#include <chrono>
#include <future>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "platform/Files.h"
#include "platform/Sockets.h"
#include "server/SharedWriter.h"
#include "server/UploadWriters.h"
#include "support/TestSupport.h"

namespace {

TEST(UploadWriters, ANewerClaimCutsTheHolderAndWinsOnceItLetsGo) {
  vtest::TempDir dir;
  const std::string name = dir.File("movie.avi");
  vtest::SocketPair older, newer;
  TUploadClaim holder, claim;
  ASSERT_TRUE(holder.Claim(name, older.server, 1));
  // The holder's worker waits in its receive, its client silent.
  std::promise<long> received;
  std::future<long> receiving = received.get_future();
  std::thread worker([&] {
    char byte;
    received.set_value(platform::NetRecv(older.server, &byte, 1));
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(200));

  // The holder does not let go: the newer claim fails, and the holder's
  // receive has ended as if its client had closed (or failed, on Windows).
  EXPECT_FALSE(claim.Claim(dir.File("sub/../movie.avi"), newer.server, 1));
  EXPECT_FALSE(claim.Held());
  EXPECT_TRUE(holder.WasCut());
  EXPECT_FALSE(claim.WasCut());
  const bool ended = receiving.wait_for(std::chrono::seconds(5)) == std::future_status::ready;
  EXPECT_TRUE(ended);
  if (!ended) vtest::SendAll(older.client, "x");  // lets the worker go
  worker.join();
  EXPECT_LE(receiving.get(), 0);

  // Once the holder lets go, the waiting claim has the file.
  std::thread release([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    holder.Release();
  });
  EXPECT_TRUE(claim.Claim(dir.File("./movie.avi"), newer.server, 10));
  release.join();
  EXPECT_TRUE(claim.Held());
  EXPECT_FALSE(holder.Held());
}

TEST(UploadWriters, OtherFilesAndReleasedClaimsAreNotTouched) {
  vtest::TempDir dir;
  vtest::SocketPair first, second, third;
  TUploadClaim a, b, c;
  ASSERT_TRUE(a.Claim(dir.File("a.bin"), first.server, 1));
  EXPECT_TRUE(b.Claim(dir.File("b.bin"), second.server, 1));
  a.Release();
  a.Release();  // twice is harmless
  EXPECT_TRUE(c.Claim(dir.File("a.bin"), third.server, 1));

  // Neither the other file's writer nor the released one was cut.
  ASSERT_TRUE(vtest::SendAll(first.client, "x"));
  ASSERT_TRUE(vtest::SendAll(second.client, "y"));
  EXPECT_EQ(vtest::Receive(first.server, 1, 5), "x");
  EXPECT_EQ(vtest::Receive(second.server, 1, 5), "y");
}

TEST(UploadWriters, AcrossInstancesTheOlderWriterIsAskedAndTheNewerWaitsForIt) {
  vtest::TempDir dir;
  const std::string name = dir.File("shared.bin");
  vtest::WriteAll(name, "data");
  // Two open files of one name, as two instances on one volume have them.
  const platform::FileHandle first = platform::OpenFile(name, platform::OpenMode::kWriteExisting);
  const platform::FileHandle second = platform::OpenFile(name, platform::OpenMode::kWriteExisting);
  ASSERT_NE(first, platform::kNoFile);
  ASSERT_NE(second, platform::kNoFile);

  std::atomic<int> cuts{0};
  TSharedWriter older, newer;
  constexpr auto kWriter = TSharedWriter::Result::kWriter;
  ASSERT_EQ(older.Acquire(first, [&] { ++cuts; }, 1), kWriter);
  auto acquired = std::async(std::launch::async, [&] { return newer.Acquire(second, [] {}, 20); });
  for (int i = 0; i < 50 && cuts == 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(cuts, 1);
  // Asked, the older one still writes until it lets go.
  EXPECT_EQ(acquired.wait_for(std::chrono::milliseconds(500)), std::future_status::timeout);
  older.Release();
  EXPECT_EQ(acquired.get(), kWriter);

  // One that never lets go keeps the file: the next is refused in time.
  TSharedWriter third;
  EXPECT_EQ(third.Acquire(first, [] {}, 1), TSharedWriter::Result::kInUse);
  newer.Release();
  EXPECT_EQ(third.Acquire(first, [] {}, 1), kWriter);
  third.Release();
  EXPECT_EQ(cuts, 1);
  platform::CloseFile(first);
  platform::CloseFile(second);

#ifndef _WIN32
  // A lock call that fails where locks exist (here a write lock through a
  // file open for reading) refuses: the writer never goes on unprotected.
  const platform::FileHandle reading = platform::OpenFile(name, platform::OpenMode::kReadExisting);
  ASSERT_NE(reading, platform::kNoFile);
  TSharedWriter unprotected;
  EXPECT_EQ(unprotected.Acquire(reading, [] {}, 1), TSharedWriter::Result::kLockFailed);
  EXPECT_EQ(unprotected.Error(), EBADF);
  platform::CloseFile(reading);
#endif
}

}  // namespace

// File sizes by name, absolute positioning, free space and moves that never
// replace.

#include <filesystem>

#include <gtest/gtest.h>

#include "platform/Paths.h"
#include "server/FileHelpers.h"
#include "support/TestSupport.h"

#ifndef _WIN32
#include <sys/stat.h>
#endif

namespace {

namespace fs = std::filesystem;

TEST(FileHelpers, SizeIsMinusOneForAnythingButAnExistingFile) {
  vtest::TempDir dir;
  EXPECT_EQ(GetFileSize64(dir.File("missing")), -1);
  EXPECT_EQ(GetFileSize64(""), -1);
  EXPECT_EQ(GetFileSize64(dir.path().string()), -1);
  vtest::WriteAll(dir.File("empty"), "");
  EXPECT_EQ(GetFileSize64(dir.File("empty")), 0);
  vtest::WriteAll(dir.File("five"), "12345");
  EXPECT_EQ(GetFileSize64(dir.File("five")), 5);
#ifndef _WIN32
  // Opening a FIFO would block the worker: it is no file to transfer.
  ASSERT_EQ(::mkfifo(dir.File("fifo").c_str(), 0600), 0);
  EXPECT_EQ(GetFileSize64(dir.File("fifo")), -1);
#endif
}

TEST(FileHelpers, SizesOfFourGigabytesAndMoreAreWhole) {
  vtest::TempDir dir;
  vtest::MakeSparse(dir.File("big"), 5368709120LL);  // high part 1, low part 1 GiB
  EXPECT_EQ(GetFileSize64(dir.File("big")), 5368709120LL);
}

TEST(FileHelpers, SetFilePosReachesEveryPositionAroundThe32BitLimits) {
  vtest::TempDir dir;
  const std::string name = dir.File("f");
  // Writing one byte at the new position proves where the file pointer is.
  for (std::int64_t position : {0LL, 2147483647LL, 2147483648LL, 4294967295LL, 4294967296LL}) {
    platform::FileHandle file = platform::OpenFile(name, platform::OpenMode::kWriteTruncate);
    ASSERT_NE(file, platform::kNoFile);
    EXPECT_TRUE(SetFilePos(file, position)) << position;
    EXPECT_TRUE(platform::WriteFile(file, "x", 1));
    platform::CloseFile(file);
    EXPECT_EQ(GetFileSize64(name), position + 1) << position;
  }
}

TEST(FileHelpers, SetFilePosRefusesNegativePositions) {
  vtest::TempDir dir;
  vtest::WriteAll(dir.File("f"), "abc");
  platform::FileHandle file = platform::OpenFile(dir.File("f"), platform::OpenMode::kReadExisting);
  ASSERT_NE(file, platform::kNoFile);
  EXPECT_FALSE(SetFilePos(file, -1));
  EXPECT_NE(platform::LastError(), 0);
  EXPECT_FALSE(SetFilePos(file, INT32_MIN));
  // -2^32 has a low part of 0, which must not pass for position 0.
  EXPECT_FALSE(SetFilePos(file, -4294967296LL));
  ASSERT_TRUE(SetFilePos(file, 1));
  char byte = 0;
  EXPECT_EQ(platform::ReadFile(file, &byte, 1), 1);
  EXPECT_EQ(byte, 'b');
  platform::CloseFile(file);
}

TEST(FileHelpers, FreeBytesOfTheVolumeThatHoldsAName) {
  vtest::TempDir dir;
#ifdef _WIN32
  EXPECT_GT(GetDiskFreeBytes("C:"), 0);
  EXPECT_GT(GetDiskFreeBytes("c:\\"), 0);
  EXPECT_GT(GetDiskFreeBytes(""), 0);  // the current drive
  EXPECT_EQ(GetDiskFreeBytes("\\\\server\\share"), -1);
  EXPECT_EQ(GetDiskFreeBytes("Q:"), -1);
  EXPECT_EQ(platform::DrivePart("C:\\a\\b.bin"), "C:");
  EXPECT_EQ(platform::DrivePart("d:b.bin"), "d:");
  EXPECT_EQ(platform::DrivePart("\\\\server\\share\\a\\b.bin"), "\\\\server\\share");
  EXPECT_EQ(platform::DrivePart("\\\\server\\share"), "\\\\server\\share");
  EXPECT_EQ(platform::DrivePart("\\a\\b.bin"), "");
  EXPECT_EQ(platform::DrivePart("b.bin"), "");
#else
  // A target directory that does not exist yet counts on its nearest
  // existing ancestor's volume; so does a relative name.
  const std::int64_t expected = static_cast<std::int64_t>(fs::space(dir.path()).free);
  const std::int64_t tolerance = 64LL << 20;  // other programs write meanwhile
  for (const std::string& name : {dir.File("f.bin"), dir.File("no/such/dir/f.bin"), dir.path().string() + "/"})
    EXPECT_NEAR(static_cast<double>(GetDiskFreeBytes(platform::DrivePart(name))), static_cast<double>(expected),
                static_cast<double>(tolerance))
        << name;
  EXPECT_NEAR(static_cast<double>(GetDiskFreeBytes("no/such/dir/f.bin")),
              static_cast<double>(fs::space(fs::current_path()).free), static_cast<double>(tolerance));
  EXPECT_GT(GetDiskFreeBytes("/"), 0);
#endif
}

TEST(FileHelpers, MovesNeverReplaceAnExistingFile) {
  vtest::TempDir dir;
  vtest::WriteAll(dir.File("a"), "first");
  vtest::WriteAll(dir.File("b"), "second");
  EXPECT_FALSE(platform::MoveNoReplace(dir.File("a"), dir.File("b")));
  EXPECT_EQ(vtest::ReadAll(dir.File("a")), "first");
  EXPECT_EQ(vtest::ReadAll(dir.File("b")), "second");
  EXPECT_TRUE(platform::MoveNoReplace(dir.File("a"), dir.File("c")));
  EXPECT_FALSE(platform::Exists(dir.File("a")));
  EXPECT_EQ(vtest::ReadAll(dir.File("c")), "first");
  EXPECT_FALSE(platform::MoveNoReplace(dir.File("missing"), dir.File("d")));
  EXPECT_TRUE(platform::IsDirectory(dir.path().string()));
  EXPECT_FALSE(platform::IsDirectory(dir.File("c")));
}

}  // namespace

// The daily log file: its name, the line format, appending, directory
// creation, lines from many threads at once, and the retention of old
// daily files.

#include <fstream>
#include <regex>
#include <set>
#include <thread>

#include <gtest/gtest.h>

#include "base/DailyLog.h"
#include "base/Format.h"
#include "base/LogRetention.h"
#include "platform/Paths.h"
#include "support/TestSupport.h"

namespace {

std::string Prefix(const vtest::TempDir& dir, const std::string& subdirectories) {
  return dir.File(subdirectories) + std::string(1, platform::kPathDelimiter) + "FileServer";
}

TEST(WriteLog, CreatesTheDaysFileInMissingDirectoriesAndAppends) {
  vtest::TempDir dir;
  const std::string prefix = Prefix(dir, "a") + "x";  // stem "FileServerx" in a/
  std::string nested = dir.File("one");
  nested += platform::kPathDelimiter;
  nested += "two";
  const std::string deepPrefix = nested + platform::kPathDelimiter + "FileServer";

  WriteLog(deepPrefix, "first");
  WriteLog(deepPrefix, "");
  WriteLog(deepPrefix, "second line\nwith a break");

  const std::string file = vtest::TodaysLog(deepPrefix);
  EXPECT_TRUE(std::regex_match(file, std::regex(".*FileServer[0-9]{8}\\.log")));
  const std::string text = vtest::ReadAll(file);
  EXPECT_TRUE(std::regex_match(text, std::regex("[0-2][0-9]:[0-5][0-9]:[0-5][0-9]  first\r\n"
                                                "[0-2][0-9]:[0-5][0-9]:[0-5][0-9]  \r\n"
                                                "[0-2][0-9]:[0-5][0-9]:[0-5][0-9]  second line\nwith a break\r\n")))
      << text;
  (void)prefix;
}

TEST(WriteLog, KeepsWhatTheFileHeld) {
  vtest::TempDir dir;
  const std::string prefix = Prefix(dir, "Log");
  WriteLog(prefix, "one");
  const std::string before = vtest::ReadAll(vtest::TodaysLog(prefix));
  WriteLog(prefix, "two");
  const std::string after = vtest::ReadAll(vtest::TodaysLog(prefix));
  EXPECT_EQ(after.substr(0, before.size()), before);
  EXPECT_EQ(vtest::LogMessages(prefix), (std::vector<std::string>{"one", "two"}));
}

TEST(WriteLog, MessageBytesAreWrittenUnchanged) {
  vtest::TempDir dir;
  const std::string prefix = Prefix(dir, "Log");
  const std::string message = std::string("\xC0\xD0\xB1\xE2 %s %d \x01", 12) + "\xFF";
  WriteLog(prefix, message);
  EXPECT_EQ(vtest::LogMessages(prefix), std::vector<std::string>{message});
}

TEST(WriteLog, AFileThatCannotBeOpenedLosesTheLineQuietly) {
  vtest::TempDir dir;
  const std::string prefix = Prefix(dir, "Log");
  // A directory in the place of the day's file makes every open fail.
  vtest::fs::create_directories(vtest::TodaysLog(prefix));
  EXPECT_NO_THROW(WriteLog(prefix, "lost"));
}

TEST(WriteLog, LinesFromManyThreadsAreAllThereAndWhole) {
  vtest::TempDir dir;
  const std::string prefix = Prefix(dir, "Log");
  constexpr int kThreads = 32, kLines = 50;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([&, t] {
      for (int i = 0; i < kLines; ++i)
        WriteLog(prefix, Format("thread %02d line %02d ", t, i) + std::string(200, static_cast<char>('A' + t % 26)));
    });
  for (auto& thread : threads) thread.join();

  // Built once: a pattern with a repeat of 200 takes long to build, the more
  // so under the sanitizers.
  const std::regex whole("thread [0-9]{2} line [0-9]{2} [A-Z]{200}");
  std::set<std::string> seen;
  for (const std::string& message : vtest::LogMessages(prefix)) {
    ASSERT_TRUE(std::regex_match(message, whole)) << message;
    seen.insert(message.substr(0, 22));
  }
  EXPECT_EQ(seen.size(), static_cast<std::size_t>(kThreads * kLines));
}

TEST(LogRetention, RemovesOnlyTheServersOwnDailyFilesOlderThanKeepDays) {
  vtest::TempDir dir;
  const std::string prefix = Prefix(dir, "Log");
  const std::string folder = dir.File("Log");
  vtest::fs::create_directories(folder);
  const std::vector<std::string> expired = {"FileServer20251231.log", "FileServer20260107.log"};
  const std::vector<std::string> kept = {
      "FileServer20260108.log",      // exactly KeepDays before today
      "FileServer20260110.log",      // today
      "FileServer20200101.log.bak",  // the operator's copies and other files
      "FileServer2020010.log",      "FileServer20201301.log", "fileserver20200101.log",
      "Other20200101.log",          "FileServer20200101.txt", "notes.txt"};
  for (const auto& names : {expired, kept})
    for (const std::string& name : names) std::ofstream(vtest::fs::path(folder) / name) << "x";
  // A folder with a daily file's name is not a file of the log.
  vtest::fs::create_directories(vtest::fs::path(folder) / "FileServer20200102.log");

  EXPECT_EQ(PruneDailyLogs(prefix, 2, platform::LocalTime{2026, 1, 10, 0, 0, 1}), 2);

  for (const std::string& name : expired) EXPECT_FALSE(vtest::fs::exists(vtest::fs::path(folder) / name)) << name;
  for (const std::string& name : kept) EXPECT_TRUE(vtest::fs::exists(vtest::fs::path(folder) / name)) << name;
  EXPECT_TRUE(vtest::fs::is_directory(vtest::fs::path(folder) / "FileServer20200102.log"));
  std::set<std::string> removals;
  for (const std::string& message : vtest::LogMessages(prefix)) removals.insert(message);
  EXPECT_EQ(removals, (std::set<std::string>{"Log retention: removed FileServer20251231.log (KeepDays=2)",
                                             "Log retention: removed FileServer20260107.log (KeepDays=2)"}));
  // 0 keeps every file.
  EXPECT_EQ(PruneDailyLogs(prefix, 0, platform::LocalTime{2030, 1, 1, 0, 0, 0}), 0);
  EXPECT_TRUE(vtest::fs::exists(vtest::fs::path(folder) / "FileServer20260108.log"));
}

}  // namespace

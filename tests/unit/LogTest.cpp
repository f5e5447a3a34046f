// The daily log file: its name, the line format, appending, directory
// creation, and lines from many threads at once.

#include <regex>
#include <set>
#include <thread>

#include <gtest/gtest.h>

#include "base/DailyLog.h"
#include "base/Format.h"
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

}  // namespace

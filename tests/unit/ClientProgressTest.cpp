// The client's progress line: its fields and when it is drawn.

#include <sstream>

#include <gtest/gtest.h>

#include "client/ProgressLine.h"

namespace {

TEST(ClientProgress, SizesAndDurationsAreReadable) {
  EXPECT_EQ(FormatBytes(0), "0 B");
  EXPECT_EQ(FormatBytes(1023), "1023 B");
  EXPECT_EQ(FormatBytes(1024), "1.0 KiB");
  EXPECT_EQ(FormatBytes(1536), "1.5 KiB");
  EXPECT_EQ(FormatBytes(10 * 1048576LL), "10.0 MiB");
  EXPECT_EQ(FormatBytes(5LL << 40), "5.0 TiB");
  EXPECT_EQ(FormatBytes(INT64_MAX), "8.0 EiB");
  EXPECT_EQ(FormatDuration(0), "0:00");
  EXPECT_EQ(FormatDuration(65), "1:05");
  EXPECT_EQ(FormatDuration(3599.6), "1:00:00");
  EXPECT_EQ(FormatDuration(90061), "25:01:01");
}

TEST(ClientProgress, KnownTotalShowsPercentOfTheWholeFileAndRateOfThisRun) {
  // Resumed at 4 MiB of 10 MiB, 2 MiB moved in 2 s: 6 of 10 MiB, 1 MiB/s,
  // 4 MiB left.
  TransferProgress p{4 << 20, 2 << 20, 10 << 20};
  EXPECT_EQ(FormatProgress(p, 2.0), " 60.0%  6.0 MiB of 10.0 MiB  1.0 MiB/s  ETA 0:04");
  // Nothing moved yet: no rate, no estimate.
  EXPECT_EQ(FormatProgress({0, 0, 1000}, 0.0), "  0.0%  0 B of 1000 B  -- B/s  ETA --:--");
  // Complete, and an empty file.
  EXPECT_EQ(FormatProgress({0, 1000, 1000}, 1.0), "100.0%  1000 B of 1000 B  1000 B/s  ETA 0:00");
  EXPECT_EQ(FormatProgress({0, 0, 0}, 1.0), "100.0%  0 B of 0 B  -- B/s  ETA 0:00");
}

TEST(ClientProgress, UnknownTotalShowsPositionAndRate) {
  EXPECT_EQ(FormatProgress({1024, 3072, -1}, 2.0), "4.0 KiB  1.5 KiB/s");
}

TEST(ClientProgress, LineIsRedrawnInPlaceAndEndedOnlyWhenEnabled) {
  std::ostringstream shown, hidden;
  TProgressLine on(shown, true), off(hidden, false);
  for (std::int64_t moved : {100, 200, 300}) {
    EXPECT_TRUE(on.Update({0, moved, 1000}));
    EXPECT_TRUE(off.Update({0, moved, 1000}));
  }
  on.Finish();
  off.Finish();
  EXPECT_EQ(hidden.str(), "");
  const std::string text = shown.str();
  ASSERT_FALSE(text.empty());
  EXPECT_EQ(text.front(), '\r');
  EXPECT_EQ(text.back(), '\n');
  EXPECT_NE(text.find(" 10.0%"), std::string::npos) << text;  // the first update is drawn at once
  EXPECT_NE(text.rfind(" 30.0%"), std::string::npos) << text;  // the final state is always drawn
  EXPECT_EQ(text.find('\n'), text.size() - 1);

  // A shorter line blanks the rest of a longer one.
  std::ostringstream out;
  TProgressLine line(out, true);
  line.Update({1 << 20, 0, -1});
  line.Update({0, 0, -1});
  line.Finish();
  EXPECT_EQ(out.str().rfind("\r1.0 MiB  -- B/s\r", 0), 0u) << out.str();
  EXPECT_NE(out.str().find("\r0 B  -- B/s    "), std::string::npos) << out.str();
}

}  // namespace

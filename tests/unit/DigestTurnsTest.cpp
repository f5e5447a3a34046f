// The bound on digests computed at once in the process.

#include <gtest/gtest.h>

#include "server/DigestTurns.h"

namespace {

TEST(DigestTurns, NoMoreThanTheBoundAtOnceAndAFreedTurnIsTakenAgain) {
  static_assert(TDigestTurn::kAtOnce == 2);
  TDigestTurn first, third;
  {
    TDigestTurn second;
    ASSERT_TRUE(first.Take(0));
    ASSERT_TRUE(second.Take(0));
    EXPECT_FALSE(third.Take(0));
  }
  EXPECT_TRUE(third.Take(0));
}

}  // namespace

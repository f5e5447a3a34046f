// The rate arithmetic of the bandwidth limits, on a clock the test moves:
// what a mover that waits as told may move over any 10 seconds, how late
// charges are made up for, and how movers that share a bucket take turns.

#include <algorithm>
#include <cstdint>
#include <deque>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "base/TokenBucket.h"

namespace {

constexpr std::int64_t kSecond = 1000000;

// Movers that each move one step the moment they may, charge it and wait as
// told, for `duration`; the bytes each moved, and every step as (time, bytes).
struct Moves {
  std::vector<std::uint64_t> moved;
  std::vector<std::pair<std::int64_t, std::uint64_t>> steps;
};

Moves Move(TTokenBucket& bucket, std::vector<std::size_t> stepSizes, std::int64_t duration) {
  Moves run;
  run.moved.assign(stepSizes.size(), 0);
  std::vector<std::int64_t> next(stepSizes.size(), 0);
  for (;;) {
    std::size_t mover = 0;
    for (std::size_t i = 1; i < next.size(); ++i)
      if (next[i] < next[mover]) mover = i;
    const std::int64_t now = next[mover];
    if (now >= duration) return run;
    run.moved[mover] += stepSizes[mover];
    run.steps.emplace_back(now, stepSizes[mover]);
    next[mover] = std::max(now, bucket.Charge(stepSizes[mover], now));
  }
}

// The most bytes moved in any `window` (steps that begin in it).
std::uint64_t MostInWindow(const Moves& run, std::int64_t window) {
  std::uint64_t most = 0, inside = 0;
  std::deque<std::pair<std::int64_t, std::uint64_t>> open;
  for (const auto& step : run.steps) {
    open.push_back(step);
    inside += step.second;
    while (open.front().first <= step.first - window) {
      inside -= open.front().second;
      open.pop_front();
    }
    most = std::max(most, inside);
  }
  return most;
}

TEST(TokenBucket, AMoverThatWaitsAsToldStaysWithinItsRateOverAnyTenSeconds) {
  for (const std::uint64_t rate : {1024ULL, 100 * 1024ULL, 50ULL << 20}) {
    TTokenBucket bucket(rate);
    const Moves run = Move(bucket, {bucket.Step()}, 30 * kSecond);
    const std::uint64_t most = MostInWindow(run, 10 * kSecond);
    EXPECT_LE(most, rate * 10 * 105 / 100) << rate;
    // The limit is a pace, not a cap far below it.
    EXPECT_GE(run.moved[0], rate * 30 * 95 / 100) << rate;
  }
}

TEST(TokenBucket, ChargesRoundUpAndALateChargeIsMadeUpOnlyWithinTheSlack) {
  TTokenBucket bucket(3);
  // A third of a second, rounded up: many small charges never exceed the rate.
  EXPECT_EQ(bucket.Charge(1, 10 * kSecond), 10 * kSecond - TTokenBucket::kSlackMicroseconds + 333334);

  TTokenBucket late(1024);
  const std::int64_t paid = late.Charge(1024, 0);
  // Overslept by less than the slack: the next second starts where the last ended.
  EXPECT_EQ(late.Charge(1024, paid + 30000), paid + kSecond);
  // Idle for long: the time passed is not saved up as a burst.
  EXPECT_EQ(late.Charge(1024, 100 * kSecond), 100 * kSecond - TTokenBucket::kSlackMicroseconds + kSecond);
}

TEST(TokenBucket, SharingMoversTakeEqualTurnsAndASlowerOneLeavesItsShareToTheOthers) {
  const std::uint64_t rate = 64 * 1024;
  TTokenBucket bucket(rate);
  const std::size_t alone = bucket.Step();
  EXPECT_EQ(alone, rate / 16);
  bucket.Join();
  bucket.Join();
  const std::size_t step = bucket.Step();
  EXPECT_EQ(step, rate / 32);

  const Moves equal = Move(bucket, {step, step}, 30 * kSecond);
  EXPECT_NEAR(static_cast<double>(equal.moved[0]), static_cast<double>(equal.moved[1]), static_cast<double>(step));
  EXPECT_LE(MostInWindow(equal, 10 * kSecond), rate * 10 * 105 / 100);

  // One mover's client takes a quarter of a step at a time.
  TTokenBucket shared(rate);
  const Moves uneven = Move(shared, {step, step / 4}, 30 * kSecond);
  EXPECT_GT(uneven.moved[0], 3 * uneven.moved[1]);
  EXPECT_GE(uneven.moved[0] + uneven.moved[1], rate * 30 * 95 / 100);

  for (int i = 0; i < 1000; ++i) bucket.Join();
  EXPECT_EQ(bucket.Step(), TTokenBucket::kLeastStep);
}

}  // namespace

#pragma once
// A rate in bytes per second, paid for after the fact: a mover that has
// moved bytes charges them and waits until the rate has covered them. The
// charges of several movers queue one behind the other, so movers that keep
// up take turns and each gets an equal share, while one that moves less
// leaves what it does not use to the others. The caller passes the time in,
// which keeps the arithmetic apart from any clock.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>

class TTokenBucket {
 public:
  // A rate of at least one byte per second.
  explicit TTokenBucket(std::uint64_t bytesPerSecond);
  TTokenBucket(const TTokenBucket&) = delete;
  TTokenBucket& operator=(const TTokenBucket&) = delete;

  // Charges `bytes` moved by `now` (microseconds of a steady clock) and
  // returns the time until which the mover waits before it moves more.
  // Safe to call from several threads.
  std::int64_t Charge(std::uint64_t bytes, std::int64_t now);

  // The most one of the bucket's movers moves before it charges: its share
  // of a sixteenth of a second at the rate, so that no mover sends a burst
  // and none waits long for its turn, but never less than 256 bytes.
  std::size_t Step() const;

  // The movers that share the bucket, for the size of their steps.
  void Join() { ++FMovers; }
  void Leave() { --FMovers; }

  // How late a mover may charge without losing what it was due: a wait
  // that oversleeps (a coarse system timer) or a slow step is made up for
  // by this much. It is also the burst an idle bucket allows.
  static constexpr std::int64_t kSlackMicroseconds = 50000;
  static constexpr std::size_t kLeastStep = 256;

 private:
  const std::uint64_t FBytesPerSecond;
  std::mutex FLock;
  std::int64_t FPaidUntil = 0;
  std::atomic<int> FMovers{0};
};

#pragma once
// Lets a repeated event through at its first occurrence and then at most
// once per interval, counting the occurrences held back in between: a fault
// that repeats by the thousand still reaches the operator, without a flood.

#include <cstdint>
#include <mutex>

class TThrottle {
 public:
  explicit TThrottle(int intervalSeconds) : FIntervalMilliseconds(intervalSeconds * 1000LL) {}

  // True when this occurrence is to be told; `heldBack` is then the number
  // held back since the last one told. Any thread may call, so that the
  // workers of one listener share one throttle.
  bool Pass(std::uint64_t& heldBack);

  // The next occurrence is told again at once.
  void Reset();

 private:
  std::mutex FLock;
  std::int64_t FIntervalMilliseconds;
  bool FTold = false;
  std::int64_t FLastTold = 0;  // steady clock, milliseconds
  std::uint64_t FHeldBack = 0;
};

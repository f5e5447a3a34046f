#include "base/TokenBucket.h"

#include <algorithm>

TTokenBucket::TTokenBucket(std::uint64_t bytesPerSecond) : FBytesPerSecond(std::max<std::uint64_t>(bytesPerSecond, 1)) {}

std::int64_t TTokenBucket::Charge(std::uint64_t bytes, std::int64_t now) {
  // Rounded up, so that many small charges never add up to more than the
  // rate. One step is at most 64 MiB, so the product stays far from the
  // 64-bit limit.
  const auto cost = static_cast<std::int64_t>((bytes * 1000000 + FBytesPerSecond - 1) / FBytesPerSecond);
  std::lock_guard<std::mutex> lock(FLock);
  FPaidUntil = std::max(FPaidUntil, now - kSlackMicroseconds) + cost;
  return FPaidUntil;
}

std::size_t TTokenBucket::Step() const {
  const std::uint64_t movers = static_cast<std::uint64_t>(std::max(FMovers.load(), 1));
  return static_cast<std::size_t>(std::max<std::uint64_t>(FBytesPerSecond / 16 / movers, kLeastStep));
}

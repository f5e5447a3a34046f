#include "server/TransferPace.h"

#include <algorithm>

#include "platform/Clock.h"

namespace {

std::shared_ptr<TTokenBucket> BucketFor(std::uint64_t bytesPerSecond) {
  return bytesPerSecond > 0 ? std::make_shared<TTokenBucket>(bytesPerSecond) : nullptr;
}

}  // namespace

TSharedRates::TSharedRates(const TRateLimits& limits)
    : Download(BucketFor(limits.TotalDownload)), Upload(BucketFor(limits.TotalUpload)) {}

TTransferPace::TTransferPace(std::uint64_t ownRate, std::shared_ptr<TTokenBucket> shared)
    : FOwn(ownRate > 0 ? std::make_unique<TTokenBucket>(ownRate) : nullptr), FShared(std::move(shared)) {
  if (FShared) FShared->Join();
}

TTransferPace::~TTransferPace() {
  if (FShared) FShared->Leave();
}

std::size_t TTransferPace::Next(std::size_t moved, std::size_t most) {
  if (!FOwn && !FShared) return most;
  if (moved > 0) {
    // Both limits are charged at once; the stricter one sets the wait.
    const std::int64_t now = platform::SteadyMicroseconds();
    std::int64_t until = now;
    if (FOwn) until = std::max(until, FOwn->Charge(moved, now));
    if (FShared) until = std::max(until, FShared->Charge(moved, now));
    if (until > now) platform::SleepMilliseconds(static_cast<unsigned>((until - now + 999) / 1000));
  }
  if (FOwn) most = std::min(most, FOwn->Step());
  if (FShared) most = std::min(most, FShared->Step());
  return most;
}

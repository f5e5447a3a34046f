#include "server/TransferProgress.h"

#include <utility>

namespace {

// The rate covers at most this much of the recent past, so that a transfer
// that slows down shows it within seconds.
constexpr std::int64_t kRateWindowTicks = 5000;

}  // namespace

TTransferProgress::TTransferProgress(std::uint64_t id)
    : FId(id),
      FStartedMs(std::chrono::duration_cast<std::chrono::milliseconds>(
                     std::chrono::system_clock::now().time_since_epoch())
                     .count()) {}

std::int64_t TTransferProgress::NowTicks() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(TClock::now().time_since_epoch()).count();
}

void TTransferProgress::SetClient(std::string client) {
  std::lock_guard<std::mutex> hold(FLock);
  FClient = std::move(client);
}

std::string TTransferProgress::Client() const {
  std::lock_guard<std::mutex> hold(FLock);
  return FClient;
}

void TTransferProgress::SetDirection(int direction) {
  std::lock_guard<std::mutex> hold(FLock);
  FDirection = direction;
  FState = TTransferState::kCheck;
}

void TTransferProgress::SetFile(const std::string& file, std::int64_t position, std::int64_t size) {
  std::lock_guard<std::mutex> hold(FLock);
  FFile = file;
  FPosition = position;
  FSize = size;
}

void TTransferProgress::SetState(TTransferState state) {
  std::lock_guard<std::mutex> hold(FLock);
  FState = state;
}

void TTransferProgress::StartData(std::int64_t position) {
  const std::int64_t now = NowTicks();
  std::lock_guard<std::mutex> hold(FLock);
  FPosition = position - static_cast<std::int64_t>(FMoved.load());
  FState = TTransferState::kData;
  FSamples[FNextSample] = {now, FMoved.load()};
  FNextSample = (FNextSample + 1) % kSamples;
  FLastSampleTicks = now;
}

void TTransferProgress::Sample(std::int64_t now, std::uint64_t moved) {
  std::lock_guard<std::mutex> hold(FLock);
  FSamples[FNextSample] = {now, moved};
  FNextSample = (FNextSample + 1) % kSamples;
  FLastSampleTicks = now;
}

double TTransferProgress::Rate(std::int64_t now, std::uint64_t moved) const {
  // The oldest sample within the window; when the transfer has stalled for
  // longer, the newest, so that the rate falls towards zero.
  const TSample* from = nullptr;
  for (int i = 0; i < kSamples; ++i) {
    const TSample& sample = FSamples[(FNextSample + i) % kSamples];
    if (sample.Ticks == 0) continue;
    if (now - sample.Ticks <= kRateWindowTicks) {
      from = &sample;
      break;
    }
    from = &sample;  // older than the window: kept only if none is newer
  }
  if (from == nullptr || now <= from->Ticks || moved < from->Moved) return 0;
  return static_cast<double>(moved - from->Moved) * 1000.0 / static_cast<double>(now - from->Ticks);
}

TTransferSnapshot TTransferProgress::Snapshot() const {
  const std::int64_t now = NowTicks();
  std::lock_guard<std::mutex> hold(FLock);
  TTransferSnapshot snapshot;
  snapshot.Id = FId;
  snapshot.Client = FClient;
  snapshot.Direction = FDirection;
  snapshot.File = FFile;
  snapshot.StartedMs = FStartedMs;
  snapshot.Size = FSize;
  snapshot.Moved = FMoved.load();
  snapshot.Position = FPosition + static_cast<std::int64_t>(snapshot.Moved);
  snapshot.Rate = FState == TTransferState::kData ? Rate(now, snapshot.Moved) : 0;
  snapshot.State = FState;
  return snapshot;
}

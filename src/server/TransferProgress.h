#pragma once
// How far one connection's conversation got, for the status port's list of
// running transfers: written by the worker at its steps and by its data loop
// with every block, read by the status thread at any moment. The counters
// the data loop touches are atomics, so that the loop takes no lock for
// them; the rest changes a few times a connection, under a lock.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>

enum class TTransferState { kHandshake, kCheck, kData, kCompletion };

// One reading of a record, for the list.
struct TTransferSnapshot {
  std::uint64_t Id = 0;
  std::string Client;
  int Direction = -1;  // -1 before the handshake, 0 download, 1 upload, 2 digest
  std::string File;
  std::int64_t StartedMs = 0;  // wall clock, milliseconds since 1970
  std::int64_t Position = 0;   // in the file: where the data began plus what moved
  std::int64_t Size = 0;       // the file's size as the client declared it
  std::uint64_t Moved = 0;     // file bytes moved on this connection
  double Rate = 0;             // bytes a second over the last few seconds
  TTransferState State = TTransferState::kHandshake;
};

class TTransferProgress {
 public:
  explicit TTransferProgress(std::uint64_t id);
  TTransferProgress(const TTransferProgress&) = delete;
  TTransferProgress& operator=(const TTransferProgress&) = delete;

  std::uint64_t Id() const { return FId; }
  // The peer, once the worker runs (not on the accepting thread, whose next
  // accept should not wait for it), or the client a balancer's PROXY
  // header named.
  void SetClient(std::string client);
  std::string Client() const;
  // After the handshake: 0 download, 1 upload, 2 digest.
  void SetDirection(int direction);
  // The request as read: the file, the position its data start from and the
  // size the client declared. Before the data phase, which may change the
  // position (an upload's resume).
  void SetFile(const std::string& file, std::int64_t position, std::int64_t size);
  void SetState(TTransferState state);
  // The data phase starts at `position` in the file.
  void StartData(std::int64_t position);
  // `bytes` more moved by the data loop.
  void Moved(std::uint64_t bytes) {
    const std::uint64_t moved = FMoved.fetch_add(bytes, std::memory_order_relaxed) + bytes;
    const std::int64_t now = NowTicks();
    if (now - FLastSampleTicks.load(std::memory_order_relaxed) >= kSampleTicks) Sample(now, moved);
  }

  // Asked to end by the operator; the data loop looks at this after every
  // receive, as a socket's shutdown alone does not end a receive on every
  // system while the client keeps sending.
  void MarkCut() { FCut = true; }
  bool WasCut() const { return FCut; }

  TTransferSnapshot Snapshot() const;

 private:
  using TClock = std::chrono::steady_clock;
  // A sample of the count every second or so; the rate is taken over the
  // samples of the last few seconds.
  static constexpr int kSamples = 6;
  static constexpr std::int64_t kSampleTicks = 1000;  // milliseconds
  struct TSample {
    std::int64_t Ticks = 0;
    std::uint64_t Moved = 0;
  };
  static std::int64_t NowTicks();
  void Sample(std::int64_t now, std::uint64_t moved);
  double Rate(std::int64_t now, std::uint64_t moved) const;  // under FLock

  const std::uint64_t FId;
  const std::int64_t FStartedMs;
  std::atomic<std::uint64_t> FMoved{0};
  std::atomic<std::int64_t> FLastSampleTicks{0};
  std::atomic<bool> FCut{false};

  mutable std::mutex FLock;
  std::string FClient;
  int FDirection = -1;
  std::string FFile;
  std::int64_t FPosition = 0;
  std::int64_t FSize = 0;
  TTransferState FState = TTransferState::kHandshake;
  TSample FSamples[kSamples];
  int FNextSample = 0;
};

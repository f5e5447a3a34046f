#include "client/Digests.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "client/ClientSession.h"
#include "platform/Clock.h"
#include "platform/UniqueHandle.h"
#include "transfer/CommandBody.h"
#include "transfer/uGlobal.h"

namespace {

// A busy server is asked again every 2 seconds for up to a minute.
constexpr int kBusyPatienceSeconds = 60;
constexpr unsigned kBusyPauseMilliseconds = 2000;
// The server reads the prefix before it answers; the wait for its answer
// allows a slow disk (16 MiB/s) on top of its wait for a turn.
constexpr std::int64_t kSlowestDisk = 16 << 20;

std::string Bytes(std::int64_t n) { return std::to_string(n) + (n == 1 ? " byte" : " bytes"); }

bool IsHex64(const std::string& text) {
  return text.size() == 64 && text.find_first_not_of("0123456789abcdef") == std::string::npos;
}

enum class Asked { kDigest, kBusy, kNoDigests, kFailed };

// One digest conversation.
Asked AskOnce(const TransferRequest& request, std::int64_t length, std::string& hex, std::int64_t& covered,
              TransferOutcome& outcome) {
  TClientSession session;
  MsgHeader reply;
  if (!session.Open(request.host, request.port, "DGST", outcome))
    return outcome.status == ExitStatus::kRefused && outcome.resultCode == rcProtocol ? Asked::kNoDigests
                                                                                      : Asked::kFailed;
  const std::int64_t expected = length > 0 ? length : platform::RegularFileSize(request.local);
  const int patience = kPeerWaitSeconds + static_cast<int>(std::max<std::int64_t>(expected, 0) / kSlowestDisk);
  if (!session.Send("DG01",
                    CommandBody({{"REMOTEFILENAME", request.remote},
                                 {"FILEPOS", std::to_string(length)},
                                 {"USERNO", std::to_string(request.userNo)}}) +
                        TokenEntry(request.token),
                    outcome) ||
      !session.Receive("DG01", reply, outcome, patience))
    return Asked::kFailed;
  if (reply.SIZE == rcBusy) return Asked::kBusy;
  if (reply.SIZE != 0) {
    outcome = Refusal("digest of " + request.remote, reply.SIZE);
    return Asked::kFailed;
  }
  std::string body;
  if (!session.Receive("DG02", reply, outcome) || !session.ReceiveBody(reply.SIZE, body, outcome)) return Asked::kFailed;
  const TCommandBody answer(body.data(), body.size());
  hex = answer.Value("SHA256");
  covered = answer.Int64("FILEPOS");
  if (!IsHex64(hex) || covered < 0 || (length > 0 && covered != length)) {
    outcome = Failure(ExitStatus::kConnection, "unexpected digest from the server: \"" + body + "\"");
    return Asked::kFailed;
  }
  return Asked::kDigest;
}

}  // namespace

namespace {

// Reads LOCAL's first `length` bytes (-1: all of it) into `blocks`. False
// with `outcome` set (status 1) when LOCAL cannot be read that far.
bool ReadLocal(const std::string& local, std::int64_t from, std::int64_t length, TBlockDigest& blocks,
               TransferOutcome& outcome) {
  const std::int64_t size = platform::RegularFileSize(local);
  const platform::UniqueFile file(size < 0 ? platform::kNoFile
                                           : platform::OpenFile(local, platform::OpenMode::kReadExisting));
  if (!file.valid() || (from > 0 && !platform::SeekFile(file.get(), from))) {
    outcome = Failure(ExitStatus::kLocalFile, "cannot read " + local + ": " +
                                                  (size < 0 ? "no such regular file" : SystemError(platform::LastError())));
    return false;
  }
  switch (ReadIntoDigest(file.get(), (length < 0 ? size : length) - from, blocks)) {
    case DigestStatus::kDone:
      return true;
    case DigestStatus::kShortFile:
      outcome = Failure(ExitStatus::kLocalFile, "cannot read " + local + ": it became shorter");
      return false;
    case DigestStatus::kReadFailed:
      outcome = Failure(ExitStatus::kLocalFile, "cannot read " + local + ": " + SystemError(platform::LastError()));
      return false;
    case DigestStatus::kNoMemory:
      break;
  }
  outcome = Failure(ExitStatus::kLocalFile, "cannot compute the digest of " + local + ": out of memory");
  return false;
}

bool Finished(TBlockDigest& blocks, const std::string& local, TDigest& digest, TransferOutcome& outcome) {
  if (blocks.Finish(digest)) return true;
  outcome = Failure(ExitStatus::kLocalFile, "cannot compute the digest of " + local + ": out of memory");
  return false;
}

}  // namespace

bool LocalDigest(const std::string& local, std::int64_t length, TDigest& digest, TransferOutcome& outcome) {
  TBlockDigest blocks;
  return ReadLocal(local, 0, length, blocks, outcome) && Finished(blocks, local, digest, outcome);
}

// LOCAL's digest read beside the transfer; stopped when it is not needed.
struct TVerifier::Ahead {
  std::int64_t from = 0;
  std::int64_t length = 0;
  TBlockDigest blocks;
  std::atomic<bool> stop{false};
  bool done = false;
  TDigest digest{};
  std::thread thread;

  void Read(const std::string& local) {
    try {
      const platform::UniqueFile file(platform::OpenFile(local, platform::OpenMode::kReadExisting));
      if (!file.valid() || (from > 0 && !platform::SeekFile(file.get(), from))) return;
      std::vector<std::uint8_t> buffer(1 << 20);
      std::int64_t left = length - from;
      while (left > 0 && !stop) {
        const long n = platform::ReadFile(file.get(), buffer.data(),
                                          static_cast<std::size_t>(std::min<std::int64_t>(left, buffer.size())));
        if (n <= 0) return;
        blocks.Update(buffer.data(), static_cast<std::size_t>(n));
        left -= n;
      }
      done = left == 0 && blocks.Finish(digest);
    } catch (...) {
      done = false;
    }
  }
};

TVerifier::TVerifier(const TransferRequest& request) : FRequest(request) {}

TVerifier::~TVerifier() {
  if (!FAhead) return;
  FAhead->stop = true;
  FAhead->thread.join();
}

void TVerifier::ReadLocalAhead(std::int64_t length) {
  if (!Active() || FAhead) return;
  auto ahead = std::make_unique<Ahead>();
  ahead->length = length;
  ahead->from = SeedFromRead(length, ahead->blocks);
  try {
    ahead->thread = std::thread([raw = ahead.get(), local = FRequest.local] { raw->Read(local); });
  } catch (...) {
    return;
  }
  FAhead = std::move(ahead);
}

bool TVerifier::ServerDigest(std::int64_t length, std::string& hex, std::int64_t& covered, bool& available,
                             TransferOutcome& outcome) {
  available = false;
  if (!Active()) return true;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(kBusyPatienceSeconds);
  for (;;) {
    switch (AskOnce(FRequest, length, hex, covered, outcome)) {
      case Asked::kDigest:
        available = true;
        return true;
      case Asked::kFailed:
        return false;
      case Asked::kNoDigests:
        if (FRequest.verify == Verification::kRequired) {
          outcome = Failure(ExitStatus::kDiffers, "the server offers no digests, and --verify=require was given");
          return false;
        }
        FUnavailable = true;
        FWarning = "warning: the server offers no digests; " + FRequest.remote + " was not verified";
        return true;
      case Asked::kBusy:
        break;
    }
    if (std::chrono::steady_clock::now() >= deadline) {
      outcome = Refusal("digest of " + FRequest.remote, rcBusy);
      outcome.message += " for " + std::to_string(kBusyPatienceSeconds) + " seconds";
      return false;
    }
    platform::SleepMilliseconds(kBusyPauseMilliseconds);
  }
}

std::int64_t TVerifier::SeedFromRead(std::int64_t length, TBlockDigest& blocks) const {
  if (FReadLength < 0 || FReadLength > length) return 0;
  const std::size_t whole = static_cast<std::size_t>(FReadLength / kDigestBlockSize);
  blocks.Seed(std::vector<TDigest>(FReadBlocks.begin(), FReadBlocks.begin() + whole));
  return static_cast<std::int64_t>(whole) * kDigestBlockSize;
}

void TVerifier::FollowAppends(std::int64_t length) {
  if (!Active()) return;
  auto followed = std::make_unique<TBlockDigest>();
  const std::int64_t from = SeedFromRead(length, *followed);
  TransferOutcome unread;
  if (length > from && !ReadLocal(FRequest.local, from, length, *followed, unread)) return;
  FFollowed = std::move(followed);
  FFollowedLength = length;
}

void TVerifier::Appended(const void* data, std::size_t length) {
  if (!FFollowed) return;
  FFollowed->Update(data, length);
  FFollowedLength += static_cast<std::int64_t>(length);
}

bool TVerifier::SameAsLocal(std::int64_t length, const std::string& hex, const std::string& what,
                            TransferOutcome& outcome) {
  TDigest digest;
  bool known = false;
  if (FAhead && FAhead->length == length) {
    FAhead->thread.join();
    known = FAhead->done;
    digest = FAhead->digest;
    FAhead.reset();
  }
  if (!known && FFollowed && FFollowedLength == length) {
    known = FFollowed->Finish(digest);
    FFollowed.reset();
  }
  if (!known) {
    TBlockDigest blocks;
    if (!ReadLocal(FRequest.local, 0, length, blocks, outcome)) return false;
    FReadLength = length;
    FReadBlocks = blocks.Blocks();
    if (!Finished(blocks, FRequest.local, digest, outcome)) return false;
  }
  if (DigestHex(digest) == hex) return true;
  outcome = Failure(ExitStatus::kDiffers, what + " (the first " + Bytes(length) + " of " + FRequest.remote +
                                              " and " + FRequest.local + " have different digests)");
  return false;
}

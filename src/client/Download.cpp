#include "client/Download.h"

#include <memory>

#include "client/ClientSession.h"
#include "client/Digests.h"
#include "client/StreamTail.h"
#include "platform/Files.h"
#include "platform/UniqueHandle.h"

namespace {

constexpr std::size_t kReceiveBlock = 65536;

// Owns LOCAL's handle while bytes are appended.
class TLocalFile {
 public:
  bool Open(const std::string& name, bool restart) {
    FHandle.reset(platform::OpenFile(name, restart ? platform::OpenMode::kWriteTruncate : platform::OpenMode::kAppend));
    return FHandle.valid();
  }
  bool Append(const std::string& bytes) {
    return bytes.empty() || platform::WriteFile(FHandle.get(), bytes.data(), bytes.size());
  }

 private:
  platform::UniqueFile FHandle;
};

std::string Bytes(std::int64_t n) { return std::to_string(n) + (n == 1 ? " byte" : " bytes"); }

// Receives the data phase into `local` until the server closes.
// Every byte kept is given to `verifier` too, so that the check after the
// data needs no second read of LOCAL.
TransferOutcome ReceiveData(TClientSession& session, TLocalFile& local, TVerifier& verifier,
                            const TransferRequest& request, std::int64_t position, const ProgressFn& progress) {
  const std::int64_t expected = request.size >= 0 ? request.size - position : -1;
  TStreamTail tail(expected);
  auto block = std::make_unique<char[]>(kReceiveBlock);
  std::string certain;
  TransferProgress state{position, 0, request.size};
  auto stopped = [&](ExitStatus status, const std::string& why) {
    TransferOutcome outcome = Failure(status, why + " after " + Bytes(state.moved) + "; LOCAL is kept for a resume");
    outcome.start = position;
    outcome.moved = state.moved;
    return outcome;
  };

  for (;;) {
    int ready = platform::NetWait(session.Socket(), kDataIdleSeconds, 1);
    if (ready == 0) return stopped(ExitStatus::kConnection, "no data for " + std::to_string(kDataIdleSeconds) + " seconds");
    long n = ready < 0 ? -1 : platform::NetRecv(session.Socket(), block.get(), kReceiveBlock);
    if (n < 0) return stopped(ExitStatus::kConnection, "the connection broke: " + SystemError(platform::NetLastError()));
    if (n == 0) break;
    tail.Push(block.get(), static_cast<std::size_t>(n), certain);
    if (!local.Append(certain))
      return stopped(ExitStatus::kLocalFile, "cannot write " + request.local + ": " + SystemError(platform::LastError()));
    verifier.Appended(certain.data(), certain.size());
    state.moved += static_cast<std::int64_t>(certain.size());
    if (progress && !progress(state)) return stopped(ExitStatus::kStopped, "stopped");
  }

  std::string rest;
  const std::int32_t code = tail.Finish(rest);
  if (!local.Append(rest))
    return stopped(ExitStatus::kLocalFile, "cannot write " + request.local + ": " + SystemError(platform::LastError()));
  verifier.Appended(rest.data(), rest.size());
  state.moved += static_cast<std::int64_t>(rest.size());
  if (progress) progress(state);

  TransferOutcome outcome;
  if (code != 0) {
    outcome = Refusal("download of " + request.remote, code);
    outcome.message += " after " + Bytes(state.moved);
    if (request.size < 0 && code == 12 && state.moved > 0)
      outcome.message += " (should the file itself end in these 8 bytes, repeat with --size)";
  } else if (expected >= 0 && tail.Received() < expected) {
    outcome = Failure(ExitStatus::kIncomplete, "the server ended the download after " + Bytes(state.moved) + " of " +
                                                   Bytes(expected) + "; LOCAL is kept for a resume");
  } else {
    outcome.message = "received " + Bytes(state.moved) + " into " + request.local;
    if (expected >= 0 && tail.Received() > expected) outcome.message += " (the file on the server is longer than --size)";
  }
  outcome.start = position;
  outcome.moved = state.moved;
  return outcome;
}

// The conversation itself, from `position`.
TransferOutcome Fetch(const TransferRequest& request, std::int64_t position, TVerifier& verifier,
                      const ProgressFn& progress) {
  const std::int64_t fileSize = request.size >= 0 ? request.size : position + 1;
  TransferOutcome outcome;
  TClientSession session;
  MsgHeader reply;
  if (!session.Open(request.host, request.port, "DNLD", outcome) ||
      !session.Send("DL01",
                    CommandBody({{"REMOTEFILENAME", request.remote},
                                 {"FILENO", std::to_string(request.fileNo)},
                                 {"USERNO", std::to_string(request.userNo)},
                                 {"FILESIZE", std::to_string(fileSize)},
                                 {"FILEPOS", std::to_string(position)}}) +
                        TokenEntry(request.token),
                    outcome) ||
      !session.Receive("DL01", reply, outcome))
    return outcome;
  if (reply.SIZE != 0) return Refusal("download of " + request.remote, reply.SIZE);

  // LOCAL is touched only once the server has agreed, so a refusal leaves it
  // exactly as it was.
  TLocalFile local;
  if (!local.Open(request.local, request.restart))
    return Failure(ExitStatus::kLocalFile, "cannot open " + request.local + ": " + SystemError(platform::LastError()));
  verifier.FollowAppends(position);
  return ReceiveData(session, local, verifier, request, position, progress);
}

// Before a resume: LOCAL's bytes must be the first bytes of REMOTE, so that
// a source changed since the last run is caught before a byte is appended.
bool CheckResumePoint(TVerifier& verifier, std::int64_t position, TransferOutcome& outcome) {
  std::string hex;
  std::int64_t covered = 0;
  bool available = false;
  // A file shorter than LOCAL is refused with 9, as the download would be.
  if (!verifier.ServerDigest(position, hex, covered, available, outcome)) return false;
  return !available ||
         verifier.SameAsLocal(position, hex, "REMOTE on the server differs from LOCAL before the resume point; "
                                             "--restart downloads it anew", outcome);
}

// After the data: the bytes LOCAL now holds must be those of REMOTE.
bool CheckReceived(TVerifier& verifier, const std::string& local, TransferOutcome& outcome) {
  const std::int64_t held = platform::RegularFileSize(local);
  std::string hex;
  std::int64_t covered = 0;
  bool available = false;
  if (!verifier.ServerDigest(held, hex, covered, available, outcome)) return false;
  if (!available) return true;
  if (covered != held) {
    outcome = Failure(ExitStatus::kDiffers, "REMOTE on the server holds " + Bytes(covered) + ", LOCAL " + Bytes(held));
    return false;
  }
  return verifier.SameAsLocal(held, hex, "REMOTE on the server and the received LOCAL differ", outcome);
}

}  // namespace

TransferOutcome RunDownload(const TransferRequest& request, const ProgressFn& progress) {
  std::string why;
  if (!IsSendableName(request.remote, why, request.token)) return Failure(ExitStatus::kUsage, why);

  const std::int64_t existing = platform::RegularFileSize(request.local);
  if (existing < 0 && platform::Exists(request.local))
    return Failure(ExitStatus::kLocalFile, request.local + " is not a regular file");
  const std::int64_t position = request.restart || existing < 0 ? 0 : existing;

  TVerifier verifier(request);
  TransferOutcome outcome;
  if (position == 0 || CheckResumePoint(verifier, position, outcome)) {
    outcome = Fetch(request, position, verifier, progress);
    if (outcome.status == ExitStatus::kDone) {
      TransferOutcome checked;
      if (!CheckReceived(verifier, request.local, checked)) {
        checked.start = outcome.start;
        checked.moved = outcome.moved;
        outcome = checked;
      }
    }
  }
  outcome.warning = verifier.Warning();
  return outcome;
}

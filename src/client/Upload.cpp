#include "client/Upload.h"

#include <algorithm>
#include <charconv>
#include <memory>

#include "client/ClientSession.h"
#include "client/Digests.h"
#include "platform/ClientSockets.h"
#include "platform/Files.h"
#include "platform/UniqueHandle.h"
#include "transfer/uGlobal.h"

namespace {

constexpr std::size_t kSendBlock = 65536;
// The server prepares the file (directories, open, position) right after
// its UP03 reply and sends an error header at once when that fails. Waiting
// this long for it before the first byte keeps the header from being lost
// to the reset that follows when the server closes with unread data.
constexpr int kPreparationGraceMilliseconds = 200;

std::string Bytes(std::int64_t n) { return std::to_string(n) + (n == 1 ? " byte" : " bytes"); }

// The server's resume offer, "FILEPOS=n" with n not negative.
bool ParseOffer(const std::string& offer, std::int64_t& offered) {
  const std::string key = "FILEPOS=";
  if (offer.compare(0, key.size(), key) != 0 || offer.size() == key.size()) return false;
  const char* end = offer.data() + offer.size();
  auto [stop, error] = std::from_chars(offer.data() + key.size(), end, offered);
  return error == std::errc() && stop == end && offered >= 0;
}

// Owns LOCAL's handle while it is read.
class TLocalSource {
 public:
  bool Open(const std::string& name) {
    FHandle.reset(platform::OpenFile(name, platform::OpenMode::kReadExisting));
    return FHandle.valid();
  }
  bool Seek(std::int64_t position) { return platform::SeekFile(FHandle.get(), position); }
  long Read(char* data, std::size_t length) { return platform::ReadFile(FHandle.get(), data, length); }

 private:
  platform::UniqueFile FHandle;
};

// What the server sent when the connection became readable during or after
// the data: an error header, the end of the stream, or neither.
enum class ServerAnswer { kClosed, kErrorHeader, kTimedOut, kBroken, kUnexpected };

ServerAnswer ReadAnswer(TSocket s, int seconds, std::int32_t& code) {
  unsigned char bytes[MSG_HEADER_SIZE];
  int have = 0;
  while (have < MSG_HEADER_SIZE) {
    int ready = platform::NetWait(s, seconds, 1);
    if (ready == 0) return ServerAnswer::kTimedOut;
    long n = ready < 0 ? -1 : platform::NetRecv(s, bytes + have, static_cast<std::size_t>(MSG_HEADER_SIZE - have));
    if (n < 0) return ServerAnswer::kBroken;
    if (n == 0) return have == 0 ? ServerAnswer::kClosed : ServerAnswer::kUnexpected;
    have += static_cast<int>(n);
  }
  MsgHeader header = DecodeHeader(bytes);
  if (!CommandText(header).empty()) return ServerAnswer::kUnexpected;
  code = header.SIZE;
  return ServerAnswer::kErrorHeader;
}

class TUpload {
 public:
  TUpload(const TransferRequest& request, const ProgressFn& progress)
      : FRequest(request), FProgress(progress), FVerifier(request) {}
  TransferOutcome Run();

 private:
  // Before the upload: the server's copy must hold the first bytes of LOCAL,
  // so that a resume never appends to bytes that differ. The digest is asked
  // before the upload conversation, whose steps wait only seconds for each
  // other; its length is then the offer the conversation must bring.
  bool CheckServerCopy(TransferOutcome& outcome);
  // After the last byte (or when none was left to send): the server's file
  // must be LOCAL.
  bool CheckServerFile(TransferOutcome& outcome);
  bool Negotiate(TransferOutcome& outcome);
  TransferOutcome SendData();
  // Reads what the server sent, waiting at most `seconds`, and makes it the
  // outcome.
  TransferOutcome Await(int seconds);
  // The outcome once the server has answered during or after the data.
  TransferOutcome Answered(ServerAnswer answer, std::int32_t code);
  TransferOutcome Finished(TransferOutcome outcome) const;

  const TransferRequest& FRequest;
  const ProgressFn& FProgress;
  TClientSession FSession;
  TLocalSource FSource;
  std::int64_t FLocalSize = 0;
  TransferProgress FState;
  TVerifier FVerifier;
  // The size of the server's copy whose bytes were compared with LOCAL's,
  // -1 when none was compared.
  std::int64_t FChecked = -1;
};

TransferOutcome TUpload::Run() {
  std::string why;
  if (!IsSendableName(FRequest.remote, why, FRequest.token)) return Failure(ExitStatus::kUsage, why);
  FLocalSize = platform::RegularFileSize(FRequest.local);
  if (FLocalSize < 0 || !FSource.Open(FRequest.local))
    return Failure(ExitStatus::kLocalFile, "cannot read " + FRequest.local + ": " +
                                               (FLocalSize < 0 ? "no such regular file" : SystemError(platform::LastError())));
  FState.total = FLocalSize;

  TransferOutcome outcome;
  if ((FRequest.restart || CheckServerCopy(outcome)) && Negotiate(outcome)) {
    if (!FSource.Seek(FState.start)) {
      outcome = Failure(ExitStatus::kLocalFile, "cannot position " + FRequest.local + ": " + SystemError(platform::LastError()));
    } else {
      // LOCAL's digest for the check after the last byte is read while the
      // bytes go out.
      FVerifier.ReadLocalAhead(FLocalSize);
      if ((outcome = Finished(SendData())).status == ExitStatus::kDone && !CheckServerFile(outcome))
        outcome = Finished(outcome);
    }
  }
  outcome.warning = FVerifier.Warning();
  return outcome;
}

bool TUpload::CheckServerCopy(TransferOutcome& outcome) {
  std::string hex;
  std::int64_t covered = 0;
  bool available = false;
  if (!FVerifier.ServerDigest(0, hex, covered, available, outcome)) {
    if (outcome.status != ExitStatus::kRefused || outcome.resultCode != rcFileNotFound) return false;
    FChecked = 0;  // nothing there yet: the offer must be 0
    return true;
  }
  if (!available) return true;
  FChecked = covered;
  // A copy larger than LOCAL is the conflict the offer reports (status 6).
  return covered > FLocalSize ||
         FVerifier.SameAsLocal(covered, hex, "the server's copy differs from LOCAL before the resume point; "
                                             "--restart uploads it anew", outcome);
}

bool TUpload::CheckServerFile(TransferOutcome& outcome) {
  std::string hex;
  std::int64_t covered = 0;
  bool available = false;
  if (!FVerifier.ServerDigest(0, hex, covered, available, outcome)) return false;
  if (!available) return true;
  if (covered != FLocalSize) {
    outcome = Failure(ExitStatus::kDiffers, "after the upload the server's copy holds " + Bytes(covered) + ", LOCAL " +
                                                Bytes(FLocalSize));
    return false;
  }
  return FVerifier.SameAsLocal(FLocalSize, hex, "the server's copy differs from LOCAL after the upload", outcome);
}

bool TUpload::Negotiate(TransferOutcome& outcome) {
  MsgHeader reply;
  if (!FSession.Open(FRequest.host, FRequest.port, "UPLD", outcome) ||
      !FSession.Send("UP01",
                     CommandBody({{"REMOTEFILENAME", FRequest.remote},
                                  {"FILESIZE", std::to_string(FLocalSize)},
                                  {"FILENO", std::to_string(FRequest.fileNo)},
                                  {"USERNO", std::to_string(FRequest.userNo)}}) +
                         TokenEntry(FRequest.token),
                     outcome) ||
      !FSession.Receive("UP01", reply, outcome))
    return false;
  if (reply.SIZE != 0) {
    outcome = Refusal("upload to " + FRequest.remote, reply.SIZE);
    return false;
  }

  std::string offer;
  if (!FSession.Send("UP02", "", outcome) || !FSession.Receive("UP02", reply, outcome) ||
      !FSession.ReceiveBody(reply.SIZE, offer, outcome))
    return false;
  std::int64_t offered = -1;
  if (!ParseOffer(offer, offered)) {
    outcome = Failure(ExitStatus::kConnection, "unexpected resume offer from the server: \"" + offer + "\"");
    return false;
  }
  if (offered > FLocalSize && !FRequest.restart) {
    outcome = Failure(ExitStatus::kConflict, "the server already holds " + Bytes(offered) + " of " + FRequest.remote +
                                                 ", more than the " + Bytes(FLocalSize) + " of " + FRequest.local +
                                                 "; use --restart to upload it from the start");
    return false;
  }
  if (FChecked >= 0 && offered != FChecked && !FRequest.restart) {
    outcome = Failure(ExitStatus::kConnection, "the server's copy of " + FRequest.remote +
                                                   " changed while it was checked (another upload?); run the command again");
    return false;
  }
  FState.start = FRequest.restart ? 0 : offered;

  if (!FSession.Send("UP03", CommandBody({{"FILEPOS", std::to_string(FState.start)}}), outcome) ||
      !FSession.Receive("UP03", reply, outcome))
    return false;
  if (reply.SIZE != 0) {
    outcome = Refusal("upload position " + std::to_string(FState.start) + " of " + FRequest.remote, reply.SIZE);
    return false;
  }
  return true;
}

TransferOutcome TUpload::SendData() {
  const TSocket s = FSession.Socket();
  const std::int64_t due = FLocalSize - FState.start;
  if (due > 0 && platform::NetWaitMilliseconds(s, kPreparationGraceMilliseconds, 1) > 0)
    return Await(kPeerWaitSeconds);

  auto block = std::make_unique<char[]>(kSendBlock);
  std::size_t filled = 0, offset = 0;
  while (FState.moved < due) {
    int ready = platform::NetWait(s, kDataIdleSeconds, 1 | 2);
    if (ready == 0) return Failure(ExitStatus::kConnection, "the server took nothing for " +
                                                              std::to_string(kDataIdleSeconds) + " seconds");
    if (ready < 0 || platform::NetWaitMilliseconds(s, 0, 1) > 0)
      return Await(kPeerWaitSeconds);
    if (offset == filled) {
      long n = FSource.Read(block.get(), kSendBlock);
      if (n <= 0)
        return Failure(ExitStatus::kLocalFile, "cannot read " + FRequest.local + ": " +
                                                   (n == 0 ? "it became shorter" : SystemError(platform::LastError())));
      filled = static_cast<std::size_t>(std::min<std::int64_t>(n, due - FState.moved));
      offset = 0;
    }
    long sent = platform::NetSendNoWait(s, block.get() + offset, filled - offset);
    // A failed send usually means the server has answered and closed; what
    // it said may still be waiting to be read.
    if (sent < 0) return Await(1);
    if (sent == 0) continue;
    offset += static_cast<std::size_t>(sent);
    FState.moved += sent;
    if (FProgress && !FProgress(FState))
      return Failure(ExitStatus::kStopped, "stopped after " + Bytes(FState.moved) + "; the server keeps them for a resume");
  }

  platform::NetShutdownSend(s);
  return Await(kDataIdleSeconds);
}

TransferOutcome TUpload::Await(int seconds) {
  std::int32_t code = 0;
  const ServerAnswer answer = ReadAnswer(FSession.Socket(), seconds, code);
  return Answered(answer, code);
}

TransferOutcome TUpload::Answered(ServerAnswer answer, std::int32_t code) {
  const std::int64_t due = FLocalSize - FState.start;
  const std::string when = " after " + Bytes(FState.moved) + " of " + Bytes(due);
  switch (answer) {
    case ServerAnswer::kClosed:
      if (FState.moved == due) {
        TransferOutcome done;
        done.message = FState.moved == 0 ? FRequest.remote + " is complete on the server already"
                                         : "sent " + Bytes(FState.moved) + " to " + FRequest.remote;
        return done;
      }
      return Failure(ExitStatus::kIncomplete, "the server closed the connection" + when);
    case ServerAnswer::kErrorHeader: {
      TransferOutcome outcome = Refusal("upload to " + FRequest.remote, code);
      outcome.message += when;
      return outcome;
    }
    case ServerAnswer::kTimedOut:
      return Failure(ExitStatus::kConnection, "the server did not end the upload" + when);
    case ServerAnswer::kBroken:
      return Failure(ExitStatus::kConnection, "the connection broke" + when);
    case ServerAnswer::kUnexpected:
      break;
  }
  return Failure(ExitStatus::kConnection, "unexpected bytes from the server" + when);
}

TransferOutcome TUpload::Finished(TransferOutcome outcome) const {
  outcome.start = FState.start;
  outcome.moved = FState.moved;
  return outcome;
}

}  // namespace

TransferOutcome RunUpload(const TransferRequest& request, const ProgressFn& progress) {
  return TUpload(request, progress).Run();
}

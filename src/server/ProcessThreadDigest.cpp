// The digest conversation, which lets a client prove that a resume continues
// the same bytes: the request "DG01" with its command body, the same
// confinement as a download, then the reply "DG01" with the result code and,
// after 0, "DG02" announcing the body "FILEPOS=n" CR LF "SHA256=hex": the
// length of the prefix and its block digest (transfer/BlockDigest.h).
//
// REMOTEFILENAME names the file as for a download; FILEPOS is the length of
// the prefix, 0 or missing for the whole file; USERNO (and any TOKEN) are
// read as a download reads them. Only clients that know the handshake
// "DGST" ever come here, so the other conversations are unchanged.

#include <array>
#include <cstring>

#include "base/DailyLog.h"
#include "base/Format.h"
#include "platform/Files.h"
#include "platform/UniqueHandle.h"
#include "server/Confinement.h"
#include "server/DigestRecord.h"
#include "server/DigestTurns.h"
#include "server/FileHelpers.h"
#include "server/ProcessThread.h"
#include "server/UploadWriters.h"
#include "transfer/BlockDigest.h"
#include "transfer/CommandBody.h"
#include "transfer/uGlobal.h"

namespace {

// A request waits this long for its turn, well inside the client's wait for
// the reply, and is then answered busy so that the client can ask again.
constexpr int kTurnWaitSeconds = 5;
// An upload whose connection has closed lets go of its file once its
// directory entry is settled, which takes moments; a client's final check
// must not find the file moved away or its size not yet current.
constexpr int kCompletionWaitSeconds = 5;

long long Wide(std::int64_t value) { return static_cast<long long>(value); }

// The prefix that a request names: FILEPOS, or the whole file for 0. Result
// 0, 2 (no regular file) or 9 (a FILEPOS beyond the end, or negative).
std::int32_t PrefixLength(const TFile& file, std::int64_t& length, std::string& error) {
  const std::int64_t size = GetFileSize64(file.FileName);
  if (size < 0) {
    error = "no regular file";
    return rcFileNotFound;
  }
  if (file.FilePos < 0 || file.FilePos > size) {
    error = Format("FILEPOS %lld outside the file's %lld bytes", Wide(file.FilePos), Wide(size));
    return rcSizeMismatch;
  }
  length = file.FilePos == 0 ? size : file.FilePos;
  return rcSuccess;
}

// The digest of the first `length` bytes of the file; 0, 9 (the file became
// shorter), 10, 12 or 20 (no memory for the read buffer or the hash).
std::int32_t ComputeDigest(const std::string& name, std::int64_t length, TDigest& digest, std::string& error) {
  // Only a regular file is opened: a FIFO put in its place would block.
  const platform::UniqueFile file(platform::RegularFileSize(name) < 0
                                      ? platform::kNoFile
                                      : platform::OpenFile(name, platform::OpenMode::kReadExisting));
  if (!file.valid()) {
    error = Format("open error %d", platform::LastError());
    return rcOpenFile;
  }
  switch (KeptDigest(name, file.get(), length, digest)) {
    case DigestStatus::kDone:
      return rcSuccess;
    case DigestStatus::kShortFile:
      error = Format("the file became shorter than %lld bytes", Wide(length));
      return rcSizeMismatch;
    case DigestStatus::kReadFailed:
      error = Format("read error %d", platform::LastError());
      return rcReadFile;
    case DigestStatus::kNoMemory:
      break;
  }
  error = "no memory for the digest";
  return rcGeneral;
}

}  // namespace

void TProcessThread::doDigest() {
  MsgHeader header;
  if (!ReadRequestHeader("doDigest", "DG01", "Digest header recv", header)) return;

  // One byte more than the largest body, so the text always ends in a zero.
  std::array<char, MAX_BLOCK_SIZE + 1> body{};
  if (!ReadBuffer(FSocket, body.data(), header.SIZE, kPeerWaitSeconds).Ok()) {
    WriteLog(FConfig->LogPath, Format("%s-doDigest(): failed. %s, %s", ClientAddress().c_str(),
                                      ResultText(rcReadTimeout).c_str(), "Digest command body recv"));
    return;
  }
  const TCommandBody request(body.data(), std::strlen(body.data()));
  TFile file;
  file.SetFileData(request.Int32("USERNO"), request.Int32("FILENO"), request.Value("REMOTEFILENAME"), 0);
  file.FilePos = request.Int64("FILEPOS");
  // A digest moves no file bytes: it shows as its file, checked.
  FMembership.Progress().SetFile(file.FileName, 0, 0);

  std::string error;
  std::int64_t length = 0;
  TDigest digest{};
  TDigestTurn turn;
  // The lists and the roots are checked first, so that a refused client is
  // not even told whether the file exists. A digest reads the file, so it
  // is a download to the lists.
  std::int32_t result = rcNoPermission;
  const std::string refusal = AccessRefusal(TAccessDirection::kDownload, file, request, true);
  if (!refusal.empty()) {
    error = "refused by " + refusal;
  } else if (OutsideRoots(file.FileName)) {
    error = "outside every root";
  } else {
    TUploadClaim::AwaitCompletion(file.FileName, kCompletionWaitSeconds);
    result = PrefixLength(file, length, error);
    if (result == rcSuccess && turn.Take(kTurnWaitSeconds)) {
      result = ComputeDigest(file.FileName, length, digest, error);
    } else if (result == rcSuccess) {
      result = rcBusy;
      error = Format("busy, %d digests running", TDigestTurn::kAtOnce);
    }
  }
  if (result != rcSuccess)
    WriteLog(FConfig->LogPath, Format("%s-doDigest(%s): failed, %s, %s", ClientAddress().c_str(),
                                      file.FileName.c_str(), ResultText(result).c_str(), error.c_str()));

  header.SIZE = result;
  if (!WriteHeader(FSocket, header, kPeerWaitSeconds).Ok()) {
    WriteLog(FConfig->LogPath, Format("%s-doDigest(%s): failed. %s, %s", ClientAddress().c_str(),
                                      file.FileName.c_str(), ResultText(rcWriteTimeout).c_str(), "Digest header send"));
    return;
  }
  if (result != rcSuccess) return;

  const std::string answer = Format("FILEPOS=%lld\r\nSHA256=%s", Wide(length), DigestHex(digest).c_str());
  if (!WriteHeader(FSocket, MakeHeader("DG02", static_cast<std::int32_t>(answer.size())), kPeerWaitSeconds).Ok() ||
      !WriteBuffer(FSocket, answer.data(), static_cast<int>(answer.size()), kPeerWaitSeconds).Ok())
    WriteLog(FConfig->LogPath, Format("%s-doDigest(%s): failed. %s, %s", ClientAddress().c_str(),
                                      file.FileName.c_str(), ResultText(rcWriteTimeout).c_str(), "Digest send"));
}

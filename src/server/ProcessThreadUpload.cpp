// The upload conversation: the disk check, the resume offer and the client's
// position ("UP01", "UP02", "UP03"), then the file data, written in place
// under the file's own name, and the completion steps with the report.

#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <vector>

#include "base/DailyLog.h"
#include "base/Format.h"
#include "platform/Clock.h"
#include "platform/Files.h"
#include "platform/Pages.h"
#include "platform/Paths.h"
#include "platform/UniqueHandle.h"
#include "server/Confinement.h"
#include "server/DigestRecord.h"
#include "server/ErrorHeader.h"
#include "server/FileHelpers.h"
#include "server/Metrics.h"
#include "server/ProcessThread.h"
#include "server/Reports.h"
#include "server/SharedWriter.h"
#include "server/TransferPace.h"
#include "server/UploadDigest.h"
#include "transfer/CommandBody.h"
#include "transfer/uGlobal.h"

namespace {

// How long a newer upload of a file waits for the older one to let go: its
// client waits 10 seconds for the reply, and must have it well before.
constexpr int kTakeOverSeconds = 5;
// Gives the finished file's directory entry time to settle before the web
// service hears of it and looks at the file.
constexpr unsigned kReportPauseMilliseconds = 5000;
// Every received block is flushed to the disk before the next one is
// written, so that the size on disk, from which an interrupted upload
// resumes, never runs ahead of the data really there. A receive takes what
// has arrived, up to this much: while one flush runs, the next block piles
// up in the socket, and the slower the disk, the fewer and larger the
// flushes.
constexpr std::size_t kReceiveBlock = 1 << 20;

struct ReceiveBlocksDeleter {
  void operator()(char* blocks) const { platform::FreePages(blocks, 2 * kReceiveBlock); }
};

// A command body buffer: one byte more than the largest body, so that the
// received text always ends in a zero byte.
struct BodyBuffer {
  char bytes[MAX_BLOCK_SIZE + 1];
  void Clear() { std::memset(bytes, 0, sizeof bytes); }
  TCommandBody Parse() const { return TCommandBody(bytes, std::strlen(bytes)); }
};

// A name that exists but is no regular file is never opened: a FIFO would
// block the worker, and writing into a device is never meant. The file is
// opened as it is: nothing is cut before this connection is its only writer.
platform::FileHandle OpenTarget(const std::string& name) {
  if (platform::Exists(name) && platform::RegularFileSize(name) < 0) return platform::kNoFile;
  return platform::OpenFile(name, platform::OpenMode::kWriteKeep);
}

// The line of a write, flush or close that failed: the data are not (all)
// on the disk.
std::string WriteFailure(const char* step, const std::string& name, int error, const char* what) {
  return Format("%s(%s): failed. %s, %d%s", step, name.c_str(), ResultText(rcWriteFile).c_str(), error, what);
}

// Writes and then flushes one block at a time on a thread of its own, so
// that the next block is received and hashed while the disk takes this one,
// and after each flush brings the digest record up to date with the blocks
// it completed. A block is handed over only after the one before it is
// written and flushed: the disk sees the same writes and flushes, in the
// same order, as from one thread. When its thread cannot be made, the
// writer works in the caller's thread.
class TBlockWriter : public TThread {
 public:
  TBlockWriter(platform::FileHandle file, TUploadDigest& digest) : FFile(file), FDigest(digest) {}
  ~TBlockWriter() override { Stop(); }

  // False when the writer works in the caller's thread.
  bool Start() {
    try {
      Resume();
      FThreaded = true;
    } catch (...) {
    }
    return FThreaded;
  }

  // Writes `data` where the file stands, flushes it and records `blocks`,
  // the digests of the whole blocks that it completes; the caller keeps
  // `data` unchanged until Wait has returned.
  void Put(const char* data, std::size_t length, std::vector<TDigest> blocks) {
    if (!FThreaded) {
      WriteAndFlush(data, length, blocks);
      return;
    }
    std::lock_guard<std::mutex> lock(FLock);
    FData = data;
    FLength = length;
    FBlocks = std::move(blocks);
    FChanged.notify_all();
  }

  // Waits for the block of the last Put. False, with the failure's line,
  // when it could not be written or flushed.
  bool Wait(const std::string& name, std::string& error) {
    std::unique_lock<std::mutex> lock(FLock);
    FChanged.wait(lock, [this] { return FData == nullptr; });
    if (FFailedStep == nullptr) return true;
    error = WriteFailure(FFailedStep, name, FError, FFailedStep == kFlushStep ? ", flush" : "");
    return false;
  }

  void Stop() {
    if (!FThreaded) return;
    {
      std::lock_guard<std::mutex> lock(FLock);
      FStopping = true;
      FChanged.notify_all();
    }
    WaitFor();
    FThreaded = false;
  }

 protected:
  void Execute() override {
    std::unique_lock<std::mutex> lock(FLock);
    for (;;) {
      FChanged.wait(lock, [this] { return FData != nullptr || FStopping; });
      if (FData == nullptr) return;
      const char* data = FData;
      const std::size_t length = FLength;
      const std::vector<TDigest> blocks = std::move(FBlocks);
      lock.unlock();
      WriteAndFlush(data, length, blocks);
      lock.lock();
      FData = nullptr;
      FChanged.notify_all();
    }
  }

 private:
  // A failed write is still followed by the flush of what did reach the file.
  // The record stops at the first failure (the upload ends there too).
  void WriteAndFlush(const char* data, std::size_t length, const std::vector<TDigest>& blocks) {
    if (!platform::WriteFile(FFile, data, length)) Failed(kWriteStep);
    if (!platform::FlushFile(FFile)) Failed(kFlushStep);
    if (FFailedStep == nullptr) FDigest.Record(FFile, blocks);
  }

  void Failed(const char* step) {
    if (FFailedStep != nullptr) return;
    FFailedStep = step;
    FError = platform::LastError();
  }

  static constexpr const char* kWriteStep = "doInternalUpload10";
  static constexpr const char* kFlushStep = "doInternalUpload13";

  platform::FileHandle FFile;
  TUploadDigest& FDigest;
  bool FThreaded = false;
  std::mutex FLock;
  std::condition_variable FChanged;
  const char* FData = nullptr;
  std::size_t FLength = 0;
  std::vector<TDigest> FBlocks;
  bool FStopping = false;
  // The first write or flush that failed, and its error number.
  const char* FFailedStep = nullptr;
  int FError = 0;
};

// Receives until the announced size has arrived or the client closes. The
// count covers this connection's bytes only, so a resumed upload normally
// ends by the client's close. Each block but the last is hashed and then
// written and flushed while the next one is received and hashed into the
// other buffer; `buffers[1]` is null when there is only one, and each block
// is then written before the next receive. A failed write or flush ends the
// loop with 13 once its block has been counted; the digests then hold bytes
// that may not be on the disk and are neither recorded nor reported again,
// and the record stays as it was after the last flush. `pace` sets how much
// each receive takes and the wait after it; the client's sends then wait for
// the room this leaves in the socket. The last block, the one that completes the
// count or the first received after a newer upload's or the operator's cut,
// is written here and flushed by the caller; a failed write of it ends with
// 13 too. On return with any result but 13 every received byte has been
// written and hashed.
std::int32_t ReceiveFileData(TConnection& connection, char* const buffers[2], std::size_t size, platform::FileHandle handle,
                             const TFile& file, const TUploadClaim& claim, TTransferPace& pace, TUploadDigest& digest,
                             TTransferProgress& progress, std::string& error) {
  const auto cut = [&claim, &progress] { return claim.WasCut() || progress.WasCut(); };
  const auto expected = static_cast<std::uint64_t>(file.FileSize);
  std::uint64_t received = 0;
  TBlockWriter writer(handle, digest);
  const bool overlap = buffers[1] != nullptr && writer.Start();
  bool pending = false;
  std::size_t step = pace.Next(0, size);
  for (int current = 0;; current = overlap ? 1 - current : 0) {
    const long n = connection.Receive(buffers[current], step);
    if (n > 0) digest.Add(buffers[current], static_cast<std::size_t>(n));
    if (pending && !writer.Wait(file.FileName, error)) return rcWriteFile;
    // A newer upload of the file, or the operator, ends this one as if its
    // client had closed.
    if (n == 0 || (n < 0 && cut())) return rcSuccess;
    if (n < 0) {
      error = Format("doInternalUpload9(%s): failed. %s, %s", file.FileName.c_str(),
                     ResultText(rcReadTimeout).c_str(), "Upload data recv");
      return rcReadTimeout;
    }
    received += static_cast<std::uint64_t>(n);
    Metrics().BytesReceived += static_cast<std::uint64_t>(n);
    progress.Moved(static_cast<std::uint64_t>(n));
    // The cut does not end a receive while the client keeps sending (Linux),
    // so it is looked at after every one.
    if (received >= expected || cut()) {
      if (platform::WriteFile(handle, buffers[current], static_cast<std::size_t>(n))) return rcSuccess;
      error = WriteFailure("doInternalUpload10", file.FileName, platform::LastError(), "");
      return rcWriteFile;
    }
    writer.Put(buffers[current], static_cast<std::size_t>(n), digest.TakeNewBlocks());
    pending = true;
    step = pace.Next(static_cast<std::size_t>(n), size);
  }
}

// The name with every occurrence of its extension (from the last "." of the
// last component on) removed, wherever it stands in the path.
std::string ShortName(const std::string& name) {
  const std::string component = name.substr(platform::DirectoryPart(name).size());
  const std::size_t dot = component.rfind('.');
  if (dot == std::string::npos) return name;
  const std::string extension = component.substr(dot);
  std::string result = name;
  for (std::size_t at = 0; (at = result.find(extension, at)) != std::string::npos;) result.erase(at, extension.size());
  return result;
}

// Moving a file away and back makes Windows bring its directory entry, and
// the size that others read from it, up to date. The move back follows only a
// move away that succeeded: a file already under the short name is never
// moved onto the upload's name.
void RefreshDirectoryEntry(const std::string& logPath, const std::string& name) {
  const std::int64_t before = GetFileSize64(name);
  const std::string shortName = ShortName(name);
  if (platform::MoveNoReplace(name, shortName)) platform::MoveNoReplace(shortName, name);
  const std::int64_t after = GetFileSize64(name);
  WriteLog(logPath, Format("doUpload(%s,%lld): renamed %s, %lld", name.c_str(), static_cast<long long>(before),
                           shortName.c_str(), static_cast<long long>(after)));
}

// The digest of the completed file of `size` bytes in hex: the upload's own
// when it kept one (a resume from where no record reached keeps none), or
// else read. Empty when the file cannot be read.
std::string CompletedDigest(const std::string& name, std::int64_t size, const TDigest* kept) {
  if (kept != nullptr) return DigestHex(*kept);
  const platform::UniqueFile file(platform::OpenFile(name, platform::OpenMode::kReadExisting));
  TDigest digest{};
  if (!file.valid() || KeptDigest(name, file.get(), size, digest) != DigestStatus::kDone) return {};
  return DigestHex(digest);
}

// Measures, logs and reports the file after the data phase, and lets go of
// it once its directory entry is refreshed: an upload waiting for the file
// never finds the name moved away. A complete file turns a failed receive
// into success, never a failed write, flush or close (13): its bytes may not
// be on the disk. Otherwise the result stays; `endedEarly` tells an upload
// that ended short of its size without a failure. A completion line that
// cannot be written makes the result 14, and the report of the upload's own
// outcome still goes out.
std::int32_t CompleteUpload(const TServerConfig& config, const TFile& file, std::int32_t result, std::string& error, const std::string& address,
                            TUploadClaim& claim, const TDigest* digest, bool& endedEarly) {
  const std::string& name = file.FileName;
  if (platform::RefreshesDirectoryEntries()) RefreshDirectoryEntry(config.LogPath, name);
  claim.Release();
  platform::NotifyDirectoryChanged(platform::DirectoryPart(name));

  const std::int64_t finalSize = GetFileSize64(name);
  endedEarly = false;
  if (finalSize == file.FileSize && result != rcWriteFile) {
    result = rcSuccess;
    error = Format("Upload Complete(%s)", name.c_str());
  } else {
    error += "\r\n" + Format("Upload Fail(%s) %lld / %lld", name.c_str(), static_cast<long long>(finalSize),
                             static_cast<long long>(file.FileSize));
    endedEarly = result == rcSuccess;
  }
  const bool logged = WriteLog(config.LogPath, Format("%s-doUpload: %s", address.c_str(), error.c_str()));

  platform::SleepMilliseconds(kReportPauseMilliseconds);
  const std::string sha256 =
      config.Report.Digest && result == rcSuccess && !endedEarly ? CompletedDigest(name, finalSize, digest) : "";
  SendUploadCompleteReport(config.ReportHost, result, file.FileNo, finalSize, name, config.Report, sha256);
  if (logged) return result;
  error = Format("doInternalUpload11(%s): failed. %s, %s", name.c_str(), ResultText(rcCloseFile).c_str(),
                 "completion line not written");
  return rcCloseFile;
}

}  // namespace

void TProcessThread::doUpload() {
  TFile file;

  MsgHeader header;
  if (!ReadRequestHeader("doUpload", "UP01", "Upload header recv", header)) return;

  std::string error;
  const std::int32_t check = doDiskCheck(header, file, error);
  if (check != rcSuccess) {
    CountUpload(check);
    WriteLog(FConfig->LogPath, Format("%s-doUpload(): failed, %s, %s, doDiskCheck", LogPeer().c_str(),
                             ResultText(check).c_str(), error.c_str()));
    return;
  }
  bool endedEarly = false;
  const std::int32_t result = doInternalUpload(file, endedEarly, error);
  CountUpload(result, endedEarly);
  if (result != rcSuccess)
    WriteLog(FConfig->LogPath, Format("%s-doUpload(): failed, %s e:20", LogPeer().c_str(), error.c_str()));
}

std::int32_t TProcessThread::doDiskCheck(MsgHeader header, TFile& file, std::string& error) {
  std::int32_t result = CheckRequest(header, file, error);
  if (result != rcSuccess) return result;
  std::int64_t offered = 0;
  result = OfferResume(file, offered, error);
  if (result != rcSuccess) return result;
  return TakeResumePosition(file, offered, error);
}

std::int32_t TProcessThread::CheckRequest(MsgHeader header, TFile& file, std::string& error) {
  BodyBuffer body;
  body.Clear();
  if (!FConnection.Read(body.bytes, header.SIZE, kPeerWaitSeconds).Ok()) {
    error = Format("doDiskCheck(): failed. %s, %s", ResultText(rcReadTimeout).c_str(), "Upload command body recv");
    return rcReadTimeout;
  }
  const TCommandBody request = body.Parse();
  file.SetFileData(request.Int32("USERNO"), request.Int32("FILENO"), request.Value("REMOTEFILENAME"),
                   request.Int64("FILESIZE"));
  FMembership.Progress().SetFile(file.FileName, 0, file.FileSize);
  const char* name = file.FileName.c_str();

  // The whole size must fit; bytes already on disk are not deducted.
  // The lists come first, so that a refused client learns nothing of the
  // disk or of which files exist.
  std::int32_t result = rcSuccess;
  const std::string refusal = AccessRefusal(TAccessDirection::kUpload, file, request);
  if (!refusal.empty() || OutsideRoots(file.FileName)) {
    result = rcNoPermission;
  } else {
    const std::int64_t freeBytes = GetDiskFreeBytes(platform::DrivePart(file.FileName));
    if (freeBytes == -1)
      result = rcNoDisk;
    else if (file.FileSize > freeBytes)
      result = rcDiskFull;
  }
  header.SIZE = result;
  const IoResult sent = FConnection.WriteHeader(header, kPeerWaitSeconds);
  if (!sent.Ok()) {
    error = Format("doDiskCheck(%s): failed. %s, %s", name, SocketResultText(SocketCall::kWrite, sent).c_str(),
                   "DiskCheck header send");
    return rcWriteTimeout;
  }
  if (result != rcSuccess) error = Format("doDiskCheck(%s): failed. %s", name, ResultText(result).c_str());
  if (!refusal.empty()) error += ", refused by " + refusal;
  return result;
}

std::int32_t TProcessThread::ReadStepHeader(const char* name, const char* command, const char* what,
                                           MsgHeader& header, std::string& error) {
  if (!FConnection.ReadHeader(header, kPeerWaitSeconds).Ok()) {
    error = Format("doDiskCheck(%s): failed. %s, %s", name, ResultText(rcReadTimeout).c_str(), what);
    return rcReadTimeout;
  }
  if (!IsCommand(header, command)) {
    NoteBadEvent();
    error = Format("doDiskCheck(%s): failed, incorrect command, %s", name, CommandText(header).c_str());
    return rcProtocol;
  }
  return rcSuccess;
}

std::int32_t TProcessThread::OfferResume(const TFile& file, std::int64_t& offered, std::string& error) {
  const char* name = file.FileName.c_str();
  MsgHeader header;
  const std::int32_t asked = ReadStepHeader(name, "UP02", "Upload request header recv", header, error);
  if (asked != rcSuccess) return asked;

  // The offer is read once; a change of the file after this is not seen.
  // An older upload of the file may still be writing it: the file only
  // grows, so any position up to the offer stays valid.
  const std::int64_t size = GetFileSize64(file.FileName);
  offered = size < 0 ? 0 : size;
  const std::string offer = Format("FILEPOS=%lld", static_cast<long long>(offered));
  header.SIZE = static_cast<std::int32_t>(offer.size());
  if (!FConnection.WriteHeader(header, kPeerWaitSeconds).Ok()) {
    error = Format("doDiskCheck(%s): failed. %s, %s", name, ResultText(rcWriteTimeout).c_str(),
                   "Upload request header send");
    return rcWriteTimeout;
  }
  BodyBuffer body;
  body.Clear();
  std::memcpy(body.bytes, offer.data(), offer.size());
  if (!FConnection.Write(body.bytes, header.SIZE, kPeerWaitSeconds).Ok()) {
    error = Format("doDiskCheck(%s): failed. %s, %s", name, ResultText(rcWriteTimeout).c_str(), "Upload request send");
    return rcWriteTimeout;
  }
  return rcSuccess;
}

std::int32_t TProcessThread::TakeResumePosition(TFile& file, std::int64_t offered, std::string& error) {
  const char* name = file.FileName.c_str();
  MsgHeader header;
  const std::int32_t told = ReadStepHeader(name, "UP03", "Upload pointer header recv", header, error);
  if (told != rcSuccess) return told;
  BodyBuffer body;
  body.Clear();
  const IoResult read = FConnection.Read(body.bytes, header.SIZE, kPeerWaitSeconds);
  if (!read.Ok()) {
    if (read.status == platform::IoStatus::kTooLong) NoteBadEvent();
    error = Format("doDiskCheck(%s): failed. %s, %s", name, ResultText(rcReadTimeout).c_str(), "Upload pointer recv");
    return rcReadTimeout;
  }
  file.FilePos = body.Parse().Int64("FILEPOS");

  const std::int32_t result = file.FilePos > offered ? rcSizeMismatch : rcSuccess;
  // Only an upload that commits to write ends an older one of the file: a
  // client that only asks for the offer, or whose position is refused,
  // leaves it alone. When the older one does not let go in time, the data
  // phase is refused.
  if (result == rcSuccess && file.FilePos != file.FileSize)
    FUploadClaim.Claim(file.FileName, FConnection.Socket(), kTakeOverSeconds);
  header.SIZE = result;
  if (!FConnection.WriteHeader(header, kPeerWaitSeconds).Ok()) {
    error = Format("doDiskCheck(%s): failed. %s, %s", name, ResultText(rcWriteTimeout).c_str(), "Upload pointer send");
    return rcWriteTimeout;
  }
  return result;
}

std::int32_t TProcessThread::doInternalUpload(TFile& file, bool& endedEarly, std::string& error) {
  const std::string& name = file.FileName;
  const std::string directory = platform::DirectoryPart(name);
  if (directory.empty() || !platform::CreateDirectories(directory)) {
    error = Format("doInternalUpload1(%s): failed. %s, %d", name.c_str(), ResultText(rcMakeDirectory).c_str(),
                   platform::LastError());
    return SendErrorHeader(FConnection, rcMakeDirectory, "doInternalUpload2", "MakeDirectory error header send", name,
                           error);
  }
  // Nothing is missing: the file is neither opened nor reported.
  if (file.FilePos == file.FileSize) return rcSuccess;

  if (!FUploadClaim.Held()) {
    error = Format("doInternalUpload3(%s): failed. %s, %s", name.c_str(), ResultText(rcOpenFile).c_str(),
                   "file in use by another upload");
    return SendErrorHeader(FConnection, rcOpenFile, "doInternalUpload4", "CreateFile error header send", name, error);
  }
  platform::UniqueFile handle(OpenTarget(name));
  if (!handle.valid()) {
    error = Format("doInternalUpload3(%s): failed. %s, %d", name.c_str(), ResultText(rcOpenFile).c_str(),
                   platform::LastError());
    return SendErrorHeader(FConnection, rcOpenFile, "doInternalUpload4", "CreateFile error header send", name, error);
  }
  if (file.FilePos > file.FileSize) {
    error = Format("doInternalUpload5(%s): failed. FilePos is bigger than FileSize, %lld>%lld", name.c_str(),
                   static_cast<long long>(file.FilePos), static_cast<long long>(file.FileSize));
    return SendErrorHeader(FConnection, rcSizeMismatch, "doInternalUpload6", "size mismatch error header send", name,
                           error);
  }
  if (!SetFilePos(handle.get(), file.FilePos)) {
    error = Format("doInternalUpload7(%s): failed. %s, %d", name.c_str(), ResultText(rcSeekFile).c_str(),
                   platform::LastError());
    return SendErrorHeader(FConnection, rcSeekFile, "doInternalUpload8", "SetFilePos error header send", name, error);
  }

  // An upload of the file on another instance that shares the volume ends
  // as if its client had closed before this one writes.
  TSharedWriter sharedWriter;
  const TSharedWriter::Result writer =
      sharedWriter.Acquire(handle.get(), [this] { FUploadClaim.CutForNewerWriter(); }, kTakeOverSeconds);
  if (writer != TSharedWriter::Result::kWriter) {
    error = writer == TSharedWriter::Result::kInUse
                ? Format("doInternalUpload3(%s): failed. %s, %s", name.c_str(), ResultText(rcOpenFile).c_str(),
                         "file in use by an upload on another instance")
                : Format("doInternalUpload3(%s): failed. %s, lock %d", name.c_str(), ResultText(rcOpenFile).c_str(),
                         sharedWriter.Error());
    return SendErrorHeader(FConnection, rcOpenFile, "doInternalUpload4", "CreateFile error header send", name, error);
  }
  TUploadDigest digest;
  digest.Begin(name, handle.get(), file.FilePos);
  const std::int32_t prepared = CutToPosition(handle.get(), file, error);
  if (prepared != rcSuccess) return prepared;
  digest.Start(handle.get());

  // From here until every received byte is written and flushed, the
  // connection ends with a reset, also when the process ends: the client
  // then sees an error and resumes, never a normal close that it would take
  // for a finished upload.
  FConnection.SetAbortiveClose(true);
  // The large blocks exist only while data arrive, so neither an idle
  // connection nor the completion's pause holds them; when they cannot be
  // had, the connection's own buffer serves.
  std::unique_ptr<char, ReceiveBlocksDeleter> blocks(static_cast<char*>(platform::AllocatePages(2 * kReceiveBlock)));
  char* const buffers[2] = {blocks ? blocks.get() : FBuffer.get(), blocks ? blocks.get() + kReceiveBlock : nullptr};
  std::int32_t result = rcSuccess;
  FMembership.Progress().StartData(file.FilePos);
  {
    // Shares the upload total while data arrive, not in the completion.
    TTransferPace pace(FConfig->Limits.Upload, FRates.Upload);
    result = ReceiveFileData(FConnection, buffers, blocks ? kReceiveBlock : MAX_BLOCK_SIZE, handle.get(), file,
                             FUploadClaim, pace, digest, FMembership.Progress(), error);
  }
  FMembership.Progress().SetState(TTransferState::kCompletion);
  blocks.reset();
  if (!platform::FlushFile(handle.get()) && result != rcWriteFile) {
    result = rcWriteFile;
    error = WriteFailure("doInternalUpload13", name, platform::LastError(), ", flush");
  }
  TDigest whole{};
  const bool digested = result != rcWriteFile && digest.Finish(handle.get(), whole);
  sharedWriter.Release();
  // Closed before the connection ends and the completion measures, and may
  // move, the file.
  if (!platform::CloseFile(handle.release()) && result != rcWriteFile) {
    result = rcWriteFile;
    error = WriteFailure("doInternalUpload14", name, platform::LastError(), ", close");
  }
  if (result != rcWriteFile) FConnection.SetAbortiveClose(false);
  CloseConnection();
  return CompleteUpload(*FConfig, file, result, error, LogPeer(), FUploadClaim, digested ? &whole : nullptr,
                        endedEarly);
}

std::int32_t TProcessThread::CutToPosition(platform::FileHandle handle, const TFile& file, std::string& error) {
  const std::string& name = file.FileName;
  // Only now, as the file's only writer here and across instances, is its
  // size certain: an upload from 0 that committed after this client's offer
  // may have emptied it.
  const std::int64_t size = platform::OpenFileSize(handle);
  if (file.FilePos > size) {
    error = Format("doInternalUpload5(%s): failed. FilePos is bigger than the file's size, %lld>%lld", name.c_str(),
                   static_cast<long long>(file.FilePos), static_cast<long long>(size));
    return SendErrorHeader(FConnection, rcSizeMismatch, "doInternalUpload6", "size mismatch error header send", name,
                           error);
  }
  // Bytes beyond the position are an older upload's: the file is this
  // upload's from the position on.
  if (!platform::EndFileHere(handle)) {
    error = WriteFailure("doInternalUpload12", name, platform::LastError(), ", truncate");
    return SendErrorHeader(FConnection, rcWriteFile, "doInternalUpload12", "truncate error header send", name, error);
  }
  return rcSuccess;
}

// The download conversation: the request "DL01" with its command body, the
// file check and its reply, then the file's bytes from the client's position
// to the end of the file. Its steps are shared by the worker, which waits at
// each, and the listener's readiness loop, which serves a plain download
// without a thread as long as nothing has to wait (see WaitingRoom.h); the
// state between the steps (FDownload) lets a worker go on where the loop
// stopped.

#include <array>
#include <cstring>

#include "base/DailyLog.h"
#include "base/Format.h"
#include "platform/Files.h"
#include "platform/Paths.h"
#include "platform/SendFile.h"
#include "platform/SendFileNow.h"
#include "platform/UniqueHandle.h"
#include "server/Confinement.h"
#include "server/ErrorHeader.h"
#include "server/FileHelpers.h"
#include "server/Metrics.h"
#include "server/ProcessThread.h"
#include "server/Reports.h"
#include "server/TransferPace.h"
#include "transfer/CommandBody.h"
#include "transfer/uGlobal.h"

namespace {

// A file that is still being written may lag behind the size the client
// declared by less than this and still be served, so the client can resume
// it later.
constexpr std::int64_t kSizeTolerance = 10485760;
// The most one hand-over of file data to the socket moves. Where the system
// sends straight from the file, each hand-over ends with a push of what is
// left over, so steps of a megabyte leave one segment in about 700 short;
// where it reads through FBuffer, each step is one buffer full. The step is
// also how often the transfer's progress on the status port moves: a client
// reading a megabyte a second sees it every second. A step cut short by a
// failed send still reports what went out before the failure.
constexpr std::size_t kDataStep = 1 << 20;

long long Wide(std::int64_t value) { return static_cast<long long>(value); }

// Only a regular file is opened: opening a FIFO that replaced the checked
// file would block the worker for good.
platform::FileHandle OpenForReading(const std::string& name) {
  if (platform::RegularFileSize(name) < 0) return platform::kNoFile;
  return platform::OpenFile(name, platform::OpenMode::kReadExisting);
}

// The file's own name in the root of its drive.
std::string RootName(const std::string& name) {
  return platform::DrivePart(name) + platform::kPathDelimiter + name.substr(platform::DirectoryPart(name).size());
}

// Windows may show an empty directory entry for a file that has data; moving
// the file away and back brings the entry up to date. A file whose move back
// fails is not left in the root unnoticed: one more try, then a log line.
std::int64_t RefreshEmptyEntry(const std::string& logPath, const std::string& name) {
  const std::string rootName = RootName(name);
  if (platform::MoveNoReplace(name, rootName) && !platform::MoveNoReplace(rootName, name) &&
      !platform::MoveNoReplace(rootName, name))
    WriteLog(logPath, Format("doDownload(%s): move back failed, the file is now %s", name.c_str(), rootName.c_str()));
  const std::int64_t size = GetFileSize64(name);
  WriteLog(logPath, Format("doDownload(%s): renamed %s,  %lld", name.c_str(), rootName.c_str(), Wide(size)));
  return size;
}

}  // namespace

void TProcessThread::doDownload() {
  MsgHeader header;
  if (!ReadRequestHeader("doDownload", "DL01", "Download header recv", header)) return;
  // One byte more than the largest body, so the text always ends in a zero.
  std::array<char, MAX_BLOCK_SIZE + 1> body{};
  if (FConnection.Read(body.data(), header.SIZE, kPeerWaitSeconds).Ok())
    StartDownload(header, body.data());
  else
    FDownload.result = BodyNotReceived(FDownload.error);
  if (FDownload.handle.valid()) SendDownloadData(true);
  EndDownload();
}

bool TProcessThread::BeginDownloadWithoutWaiting() {
  // Whatever may wait stays a worker's: a TLS session, a balancer's client,
  // the limits' pauses, the authoriser's request, and Windows, whose file
  // check may move an empty file away and back.
  if (FTls || !FProxiedAddress.empty() || platform::RefreshesDirectoryEntries() || FConfig->Limits.Download != 0 ||
      FRates.Download || !FRules->Authorizer.Url.empty())
    return false;
  FMembership.Progress().SetDirection(0);
  return true;
}

bool TProcessThread::DownloadRequestHeader(const MsgHeader& header) {
  if (RequestHeaderAccepted("doDownload", "DL01", header)) return true;
  EndConversation();
  return false;
}

void TProcessThread::DownloadRequestMissing(bool headerWhole) {
  if (headerWhole) {
    FDownload.result = BodyNotReceived(FDownload.error);
    EndDownload();
  } else {
    RequestNotReceived("doDownload", "Download header recv");
  }
  EndConversation();
}

bool TProcessThread::DownloadWithoutWaiting(const MsgHeader& header, const char* body) {
  StartDownload(header, body);
  if (FDownload.handle.valid() && !SendDownloadData(false)) return false;
  // A failure's report may take up to 30 seconds.
  if (ReportsDownloadFailure()) return false;
  EndDownload();
  EndConversation();
  return true;
}

void TProcessThread::ContinueDownload() {
  if (FDownload.handle.valid()) SendDownloadData(true);
  EndDownload();
  EndConversation();
}

std::int32_t TProcessThread::BodyNotReceived(std::string& error) {
  error = Format("doFileCheck(): failed. %s, %s", ResultText(rcReadTimeout).c_str(), "Command body recv");
  return rcReadTimeout;
}

void TProcessThread::StartDownload(MsgHeader header, const char* body) {
  FDownload.result = doFileCheck(header, body, FDownload.file, FDownload.error);
  FDownload.checked = FDownload.result == rcSuccess;
  if (FDownload.checked) FDownload.result = OpenForDownload(FDownload.file, FDownload.handle, FDownload.error);
}

bool TProcessThread::ReportsDownloadFailure() const {
  return !FDownload.checked && (FDownload.result == rcFileNotFound || FDownload.result == rcSizeMismatch) &&
         !FConfig->ReportHost.empty();
}

void TProcessThread::EndDownload() {
  // The file is closed before the lines are written, which may take long.
  FDownload.handle.reset();
  const TFile& file = FDownload.file;
  const std::int32_t result = FDownload.result;
  const std::string& error = FDownload.error;
  if (FDownload.checked) {
    if (result != rcSuccess)
      WriteLog(FConfig->LogPath, Format("%s-doDownload(): failed, %s", LogPeer().c_str(), error.c_str()));
  } else if (result == rcFileNotFound || result == rcSizeMismatch) {
    const std::int64_t size = GetFileSize64(file.FileName);
    WriteLog(FConfig->LogPath, Format("%s-doDownload(%s): failed, %s, %s, %lld", LogPeer().c_str(),
                                      file.FileName.c_str(), ResultText(result).c_str(), error.c_str(), Wide(size)));
    // The client has its answer; the report may take up to 30 seconds.
    CloseConnection();
    SendDownloadErrorReport(FConfig->ReportHost, result, file.FileNo, size, file.FileName, FConfig->Report);
  } else {
    WriteLog(FConfig->LogPath, Format("%s-doDownload(%s): failed, %s, %s", LogPeer().c_str(), file.FileName.c_str(),
                                      ResultText(result).c_str(), error.c_str()));
  }
  CountDownload(result);
}

std::int32_t TProcessThread::doFileCheck(MsgHeader header, const char* body, TFile& file, std::string& error) {
  const TCommandBody request(body, std::strlen(body));
  file.SetFileData(request.Int32("USERNO"), request.Int32("FILENO"), request.Value("REMOTEFILENAME"),
                   request.Int64("FILESIZE"));
  file.FilePos = request.Int64("FILEPOS");
  FMembership.Progress().SetFile(file.FileName, file.FilePos, file.FileSize);

  std::int32_t result = rcSuccess;
  std::int64_t size = -1;
  // The lists and the roots are checked before the size, so that a refused
  // client is not even told whether the file exists.
  const std::string refusal = AccessRefusal(TAccessDirection::kDownload, file, request);
  if (!refusal.empty()) {
    result = rcNoPermission;
    error = Format("doFileCheck(%s): failed. %s, refused by %s", file.FileName.c_str(),
                   ResultText(rcNoPermission).c_str(), refusal.c_str());
  } else if (OutsideRoots(file.FileName)) {
    result = rcNoPermission;
    error = Format("doFileCheck(%s): failed. %s, %s", file.FileName.c_str(), ResultText(rcNoPermission).c_str(),
                   "outside every root");
  } else if ((size = GetFileSize64(file.FileName)) < 0) {
    result = rcFileNotFound;
  } else {
    if (size == 0 && platform::RefreshesDirectoryEntries()) size = RefreshEmptyEntry(FConfig->LogPath, file.FileName);
    // Only a shortfall of the whole tolerance fails; a larger file passes.
    if (file.FileSize > size && file.FileSize - size >= kSizeTolerance) {
      result = rcSizeMismatch;
      error = Format("File(%s), %lld %lld", file.FileName.c_str(), Wide(size), Wide(file.FileSize));
    }
  }

  // The reply is 8 bytes on a connection that has sent nothing else yet:
  // there is room for it, also in the readiness loop.
  header.SIZE = result;
  const IoResult written = result == rcSuccess ? FConnection.WriteHeaderBeforeData(header, kPeerWaitSeconds)
                                               : FConnection.WriteHeader(header, kPeerWaitSeconds);
  if (!written.Ok()) {
    error = Format("doFileCheck(): failed. %s, %s", ResultText(rcWriteTimeout).c_str(), "Command header send");
    return rcWriteTimeout;
  }
  return result;
}

std::int32_t TProcessThread::OpenForDownload(TFile& file, platform::UniqueFile& handle, std::string& error) {
  const std::string& name = file.FileName;
  if (file.FilePos == file.FileSize) return rcSuccess;

  handle.reset(OpenForReading(name));
  if (!handle.valid()) {
    const int openError = platform::LastError();
    error = Format("doInternalDownload1(%s): failed. %s, %d", name.c_str(), ResultText(rcOpenFile).c_str(), openError);
    return SendErrorHeader(FConnection, rcOpenFile, "doInternalDownload2", "CreateFile error header send", name, error);
  }
  if (file.FilePos > file.FileSize) {
    handle.reset();
    error = Format("doInternalDownload3(%s): failed. FilePos is bigger than FileSize, %lld>%lld", name.c_str(),
                   Wide(file.FilePos), Wide(file.FileSize));
    return SendErrorHeader(FConnection, rcSizeMismatch, "doInternalDownload", "size mismatch error header send", name,
                           error);
  }
  // A file just opened is at its start already.
  if (file.FilePos != 0 && !SetFilePos(handle.get(), file.FilePos)) {
    const int seekError = platform::LastError();
    handle.reset();
    error = Format("doInternalDownload4(%s): failed. %s, %d", name.c_str(), ResultText(rcSeekFile).c_str(), seekError);
    return SendErrorHeader(FConnection, rcSeekFile, "doInternalDownload5", "SetFilePos error header send", name, error);
  }

  // To the end of the file as it is at each read, which may differ from the
  // size the client declared.
  file.CurrentPos = file.FilePos;
  FMembership.Progress().StartData(file.FilePos);
  return rcSuccess;
}

bool TProcessThread::SendDownloadData(bool wait) {
  const std::string& name = FDownload.file.FileName;
  const platform::FileHandle handle = FDownload.handle.get();
  std::int32_t& result = FDownload.result;
  std::string& error = FDownload.error;
  // A limited download still sends straight from the file, in steps no
  // larger than its limits allow, each followed by the wait they require.
  TTransferPace pace(FConfig->Limits.Download, FRates.Download);
  bool ended = false;
  for (std::size_t n = 0;;) {
    const std::size_t step = pace.Next(n, kDataStep);
    platform::SendFileResult outcome = platform::SendFileResult::kSent;
    if (wait)
      outcome = FConnection.SendFile(handle, step, FBuffer.get(), MAX_BLOCK_SIZE, n, ended);
    else
      n = platform::SendFileNow(FConnection.Socket(), handle, step, ended);
    FDownload.sent += static_cast<std::int64_t>(n);
    Metrics().BytesSent += n;
    FMembership.Progress().Moved(n);
    if (outcome == platform::SendFileResult::kReadFailed) {
      const int readError = platform::LastError();
      error = Format("doInternalDownload7(%s): failed, %s, %d", name.c_str(), ResultText(rcReadFile).c_str(), readError);
      result = SendErrorHeader(FConnection, rcReadFile, "doInternalDownload8", "Read error header send", name, error);
      break;
    }
    if (outcome == platform::SendFileResult::kSendFailed) {
      const int sendError = FConnection.LastError();
      error = Format("doInternalDownload6: failed. %s, %lld, %lld, %d", ResultText(rcWriteTimeout).c_str(),
                     Wide(FDownload.sent), Wide(FDownload.file.FileSize), sendError);
      result = rcWriteTimeout;
      break;
    }
    // The socket is full: the rest is for a thread that may wait.
    if (!wait && !ended && n < step) return false;
    if (n == 0 || ended) break;
  }
  return true;
}

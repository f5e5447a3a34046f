// The download conversation: the request "DL01" with its command body, the
// file check and its reply, then the file's bytes from the client's position
// to the end of the file.

#include <array>
#include <cstring>

#include "base/DailyLog.h"
#include "base/Format.h"
#include "platform/Files.h"
#include "platform/Paths.h"
#include "platform/SendFile.h"
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
  TFile file;

  MsgHeader header;
  if (!ReadRequestHeader("doDownload", "DL01", "Download header recv", header)) return;

  std::string error;
  std::int32_t result = doFileCheck(header, file, error);
  if (result == rcSuccess) {
    if ((result = doInternalDownload(file, error)) != rcSuccess)
      WriteLog(FConfig->LogPath, Format("%s-doDownload(): failed, %s", LogPeer().c_str(), error.c_str()));
  } else if (result == rcFileNotFound || result == rcSizeMismatch) {
    const std::int64_t size = GetFileSize64(file.FileName);
    WriteLog(FConfig->LogPath, Format("%s-doDownload(%s): failed, %s, %s, %lld", LogPeer().c_str(),
                             file.FileName.c_str(), ResultText(result).c_str(), error.c_str(), Wide(size)));
    // The client has its answer; the report may take up to 30 seconds.
    CloseConnection();
    SendDownloadErrorReport(FConfig->ReportHost, result, file.FileNo, size, file.FileName, FConfig->Report);
  } else {
    WriteLog(FConfig->LogPath, Format("%s-doDownload(%s): failed, %s, %s", LogPeer().c_str(),
                             file.FileName.c_str(), ResultText(result).c_str(), error.c_str()));
  }
  CountDownload(result);
}

std::int32_t TProcessThread::doFileCheck(MsgHeader header, TFile& file, std::string& error) {
  // One byte more than the largest body, so the text always ends in a zero.
  std::array<char, MAX_BLOCK_SIZE + 1> body{};
  if (!FConnection.Read(body.data(), header.SIZE, kPeerWaitSeconds).Ok()) {
    error = Format("doFileCheck(): failed. %s, %s", ResultText(rcReadTimeout).c_str(), "Command body recv");
    return rcReadTimeout;
  }

  const TCommandBody request(body.data(), std::strlen(body.data()));
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

  header.SIZE = result;
  const IoResult written = result == rcSuccess ? FConnection.WriteHeaderBeforeData(header, kPeerWaitSeconds)
                                               : FConnection.WriteHeader(header, kPeerWaitSeconds);
  if (!written.Ok()) {
    error = Format("doFileCheck(): failed. %s, %s", ResultText(rcWriteTimeout).c_str(), "Command header send");
    return rcWriteTimeout;
  }
  return result;
}

std::int32_t TProcessThread::doInternalDownload(TFile& file, std::string& error) {
  const std::string& name = file.FileName;
  if (file.FilePos == file.FileSize) return rcSuccess;

  const platform::UniqueFile handle(OpenForReading(name));
  if (!handle.valid()) {
    const int openError = platform::LastError();
    error = Format("doInternalDownload1(%s): failed. %s, %d", name.c_str(), ResultText(rcOpenFile).c_str(), openError);
    return SendErrorHeader(FConnection, rcOpenFile, "doInternalDownload2", "CreateFile error header send", name, error);
  }
  if (file.FilePos > file.FileSize) {
    error = Format("doInternalDownload3(%s): failed. FilePos is bigger than FileSize, %lld>%lld", name.c_str(),
                   Wide(file.FilePos), Wide(file.FileSize));
    return SendErrorHeader(FConnection, rcSizeMismatch, "doInternalDownload", "size mismatch error header send", name,
                           error);
  }
  // A file just opened is at its start already.
  if (file.FilePos != 0 && !SetFilePos(handle.get(), file.FilePos)) {
    const int seekError = platform::LastError();
    error = Format("doInternalDownload4(%s): failed. %s, %d", name.c_str(), ResultText(rcSeekFile).c_str(), seekError);
    return SendErrorHeader(FConnection, rcSeekFile, "doInternalDownload5", "SetFilePos error header send", name, error);
  }

  // To the end of the file as it is at each read, which may differ from the
  // size the client declared.
  file.CurrentPos = file.FilePos;
  FMembership.Progress().StartData(file.FilePos);
  std::int64_t sent = 0;
  std::int32_t result = rcSuccess;
  // A limited download still sends straight from the file, in steps no
  // larger than its limits allow, each followed by the wait they require.
  TTransferPace pace(FConfig->Limits.Download, FRates.Download);
  bool ended = false;
  for (std::size_t n = 0;;) {
    const std::size_t step = pace.Next(n, kDataStep);
    const platform::SendFileResult outcome =
        FConnection.SendFile(handle.get(), step, FBuffer.get(), MAX_BLOCK_SIZE, n, ended);
    sent += static_cast<std::int64_t>(n);
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
                     Wide(sent), Wide(file.FileSize), sendError);
      result = rcWriteTimeout;
      break;
    }
    if (n == 0 || ended) break;
  }
  return result;
}

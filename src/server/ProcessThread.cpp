#include "server/ProcessThread.h"

#include <new>
#include <utility>

#include "base/DailyLog.h"
#include "base/Format.h"
#include "server/Metrics.h"
#include "transfer/uGlobal.h"

TProcessThread::TProcessThread(TSocket socket, TServerConfigPtr config, std::shared_ptr<TWorkerSet> workers,
                               TSharedRates rates, std::shared_ptr<const platform::TlsContext> tls)
    : FTls(std::move(tls)), FConfig(std::move(config)), FRates(std::move(rates)),
      FMembership(std::move(workers), socket) {
  FInitializeResult = Initialize(socket);
}

TProcessThread::~TProcessThread() {
  FUploadClaim.Release();
  if (FConnection.Valid()) CloseConnection();
}

void TProcessThread::CloseConnection() {
  // A newer upload of the file must never cut a closed socket, whose number
  // may already belong to another connection.
  FUploadClaim.SocketClosed();
  FClosedPeerAddress = ClientAddress();
  FMembership.Closing();
  FConnection.Close();
}

std::string TProcessThread::ClientAddress() const {
  if (!FProxiedAddress.empty()) return FProxiedAddress;
  return FConnection.Valid() ? GetPeerAddress(FConnection.Socket()) : FClosedPeerAddress;
}

std::string TProcessThread::LogPeer() const {
  if (FCertificateName.empty()) return ClientAddress();
  return ClientAddress() + " cert=" + FCertificateName;
}

bool TProcessThread::StartTls() {
  const int idle = FConfig->Listen.IdleTimeout;
  const int seconds = idle > 0 && idle < kPeerWaitSeconds ? idle : kPeerWaitSeconds;
  // Taken first: a peer that gave up has no address any more.
  const std::string peer = ClientAddress();
  const IoResult result = FConnection.StartTls(FTls, seconds * 1000);
  if (result.Ok()) {
    FCertificateName = FConnection.PeerCommonName();
    return true;
  }
  ++Metrics().TlsHandshakeFailures;
  WriteLog(FConfig->LogPath, Format("%s-TLS handshake failed, %s", peer.c_str(),
                                    FConnection.ResultText(SocketCall::kRead, result).c_str()));
  return false;
}

std::string TProcessThread::AccessRefusal(TAccessDirection direction) const {
  std::string rule = FConfig->Access.Refusal(direction, ClientAddress());
  if (!rule.empty()) ++Metrics().AccessRefusedList;
  return rule;
}

std::int32_t TProcessThread::Initialize(TSocket socket) {
  FConnection.Reset(socket);
  FBuffer.reset(new (std::nothrow) char[MAX_BLOCK_SIZE]);
  if (!FBuffer) {
    WriteLog(FConfig->LogPath, Format("%s-Initialize(): failed. %s, %s", GetPeerAddress(FConnection.Socket()).c_str(),
                             ResultText(rcGeneral).c_str(), "mem alloc error"));
    return rcGeneral;
  }
  return rcSuccess;
}

std::int32_t TProcessThread::Validate(std::uint8_t& direction) {
  MsgHeader header;
  if (!FConnection.ReadHeader(header, kPeerWaitSeconds).Ok()) {
    WriteLog(FConfig->LogPath, Format("%s-Validate(): failed. %s, %s", LogPeer().c_str(),
                             ResultText(rcReadTimeout).c_str(), "Validate header recv"));
    return rcReadTimeout;
  }

  std::int32_t result = rcSuccess;
  if (IsCommand(header, "DNLD"))
    direction = 0;
  else if (IsCommand(header, "UPLD"))
    direction = 1;
  else if (IsCommand(header, "DGST"))
    direction = 2;
  else
    result = rcProtocol;

  // The reply keeps the letters as they came, also for a mismatch.
  header.SIZE = result;
  if (!FConnection.WriteHeader(header, kPeerWaitSeconds).Ok()) {
    WriteLog(FConfig->LogPath, Format("%s-Validate(): failed. %s, %s", LogPeer().c_str(),
                             ResultText(rcWriteTimeout).c_str(), "Validate header send"));
    return rcWriteTimeout;
  }
  return result;
}

bool TProcessThread::ReadRequestHeader(const char* step, const char* command, const char* what, MsgHeader& header) {
  if (!FConnection.ReadHeader(header, kPeerWaitSeconds).Ok()) {
    WriteLog(FConfig->LogPath,
             Format("%s-%s(): failed. %s, %s", LogPeer().c_str(), step, ResultText(rcReadTimeout).c_str(), what));
    return false;
  }
  if (!IsCommand(header, command)) {
    WriteLog(FConfig->LogPath,
             Format("%s-%s(): failed, incorrect command, %s", LogPeer().c_str(), step, CommandText(header).c_str()));
    return false;
  }
  if (header.SIZE > MAX_BLOCK_SIZE) {
    WriteLog(FConfig->LogPath, Format("%s-%s(): failed. %s, %d", LogPeer().c_str(), step, "MsgHeader.SIZE Too large",
                                      static_cast<int>(header.SIZE)));
    return false;
  }
  return true;
}

void TProcessThread::Serve() {
  FMembership.Progress().SetClient(GetPeerAddress(FConnection.Socket()));
  if (!ReadProxyHeader()) return;
  if (FTls && !StartTls()) return;
  std::uint8_t direction = 0;
  if (Validate(direction) != rcSuccess) return;
  FMembership.Progress().SetDirection(direction);
  if (direction == 0) {
    doDownload();
    // The path the file data took is the connection's, not the conversation's.
    if (FConnection.Secure()) ++Metrics().TlsDownloads[FConnection.KernelSend() ? 1 : 0];
  } else if (direction == 1) {
    doUpload();
  } else {
    doDigest();
  }
}

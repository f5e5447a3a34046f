#include "server/ProcessThread.h"

#include <algorithm>
#include <chrono>
#include <new>
#include <utility>

#include "base/DailyLog.h"
#include "base/Format.h"
#include "server/Confinement.h"
#include "server/Metrics.h"
#include "transfer/AccessToken.h"
#include "transfer/uGlobal.h"

TProcessThread::TProcessThread(TSocket socket, TServerConfigPtr config, std::shared_ptr<TWorkerSet> workers,
                               TSharedRates rates, std::shared_ptr<TLiveAccess> access,
                               std::shared_ptr<const platform::TlsContext> tls)
    : FTls(std::move(tls)),
      FConfig(std::move(config)),
      FRates(std::move(rates)),
      FAccess(std::move(access)),
      FRules(FAccess->Rules()),
      FMembership(std::move(workers), socket) {
  FInitializeResult = Initialize(socket);
}

TProcessThread::TProcessThread(TWorkerMembership&& membership, TSocket socket,
                               std::chrono::steady_clock::time_point accepted, TServerConfigPtr config,
                               TSharedRates rates, std::shared_ptr<TLiveAccess> access,
                               std::shared_ptr<const platform::TlsContext> tls)
    : FAccepted(accepted),
      FTls(std::move(tls)),
      FConfig(std::move(config)),
      FRates(std::move(rates)),
      FAccess(std::move(access)),
      FRules(FAccess->Rules()),
      FMembership(std::move(membership)) {
  // The waiting room read the peer's address at the accept.
  FPeerAddress = FMembership.Progress().Client();
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
  FMembership.Closing();
  FConnection.Close();
}

std::string TProcessThread::ClientAddress() const {
  return FProxiedAddress.empty() ? FPeerAddress : FProxiedAddress;
}

std::string TProcessThread::LogPeer() const {
  if (FCertificateName.empty()) return ClientAddress();
  return ClientAddress() + " cert=" + FCertificateName;
}

bool TProcessThread::StartTls() {
  const int idle = FConfig->Listen.IdleTimeout;
  const int seconds = idle > 0 && idle < kPeerWaitSeconds ? idle : kPeerWaitSeconds;
  // The bound runs from the accept: a connection that waited for its first
  // byte without a thread has spent part of it already.
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
      FAccepted + std::chrono::seconds(seconds) - std::chrono::steady_clock::now());
  // Taken first: a peer that gave up has no address any more.
  const std::string peer = ClientAddress();
  const IoResult result = FConnection.StartTls(FTls, static_cast<int>(std::max<std::int64_t>(left.count(), 1)));
  if (result.Ok()) {
    FCertificateName = FConnection.PeerCommonName();
    return true;
  }
  ++Metrics().TlsHandshakeFailures;
  // Silence until the wait runs out is a probe's mark, as before the first header.
  if (result.TimedOut()) NoteBadEvent();
  WriteLog(FConfig->LogPath, Format("%s-TLS handshake failed, %s", peer.c_str(),
                                    FConnection.ResultText(SocketCall::kRead, result).c_str()));
  return false;
}

std::string TProcessThread::AccessRefusal(TAccessDirection direction, const TFile& file, const TCommandBody& body,
                                          bool digest) {
  const TAccessRules& access = *FRules;
  TAccessRequest request;
  request.Direction = direction;
  request.Digest = digest;
  request.Client = ClientAddress();
  request.Certificate = FCertificateName;
  std::string rule = access.Refusal(direction, request.Client);
  if (!rule.empty()) {
    ++Metrics().AccessRefusedList;
    NoteBadEvent();
    return rule;
  }
  request.FileName = file.FileName;
  request.FileNo = file.FileNo;
  request.UserNo = file.UserNo;
  request.FileSize = file.FileSize;
  if (direction == TAccessDirection::kDownload) request.FilePos = file.FilePos;
  request.Token = body.Value("TOKEN");
  rule = TokenRefusal(access.Tokens, request, UnixSecondsNow());
  if (!rule.empty()) {
    ++Metrics().AccessRefusedToken;
    NoteBadEvent();
    return rule;
  }
  if (access.Authorizer.Url.empty()) return {};
  std::string detail;
  const TAuthorization answer = Authorize(access.Authorizer, request, detail);
  if (answer == TAuthorization::kAllowed) return {};
  if (answer == TAuthorization::kFailed && access.Authorizer.AllowOnError) {
    // Let through, but never unseen: the operator learns that the back end
    // failed from the line of each request it could not judge.
    WriteLog(FConfig->LogPath, Format("%s-AccessCheck(%s): authoriser failed, %s, allowed by [Access] AuthorizeOnError",
                                      request.Client.c_str(), file.FileName.c_str(), detail.c_str()));
    return {};
  }
  ++Metrics().AccessRefusedAuthorizer;
  if (answer == TAuthorization::kRefused) {
    NoteBadEvent();
    return "[Access] AuthorizeUrl";
  }
  // A back end that fails is no fault of the client's: counted as a bad
  // event, it would ban every client while the back end is down.
  return "[Access] AuthorizeOnError: authoriser failed, " + detail;
}

bool TProcessThread::OutsideRoots(const std::string& name) {
  if (IsInsideRoots(FConfig->Roots, name)) return false;
  ++Metrics().AccessRefusedRoot;
  NoteBadEvent();
  return true;
}

bool TProcessThread::Admitted() {
  const std::string client = ClientAddress();
  if (FAccess->Bans().Banned(FRules->Ban, client, TLiveAccess::Now())) {
    ++Metrics().AccessRefusedBanned;
    CloseConnection();
    return false;
  }
  if (FMembership.CountFrom(client, FRules->MaxConnectionsPerHost)) return true;
  ++Metrics().AccessRefusedPerHost;
  // Closed before the line is written, which may take long or fail.
  CloseConnection();
  std::uint64_t heldBack = 0;
  if (!FAccess->PerHostLines().Pass(heldBack)) return false;
  std::string line = Format("%s-Listen: connection closed, [Access] MaxConnectionsPerHost %d reached", client.c_str(),
                            FRules->MaxConnectionsPerHost);
  if (heldBack != 0) line += Format(", %llu more since the last line", static_cast<unsigned long long>(heldBack));
  WriteLog(FConfig->LogPath, line);
  return false;
}

void TProcessThread::ReportBadEvent() {
  const std::string client = ClientAddress();
  // A balancer speaks for many clients: it is the client its PROXY header
  // names that is banned, never the balancer.
  if (FConfig->ProxyFrom.Contains(client)) return;
  const std::int64_t now = TLiveAccess::Now();
  std::int64_t until = 0;
  if (!FAccess->Bans().BadEvent(FRules->Ban, client, now, until)) return;
  WriteLog(FConfig->LogPath, Format("%s-Ban: banned for %lld s, %d bad events within %d s", client.c_str(),
                                    static_cast<long long>(until - now), FRules->Ban.After,
                                    TBanList::kWindowSeconds));
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
  const IoResult read = FConnection.ReadHeader(header, kPeerWaitSeconds);
  if (read.Ok() ? HandshakeResult(header, direction) == rcProtocol : read.TimedOut()) NoteBadEvent();
  std::int32_t result = rcReadTimeout;
  if (read.Ok()) {
    result = HandshakeResult(header, direction);
    // The reply keeps the letters as they came, also for a mismatch.
    header.SIZE = result;
    if (!FConnection.WriteHeader(header, kPeerWaitSeconds).Ok()) result = rcWriteTimeout;
  }
  if (result != rcSuccess && result != rcProtocol) LogHandshakeFailure(FConfig->LogPath, LogPeer(), result);
  return result;
}

std::int32_t TProcessThread::HandshakeResult(const MsgHeader& header, std::uint8_t& direction) {
  if (IsCommand(header, "DNLD"))
    direction = 0;
  else if (IsCommand(header, "UPLD"))
    direction = 1;
  else if (IsCommand(header, "DGST"))
    direction = 2;
  else
    return rcProtocol;
  return rcSuccess;
}

std::int32_t TProcessThread::AnswerHandshake(TSocket socket, MsgHeader header, std::uint8_t& direction) {
  const std::int32_t result = HandshakeResult(header, direction);
  // The reply keeps the letters as they came, also for a mismatch.
  header.SIZE = result;
  if (!WriteHeader(socket, header, kPeerWaitSeconds).Ok()) return rcWriteTimeout;
  return result;
}

void TProcessThread::LogHandshakeFailure(const std::string& logPath, const std::string& client, std::int32_t result) {
  if (result != rcReadTimeout && result != rcWriteTimeout) return;
  WriteLog(logPath, Format("%s-Validate(): failed. %s, %s", client.c_str(), ResultText(result).c_str(),
                           result == rcReadTimeout ? "Validate header recv" : "Validate header send"));
}

bool TProcessThread::ReadRequestHeader(const char* step, const char* command, const char* what, MsgHeader& header) {
  if (FConnection.ReadHeader(header, kPeerWaitSeconds).Ok()) return RequestHeaderAccepted(step, command, header);
  RequestNotReceived(step, what);
  return false;
}

void TProcessThread::RequestNotReceived(const char* step, const char* what) {
  WriteLog(FConfig->LogPath,
           Format("%s-%s(): failed. %s, %s", LogPeer().c_str(), step, ResultText(rcReadTimeout).c_str(), what));
}

bool TProcessThread::RequestHeaderAccepted(const char* step, const char* command, const MsgHeader& header) {
  if (!IsCommand(header, command)) {
    NoteBadEvent();
    WriteLog(FConfig->LogPath,
             Format("%s-%s(): failed, incorrect command, %s", LogPeer().c_str(), step, CommandText(header).c_str()));
    return false;
  }
  if (header.SIZE > MAX_BLOCK_SIZE) {
    NoteBadEvent();
    WriteLog(FConfig->LogPath, Format("%s-%s(): failed. %s, %d", LogPeer().c_str(), step, "MsgHeader.SIZE Too large",
                                      static_cast<int>(header.SIZE)));
    return false;
  }
  return true;
}

void TProcessThread::Serve() {
  if (FPeerAddress.empty()) FPeerAddress = GetPeerAddress(FConnection.Socket());
  FMembership.Progress().SetClient(FPeerAddress);
  if (!ReadProxyHeader() || !Admitted()) return;
  std::uint8_t direction = 0;
  if ((!FTls || StartTls()) && Validate(direction) == rcSuccess) {
    ServeAnswered(direction);
    return;
  }
  if (FBadEvent) ReportBadEvent();
}

void TProcessThread::ServeAnswered(std::uint8_t direction) {
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
  EndConversation();
}

#include "server/ProcessThread.h"

#include <new>
#include <utility>

#include "base/DailyLog.h"
#include "base/Format.h"
#include "server/Metrics.h"
#include "transfer/uGlobal.h"

TProcessThread::TProcessThread(TSocket socket, TServerConfigPtr config, std::shared_ptr<TWorkerSet> workers,
                               TSharedRates rates)
    : FConfig(std::move(config)), FRates(std::move(rates)), FMembership(std::move(workers), socket) {
  FInitializeResult = Initialize(socket);
}

TProcessThread::TProcessThread(TWorkerMembership&& membership, TSocket socket,
                               std::chrono::steady_clock::time_point accepted, TServerConfigPtr config,
                               TSharedRates rates)
    : FAccepted(accepted), FConfig(std::move(config)), FRates(std::move(rates)), FMembership(std::move(membership)) {
  FInitializeResult = Initialize(socket);
}

TProcessThread::~TProcessThread() {
  FUploadClaim.Release();
  if (FSocket != INVALID_SOCK) CloseConnection();
}

void TProcessThread::CloseConnection() {
  // A newer upload of the file must never cut a closed socket, whose number
  // may already belong to another connection.
  FUploadClaim.SocketClosed();
  FClosedPeerAddress = ClientAddress();
  FMembership.Closing();
  CloseSocket(FSocket);
  FSocket = INVALID_SOCK;
}

std::string TProcessThread::ClientAddress() const {
  if (!FProxiedAddress.empty()) return FProxiedAddress;
  return FSocket == INVALID_SOCK ? FClosedPeerAddress : GetPeerAddress(FSocket);
}

std::string TProcessThread::AccessRefusal(TAccessDirection direction) const {
  std::string rule = FConfig->Access.Refusal(direction, ClientAddress());
  if (!rule.empty()) ++Metrics().AccessRefusedList;
  return rule;
}

std::int32_t TProcessThread::Initialize(TSocket socket) {
  FSocket = socket;
  FBuffer.reset(new (std::nothrow) char[MAX_BLOCK_SIZE]);
  if (!FBuffer) {
    WriteLog(FConfig->LogPath, Format("%s-Initialize(): failed. %s, %s", GetPeerAddress(FSocket).c_str(),
                             ResultText(rcGeneral).c_str(), "mem alloc error"));
    return rcGeneral;
  }
  return rcSuccess;
}

std::int32_t TProcessThread::Validate(std::uint8_t& direction) {
  MsgHeader header;
  const std::int32_t result =
      ReadHeader(FSocket, header, kPeerWaitSeconds).Ok() ? AnswerHandshake(FSocket, header, direction) : rcReadTimeout;
  if (result != rcSuccess && result != rcProtocol) LogHandshakeFailure(FConfig->LogPath, ClientAddress(), result);
  return result;
}

std::int32_t TProcessThread::AnswerHandshake(TSocket socket, MsgHeader header, std::uint8_t& direction) {
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
  if (!WriteHeader(socket, header, kPeerWaitSeconds).Ok()) return rcWriteTimeout;
  return result;
}

void TProcessThread::LogHandshakeFailure(const std::string& logPath, const std::string& client, std::int32_t result) {
  if (result != rcReadTimeout && result != rcWriteTimeout) return;
  WriteLog(logPath, Format("%s-Validate(): failed. %s, %s", client.c_str(), ResultText(result).c_str(),
                           result == rcReadTimeout ? "Validate header recv" : "Validate header send"));
}

bool TProcessThread::ReadRequestHeader(const char* step, const char* command, const char* what, MsgHeader& header) {
  if (!ReadHeader(FSocket, header, kPeerWaitSeconds).Ok()) {
    WriteLog(FConfig->LogPath,
             Format("%s-%s(): failed. %s, %s", ClientAddress().c_str(), step, ResultText(rcReadTimeout).c_str(), what));
    return false;
  }
  if (!IsCommand(header, command)) {
    WriteLog(FConfig->LogPath,
             Format("%s-%s(): failed, incorrect command, %s", ClientAddress().c_str(), step, CommandText(header).c_str()));
    return false;
  }
  if (header.SIZE > MAX_BLOCK_SIZE) {
    WriteLog(FConfig->LogPath, Format("%s-%s(): failed. %s, %d", ClientAddress().c_str(), step, "MsgHeader.SIZE Too large",
                                      static_cast<int>(header.SIZE)));
    return false;
  }
  return true;
}

void TProcessThread::Serve() {
  FMembership.Progress().SetClient(GetPeerAddress(FSocket));
  if (!ReadProxyHeader()) return;
  std::uint8_t direction = 0;
  if (Validate(direction) != rcSuccess) return;
  ServeAnswered(direction);
}

void TProcessThread::ServeAnswered(std::uint8_t direction) {
  FMembership.Progress().SetDirection(direction);
  if (direction == 0)
    doDownload();
  else if (direction == 1)
    doUpload();
  else
    doDigest();
}

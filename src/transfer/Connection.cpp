#include "transfer/Connection.h"

#include <cerrno>

#include "platform/ClientSockets.h"

namespace {

// How long a close waits for room for the close-notify: a peer that has
// stopped reading does not hold the closing side for longer.
constexpr int kCloseNotifySeconds = 2;

// The wait for the first byte of a blocking receive on a TLS connection:
// the socket's idle time-out, or without one as good as none.
int ReceiveWaitSeconds(TSocket s) {
  const int milliseconds = platform::NetIdleTimeout(s);
  if (milliseconds <= 0) return 24 * 60 * 60;
  return (milliseconds + 999) / 1000;
}

}  // namespace

void TConnection::Reset(TSocket socket) {
  Close();
  FSocket = socket;
  FAbortive = false;
  FFailed = false;
}

IoResult TConnection::StartTls(std::shared_ptr<const platform::TlsContext> context, int milliseconds) {
  FTls = std::make_unique<platform::TlsSession>(std::move(context), FSocket);
  const IoResult result = FTls->Handshake(milliseconds);
  if (!result.Ok()) FFailed = true;
  return result;
}

IoResult TConnection::Read(void* buffer, int length, int timeoutSeconds) {
  if (!FTls) return ReadBuffer(FSocket, buffer, length, timeoutSeconds);
  if (length > MAX_BLOCK_SIZE) return {IoStatus::kTooLong, length};
  const IoResult result = FTls->ReadExactly(buffer, static_cast<std::size_t>(length), timeoutSeconds);
  if (!result.Ok()) FFailed = true;
  return result;
}

IoResult TConnection::Write(const void* buffer, int length, int timeoutSeconds) {
  if (!FTls) return WriteBuffer(FSocket, buffer, length, timeoutSeconds);
  if (length > MAX_BLOCK_SIZE) return {IoStatus::kTooLong, length};
  const IoResult result = FTls->Write(buffer, static_cast<std::size_t>(length), timeoutSeconds);
  if (!result.Ok()) FFailed = true;
  return result;
}

IoResult TConnection::ReadHeader(MsgHeader& header, int timeoutSeconds) {
  if (!FTls) return ::ReadHeader(FSocket, header, timeoutSeconds);
  unsigned char bytes[MSG_HEADER_SIZE];
  const IoResult result = Read(bytes, MSG_HEADER_SIZE, timeoutSeconds);
  if (result.Ok()) header = DecodeHeader(bytes);
  return result;
}

IoResult TConnection::WriteHeader(const MsgHeader& header, int timeoutSeconds) {
  if (!FTls) return ::WriteHeader(FSocket, header, timeoutSeconds);
  unsigned char bytes[MSG_HEADER_SIZE];
  EncodeHeader(header, bytes);
  return Write(bytes, MSG_HEADER_SIZE, timeoutSeconds);
}

IoResult TConnection::WriteHeaderBeforeData(const MsgHeader& header, int timeoutSeconds) {
  // A TLS record of its own costs as much as the segment it would spare.
  if (!FTls) return ::WriteHeaderBeforeData(FSocket, header, timeoutSeconds);
  return WriteHeader(header, timeoutSeconds);
}

long TConnection::Receive(void* buffer, std::size_t length) {
  if (!FTls) return platform::NetRecv(FSocket, buffer, length);
  std::size_t received = 0;
  const IoResult result = FTls->ReadSome(buffer, length, ReceiveWaitSeconds(FSocket), received);
  if (result.Ok()) return static_cast<long>(received);
  if (result.status == IoStatus::kClosed) return 0;
  FFailed = true;
  return -1;
}

long TConnection::SendNoWait(const void* data, std::size_t length) {
  if (!FTls) return platform::NetSendNoWait(FSocket, data, length);
  const long n = FTls->WriteNoWait(data, length);
  if (n < 0) FFailed = true;
  return n;
}

int TConnection::Wait(int milliseconds, int waitSet) {
  if (!FTls) return platform::NetWaitMilliseconds(FSocket, milliseconds, waitSet);
  return FTls->Wait(milliseconds, waitSet);
}

platform::SendFileResult TConnection::SendFile(platform::FileHandle file, std::size_t length, char* buffer,
                                               std::size_t bufferSize, std::size_t& sent, bool& ended) {
  ended = false;
  if (!FTls) return platform::SendFileData(FSocket, file, length, buffer, bufferSize, sent, &ended);
  const platform::SendFileResult result = FTls->SendFile(file, length, buffer, bufferSize, sent);
  if (result == platform::SendFileResult::kSendFailed) FFailed = true;
  return result;
}

int TConnection::LastError() const {
  if (!FTls) return platform::NetLastError();
  const IoResult last = FTls->LastResult();
  return last.error;
}

void TConnection::EndSending(int timeoutSeconds) {
  if (!FTls) {
    platform::NetShutdownSend(FSocket);
    return;
  }
  if (!FTls->CloseNotify(timeoutSeconds).Ok()) FFailed = true;
}

void TConnection::SetAbortiveClose(bool abortive) {
  FAbortive = abortive;
  platform::NetSetAbortiveClose(FSocket, abortive);
}

void TConnection::Close() {
  if (FSocket == INVALID_SOCK) return;
  if (FTls && !FAbortive && !FFailed) FTls->CloseNotify(kCloseNotifySeconds);
  FTls.reset();
  CloseSocket(FSocket);
  FSocket = INVALID_SOCK;
}

std::string TConnection::ResultText(SocketCall call, const IoResult& result) const {
  if (!FTls) return SocketResultText(call, result);
  const char* function = call == SocketCall::kRead ? "TLS read" : "TLS write";
  return std::string(function) + ": " + platform::TlsResultText(result, *FTls);
}

#include "platform/Tls.h"

// The Windows build has no TLS yet: every context fails to be made, so a
// configured TLS port fails the start and the client's --tls refuses to
// connect, each with this line.

namespace platform {

class TlsContext {};

namespace {
const char* const kUnavailable = "TLS is not available in this build yet";
}  // namespace

std::shared_ptr<const TlsContext> MakeTlsServerContext(const TlsServerSettings&, std::string& error) {
  error = kUnavailable;
  return nullptr;
}

std::shared_ptr<const TlsContext> MakeTlsClientContext(const TlsClientSettings&, std::string& error) {
  error = kUnavailable;
  return nullptr;
}

struct TlsSession::Impl {};

TlsSession::TlsSession(std::shared_ptr<const TlsContext>, SocketHandle) : FImpl(new Impl) {}
TlsSession::~TlsSession() = default;

IoResult TlsSession::Handshake(int) { return {IoStatus::kFailed, kTlsProtocolError}; }
IoResult TlsSession::ReadSome(void*, std::size_t, int, std::size_t& received) {
  received = 0;
  return {IoStatus::kFailed, kTlsProtocolError};
}
IoResult TlsSession::ReadExactly(void*, std::size_t, int) { return {IoStatus::kFailed, kTlsProtocolError}; }
IoResult TlsSession::Write(const void*, std::size_t, int) { return {IoStatus::kFailed, kTlsProtocolError}; }
long TlsSession::WriteNoWait(const void*, std::size_t) { return -1; }
int TlsSession::Wait(int, int) { return -1; }
SendFileResult TlsSession::SendFile(FileHandle, std::size_t, char*, std::size_t, std::size_t& sent) {
  sent = 0;
  return SendFileResult::kSendFailed;
}
IoResult TlsSession::CloseNotify(int) { return {IoStatus::kFailed, kTlsProtocolError}; }
std::string TlsSession::PeerCommonName() const { return {}; }
bool TlsSession::KernelSend() const { return false; }
std::string TlsSession::Description() const { return {}; }
IoResult TlsSession::LastResult() const { return {IoStatus::kFailed, kTlsProtocolError}; }
std::string TlsSession::ErrorText() const { return kUnavailable; }

std::string TlsResultText(const IoResult&, const TlsSession&) { return kUnavailable; }

}  // namespace platform

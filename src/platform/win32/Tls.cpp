#include "platform/Tls.h"

#define SECURITY_WIN32
#define SCHANNEL_USE_BLACKLISTS
#include <winsock2.h>
#include <windows.h>
#include <wincrypt.h>
#include <security.h>
#include <subauth.h>
#include <schannel.h>
#include <sspi.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <vector>

#include "platform/ClientSockets.h"
#include "platform/IpAddress.h"
#include "platform/SendDeadline.h"
#include "platform/win32/TlsCertificates.h"

namespace platform {

class TlsContext {
 public:
  TlsContext(bool server, std::string serverName, TlsVersion minVersion)
      : FServer(server), FServerName(std::move(serverName)), FMinVersion(minVersion) {
    SecInvalidateHandle(&FCredentials);
  }
  ~TlsContext() {
    if (SecIsValidHandle(&FCredentials)) ::FreeCredentialsHandle(&FCredentials);
  }
  TlsContext(const TlsContext&) = delete;
  TlsContext& operator=(const TlsContext&) = delete;

  bool Server() const { return FServer; }
  const std::string& ServerName() const { return FServerName; }
  TlsVersion MinVersion() const { return FMinVersion; }
  bool SendsServerName() const {
    IpAddress literal;
    return !FServerName.empty() && !IpAddress::Parse(FServerName, literal);
  }
  // SSPI takes credentials by non-const pointer; it does not change them.
  CredHandle* Credentials() const { return const_cast<CredHandle*>(&FCredentials); }
  // The authorities a peer's certificate must chain to: the client CA
  // bundle of a server, the --ca bundle of a client; null for the system's
  // roots (a client) or no client certificate (a server).
  HCERTSTORE Authorities() const { return FAuthorities.get(); }

  // Filled while the context is made, fixed from then on. The certificate
  // (with its key) and the authorities live as long as the credentials
  // that name them.
  CredHandle FCredentials;
  ScopedCertificate FCertificate;
  ScopedStore FAuthorities;

 private:
  bool FServer;
  std::string FServerName;
  TlsVersion FMinVersion;
};

namespace {

const char* StatusName(SECURITY_STATUS status) {
  switch (status) {
    case SEC_E_UNSUPPORTED_FUNCTION: return "not supported by this system";
    case SEC_E_ILLEGAL_MESSAGE: return "the peer sent something that is not TLS, or an alert";
    case SEC_E_INVALID_TOKEN: return "the peer sent something that is not TLS";
    case SEC_E_ALGORITHM_MISMATCH: return "no protocol version or cipher in common";
    case SEC_E_NO_CREDENTIALS: return "the certificate's key cannot be used";
    case SEC_E_UNKNOWN_CREDENTIALS: return "the credentials are not accepted";
    case SEC_E_CERT_UNKNOWN: return "the certificate is not known";
    case SEC_E_CERT_EXPIRED: return "the certificate has expired";
    case SEC_E_UNTRUSTED_ROOT: return "the certificate is not signed by a trusted authority";
    case SEC_E_WRONG_PRINCIPAL: return "the certificate names another host";
    case SEC_E_MESSAGE_ALTERED: return "a record was altered";
    case SEC_E_DECRYPT_FAILURE: return "a record cannot be decrypted";
    case SEC_E_INTERNAL_ERROR: return "the peer refused the handshake, or an internal error";
    case SEC_E_CONTEXT_EXPIRED: return "the session has ended";
    default: break;
  }
  return "refused";
}

std::string StatusText(const char* call, SECURITY_STATUS status) {
  char text[160];
  std::snprintf(text, sizeof text, "%s: %s (0x%08lx)", call, StatusName(status), static_cast<unsigned long>(status));
  return text;
}

// The protocol versions a session may use. Newer systems take the version
// range as the versions they must not use (SCH_CREDENTIALS); older ones only
// know the list of those they may (SCHANNEL_CRED).
DWORD Allowed(bool server, TlsVersion minVersion) {
  const DWORD v13 = server ? SP_PROT_TLS1_3_SERVER : SP_PROT_TLS1_3_CLIENT;
  const DWORD v12 = server ? SP_PROT_TLS1_2_SERVER : SP_PROT_TLS1_2_CLIENT;
  return minVersion == TlsVersion::k13 ? v13 : v12 | v13;
}

SECURITY_STATUS AcquireCredentials(TlsContext& context, DWORD flags) {
  const bool server = context.Server();
  const TlsVersion minVersion = context.MinVersion();
  PCCERT_CONTEXT certificate = context.FCertificate.get();
  const DWORD allowed = Allowed(server, minVersion);
  TimeStamp expiry;
  TLS_PARAMETERS parameters{};
  parameters.grbitDisabledProtocols = ~allowed & (server ? SP_PROT_SERVERS : SP_PROT_CLIENTS);
  SCH_CREDENTIALS credentials{};
  credentials.dwVersion = SCH_CREDENTIALS_VERSION;
  credentials.cCreds = certificate ? 1 : 0;
  credentials.paCred = certificate ? &certificate : nullptr;
  credentials.dwFlags = flags;
  credentials.cTlsParameters = 1;
  credentials.pTlsParameters = &parameters;
  const ULONG use = server ? SECPKG_CRED_INBOUND : SECPKG_CRED_OUTBOUND;
  SECURITY_STATUS status =
      ::AcquireCredentialsHandleA(nullptr, const_cast<SEC_CHAR*>(UNISP_NAME_A), use, nullptr, &credentials, nullptr,
                                  nullptr, &context.FCredentials, &expiry);
  if (status == SEC_E_OK) return status;
  SCHANNEL_CRED legacy{};
  legacy.dwVersion = SCHANNEL_CRED_VERSION;
  legacy.cCreds = credentials.cCreds;
  legacy.paCred = credentials.paCred;
  legacy.dwFlags = flags;
  legacy.grbitEnabledProtocols = allowed;
  status = ::AcquireCredentialsHandleA(nullptr, const_cast<SEC_CHAR*>(UNISP_NAME_A), use, nullptr, &legacy, nullptr,
                                       nullptr, &context.FCredentials, &expiry);
  if (status != SEC_E_OK) SecInvalidateHandle(&context.FCredentials);
  return status;
}

constexpr ULONG kAcceptFlags = ASC_REQ_SEQUENCE_DETECT | ASC_REQ_REPLAY_DETECT | ASC_REQ_CONFIDENTIALITY |
                               ASC_REQ_EXTENDED_ERROR | ASC_REQ_ALLOCATE_MEMORY | ASC_REQ_STREAM;
constexpr ULONG kInitializeFlags = ISC_REQ_SEQUENCE_DETECT | ISC_REQ_REPLAY_DETECT | ISC_REQ_CONFIDENTIALITY |
                                   ISC_REQ_EXTENDED_ERROR | ISC_REQ_ALLOCATE_MEMORY | ISC_REQ_STREAM |
                                   ISC_REQ_MANUAL_CRED_VALIDATION;

// Whether this system's SChannel can take the server's side at all: Wine's
// cannot (AcceptSecurityContext is not implemented there), and a server
// that started with a TLS port it cannot serve would refuse every client.
// The first bytes of a ClientHello are not enough for a handshake; a
// system that can serve says so by asking for more.
bool CanAccept(CredHandle* credentials, std::string& error) {
  BYTE start[] = {0x16, 0x03, 0x01, 0x00, 0x40};
  SecBuffer in[2] = {{sizeof start, SECBUFFER_TOKEN, start}, {0, SECBUFFER_EMPTY, nullptr}};
  SecBuffer out[1] = {{0, SECBUFFER_TOKEN, nullptr}};
  SecBufferDesc input{SECBUFFER_VERSION, 2, in}, output{SECBUFFER_VERSION, 1, out};
  CtxtHandle context;
  SecInvalidateHandle(&context);
  ULONG attributes = 0;
  const SECURITY_STATUS status =
      ::AcceptSecurityContext(credentials, nullptr, &input, kAcceptFlags, 0, &context, &output, &attributes, nullptr);
  if (out[0].pvBuffer != nullptr) ::FreeContextBuffer(out[0].pvBuffer);
  if (SecIsValidHandle(&context)) ::DeleteSecurityContext(&context);
  if (status != SEC_E_UNSUPPORTED_FUNCTION) return true;
  error = "this system's SChannel cannot act as a TLS server (" + StatusText("AcceptSecurityContext", status) + ")";
  return false;
}

std::string VersionName(DWORD protocol) {
  if (protocol & SP_PROT_TLS1_3) return "TLSv1.3";
  if (protocol & SP_PROT_TLS1_2) return "TLSv1.2";
  if (protocol & SP_PROT_TLS1_1) return "TLSv1.1";
  if (protocol & SP_PROT_TLS1_0) return "TLSv1.0";
  return "an old protocol version";
}

int Remaining(std::chrono::steady_clock::time_point end) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
  return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

// The largest handshake message run accepted before the peer is refused.
constexpr std::size_t kMaxInput = 1 << 20;
// The userspace file path reads blocks this large and encrypts each into a
// run of full records.
constexpr std::size_t kFileBlock = 256 * 1024;

constexpr BYTE kAlertRecord = 0x15;

}  // namespace

std::shared_ptr<const TlsContext> MakeTlsServerContext(const TlsServerSettings& settings, std::string& error) {
  auto context = std::make_shared<TlsContext>(true, std::string(), settings.minVersion);
  if (!LoadCertificateWithKey(settings.certificateFile, settings.keyFile, context->FCertificate, error)) return nullptr;
  if (!settings.clientCaFile.empty() &&
      !LoadAuthorities("client CA", settings.clientCaFile, context->FAuthorities, error))
    return nullptr;
  const SECURITY_STATUS status = AcquireCredentials(*context, SCH_USE_STRONG_CRYPTO);
  if (status != SEC_E_OK) {
    error = "certificate " + settings.certificateFile + ": " + StatusText("AcquireCredentialsHandle", status);
    return nullptr;
  }
  if (!CanAccept(context->Credentials(), error)) return nullptr;
  return context;
}

std::shared_ptr<const TlsContext> MakeTlsClientContext(const TlsClientSettings& settings, std::string& error) {
  auto context = std::make_shared<TlsContext>(false, settings.serverName, TlsVersion::k12);
  if (!settings.caFile.empty() && !LoadAuthorities("CA", settings.caFile, context->FAuthorities, error))
    return nullptr;
  if (!settings.certificateFile.empty() || !settings.keyFile.empty()) {
    if (settings.certificateFile.empty() || settings.keyFile.empty()) {
      error = "a client certificate needs both the certificate and the key";
      return nullptr;
    }
    if (!LoadCertificateWithKey(settings.certificateFile, settings.keyFile, context->FCertificate, error))
      return nullptr;
  }
  // The server's certificate is checked here after the handshake, against
  // the --ca bundle or the system's roots alike; SChannel offers no client
  // certificate of its own choosing.
  const SECURITY_STATUS status =
      AcquireCredentials(*context, SCH_CRED_MANUAL_CRED_VALIDATION | SCH_CRED_NO_DEFAULT_CREDS | SCH_USE_STRONG_CRYPTO);
  if (status != SEC_E_OK) {
    error = "TLS: " + StatusText("AcquireCredentialsHandle", status);
    return nullptr;
  }
  return context;
}

struct TlsSession::Impl {
  std::shared_ptr<const TlsContext> context;
  SocketHandle socket = kNoSocket;
  CtxtHandle handle;
  bool established = false;
  SecPkgContext_StreamSizes sizes{};
  // Bytes received and not yet decrypted, from the front.
  std::vector<char> in = std::vector<char>(32 * 1024);
  std::size_t inLength = 0;
  // Bytes decrypted and not yet read.
  std::vector<char> plain;
  std::size_t plainOffset = 0;
  bool peerClosed = false;
  bool closeNotifySent = false;
  // The server asked for a client certificate and there is none to give.
  bool withoutCertificate = false;
  // Records made by WriteNoWait that the socket has not taken yet.
  std::vector<char> pending;
  std::size_t pendingOffset = 0;
  std::vector<char> records;
  std::unique_ptr<char[]> fileBlock;
  std::string peerName;
  IoResult last;
  std::string errorText;

  IoResult Fail(IoResult result, std::string text) {
    last = result;
    errorText = std::move(text);
    return result;
  }
  IoResult ProtocolError(std::string text) { return Fail({IoStatus::kFailed, kTlsProtocolError}, std::move(text)); }
  IoResult SystemError(int error) {
    char text[64];
    std::snprintf(text, sizeof text, "socket error %d", error);
    return Fail({IoStatus::kFailed, error}, text);
  }
  IoResult TimedOut() { return Fail({IoStatus::kTimedOut, WSAETIMEDOUT}, "timed out"); }

  // A readiness wait; a negative time waits as long as it takes.
  int WaitSocket(int milliseconds, int waitSet) {
    if (milliseconds >= 0) return NetWaitMilliseconds(socket, milliseconds, waitSet);
    for (;;) {
      const int ready = NetWaitMilliseconds(socket, 60 * 1000, waitSet);
      if (ready != 0) return ready;
    }
  }

  // More bytes from the socket into `in`, waiting at most `milliseconds`.
  // kClosed when the stream ended.
  IoResult Receive(int milliseconds) {
    if (inLength == in.size()) {
      if (in.size() >= kMaxInput) return ProtocolError("the peer sent a message too large");
      in.resize(in.size() * 2);
    }
    for (;;) {
      const long n = NetRecv(socket, in.data() + inLength, in.size() - inLength);
      if (n > 0) {
        inLength += static_cast<std::size_t>(n);
        return {};
      }
      if (n == 0) return {IoStatus::kClosed, 0};
      if (!NetWouldBlock()) return SystemError(NetLastError());
      const int ready = WaitSocket(milliseconds, 1);
      if (ready == 0) return TimedOut();
      if (ready < 0) return SystemError(NetLastError());
    }
  }

  // All of `data` into the socket; `waitForRoom` waits when it has none and
  // says false to give up.
  template <typename Wait>
  IoResult SendAll(const char* data, std::size_t length, Wait&& waitForRoom) {
    while (length > 0) {
      const long n = NetSend(socket, data, length);
      if (n > 0) {
        data += n;
        length -= static_cast<std::size_t>(n);
        continue;
      }
      if (n < 0 && !NetWouldBlock()) return SystemError(NetLastError());
      if (!waitForRoom()) {
        const int error = NetLastError();
        return error == WSAETIMEDOUT || error == 0 ? TimedOut() : SystemError(error);
      }
    }
    return {};
  }

  IoResult SendWithin(const char* data, std::size_t length, int milliseconds) {
    return SendAll(data, length, [&] {
      const int ready = WaitSocket(milliseconds, 2);
      if (ready == 0) ::WSASetLastError(WSAETIMEDOUT);
      return ready > 0;
    });
  }

  // Whatever WriteNoWait left behind goes first.
  IoResult FlushPending(int milliseconds) {
    if (pendingOffset == pending.size()) return {};
    const IoResult result = SendWithin(pending.data() + pendingOffset, pending.size() - pendingOffset, milliseconds);
    if (result.Ok()) pending.clear(), pendingOffset = 0;
    return result;
  }

  // Sends what the socket takes of the records made and not yet sent: 1
  // when all of them are gone, 0 when the socket takes no more now, -1 on a
  // failure.
  int SendPending() {
    while (pendingOffset < pending.size()) {
      const long n = NetSend(socket, pending.data() + pendingOffset, pending.size() - pendingOffset);
      if (n > 0) {
        pendingOffset += static_cast<std::size_t>(n);
        continue;
      }
      if (n < 0 && !NetWouldBlock()) {
        SystemError(NetLastError());
        return -1;
      }
      return 0;
    }
    return 1;
  }

  // `length` bytes as records appended to `out`.
  bool Encrypt(const char* data, std::size_t length, std::vector<char>& out) {
    while (length > 0) {
      const std::size_t chunk = std::min<std::size_t>(length, sizes.cbMaximumMessage);
      const std::size_t at = out.size();
      out.resize(at + sizes.cbHeader + chunk + sizes.cbTrailer);
      char* record = out.data() + at;
      std::memcpy(record + sizes.cbHeader, data, chunk);
      SecBuffer buffers[4] = {{sizes.cbHeader, SECBUFFER_STREAM_HEADER, record},
                              {static_cast<ULONG>(chunk), SECBUFFER_DATA, record + sizes.cbHeader},
                              {sizes.cbTrailer, SECBUFFER_STREAM_TRAILER, record + sizes.cbHeader + chunk},
                              {0, SECBUFFER_EMPTY, nullptr}};
      SecBufferDesc message{SECBUFFER_VERSION, 4, buffers};
      const SECURITY_STATUS status = ::EncryptMessage(&handle, 0, &message, 0);
      if (status != SEC_E_OK) {
        out.resize(at);
        ProtocolError(StatusText("EncryptMessage", status));
        return false;
      }
      // The trailer may come out shorter than its room.
      out.resize(at + buffers[0].cbBuffer + buffers[1].cbBuffer + buffers[2].cbBuffer);
      data += chunk;
      length -= chunk;
    }
    return true;
  }

  // One step of the handshake with what `in` holds: the status, with any
  // answer for the peer sent (within `end`) and the bytes it used dropped.
  SECURITY_STATUS Step(std::chrono::steady_clock::time_point end, ULONG& attributes, IoResult& sendResult) {
    const bool server = context->Server();
    SecBuffer in[2] = {{static_cast<ULONG>(inLength), SECBUFFER_TOKEN, this->in.data()}, {0, SECBUFFER_EMPTY, nullptr}};
    SecBuffer out[2] = {{0, SECBUFFER_TOKEN, nullptr}, {0, SECBUFFER_ALERT, nullptr}};
    SecBufferDesc input{SECBUFFER_VERSION, 2, in}, output{SECBUFFER_VERSION, 2, out};
    const bool first = !SecIsValidHandle(&handle);
    SECURITY_STATUS status;
    if (server) {
      ULONG flags = kAcceptFlags | (context->Authorities() ? ASC_REQ_MUTUAL_AUTH : 0);
      status = ::AcceptSecurityContext(context->Credentials(), first ? nullptr : &handle, &input, flags, 0, &handle,
                                       &output, &attributes, nullptr);
    } else {
      // The name goes to the server (SNI) only when it is a host name: an
      // address is not one.
      SEC_CHAR* name = context->SendsServerName() ? const_cast<SEC_CHAR*>(context->ServerName().c_str()) : nullptr;
      const ULONG flags = kInitializeFlags | (withoutCertificate ? ISC_REQ_USE_SUPPLIED_CREDS : 0);
      status = ::InitializeSecurityContextA(context->Credentials(), first ? nullptr : &handle, name, flags, 0, 0,
                                            first ? nullptr : &input, 0, &handle, &output, &attributes, nullptr);
    }
    // The answer goes out also with a failure, which then carries an alert.
    sendResult = {};
    if (out[0].cbBuffer > 0 && out[0].pvBuffer != nullptr)
      sendResult = SendWithin(static_cast<const char*>(out[0].pvBuffer), out[0].cbBuffer, Remaining(end));
    for (SecBuffer& buffer : out)
      if (buffer.pvBuffer != nullptr) ::FreeContextBuffer(buffer.pvBuffer);
    if (status == SEC_E_INCOMPLETE_MESSAGE || status == SEC_I_INCOMPLETE_CREDENTIALS || (!server && first))
      return status;
    if (in[1].BufferType == SECBUFFER_EXTRA && in[1].cbBuffer > 0) {
      std::memmove(this->in.data(), this->in.data() + inLength - in[1].cbBuffer, in[1].cbBuffer);
      inLength = in[1].cbBuffer;
    } else {
      inLength = 0;
    }
    return status;
  }

  // The handshake, or the messages the peer sends after it (a TLS 1.3
  // session ticket), until SChannel says it is done. After the handshake
  // SChannel is handed what `in` holds first, even nothing.
  IoResult Negotiate(std::chrono::steady_clock::time_point end, bool afterHandshake) {
    bool needMore = !afterHandshake && inLength == 0 && (context->Server() || SecIsValidHandle(&handle));
    for (;;) {
      if (needMore) {
        const IoResult received = Receive(Remaining(end));
        // A peer that closes during the handshake has refused it, or never spoke TLS.
        if (received.status == IoStatus::kClosed) return ProtocolError("the peer closed during the handshake");
        if (!received.Ok()) return received;
      }
      ULONG attributes = 0;
      IoResult sent;
      const SECURITY_STATUS status = Step(end, attributes, sent);
      if (!sent.Ok()) return sent;
      switch (status) {
        case SEC_E_OK:
          return {};
        case SEC_E_INCOMPLETE_MESSAGE:
          needMore = true;
          break;
        case SEC_I_CONTINUE_NEEDED:
          needMore = inLength == 0;
          break;
        case SEC_I_INCOMPLETE_CREDENTIALS:
          // The server asks for a certificate this client does not have:
          // go on without, and let the server decide. Asked again, the
          // system would only repeat itself.
          if (withoutCertificate) return ProtocolError("the server asks for a client certificate (--cert, --key)");
          withoutCertificate = true;
          needMore = false;
          break;
        default:
          return ProtocolError(StatusText(context->Server() ? "AcceptSecurityContext" : "InitializeSecurityContext",
                                          status));
      }
      if (Remaining(end) == 0) return TimedOut();
    }
  }

  // The peer's certificate, checked against the authorities (and, for a
  // client, the server's name), and its common name kept for the log.
  IoResult CheckPeer() {
    const bool server = context->Server();
    if (server && context->Authorities() == nullptr) return {};
    PCCERT_CONTEXT peer = nullptr;
    const SECURITY_STATUS status = ::QueryContextAttributesA(&handle, SECPKG_ATTR_REMOTE_CERT_CONTEXT, &peer);
    if (status != SEC_E_OK || peer == nullptr)
      return ProtocolError(server ? "the client presented no certificate" : "the server presented no certificate");
    ScopedCertificate certificate(peer);
    peerName = CommonName(peer);
    std::string error;
    if (!VerifyPeerCertificate(peer, context->Authorities(), server ? std::string() : context->ServerName(), server,
                               error))
      return ProtocolError(error);
    return {};
  }

  // Tells the peer why a finished handshake is refused (its certificate,
  // its version), so that its side logs the reason rather than a cut;
  // whether the alert arrives changes nothing here.
  void SendAlert(DWORD number) {
    SCHANNEL_ALERT_TOKEN alert{SCHANNEL_ALERT, TLS1_ALERT_FATAL, number};
    SecBuffer control{sizeof alert, SECBUFFER_TOKEN, &alert};
    SecBufferDesc controlDesc{SECBUFFER_VERSION, 1, &control};
    if (::ApplyControlToken(&handle, &controlDesc) != SEC_E_OK) return;
    SecBuffer out{0, SECBUFFER_TOKEN, nullptr};
    SecBufferDesc output{SECBUFFER_VERSION, 1, &out};
    ULONG attributes = 0;
    if (context->Server()) {
      ::AcceptSecurityContext(context->Credentials(), &handle, nullptr, kAcceptFlags, 0, &handle, &output,
                              &attributes, nullptr);
    } else {
      ::InitializeSecurityContextA(context->Credentials(), &handle, nullptr, kInitializeFlags, 0, 0, nullptr, 0,
                                   &handle, &output, &attributes, nullptr);
    }
    if (out.pvBuffer != nullptr) {
      NetSend(socket, out.pvBuffer, out.cbBuffer);
      ::FreeContextBuffer(out.pvBuffer);
    }
  }

  enum class Decrypted { kData, kClosed, kNeedMore, kFailed };

  // One record from `in`: its data into `target` (up to `targetLength`
  // bytes, counted in `delivered`) and the rest kept in `plain`, or the
  // peer's close-notify noted.
  Decrypted DecryptOne(char* target, std::size_t targetLength, std::size_t& delivered, IoResult& failure) {
    delivered = 0;
    SecBuffer buffers[4] = {{static_cast<ULONG>(inLength), SECBUFFER_DATA, in.data()},
                            {0, SECBUFFER_EMPTY, nullptr},
                            {0, SECBUFFER_EMPTY, nullptr},
                            {0, SECBUFFER_EMPTY, nullptr}};
    SecBufferDesc message{SECBUFFER_VERSION, 4, buffers};
    const BYTE recordType = static_cast<BYTE>(in[0]);
    const SECURITY_STATUS status = ::DecryptMessage(&handle, &message, 0, nullptr);
    if (status == SEC_E_INCOMPLETE_MESSAGE) return Decrypted::kNeedMore;
    if (status != SEC_E_OK && status != SEC_I_CONTEXT_EXPIRED && status != SEC_I_RENEGOTIATE) {
      failure = ProtocolError(StatusText("DecryptMessage", status));
      return Decrypted::kFailed;
    }
    const SecBuffer* data = nullptr;
    const SecBuffer* extra = nullptr;
    for (const SecBuffer& buffer : buffers) {
      if (buffer.BufferType == SECBUFFER_DATA) data = &buffer;
      if (buffer.BufferType == SECBUFFER_EXTRA) extra = &buffer;
    }
    if (data != nullptr && data->cbBuffer > 0) {
      const char* bytes = static_cast<const char*>(data->pvBuffer);
      delivered = std::min<std::size_t>(targetLength, data->cbBuffer);
      std::memcpy(target, bytes, delivered);
      plain.assign(bytes + delivered, bytes + data->cbBuffer);
      plainOffset = 0;
    }
    if (extra != nullptr && extra->cbBuffer > 0) {
      std::memmove(in.data(), in.data() + inLength - extra->cbBuffer, extra->cbBuffer);
      inLength = extra->cbBuffer;
    } else {
      inLength = 0;
    }
    // Windows ends the session with SEC_I_CONTEXT_EXPIRED at the peer's
    // close-notify; Wine decrypts the alert record to nothing.
    if (status == SEC_I_CONTEXT_EXPIRED ||
        (status == SEC_E_OK && recordType == kAlertRecord && (data == nullptr || data->cbBuffer == 0))) {
      peerClosed = true;
      return Decrypted::kClosed;
    }
    if (status == SEC_I_RENEGOTIATE) {
      const IoResult result = Negotiate(std::chrono::steady_clock::now() + std::chrono::seconds(10), true);
      if (!result.Ok()) {
        failure = result;
        return Decrypted::kFailed;
      }
    }
    return Decrypted::kData;
  }

  // Whether `in` holds a whole record, which a read decrypts without waiting.
  bool WholeRecord() const {
    if (inLength < 5) return false;
    const std::size_t length = (static_cast<BYTE>(in[3]) << 8) | static_cast<BYTE>(in[4]);
    return inLength >= 5 + length;
  }

  std::size_t TakePlain(void* data, std::size_t length) {
    const std::size_t n = std::min(length, plain.size() - plainOffset);
    std::memcpy(data, plain.data() + plainOffset, n);
    plainOffset += n;
    return n;
  }
};

TlsSession::TlsSession(std::shared_ptr<const TlsContext> context, SocketHandle socket) : FImpl(new Impl) {
  FImpl->context = std::move(context);
  FImpl->socket = socket;
  SecInvalidateHandle(&FImpl->handle);
  NetSetNonBlocking(socket, true);
}

TlsSession::~TlsSession() {
  if (SecIsValidHandle(&FImpl->handle)) ::DeleteSecurityContext(&FImpl->handle);
}

IoResult TlsSession::Handshake(int milliseconds) {
  Impl& s = *FImpl;
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
  IoResult result = s.Negotiate(end, false);
  if (!result.Ok()) return result;
  SECURITY_STATUS status = ::QueryContextAttributesA(&s.handle, SECPKG_ATTR_STREAM_SIZES, &s.sizes);
  if (status != SEC_E_OK) return s.ProtocolError(StatusText("QueryContextAttributes", status));
  // The versions were asked for with the credentials; a system that passes
  // over that request (Wine ignores SCH_CREDENTIALS' version range) must
  // not carry data over an older one.
  SecPkgContext_ConnectionInfo info{};
  status = ::QueryContextAttributesA(&s.handle, SECPKG_ATTR_CONNECTION_INFO, &info);
  if (status != SEC_E_OK) return s.ProtocolError(StatusText("QueryContextAttributes", status));
  if ((info.dwProtocol & Allowed(s.context->Server(), s.context->MinVersion())) == 0) {
    s.SendAlert(TLS1_ALERT_PROTOCOL_VERSION);
    return s.ProtocolError(VersionName(info.dwProtocol) + " is below the minimum version");
  }
  result = s.CheckPeer();
  if (!result.Ok()) {
    s.SendAlert(TLS1_ALERT_BAD_CERTIFICATE);
    return result;
  }
  s.established = true;
  return {};
}

IoResult TlsSession::ReadSome(void* data, std::size_t length, int timeoutSeconds, std::size_t& received) {
  Impl& s = *FImpl;
  received = 0;
  if (length == 0) return {};
  for (;;) {
    if (s.plainOffset < s.plain.size()) {
      received = s.TakePlain(data, length);
      return {};
    }
    if (s.peerClosed) return s.Fail({IoStatus::kClosed, 0}, "closed by the peer");
    if (s.inLength > 0) {
      IoResult failure;
      const Impl::Decrypted step = s.DecryptOne(static_cast<char*>(data), length, received, failure);
      if (step == Impl::Decrypted::kFailed) return failure;
      if (received > 0) return {};
      if (step != Impl::Decrypted::kNeedMore) continue;
    }
    const IoResult more = s.Receive(timeoutSeconds * 1000);
    if (more.status == IoStatus::kClosed) return s.Fail({IoStatus::kFailed, kTlsCut}, "cut without close-notify");
    if (!more.Ok()) return more;
  }
}

IoResult TlsSession::Write(const void* data, std::size_t length, int timeoutSeconds) {
  Impl& s = *FImpl;
  const int milliseconds = timeoutSeconds * 1000;
  IoResult result = s.FlushPending(milliseconds);
  if (!result.Ok()) return result;
  const auto* position = static_cast<const char*>(data);
  // Up to a file block's worth of records per send.
  while (length > 0) {
    const std::size_t chunk = std::min(length, kFileBlock);
    s.records.clear();
    if (!s.Encrypt(position, chunk, s.records)) return s.last;
    result = s.SendWithin(s.records.data(), s.records.size(), milliseconds);
    if (!result.Ok()) return result;
    position += chunk;
    length -= chunk;
  }
  return {};
}

long TlsSession::WriteNoWait(const void* data, std::size_t length) {
  Impl& s = *FImpl;
  // Records already made go first; bytes are taken only when they are gone.
  const int sent = s.SendPending();
  if (sent <= 0) return sent;
  s.pending.clear();
  s.pendingOffset = 0;
  if (length == 0) return 0;
  const std::size_t take = std::min<std::size_t>(length, s.sizes.cbMaximumMessage);
  if (!s.Encrypt(static_cast<const char*>(data), take, s.pending)) return -1;
  // The record is this call's now: what the socket does not take at once
  // goes out at the next call.
  if (s.SendPending() < 0) return -1;
  return static_cast<long>(take);
}

int TlsSession::Wait(int milliseconds, int waitSet) {
  Impl& s = *FImpl;
  if ((waitSet & 1) != 0 && (s.plainOffset < s.plain.size() || s.peerClosed || s.WholeRecord())) return 1;
  return s.WaitSocket(milliseconds, waitSet);
}

SendFileResult TlsSession::SendFile(FileHandle file, std::size_t length, char* buffer, std::size_t bufferSize,
                                    std::size_t& sent) {
  Impl& s = *FImpl;
  sent = 0;
  SendDeadline deadline(s.socket);
  const auto waitForRoom = [&] { return deadline.WaitForRoom(); };
  if (s.pendingOffset < s.pending.size()) {
    if (!s.SendAll(s.pending.data() + s.pendingOffset, s.pending.size() - s.pendingOffset, waitForRoom).Ok())
      return SendFileResult::kSendFailed;
    s.pending.clear();
    s.pendingOffset = 0;
  }
  // The caller's buffer is one record's worth; a larger block of the
  // session's own makes fewer reads and sends.
  if (!s.fileBlock) s.fileBlock.reset(new (std::nothrow) char[kFileBlock]);
  if (s.fileBlock) {
    buffer = s.fileBlock.get();
    bufferSize = kFileBlock;
  }
  for (std::size_t left = length; left > 0;) {
    const long n = ReadFile(file, buffer, std::min(left, bufferSize));
    if (n < 0) return SendFileResult::kReadFailed;
    if (n == 0) break;
    s.records.clear();
    if (!s.Encrypt(buffer, static_cast<std::size_t>(n), s.records)) return SendFileResult::kSendFailed;
    // Progress is counted per send, so that a slow reader that keeps taking
    // bytes is not cut in the middle of a block.
    const char* position = s.records.data();
    std::size_t rest = s.records.size();
    while (rest > 0) {
      const long m = NetSend(s.socket, position, rest);
      if (m > 0) {
        position += m;
        rest -= static_cast<std::size_t>(m);
        deadline.Progressed();
        continue;
      }
      if (m < 0 && !NetWouldBlock()) {
        s.SystemError(NetLastError());
        return SendFileResult::kSendFailed;
      }
      if (!deadline.WaitForRoom()) {
        s.TimedOut();
        return SendFileResult::kSendFailed;
      }
    }
    sent += static_cast<std::size_t>(n);
    left -= static_cast<std::size_t>(n);
  }
  return SendFileResult::kSent;
}

IoResult TlsSession::CloseNotify(int timeoutSeconds) {
  Impl& s = *FImpl;
  const int milliseconds = timeoutSeconds * 1000;
  IoResult result = s.FlushPending(milliseconds);
  if (!result.Ok()) return result;
  // A second close-notify would be a record after the end.
  if (s.closeNotifySent) return {};
  s.closeNotifySent = true;
  DWORD type = SCHANNEL_SHUTDOWN;
  SecBuffer control{sizeof type, SECBUFFER_TOKEN, &type};
  SecBufferDesc controlDesc{SECBUFFER_VERSION, 1, &control};
  SECURITY_STATUS status = ::ApplyControlToken(&s.handle, &controlDesc);
  if (status != SEC_E_OK) return s.ProtocolError(StatusText("ApplyControlToken", status));
  SecBuffer out{0, SECBUFFER_TOKEN, nullptr};
  SecBufferDesc output{SECBUFFER_VERSION, 1, &out};
  ULONG attributes = 0;
  if (s.context->Server()) {
    status = ::AcceptSecurityContext(s.context->Credentials(), &s.handle, nullptr, kAcceptFlags, 0, &s.handle,
                                     &output, &attributes, nullptr);
  } else {
    status = ::InitializeSecurityContextA(s.context->Credentials(), &s.handle, nullptr, kInitializeFlags, 0, 0,
                                          nullptr, 0, &s.handle, &output, &attributes, nullptr);
  }
  if (out.pvBuffer != nullptr && out.cbBuffer > 0 && (status == SEC_E_OK || status == SEC_I_CONTEXT_EXPIRED))
    result = s.SendWithin(static_cast<const char*>(out.pvBuffer), out.cbBuffer, milliseconds);
  if (out.pvBuffer != nullptr) ::FreeContextBuffer(out.pvBuffer);
  if (status != SEC_E_OK && status != SEC_I_CONTEXT_EXPIRED)
    return s.ProtocolError(StatusText("the close-notify", status));
  return result;
}

std::string TlsSession::PeerCommonName() const { return FImpl->peerName; }

bool TlsSession::KernelSend() const { return false; }

std::string TlsSession::Description() const {
  SecPkgContext_ConnectionInfo info{};
  if (!FImpl->established ||
      ::QueryContextAttributesA(&FImpl->handle, SECPKG_ATTR_CONNECTION_INFO, &info) != SEC_E_OK)
    return {};
  const std::string version = VersionName(info.dwProtocol);
  const char* cipher = info.aiCipher == CALG_AES_128 ? "AES-128" : info.aiCipher == CALG_AES_256 ? "AES-256" : nullptr;
  char text[96];
  if (cipher != nullptr) {
    std::snprintf(text, sizeof text, "%s %s", version.c_str(), cipher);
  } else {
    std::snprintf(text, sizeof text, "%s cipher 0x%x/%lu", version.c_str(), info.aiCipher, info.dwCipherStrength);
  }
  return text;
}

IoResult TlsSession::LastResult() const { return FImpl->last; }

std::string TlsSession::ErrorText() const { return FImpl->errorText; }

}  // namespace platform

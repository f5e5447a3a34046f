#include "platform/Tls.h"

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <pthread.h>
#include <sys/sendfile.h>
#include <unistd.h>

#include "platform/ClientSockets.h"
#include "platform/IpAddress.h"
#include "platform/SendDeadline.h"

namespace platform {

class TlsContext {
 public:
  TlsContext(SSL_CTX* context, bool server, std::string serverName)
      : FContext(context), FServer(server), FServerName(std::move(serverName)) {}
  ~TlsContext() { SSL_CTX_free(FContext); }
  TlsContext(const TlsContext&) = delete;
  TlsContext& operator=(const TlsContext&) = delete;

  SSL_CTX* Get() const { return FContext; }
  bool Server() const { return FServer; }
  const std::string& ServerName() const { return FServerName; }

 private:
  SSL_CTX* FContext;
  bool FServer;
  std::string FServerName;
};

namespace {

// The library's last error in words, and the queue emptied.
std::string LibraryError() {
  // The first error queued is the root cause; the later ones only repeat
  // it from the calls further out.
  std::string text;
  for (unsigned long code; (code = ERR_get_error()) != 0;) {
    if (!text.empty()) continue;
    const char* reason = ERR_reason_error_string(code);
    if (reason != nullptr) {
      text = reason;
    } else {
      char line[256];
      ERR_error_string_n(code, line, sizeof line);
      text = line;
    }
  }
  return text.empty() ? "unknown reason" : text;
}

// A file the library is about to load, checked first so that a missing or
// unreadable one is named with the system's reason rather than the
// library's "system lib".
bool Readable(const std::string& what, const std::string& name, std::string& error) {
  std::FILE* file = std::fopen(name.c_str(), "rb");
  if (file == nullptr) {
    error = what + " " + name + ": " + std::strerror(errno);
    return false;
  }
  std::fclose(file);
  return true;
}

bool LoadPair(SSL_CTX* context, const std::string& certificateFile, const std::string& keyFile,
              std::string& error) {
  if (!Readable("certificate", certificateFile, error) || !Readable("key", keyFile, error)) return false;
  ERR_clear_error();
  if (SSL_CTX_use_certificate_chain_file(context, certificateFile.c_str()) != 1) {
    error = "certificate " + certificateFile + ": " + LibraryError();
    return false;
  }
  if (SSL_CTX_use_PrivateKey_file(context, keyFile.c_str(), SSL_FILETYPE_PEM) != 1) {
    const bool mismatch = ERR_GET_REASON(ERR_peek_error()) == X509_R_KEY_VALUES_MISMATCH ||
                          ERR_GET_REASON(ERR_peek_last_error()) == X509_R_KEY_VALUES_MISMATCH;
    error = "key " + keyFile + ": " + (mismatch ? "does not match the certificate " + certificateFile : LibraryError());
    ERR_clear_error();
    return false;
  }
  if (SSL_CTX_check_private_key(context) != 1) {
    error = "key " + keyFile + ": does not match the certificate " + certificateFile;
    ERR_clear_error();
    return false;
  }
  return true;
}

bool LoadAuthorities(SSL_CTX* context, const std::string& what, const std::string& file, std::string& error) {
  if (!Readable(what, file, error)) return false;
  ERR_clear_error();
  if (SSL_CTX_load_verify_locations(context, file.c_str(), nullptr) != 1) {
    error = what + " " + file + ": " + LibraryError();
    return false;
  }
  return true;
}

SSL_CTX* NewContext(const SSL_METHOD* method, TlsVersion minVersion) {
  SSL_CTX* context = SSL_CTX_new(method);
  if (context == nullptr) return nullptr;
  SSL_CTX_set_min_proto_version(context, minVersion == TlsVersion::k13 ? TLS1_3_VERSION : TLS1_2_VERSION);
  // Kernel TLS where the kernel offers it, in its default copy mode: the
  // zero-copy send mode would let a file that an upload appends to change
  // under bytes already counted as sent. Renegotiation is never needed.
  SSL_CTX_set_options(context, SSL_OP_ENABLE_KTLS | SSL_OP_NO_RENEGOTIATION);
  // Writes that take what fits, as a non-blocking socket's send does.
  SSL_CTX_set_mode(context, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
  // During the handshake reads take whatever the socket holds, several
  // records at a time, rather than one system call for each record's header
  // and another for its body; after it, BufferReads takes over.
  SSL_CTX_set_read_ahead(context, 1);
  return context;
}

std::shared_ptr<const TlsContext> Wrap(SSL_CTX* context, bool server, std::string serverName) {
  return std::make_shared<const TlsContext>(context, server, std::move(serverName));
}

// The library writes to the socket with write(), which raises SIGPIPE on a
// connection the peer has closed. A thread that runs TLS sessions holds it
// back for good (the server's threads already do); the failed write then
// reports EPIPE.
void HoldBackBrokenPipe() {
  sigset_t pipe;
  sigemptyset(&pipe);
  sigaddset(&pipe, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &pipe, nullptr);
}

int Remaining(std::chrono::steady_clock::time_point end) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
  return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

// A session's blocks read from the file for the userspace path: large
// reads, each written as a run of full records.
constexpr std::size_t kFileBlock = 256 * 1024;
// What one read from the socket takes after the handshake (BufferReads).
constexpr int kReadBuffer = 256 * 1024;

}  // namespace

std::shared_ptr<const TlsContext> MakeTlsServerContext(const TlsServerSettings& settings, std::string& error) {
  SSL_CTX* context = NewContext(TLS_server_method(), settings.minVersion);
  if (context == nullptr) {
    error = "TLS: " + LibraryError();
    return nullptr;
  }
  // A client that resumes a session must resume it with this server's
  // settings; with client certificates, the library refuses resumption
  // without a context to check it against.
  static const unsigned char kSessionContext[] = "vardex";
  SSL_CTX_set_session_id_context(context, kSessionContext, sizeof kSessionContext - 1);
  bool ok = LoadPair(context, settings.certificateFile, settings.keyFile, error);
  if (ok && !settings.clientCaFile.empty()) {
    ok = LoadAuthorities(context, "client CA", settings.clientCaFile, error);
    if (ok) {
      // The names of the accepted authorities go to the client, so that it
      // picks the certificate they signed.
      STACK_OF(X509_NAME)* names = SSL_load_client_CA_file(settings.clientCaFile.c_str());
      if (names != nullptr) SSL_CTX_set_client_CA_list(context, names);
      SSL_CTX_set_verify(context, SSL_VERIFY_PEER | SSL_VERIFY_FAIL_IF_NO_PEER_CERT, nullptr);
    }
  }
  if (!ok) {
    SSL_CTX_free(context);
    return nullptr;
  }
  return Wrap(context, true, {});
}

std::shared_ptr<const TlsContext> MakeTlsClientContext(const TlsClientSettings& settings, std::string& error) {
  SSL_CTX* context = NewContext(TLS_client_method(), TlsVersion::k12);
  if (context == nullptr) {
    error = "TLS: " + LibraryError();
    return nullptr;
  }
  bool ok = true;
  if (settings.caFile.empty()) {
    if (SSL_CTX_set_default_verify_paths(context) != 1) {
      error = "the system's certificate authorities: " + LibraryError();
      ok = false;
    }
  } else {
    ok = LoadAuthorities(context, "CA", settings.caFile, error);
  }
  if (ok && (!settings.certificateFile.empty() || !settings.keyFile.empty())) {
    if (settings.certificateFile.empty() || settings.keyFile.empty()) {
      error = "a client certificate needs both the certificate and the key";
      ok = false;
    } else {
      ok = LoadPair(context, settings.certificateFile, settings.keyFile, error);
    }
  }
  if (!ok) {
    SSL_CTX_free(context);
    return nullptr;
  }
  SSL_CTX_set_verify(context, SSL_VERIFY_PEER, nullptr);
  return Wrap(context, false, settings.serverName);
}

struct TlsSession::Impl {
  std::shared_ptr<const TlsContext> context;
  SocketHandle socket;
  SSL* ssl = nullptr;
  IoResult last;
  std::string errorText;
  std::unique_ptr<char[]> fileBlock;

  // What the last call's return code `rc` means: kOk with `waitSet` set
  // when the call must wait (bit 0 to read, bit 1 to write) and be made
  // again, the final result otherwise.
  IoResult Classify(int rc, int& waitSet) {
    waitSet = 0;
    const int code = SSL_get_error(ssl, rc);
    switch (code) {
      case SSL_ERROR_WANT_READ:
        waitSet = 1;
        return {};
      case SSL_ERROR_WANT_WRITE:
        waitSet = 2;
        return {};
      case SSL_ERROR_ZERO_RETURN:
        return Fail({IoStatus::kClosed, 0}, "closed by the peer");
      case SSL_ERROR_SYSCALL: {
        const int error = errno;
        if (ERR_peek_error() == 0 && error == 0) return Fail({IoStatus::kFailed, kTlsCut}, "cut without close-notify");
        if (error == ETIMEDOUT || error == EAGAIN) return Fail({IoStatus::kTimedOut, error}, std::strerror(error));
        return Fail({IoStatus::kFailed, error}, std::strerror(error));
      }
      default:
        break;
    }
    if (ERR_GET_REASON(ERR_peek_error()) == SSL_R_UNEXPECTED_EOF_WHILE_READING) {
      ERR_clear_error();
      return Fail({IoStatus::kFailed, kTlsCut}, "cut without close-notify");
    }
    std::string text = LibraryError();
    const long verify = SSL_get_verify_result(ssl);
    if (verify != X509_V_OK) text += std::string(" (") + X509_verify_cert_error_string(verify) + ")";
    return Fail({IoStatus::kFailed, kTlsProtocolError}, text);
  }

  IoResult Fail(IoResult result, std::string text) {
    last = result;
    errorText = std::move(text);
    return result;
  }

  // From the handshake on, the records come through a buffer of large socket
  // reads, and the library takes each record from there. Its own read ahead
  // moves every byte still buffered to the front of its buffer for each
  // record it takes: with a large buffer the same bytes are copied many
  // times over (a receive of 1 MiB copied several MiB). Kernel TLS reads
  // records from the socket itself, so a session that uses it in either
  // direction keeps reading as it did, and one that does not never starts
  // to: no later change of keys may hand the kernel a socket whose bytes
  // partly sit in the buffer.
  void BufferReads() {
    if (BIO_get_ktls_send(SSL_get_wbio(ssl)) != 0 || BIO_get_ktls_recv(SSL_get_rbio(ssl)) != 0) return;
    BIO* buffer = BIO_new(BIO_f_buffer());
    BIO* source = BIO_new_socket(static_cast<int>(socket), BIO_NOCLOSE);
    if (buffer == nullptr || source == nullptr || BIO_set_read_buffer_size(buffer, kReadBuffer) != 1) {
      BIO_free(buffer);
      BIO_free(source);
      return;
    }
    BIO_push(buffer, source);
    SSL_clear_options(ssl, SSL_OP_ENABLE_KTLS);
    // Bytes the handshake's read ahead left in the library's buffer are
    // taken first; from here each record is read whole from `buffer`.
    SSL_set_read_ahead(ssl, 0);
    SSL_set0_rbio(ssl, buffer);
  }

  // Waits for what `waitSet` asks, at most `milliseconds`.
  IoResult WaitFor(int waitSet, int milliseconds) {
    const int ready = NetWaitMilliseconds(socket, milliseconds, waitSet);
    if (ready > 0) return {};
    if (ready == 0) return Fail({IoStatus::kTimedOut, ETIMEDOUT}, "timed out");
    const int error = errno;
    return Fail({IoStatus::kFailed, error}, std::strerror(error));
  }
};

TlsSession::TlsSession(std::shared_ptr<const TlsContext> context, SocketHandle socket) : FImpl(new Impl) {
  HoldBackBrokenPipe();
  FImpl->context = std::move(context);
  FImpl->socket = socket;
  FImpl->ssl = SSL_new(FImpl->context->Get());
  if (FImpl->ssl == nullptr) return;
  SSL_set_fd(FImpl->ssl, static_cast<int>(socket));
  NetSetNonBlocking(socket, true);
  if (FImpl->context->Server()) {
    SSL_set_accept_state(FImpl->ssl);
    return;
  }
  SSL_set_connect_state(FImpl->ssl);
  const std::string& name = FImpl->context->ServerName();
  IpAddress literal;
  if (IpAddress::Parse(name, literal)) {
    X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(FImpl->ssl), name.c_str());
  } else if (!name.empty()) {
    SSL_set_tlsext_host_name(FImpl->ssl, name.c_str());
    SSL_set1_host(FImpl->ssl, name.c_str());
  }
}

TlsSession::~TlsSession() {
  if (FImpl->ssl != nullptr) SSL_free(FImpl->ssl);
}

IoResult TlsSession::Handshake(int milliseconds) {
  Impl& s = *FImpl;
  if (s.ssl == nullptr) return s.Fail({IoStatus::kFailed, kTlsProtocolError}, "TLS: " + LibraryError());
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
  for (;;) {
    ERR_clear_error();
    errno = 0;
    const int rc = SSL_do_handshake(s.ssl);
    if (rc == 1) {
      s.BufferReads();
      return {};
    }
    int waitSet = 0;
    const IoResult result = s.Classify(rc, waitSet);
    // A peer that closes during the handshake has refused it, or never spoke TLS.
    if (result.status == IoStatus::kClosed || (!result.Ok() && result.error == kTlsCut))
      return s.Fail({IoStatus::kFailed, kTlsProtocolError}, "the peer closed during the handshake");
    if (!result.Ok()) return result;
    const IoResult waited = s.WaitFor(waitSet, Remaining(end));
    if (!waited.Ok()) return waited;
  }
}

IoResult TlsSession::ReadSome(void* data, std::size_t length, int timeoutSeconds, std::size_t& received) {
  Impl& s = *FImpl;
  received = 0;
  if (length == 0) return {};
  for (;;) {
    ERR_clear_error();
    errno = 0;
    if (SSL_read_ex(s.ssl, data, length, &received) == 1) {
      // One call gives one record (16 KiB at most): the records that are
      // there already are taken too, so that a large receive gets what a
      // plain socket's would, and the caller's work per receive (a write
      // and a flush, for an upload) is not done for every record.
      auto* position = static_cast<char*>(data);
      std::size_t more = 0;
      while (received < length && SSL_read_ex(s.ssl, position + received, length - received, &more) == 1)
        received += more;
      // What stopped the loop (no data yet, the end, a failure) comes again
      // at the next call.
      ERR_clear_error();
      return {};
    }
    int waitSet = 0;
    const IoResult result = s.Classify(0, waitSet);
    if (!result.Ok()) return result;
    const IoResult waited = s.WaitFor(waitSet, timeoutSeconds * 1000);
    if (!waited.Ok()) return waited;
  }
}

IoResult TlsSession::Write(const void* data, std::size_t length, int timeoutSeconds) {
  Impl& s = *FImpl;
  const auto* position = static_cast<const char*>(data);
  for (std::size_t done = 0; done < length;) {
    ERR_clear_error();
    errno = 0;
    std::size_t n = 0;
    if (SSL_write_ex(s.ssl, position + done, length - done, &n) == 1) {
      done += n;
      continue;
    }
    int waitSet = 0;
    const IoResult result = s.Classify(0, waitSet);
    if (!result.Ok()) return result;
    const IoResult waited = s.WaitFor(waitSet, timeoutSeconds * 1000);
    if (!waited.Ok()) return waited;
  }
  return {};
}

long TlsSession::WriteNoWait(const void* data, std::size_t length) {
  Impl& s = *FImpl;
  ERR_clear_error();
  errno = 0;
  std::size_t n = 0;
  if (SSL_write_ex(s.ssl, data, length, &n) == 1) return static_cast<long>(n);
  int waitSet = 0;
  return s.Classify(0, waitSet).Ok() ? 0 : -1;
}

int TlsSession::Wait(int milliseconds, int waitSet) {
  // The library, or the buffer it reads from, may hold records it has not
  // decrypted yet.
  if ((waitSet & 1) != 0 &&
      (SSL_has_pending(FImpl->ssl) == 1 || BIO_ctrl_pending(SSL_get_rbio(FImpl->ssl)) > 0))
    return 1;
  return NetWaitMilliseconds(FImpl->socket, milliseconds, waitSet);
}

SendFileResult TlsSession::SendFile(FileHandle file, std::size_t length, char* buffer, std::size_t bufferSize,
                                    std::size_t& sent) {
  Impl& s = *FImpl;
  sent = 0;
  SendDeadline deadline(s.socket);
  const int idle = NetIdleTimeout(s.socket);
  // Waits as the plain path does: for room, until the idle time-out has
  // passed since the last progress; a wait to read (a key update from the
  // peer) is bounded the same way.
  const auto wait = [&](int waitSet) {
    if (waitSet == 2) return deadline.WaitForRoom();
    return NetWaitMilliseconds(s.socket, idle > 0 ? idle : -1, waitSet) > 0;
  };
  if (KernelSend()) {
    const off_t start = ::lseek(static_cast<int>(file), 0, SEEK_CUR);
    if (start < 0) return SendFileResult::kReadFailed;
    while (sent < length) {
      ERR_clear_error();
      errno = 0;
      const ossl_ssize_t n =
          SSL_sendfile(s.ssl, static_cast<int>(file), start + static_cast<off_t>(sent), length - sent, 0);
      if (n == 0) break;
      if (n > 0) {
        sent += static_cast<std::size_t>(n);
        deadline.Progressed();
        continue;
      }
      int waitSet = 0;
      if (!s.Classify(static_cast<int>(n), waitSet).Ok() || !wait(waitSet)) {
        ::lseek(static_cast<int>(file), start + static_cast<off_t>(sent), SEEK_SET);
        return SendFileResult::kSendFailed;
      }
    }
    ::lseek(static_cast<int>(file), start + static_cast<off_t>(sent), SEEK_SET);
    return SendFileResult::kSent;
  }
  // The caller's buffer is one record's worth; a larger block of the
  // session's own halves the reads.
  if (!s.fileBlock) s.fileBlock.reset(new (std::nothrow) char[kFileBlock]);
  if (s.fileBlock) {
    buffer = s.fileBlock.get();
    bufferSize = kFileBlock;
  }
  for (std::size_t left = length; left > 0;) {
    const long n = ReadFile(file, buffer, std::min(left, bufferSize));
    if (n < 0) return SendFileResult::kReadFailed;
    if (n == 0) break;
    for (std::size_t done = 0; done < static_cast<std::size_t>(n);) {
      ERR_clear_error();
      errno = 0;
      std::size_t m = 0;
      if (SSL_write_ex(s.ssl, buffer + done, static_cast<std::size_t>(n) - done, &m) == 1) {
        done += m;
        sent += m;
        deadline.Progressed();
        continue;
      }
      int waitSet = 0;
      if (!s.Classify(0, waitSet).Ok()) return SendFileResult::kSendFailed;
      if (!wait(waitSet)) {
        s.Fail({IoStatus::kTimedOut, ETIMEDOUT}, "no progress for the idle time-out");
        return SendFileResult::kSendFailed;
      }
    }
    left -= static_cast<std::size_t>(n);
  }
  return SendFileResult::kSent;
}

IoResult TlsSession::CloseNotify(int timeoutSeconds) {
  Impl& s = *FImpl;
  for (;;) {
    ERR_clear_error();
    errno = 0;
    const int rc = SSL_shutdown(s.ssl);
    if (rc >= 0) return {};
    int waitSet = 0;
    const IoResult result = s.Classify(rc, waitSet);
    if (!result.Ok()) return result;
    const IoResult waited = s.WaitFor(waitSet, timeoutSeconds * 1000);
    if (!waited.Ok()) return waited;
  }
}

std::string TlsSession::PeerCommonName() const {
  const X509* certificate = SSL_get0_peer_certificate(FImpl->ssl);
  if (certificate == nullptr) return {};
  char name[256] = {0};
  if (X509_NAME_get_text_by_NID(X509_get_subject_name(certificate), NID_commonName, name, sizeof name) < 0)
    return {};
  return name;
}

bool TlsSession::KernelSend() const { return BIO_get_ktls_send(SSL_get_wbio(FImpl->ssl)) != 0; }

std::string TlsSession::Description() const {
  return std::string(SSL_get_version(FImpl->ssl)) + " " + SSL_get_cipher_name(FImpl->ssl);
}

IoResult TlsSession::LastResult() const { return FImpl->last; }

std::string TlsSession::ErrorText() const { return FImpl->errorText; }

}  // namespace platform

#pragma once
// TLS over a socket that is already connected: the server's and the
// client's settings (a context, made once and shared by every session that
// starts while it is current), and one session per connection that moves
// the same bytes a plain socket would, encrypted. POSIX builds it on
// OpenSSL, Windows on SChannel.
//
// The data calls return an IoResult like the plain socket calls, so that the
// connection above decides the same way for either: kTimedOut when a wait
// ran out, kClosed when the peer ended the stream cleanly (its close-notify),
// kFailed otherwise. A stream that ends without the peer's close-notify is
// kFailed with the error kTlsCut: somebody cut the connection, and whatever
// it carried is incomplete. Protocol failures (a bad record, a refused
// certificate, an alert) are kFailed with kTlsProtocolError; ErrorText then
// says what happened. System failures carry the system's error number.

#include <cstddef>
#include <memory>
#include <string>

#include "platform/Files.h"
#include "platform/IoResult.h"
#include "platform/SendFile.h"
#include "platform/Sockets.h"

namespace platform {

// Error numbers of a kFailed result that are the TLS layer's own. They are
// negative, so they never collide with a system's error number.
constexpr int kTlsCut = -7001;            // the stream ended without close-notify
constexpr int kTlsProtocolError = -7002;  // see TlsSession::ErrorText

enum class TlsVersion { k12, k13 };

struct TlsServerSettings {
  std::string certificateFile;  // PEM: the server's certificate, then any intermediates
  std::string keyFile;          // PEM: its private key, not encrypted
  std::string clientCaFile;     // PEM bundle; when set, a client must present a certificate it signed
  TlsVersion minVersion = TlsVersion::k12;
};

struct TlsClientSettings {
  std::string caFile;           // PEM bundle; empty: the system's store of authorities
  std::string certificateFile;  // PEM, with keyFile: the client's own certificate (both or neither)
  std::string keyFile;
  // The name the server's certificate must carry: a host name, or an IPv4
  // or IPv6 literal, which is checked against the certificate's addresses.
  std::string serverName;
};

// The settings in the form the TLS library uses them, immutable once made.
// Replacing the current context (a reload) does not disturb the sessions
// made with the old one: each holds its context.
class TlsContext;

// Null on failure, with `error` naming the file and the reason (cannot be
// read, is not a certificate, the key does not match the certificate, ...).
std::shared_ptr<const TlsContext> MakeTlsServerContext(const TlsServerSettings& settings, std::string& error);
std::shared_ptr<const TlsContext> MakeTlsClientContext(const TlsClientSettings& settings, std::string& error);

// One TLS connection over `socket`, as the server or the client its context
// was made for. The session does not own the socket, and may switch it to
// non-blocking mode; from its creation on, the socket is used only through
// the session, except for a shutdown from another thread, which cuts it.
// Not thread-safe: one thread drives a session.
class TlsSession {
 public:
  TlsSession(std::shared_ptr<const TlsContext> context, SocketHandle socket);
  ~TlsSession();
  TlsSession(const TlsSession&) = delete;
  TlsSession& operator=(const TlsSession&) = delete;

  // The handshake, all of it within `milliseconds`: kTimedOut when the peer
  // stalls, kFailed (kTlsProtocolError) when it speaks something else or a
  // certificate is refused. Every other call needs a handshake that was kOk.
  IoResult Handshake(int milliseconds);

  // At least one byte and at most `length`, waiting at most `timeoutSeconds`
  // for the first; `received` counts them.
  IoResult ReadSome(void* data, std::size_t length, int timeoutSeconds, std::size_t& received);
  // Exactly `length` bytes, each wait at most `timeoutSeconds`. A clean end
  // before the last byte is kClosed, as on a plain socket.
  IoResult ReadExactly(void* data, std::size_t length, int timeoutSeconds);
  // All `length` bytes, each wait for room at most `timeoutSeconds`.
  IoResult Write(const void* data, std::size_t length, int timeoutSeconds);
  // What the connection takes at once without waiting: the bytes taken, 0
  // when there is no room now, -1 on failure (LastResult says which).
  long WriteNoWait(const void* data, std::size_t length);

  // As NetWaitMilliseconds (bit 0 readable, bit 1 writable; > 0 ready, 0
  // time-out, -1 error), counting bytes the session holds already
  // (received, not yet read) as readable.
  int Wait(int milliseconds, int waitSet);

  // File data from the file's current position, as SendFileData does for a
  // plain socket, including the wait for room bounded by the socket's idle
  // time-out. Where the kernel does the encryption (KernelSend) the bytes go
  // straight from the file; otherwise they are read into `buffer` in large
  // blocks and written through the session.
  SendFileResult SendFile(FileHandle file, std::size_t length, char* buffer, std::size_t bufferSize,
                          std::size_t& sent);

  // Sends close-notify: this side sends nothing more, and the peer can tell
  // the end of the stream from a cut. Reading stays possible.
  IoResult CloseNotify(int timeoutSeconds);

  // The common name of the certificate the peer presented; empty without one.
  std::string PeerCommonName() const;
  // Whether the kernel encrypts what this session sends (kernel TLS).
  bool KernelSend() const;
  // The negotiated version and cipher ("TLSv1.3 TLS_AES_128_GCM_SHA256").
  std::string Description() const;
  // The result of the last call that failed, and what the TLS library said.
  IoResult LastResult() const;
  std::string ErrorText() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> FImpl;
};

// The text of a failed TLS read or write for a log line: the library's own
// words for a protocol failure, "cut without close-notify", the system's
// error otherwise.
std::string TlsResultText(const IoResult& result, const TlsSession& session);

}  // namespace platform

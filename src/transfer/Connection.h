#pragma once
// One connection as the conversations see it: the socket, and a TLS session
// over it when the connection came in on (or went out to) the TLS port. The
// conversations read, write and send files through it and never ask which
// it is; a plain connection forwards each call to the socket primitives of
// SocketLib unchanged, so its bytes and system calls are those of a bare
// socket. The one test per call costs nothing beside the system call.

#include <cstddef>
#include <memory>
#include <string>

#include "platform/Files.h"
#include "platform/SendFile.h"
#include "platform/Tls.h"
#include "transfer/SocketLib.h"

class TConnection {
 public:
  TConnection() = default;
  explicit TConnection(TSocket socket) : FSocket(socket) {}
  // Closes the socket, as Close does.
  ~TConnection() { Close(); }
  TConnection(const TConnection&) = delete;
  TConnection& operator=(const TConnection&) = delete;

  // Takes `socket`, closing the one held before.
  void Reset(TSocket socket);
  // From here on the connection speaks TLS as its context says (server or
  // client): the handshake, all of it within `milliseconds`. On failure the
  // connection stays TLS and carries nothing more; TlsText says why.
  IoResult StartTls(std::shared_ptr<const platform::TlsContext> context, int milliseconds);

  TSocket Socket() const { return FSocket; }
  bool Valid() const { return FSocket != INVALID_SOCK; }
  bool Secure() const { return FTls != nullptr; }
  // The common name of the peer's certificate; empty without one (always on
  // a plain connection).
  std::string PeerCommonName() const { return FTls ? FTls->PeerCommonName() : std::string(); }
  // Whether the kernel encrypts what this connection sends.
  bool KernelSend() const { return FTls && FTls->KernelSend(); }
  // Version and cipher of a TLS connection, empty for a plain one.
  std::string Description() const { return FTls ? FTls->Description() : std::string(); }

  // ReadBuffer, WriteBuffer, ReadHeader, WriteHeader and
  // WriteHeaderBeforeData of SocketLib, on this connection.
  IoResult Read(void* buffer, int length, int timeoutSeconds);
  IoResult Write(const void* buffer, int length, int timeoutSeconds);
  IoResult ReadHeader(MsgHeader& header, int timeoutSeconds);
  IoResult WriteHeader(const MsgHeader& header, int timeoutSeconds);
  IoResult WriteHeaderBeforeData(const MsgHeader& header, int timeoutSeconds);

  // What has come, waiting for the first byte as a blocking receive does
  // (up to the socket's idle time-out): the byte count, 0 when the peer has
  // ended its side (a half-close, or TLS close-notify), -1 on failure -- a
  // TLS stream that ends without close-notify among them: it was cut.
  long Receive(void* buffer, std::size_t length);
  // What the connection takes at once without waiting: bytes, 0 for no
  // room, -1 on failure.
  long SendNoWait(const void* data, std::size_t length);
  // Readiness wait, as NetWaitMilliseconds: bit 0 readable, bit 1 writable.
  // Bytes a TLS session holds already count as readable.
  int Wait(int milliseconds, int waitSet);

  // File data from the file's current position: SendFileData of the
  // platform, or the TLS session's equivalent (whose `ended` stays false).
  platform::SendFileResult SendFile(platform::FileHandle file, std::size_t length, char* buffer,
                                    std::size_t bufferSize, std::size_t& sent, bool& ended);
  // The system's error number of a failed send or receive, for the lines
  // that have always carried it; a TLS failure without one gives the TLS
  // layer's own negative number (platform/Tls.h).
  int LastError() const;
  // The TLS layer's words for the last failure; empty on a plain connection.
  std::string TlsText() const { return FTls ? FTls->ErrorText() : std::string(); }

  // This side sends nothing more, and the peer learns it: a half-close, or
  // close-notify (reading stays possible either way).
  void EndSending(int timeoutSeconds);
  // As NetSetAbortiveClose: with it, Close resets the connection (and a TLS
  // connection sends no close-notify first), so that the peer sees an error.
  void SetAbortiveClose(bool abortive);
  // Closes the socket. A TLS connection that carried its data without a
  // failure and is not set to close abortively ends with close-notify
  // first, as a plain one ends with a normal close.
  void Close();

  // The words of a failed read or write for a log line: SocketResultText's
  // on a plain connection, the TLS layer's on a TLS one.
  std::string ResultText(SocketCall call, const IoResult& result) const;

 private:
  TSocket FSocket = INVALID_SOCK;
  std::unique_ptr<platform::TlsSession> FTls;
  bool FAbortive = false;
  bool FFailed = false;  // a TLS call failed: no close-notify at the close
};

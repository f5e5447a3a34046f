#pragma once
// The worker of one accepted connection: the handshake, then one download,
// one upload or one digest conversation, then the socket is closed. It runs on the thread
// that accepted the connection and is counted in its listener's worker set
// for its whole life.

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/Files.h"
#include "platform/UniqueHandle.h"
#include "server/FileList.h"
#include "server/LiveAccess.h"
#include "server/ServerConfig.h"
#include "server/TransferPace.h"
#include "server/UploadWriters.h"
#include "server/WorkerSet.h"
#include "transfer/CommandBody.h"
#include "transfer/Connection.h"

class TProcessThread {
 public:
  // Initialize has run; the connection counts in `workers` from here on.
  // The worker keeps its own references to `config`, `workers`, the
  // listener's shared `rates` and its `access` rules and bans. With `tls`
  // the connection came in on the TLS port and speaks TLS after the PROXY
  // header.
  TProcessThread(TSocket socket, TServerConfigPtr config, std::shared_ptr<TWorkerSet> workers,
                 TSharedRates rates, std::shared_ptr<TLiveAccess> access,
                 std::shared_ptr<const platform::TlsContext> tls = nullptr);
  // A connection that has waited in the listener's waiting room since
  // `accepted`, counted there by `membership` from its accept on.
  TProcessThread(TWorkerMembership&& membership, TSocket socket, std::chrono::steady_clock::time_point accepted,
                 TServerConfigPtr config, TSharedRates rates, std::shared_ptr<TLiveAccess> access,
                 std::shared_ptr<const platform::TlsContext> tls = nullptr);
  TProcessThread(const TProcessThread&) = delete;
  TProcessThread& operator=(const TProcessThread&) = delete;
  // Closes the socket unless the upload's data phase has closed it already.
  ~TProcessThread();

  // 0, or 20 when the transfer buffer cannot be had (logged).
  std::int32_t Initialize(TSocket socket);
  std::int32_t InitializeResult() const { return FInitializeResult; }

  // The whole conversation, on the caller's thread. Per-connection failures
  // are logged and end it; nothing is thrown for them.
  void Serve();
  // The rest of the conversation once the opening header has been answered
  // in `direction` (0 download, 1 upload, 2 digest).
  void ServeAnswered(std::uint8_t direction);

  // The download as the listener's readiness loop serves it, in steps that
  // never wait (ProcessThreadDownload.cpp), for a connection whose opening
  // header it has answered. Begin: whether this download may be served so
  // (a plain connection without limits and without an authoriser); false
  // leaves the conversation to ServeAnswered. The loop reads the request
  // and gives its header to DownloadRequestHeader (false: refused, logged,
  // ended) and, once its body is there too, both to DownloadWithoutWaiting:
  // true when the conversation has ended, false when it goes on on a thread
  // of its own with ContinueDownload, from where it stands (the socket had
  // no room for the rest of the file, or a failure is to be reported).
  // DownloadRequestMissing ends a request that did not come whole in time,
  // with the line a worker's read writes.
  bool BeginDownloadWithoutWaiting();
  bool DownloadRequestHeader(const MsgHeader& header);
  void DownloadRequestMissing(bool headerWhole);
  bool DownloadWithoutWaiting(const MsgHeader& header, const char* body);
  void ContinueDownload();

  // The opening header's rules, for Validate and for the waiting room that
  // reads the header before there is a worker: the reply to `header` is
  // sent and the result returned (0, 18 for unknown letters, or 17 when the
  // reply could not be sent).
  static std::int32_t AnswerHandshake(TSocket socket, MsgHeader header, std::uint8_t& direction);
  // The answer alone: 0 with `direction` set, or 18.
  static std::int32_t HandshakeResult(const MsgHeader& header, std::uint8_t& direction);
  // The line of a handshake that failed with `result` (16: not received, 17:
  // reply not sent); a mismatch (18) has none.
  static void LogHandshakeFailure(const std::string& logPath, const std::string& client, std::int32_t result);

 private:
  // A connection from a listed load balancer starts with a PROXY header;
  // it names the client, whose address the log lines then carry. False when
  // no valid header came in time: the connection is closed unanswered
  // (ProcessThreadProxy.cpp).
  bool ReadProxyHeader();
  std::string FProxiedAddress;
  // The header's deadline runs from here.
  std::chrono::steady_clock::time_point FAccepted = std::chrono::steady_clock::now();

  // Once the client is known: false, with the connection closed unanswered,
  // when the client is banned, or when it has MaxConnectionsPerHost open
  // already (counted, and logged once a minute).
  bool Admitted();
  // What a client that probes or attacks does and a working one does not:
  // a wrong handshake, a malformed or oversized header or body, a request
  // refused with 3, silence until the handshake's wait runs out. Noted where
  // it happens, told to the bans once, when the conversation has ended.
  void NoteBadEvent() { FBadEvent = true; }
  void ReportBadEvent();
  bool FBadEvent = false;
  // The TLS handshake, bounded like the wait for the first header: a peer
  // that stalls or speaks clear text is cut, logged and counted. False when
  // it failed.
  bool StartTls();
  std::shared_ptr<const platform::TlsContext> FTls;
  // The common name of the client's certificate, for the lines that say
  // why a request failed; empty without one.
  std::string FCertificateName;

  // Reads the opening header; `direction` becomes 0 (download), 1 (upload)
  // or 2 (digest).
  std::int32_t Validate(std::uint8_t& direction);

  // The first request of either conversation: a header with `command` whose
  // body fits one block. False, with the line of `step` logged, otherwise;
  // `what` names the read in a time-out's line.
  bool ReadRequestHeader(const char* step, const char* command, const char* what, MsgHeader& header);
  // Its two ways to fail, each with its line.
  void RequestNotReceived(const char* step, const char* what);
  bool RequestHeaderAccepted(const char* step, const char* command, const MsgHeader& header);
  // The bans hear of a bad event once, when the conversation has ended.
  void EndConversation() {
    if (FBadEvent) ReportBadEvent();
  }

  // The download conversation (ProcessThreadDownload.cpp): the request, then
  // StartDownload (the file check with its reply, and the file opened at
  // the client's position), SendDownloadData, EndDownload (the line of a
  // failure, the report, the count). The steps keep what they find in
  // FDownload, so that a worker can go on where the readiness loop stopped.
  void doDownload();
  std::int32_t BodyNotReceived(std::string& error);
  void StartDownload(MsgHeader header, const char* body);
  std::int32_t doFileCheck(MsgHeader header, const char* body, TFile& file, std::string& error);
  std::int32_t OpenForDownload(TFile& file, platform::UniqueFile& handle, std::string& error);
  // To the end of the file; without `wait`, false once the socket has no
  // room, with the position and the counts where the sent bytes left them.
  bool SendDownloadData(bool wait);
  bool ReportsDownloadFailure() const;
  void EndDownload();
  struct TDownload {
    TFile file;
    // Open while file data remain to be sent.
    platform::UniqueFile handle;
    std::int64_t sent = 0;
    // Whether the file check passed; the result is then the data phase's.
    bool checked = false;
    std::int32_t result = 0;
    std::string error;
  };
  TDownload FDownload;

  // The digest conversation (ProcessThreadDigest.cpp).
  void doDigest();

  // The upload conversation (ProcessThreadUpload.cpp).
  void doUpload();
  std::int32_t doDiskCheck(MsgHeader header, TFile& file, std::string& error);
  // doDiskCheck's three exchanges: the request with its room check, the
  // resume offer ("UP02"), and the client's position ("UP03"), which claims
  // the file for an upload that will write.
  std::int32_t CheckRequest(MsgHeader header, TFile& file, std::string& error);
  // The header of the next step, which must be `command`; `what` names the
  // read in a time-out's text.
  std::int32_t ReadStepHeader(const char* name, const char* command, const char* what, MsgHeader& header,
                              std::string& error);
  std::int32_t OfferResume(const TFile& file, std::int64_t& offered, std::string& error);
  std::int32_t TakeResumePosition(TFile& file, std::int64_t offered, std::string& error);
  // The data phase; `endedEarly` tells an upload whose data ended short of
  // its size without a failure (its client closed, or a newer upload won).
  std::int32_t doInternalUpload(TFile& file, bool& endedEarly, std::string& error);
  // Holding the file here and across instances: checks the position
  // against the file as it is now and cuts the file there. 0, or the result
  // after an error header.
  std::int32_t CutToPosition(platform::FileHandle handle, const TFile& file, std::string& error);
  // Closes the socket before the completion steps or a report, so that the
  // client sees the end at once and the connection no longer counts;
  // FConnection is then closed and the address the connection had is kept
  // for the lines written afterwards.
  void CloseConnection();
  std::string ClientAddress() const;
  // The client as failure lines name it: its address, and with a client
  // certificate " cert=" and the certificate's common name.
  std::string LogPeer() const;
  // Empty when the [Access] rules let this client go on with `file` in
  // `direction`; otherwise the rule that refuses it, and the refusal is
  // counted (and, unless the authoriser failed, a bad event). The lists,
  // then the token (the body's TOKEN), then the operator's authoriser; the
  // first refusal ends it. Asked once per conversation, before anything
  // looks at the file or the disk.
  std::string AccessRefusal(TAccessDirection direction, const TFile& file, const TCommandBody& body,
                            bool digest = false);
  // Whether `name` lies outside every root; a refusal is counted.
  bool OutsideRoots(const std::string& name);
  // The peer's address, read once: it never changes while the connection
  // lasts, and a peer that has gone has none left to read. The waiting
  // room's, or read by Serve (not on the accepting thread, which made the
  // worker).
  std::string FPeerAddress;
  // Held from the resume offer until the file is closed; let go before the
  // socket is closed, so that a newer upload never cuts a closed socket.
  TUploadClaim FUploadClaim;

  TConnection FConnection;
  const TServerConfigPtr FConfig;
  const TSharedRates FRates;
  const std::shared_ptr<TLiveAccess> FAccess;
  // The [Access] rules this connection is judged by, taken when it begins:
  // a reload meanwhile changes nothing for it.
  std::shared_ptr<const TAccessRules> FRules;
  TWorkerMembership FMembership;
  std::unique_ptr<char[]> FBuffer;
  std::int32_t FInitializeResult = 0;
};

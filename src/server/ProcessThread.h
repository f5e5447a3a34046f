#pragma once
// The worker of one accepted connection: the handshake, then one download or
// one upload conversation, then the socket is closed and the worker frees
// itself.

#include <cstdint>
#include <memory>
#include <string>

#include "base/Thread.h"
#include "server/FileList.h"
#include "server/ServerConfig.h"
#include "server/UploadWriters.h"
#include "transfer/SocketLib.h"

class TProcessThread : public TThread {
 public:
  // Created suspended; Initialize has run. The creator sets free-on-terminate
  // and resumes it. The worker keeps its own reference to `config`.
  TProcessThread(TSocket socket, TServerConfigPtr config);
  // Closes the socket unless the upload's data phase has closed it already.
  ~TProcessThread() override;

  // 0, or 20 when the transfer buffer cannot be had (logged).
  std::int32_t Initialize(TSocket socket);
  std::int32_t InitializeResult() const { return FInitializeResult; }

  // Workers that exist right now.
  static int LiveCount();
  // Connections open right now, from the worker's creation to the close of
  // its socket, for the listener's connection limit: a worker in its
  // completion pause or report no longer counts.
  static int OpenConnections();

 protected:
  void Execute() override;

 private:
  // A connection from a listed load balancer starts with a PROXY header;
  // it names the client, whose address the log lines then carry. False when
  // no valid header came in time: the connection is closed unanswered
  // (ProcessThreadProxy.cpp).
  bool ReadProxyHeader();
  std::string FProxiedAddress;

  // Reads the opening header; `direction` becomes 0 (download) or 1 (upload).
  std::int32_t Validate(std::uint8_t& direction);

  // The download conversation (ProcessThreadDownload.cpp).
  void doDownload();
  std::int32_t doFileCheck(MsgHeader header, TFile& file, std::string& error);
  std::int32_t doInternalDownload(TFile& file, std::string& error);

  // The upload conversation (ProcessThreadUpload.cpp).
  void doUpload();
  std::int32_t doDiskCheck(MsgHeader header, TFile& file, std::string& error);
  std::int32_t doInternalUpload(TFile& file, std::string& error);
  // Closes the socket before the completion steps or a report, so that the
  // client sees the end at once and the connection no longer counts;
  // FSocket is then INVALID_SOCK and the address the connection had is kept
  // for the lines written afterwards.
  void CloseConnection();
  std::string ClientAddress() const;
  std::string FClosedPeerAddress;
  // Held from the resume offer until the file is closed; let go before the
  // socket is closed, so that a newer upload never cuts a closed socket.
  TUploadClaim FUploadClaim;

  const TServerConfigPtr FConfig;
  TSocket FSocket = INVALID_SOCK;
  std::unique_ptr<char[]> FBuffer;
  std::int32_t FInitializeResult = 0;
};

#pragma once
// The client's end of one connection: name resolution, a connect with a
// time-out, the opening handshake, and request/reply header exchanges with
// the waits the server uses too (kPeerWaitSeconds).

#include <cstdint>
#include <initializer_list>
#include <string>
#include <utility>

#include "client/Transfer.h"
#include "transfer/Connection.h"

class TClientSession {
 public:
  // Resolves `host`, connects to the first address that answers and sends the
  // opening header `command` ("DNLD", "UPLD" or "DGST"). False with `outcome`
  // set when any of it fails; a refused handshake sets its resultCode.
  // With request.tls the connection speaks TLS from the connect on, and the
  // server's certificate must carry `host`.
  bool Open(const TransferRequest& request, const char* command, TransferOutcome& outcome);

  // Sends a header `command` announcing `body`, then the body. An empty body
  // sends the header alone, with SIZE 0.
  bool Send(const char* command, const std::string& body, TransferOutcome& outcome);
  // Receives a reply header that must carry the letters `command`, waiting
  // at most `seconds` for it.
  bool Receive(const char* command, MsgHeader& reply, TransferOutcome& outcome, int seconds = kPeerWaitSeconds);
  // Receives `length` bytes of a reply body.
  bool ReceiveBody(std::int32_t length, std::string& body, TransferOutcome& outcome);

  TConnection& Connection() { return FConnection; }
  void Close() { FConnection.Close(); }
  // The words for the connection's last failure: the TLS layer's, or the
  // system's text and number.
  std::string FailureText() const;

 private:
  bool StartTls(const TransferRequest& request, TransferOutcome& outcome);

  std::string FPeer;  // "host:port", for messages
  TConnection FConnection;
};

// KEY=VALUE lines, each ended by CR LF.
std::string CommandBody(std::initializer_list<std::pair<const char*, std::string>> entries);

// Whether `name` can travel as a REMOTEFILENAME value: a line end or zero
// byte would cut it on the server, and the whole body must fit one block.
// False with the reason in `why`.
bool IsSendableName(const std::string& name, std::string& why);

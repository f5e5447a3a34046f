#pragma once
// The client's end of one connection: name resolution, a connect with a
// time-out, the opening handshake, and request/reply header exchanges with
// the waits the server uses too (kPeerWaitSeconds).

#include <cstdint>
#include <initializer_list>
#include <string>
#include <utility>

#include "client/Transfer.h"
#include "platform/UniqueHandle.h"
#include "transfer/SocketLib.h"

class TClientSession {
 public:
  // Resolves `host`, connects to the first address that answers and sends the
  // opening header `command` ("DNLD", "UPLD" or "DGST"). False with `outcome`
  // set when any of it fails; a refused handshake sets its resultCode.
  bool Open(const std::string& host, int port, const char* command, TransferOutcome& outcome);

  // Sends a header `command` announcing `body`, then the body. An empty body
  // sends the header alone, with SIZE 0.
  bool Send(const char* command, const std::string& body, TransferOutcome& outcome);
  // Receives a reply header that must carry the letters `command`, waiting
  // at most `seconds` for it.
  bool Receive(const char* command, MsgHeader& reply, TransferOutcome& outcome, int seconds = kPeerWaitSeconds);
  // Receives `length` bytes of a reply body.
  bool ReceiveBody(std::int32_t length, std::string& body, TransferOutcome& outcome);

  TSocket Socket() const { return FSocket.get(); }
  void Close() { FSocket.reset(); }

 private:
  std::string FPeer;  // "host:port", for messages
  platform::UniqueSocket FSocket;
};

// KEY=VALUE lines, each ended by CR LF.
std::string CommandBody(std::initializer_list<std::pair<const char*, std::string>> entries);
// The TOKEN line for a body, or nothing when `token` is empty, so that a
// client without a token sends the bodies it always sent.
std::string TokenEntry(const std::string& token);

// Whether `name` can travel as a REMOTEFILENAME value, and `token` as the
// TOKEN: a line end or zero byte would cut them on the server, and the whole
// body must fit one block. False with the reason in `why`.
bool IsSendableName(const std::string& name, std::string& why, const std::string& token = "");

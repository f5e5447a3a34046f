#include "client/ClientSession.h"

#include <chrono>
#include <vector>

#include "platform/ClientSockets.h"
#include "platform/Resolve.h"

namespace {

// Room left in a command body for the other keys of a request.
constexpr std::size_t kLongestName = MAX_BLOCK_SIZE - 200;

using Clock = std::chrono::steady_clock;

// "host:port", with an IPv6 literal in brackets so that its port stands out.
std::string PeerText(const std::string& host, int port) {
  return (host.find(':') == std::string::npos ? host : "[" + host + "]") + ":" + std::to_string(port);
}

}  // namespace

bool TClientSession::Open(const std::string& host, int port, const char* command, TransferOutcome& outcome) {
  FPeer = PeerText(host, port);
  std::vector<platform::IpAddress> addresses;
  std::string error;
  if (!platform::ResolveHost(host, addresses, error)) {
    outcome = Failure(ExitStatus::kConnection, "cannot resolve " + host + ": " + error);
    return false;
  }
  // Every address shares one budget: a name whose first addresses do not
  // answer still fails within it, not once per address.
  const Clock::time_point deadline = Clock::now() + std::chrono::seconds(kConnectSeconds);
  std::string why;
  for (const platform::IpAddress& address : addresses) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) break;
    FSocket.reset(BaseSocket(address, error));
    if (!FSocket.valid()) {
      why = address.Text() + ": " + error;
      continue;
    }
    const IoResult result = platform::NetConnectTimed(FSocket.get(), address, port, static_cast<int>(left));
    if (result.Ok()) break;
    why = result.TimedOut() ? "no answer within " + std::to_string(kConnectSeconds) + " seconds"
                            : SystemError(result.error);
    why = address.Text() + ": " + why;
    Close();
  }
  if (!FSocket.valid()) {
    outcome = Failure(ExitStatus::kConnection, "cannot connect to " + FPeer + ", " + why);
    return false;
  }
  MsgHeader reply;
  if (!Send(command, "", outcome) || !Receive(command, reply, outcome)) return false;
  if (reply.SIZE != 0) {
    outcome = Refusal(std::string("the opening ") + command, reply.SIZE);
    return false;
  }
  return true;
}

bool TClientSession::Send(const char* command, const std::string& body, TransferOutcome& outcome) {
  IoResult result = WriteHeader(FSocket.get(), MakeHeader(command, static_cast<std::int32_t>(body.size())), kPeerWaitSeconds);
  if (result.Ok()) result = WriteBuffer(FSocket.get(), body.data(), static_cast<int>(body.size()), kPeerWaitSeconds);
  if (!result.Ok()) {
    outcome = Failure(ExitStatus::kConnection, std::string("cannot send ") + command + " to " + FPeer +
                                                   (result.TimedOut() ? ": the server takes nothing" : ": the connection broke"));
    return false;
  }
  return true;
}

bool TClientSession::Receive(const char* command, MsgHeader& reply, TransferOutcome& outcome, int seconds) {
  const IoResult result = ReadHeader(FSocket.get(), reply, seconds);
  if (!result.Ok()) {
    outcome = Failure(ExitStatus::kConnection,
                      std::string("no ") + command + " reply from " + FPeer +
                          (result.TimedOut() ? " within " + std::to_string(seconds) + " seconds"
                                             : ": the server closed the connection"));
    return false;
  }
  if (!IsCommand(reply, command)) {
    outcome = Failure(ExitStatus::kConnection, std::string("unexpected reply from ") + FPeer + ": \"" +
                                                   CommandText(reply) + "\" where " + command + " was due");
    return false;
  }
  return true;
}

bool TClientSession::ReceiveBody(std::int32_t length, std::string& body, TransferOutcome& outcome) {
  if (length < 0 || length > MAX_BLOCK_SIZE) {
    outcome = Failure(ExitStatus::kConnection, "unexpected reply from " + FPeer + ": a body of " +
                                                   std::to_string(length) + " bytes");
    return false;
  }
  body.assign(static_cast<std::size_t>(length), '\0');
  const IoResult result = ReadBuffer(FSocket.get(), body.data(), length, kPeerWaitSeconds);
  if (!result.Ok()) {
    outcome = Failure(ExitStatus::kConnection, "incomplete reply from " + FPeer +
                                                   (result.TimedOut() ? ": the server fell silent" : ": the connection closed"));
    return false;
  }
  return true;
}

std::string CommandBody(std::initializer_list<std::pair<const char*, std::string>> entries) {
  std::string body;
  for (const auto& [key, value] : entries) body += std::string(key) + "=" + value + "\r\n";
  return body;
}

std::string TokenEntry(const std::string& token) { return token.empty() ? "" : "TOKEN=" + token + "\r\n"; }

bool IsSendableName(const std::string& name, std::string& why, const std::string& token) {
  const std::string lineEnds("\r\n\0", 3);
  if (name.empty()) {
    why = "the remote name is empty";
  } else if (name.find_first_of(lineEnds) != std::string::npos) {
    why = "the remote name contains a line end or a zero byte";
  } else if (token.find_first_of(lineEnds) != std::string::npos) {
    why = "the token contains a line end or a zero byte";
  } else if (name.size() + token.size() > kLongestName) {
    why = (token.empty() ? "the remote name is longer than " : "the remote name and the token are longer than ") +
          std::to_string(kLongestName) + " bytes";
  } else {
    return true;
  }
  return false;
}

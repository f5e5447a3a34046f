#pragma once
// What a client transfer is asked to do, how it went, and how it reports its
// progress while it runs.

#include <cstdint>
#include <functional>
#include <string>

#include "client/ExitStatus.h"

// Whether the transfer compares digests with the server: the bytes a resume
// continues from, and the whole file at the end.
enum class Verification {
  kOff,        // --no-verify
  kIfOffered,  // a server without digests gets a warning and no check
  kRequired,   // --verify=require: a server without digests is status 7
};

struct TransferRequest {
  std::string host;
  int port = 80;
  std::string remote;        // the name on the server, sent as REMOTEFILENAME
  std::string local;         // the file on this machine
  std::int64_t size = -1;    // download only: the expected FILESIZE, -1 when not given
  std::int32_t fileNo = 0;   // FILENO
  std::int32_t userNo = 0;   // USERNO
  bool restart = false;      // start at position 0 instead of resuming
  std::string token;         // TOKEN sent with every request; empty sends none
  Verification verify = Verification::kIfOffered;
};

struct TransferOutcome {
  ExitStatus status = ExitStatus::kDone;
  std::string message;         // one line for the user
  std::int32_t resultCode = 0; // the server's code when it refused
  std::int64_t start = 0;      // the position the transfer started from
  std::int64_t moved = 0;      // file bytes written to LOCAL or sent this run
  std::string warning;         // one line for the user beside the outcome, or empty
};

struct TransferProgress {
  std::int64_t start = 0;   // position the run started from
  std::int64_t moved = 0;   // bytes moved since
  std::int64_t total = -1;  // size of the whole file, -1 when unknown
};

// Called after every block; returning false stops the transfer, leaving LOCAL
// (or the server's file) resumable.
using ProgressFn = std::function<bool(const TransferProgress&)>;

// How long the client waits for a connection, and for the next bytes of a
// data phase, before it gives up; each header waits kPeerWaitSeconds.
constexpr int kConnectSeconds = 10;
constexpr int kDataIdleSeconds = 60;

// Outcomes with their one-line messages.
TransferOutcome Failure(ExitStatus status, const std::string& message);
// "<what> refused by the server: <code> (<meaning in English>)".
TransferOutcome Refusal(const std::string& what, std::int32_t code);
// The system's text and number of an error, "Connection refused (111)".
std::string SystemError(int error);

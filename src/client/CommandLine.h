#pragma once
// The command line of `vardex`: the subcommands get, put and sum, their options,
// and the help text with the exit statuses.

#include <cstdint>
#include <ostream>
#include <string>

#include "client/Transfer.h"

// `sum` prints LOCAL's digest and `token` mints an access token; neither
// talks to a server.
enum class Direction { kGet, kPut, kSum, kToken };

// What `vardex token` signs.
struct TokenCommand {
  std::string keyFile;       // the server's TokenKeys file; its first key signs
  std::int64_t expires = 0;  // seconds from now
  std::string direction;     // "get" or "put"
  bool bindUserNo = false;   // --userno was given: the token holds request.userNo
};

struct ClientCommand {
  Direction direction = Direction::kGet;
  TransferRequest request;
  TokenCommand token;
  bool quiet = false;
};

// Parses argv. Returns -1 when `command` is ready to run; otherwise the exit
// status to end with, after the help (on `out`) or the usage error (on `err`)
// has been written.
int ParseCommandLine(int argc, const char* const* argv, ClientCommand& command, std::ostream& out,
                     std::ostream& err);

// The whole program: parses, runs the transfer with a progress line on
// `err` when `terminal` and not --quiet, and reports the outcome. Returns
// the exit status.
int RunClient(int argc, const char* const* argv, std::ostream& out, std::ostream& err, bool terminal);

#pragma once
// The command line of `vardex`: the subcommands get, put and sum, their options,
// and the help text with the exit statuses.

#include <ostream>

#include "client/Transfer.h"

// `sum` prints LOCAL's digest and talks to no server.
enum class Direction { kGet, kPut, kSum };

struct ClientCommand {
  Direction direction = Direction::kGet;
  TransferRequest request;
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

#pragma once
// The vardex program run in the test's own process, as a shell would run it.

#include <sstream>
#include <string>
#include <vector>

#include "client/CommandLine.h"

namespace vtest {

struct ClientRun {
  int status;
  std::string out, err;
};

// `argv` from the program's name on; its exit status, standard output and
// standard error.
inline ClientRun RunVardex(const std::vector<const char*>& argv) {
  std::ostringstream out, err;
  ClientRun run{RunClient(static_cast<int>(argv.size()), argv.data(), out, err, false), "", ""};
  run.out = out.str();
  run.err = err.str();
  return run;
}

}  // namespace vtest

#include "platform/StopRequest.h"

#include <csignal>
#include <pthread.h>

namespace platform {

static sigset_t RequestSignals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGHUP);
  return set;
}

void PrepareStopRequest() {
  // Threads inherit the mask, so only sigwait below ever takes the signals:
  // no handler runs, and SIGHUP no longer ends the process.
  sigset_t set = RequestSignals();
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

ConsoleRequest WaitForConsoleRequest() {
  sigset_t set = RequestSignals();
  int signal = 0;
  while (sigwait(&set, &signal) != 0) {
  }
  return signal == SIGHUP ? ConsoleRequest::kReload : ConsoleRequest::kStop;
}

}  // namespace platform

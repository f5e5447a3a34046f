#include "platform/StopRequest.h"

#include <csignal>
#include <pthread.h>

namespace platform {

static sigset_t StopSignals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGINT);
  return set;
}

void PrepareStopRequest() {
  // Threads inherit the mask, so only sigwait below ever takes the signals.
  sigset_t set = StopSignals();
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

void WaitForStopRequest() {
  sigset_t set = StopSignals();
  int signal = 0;
  while (sigwait(&set, &signal) != 0) {
  }
}

}  // namespace platform

#include "platform/Clock.h"

#include <time.h>

namespace platform {

void SleepMilliseconds(unsigned milliseconds) {
  timespec ts{static_cast<time_t>(milliseconds / 1000), static_cast<long>(milliseconds % 1000) * 1000000L};
  while (::nanosleep(&ts, &ts) != 0) {
  }
}

}  // namespace platform

// The clock of the fuzz build: the real calendar, but sleeping returns at
// once, so the pause after an upload costs no time.

#include "platform/Clock.h"

#include <ctime>
#include <time.h>

namespace platform {

LocalTime LocalNow() {
  std::time_t now = std::time(nullptr);
  std::tm t{};
  ::localtime_r(&now, &t);
  return {t.tm_year + 1900, t.tm_mon + 1, t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec};
}

void SleepMilliseconds(unsigned) {}

}  // namespace platform

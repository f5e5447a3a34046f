#pragma once
// Wall clock and sleeping.

namespace platform {

struct LocalTime {
  int year, month, day;     // month 1-12, day 1-31
  int hour, minute, second;
};

// One reading of the local calendar clock.
LocalTime LocalNow();

void SleepMilliseconds(unsigned milliseconds);

}  // namespace platform

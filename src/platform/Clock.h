#pragma once
// Wall clock, a steady clock, and sleeping.

#include <cstdint>

namespace platform {

struct LocalTime {
  int year, month, day;     // month 1-12, day 1-31
  int hour, minute, second;
};

// One reading of the local calendar clock.
LocalTime LocalNow();

// Microseconds on a clock that never goes back, from an arbitrary start:
// for measuring intervals, never for dates.
std::int64_t SteadyMicroseconds();

void SleepMilliseconds(unsigned milliseconds);

}  // namespace platform

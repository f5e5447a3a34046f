#pragma once
// The progress line on standard error: position, percentage when the total
// is known, rate and time left, rewritten in place a few times a second.

#include <chrono>
#include <ostream>
#include <string>

#include "client/Transfer.h"

// " 42.0%  4.2 MiB of 10.0 MiB  1.3 MiB/s  ETA 0:05" when the total is known,
// "4.2 MiB  1.3 MiB/s" when it is not. `seconds` is the time since the run
// started; the rate counts the bytes moved by this run only.
std::string FormatProgress(const TransferProgress& progress, double seconds);

// 1023 B, 1.0 KiB, 4.2 MiB, 1.5 GiB, ...
std::string FormatBytes(std::int64_t bytes);
// m:ss below an hour, h:mm:ss above.
std::string FormatDuration(double seconds);

class TProgressLine {
 public:
  // Writes nothing when not `enabled` (not a terminal, or --quiet).
  TProgressLine(std::ostream& out, bool enabled);
  // Redraws the line when the last drawing is old enough. Always true: the
  // command line never stops a transfer.
  bool Update(const TransferProgress& progress);
  // Draws the final state and ends the line.
  void Finish();

 private:
  using Clock = std::chrono::steady_clock;
  void Draw();

  std::ostream& FOut;
  bool FEnabled;
  Clock::time_point FStart = Clock::now();
  Clock::time_point FDrawn;
  TransferProgress FLast;
  bool FAny = false;
  std::size_t FWidth = 0;
};

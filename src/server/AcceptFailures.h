#pragma once
// A failed accept (descriptors or buffers exhausted) leaves the listening
// socket readable, so a listener that tried again at once would spin a whole
// core until the shortage ends. Both listeners put the next accept off for
// a moment and log the failure once a minute, with how many were held back.

#include <string>

#include "base/Throttle.h"

class TAcceptFailures {
 public:
  // How long a listener waits after a failed accept before the next one.
  static constexpr int kRetryMilliseconds = 100;

  // Lines go to the log under `logPath`, each starting with `prefix`.
  TAcceptFailures(std::string logPath, std::string prefix);

  // One failed accept with the text of its cause. One thread at a time.
  void Failed(const std::string& error);

 private:
  const std::string FLogPath;
  const std::string FPrefix;
  TThrottle FLines{60};
};

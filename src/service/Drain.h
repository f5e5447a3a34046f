#pragma once
// The drain of a rolling restart: after the listener has closed, running
// transfers get up to a set time to finish before the stop completes.

#include <functional>
#include <string>

class TWorkerSet;

// Waits until no worker of `workers` is left or `seconds` have passed;
// `stillStopping` runs about once a second meanwhile, so that the service
// manager sees the stop progress. Logs the wait and what was left under
// `logPath`.
void DrainTransfers(const std::string& logPath, int seconds, const TWorkerSet& workers,
                    const std::function<void()>& stillStopping);

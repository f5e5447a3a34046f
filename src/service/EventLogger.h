#pragma once
// One event source of the system's event log, registered at its first
// entry and released with its owner.

#include <mutex>
#include <string>
#include <vector>

#include "platform/EventLog.h"
#include "service/EventIds.h"

class TEventLogger {
 public:
  TEventLogger(std::string name, platform::EventLog& eventLog);
  ~TEventLogger();
  TEventLogger(const TEventLogger&) = delete;
  TEventLogger& operator=(const TEventLogger&) = delete;

  // Writes the entry `id` with the strings of its inserts.
  void Log(TEventId id, const std::vector<std::string>& strings = {});

 private:
  std::string FName;
  platform::EventLog& FEventLog;
  std::mutex FMutex;  // the service main and the service thread both log
  platform::EventSource FSource = platform::kNoEventSource;
};

// `text` with each insert %1, %2, ... replaced by its string.
std::string FillInserts(const std::string& text, const std::vector<std::string>& strings);

#pragma once
// One event source of the system's event log, registered at its first
// message and released with its owner.

#include <mutex>
#include <string>

#include "platform/EventLog.h"

class TEventLogger {
 public:
  TEventLogger(std::string name, platform::EventLog& eventLog);
  ~TEventLogger();
  TEventLogger(const TEventLogger&) = delete;
  TEventLogger& operator=(const TEventLogger&) = delete;

  // Writes `message` as an error event.
  void LogMessage(const std::string& message);

 private:
  std::string FName;
  platform::EventLog& FEventLog;
  std::mutex FMutex;  // the service main and the service thread both log
  platform::EventSource FSource = platform::kNoEventSource;
};

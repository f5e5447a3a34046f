#pragma once
// The system's event log: the Windows event log, or standard error on POSIX
// (the journal when systemd runs the program).

#include <cstdint>
#include <string>

namespace platform {

using EventSource = std::intptr_t;
constexpr EventSource kNoEventSource = 0;

class EventLog {
 public:
  virtual ~EventLog() = default;
  // A source on the local machine; kNoEventSource when it cannot be had.
  virtual EventSource RegisterSource(const std::string& name) = 0;
  // One error event (type 1, category 0, identifier 0) with one string.
  virtual void ReportError(EventSource source, const std::string& message) = 0;
  virtual void DeregisterSource(EventSource source) = 0;
};

EventLog& SystemEventLog();

}  // namespace platform

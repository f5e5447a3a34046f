#include "platform/EventLog.h"

#include <windows.h>

namespace platform {
namespace {

class WindowsEventLog : public EventLog {
 public:
  EventSource RegisterSource(const std::string& name) override {
    return reinterpret_cast<EventSource>(::RegisterEventSourceA(nullptr, name.c_str()));
  }

  void ReportError(EventSource source, const std::string& message) override {
    const char* strings[] = {message.c_str()};
    ::ReportEventA(reinterpret_cast<HANDLE>(source), EVENTLOG_ERROR_TYPE, 0, 0, nullptr, 1, 0, strings, nullptr);
  }

  void DeregisterSource(EventSource source) override {
    ::DeregisterEventSource(reinterpret_cast<HANDLE>(source));
  }
};

}  // namespace

EventLog& SystemEventLog() {
  static WindowsEventLog log;
  return log;
}

}  // namespace platform

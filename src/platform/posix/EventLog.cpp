#include "platform/EventLog.h"

#include <cstdio>
#include <map>
#include <mutex>

namespace platform {
namespace {

// Without an event log the messages go to standard error, each line naming
// its source; under systemd that is the journal.
class StandardErrorLog : public EventLog {
 public:
  EventSource RegisterSource(const std::string& name) override {
    std::lock_guard<std::mutex> lock(FMutex);
    FSources[++FLast] = name;
    return FLast;
  }

  void ReportError(EventSource source, const std::string& message) override {
    std::lock_guard<std::mutex> lock(FMutex);
    auto it = FSources.find(source);
    std::fprintf(stderr, "%s: %s\n", it == FSources.end() ? "" : it->second.c_str(), message.c_str());
    std::fflush(stderr);
  }

  void DeregisterSource(EventSource source) override {
    std::lock_guard<std::mutex> lock(FMutex);
    FSources.erase(source);
  }

 private:
  std::mutex FMutex;
  std::map<EventSource, std::string> FSources;
  EventSource FLast = kNoEventSource;
};

}  // namespace

EventLog& SystemEventLog() {
  static StandardErrorLog log;
  return log;
}

}  // namespace platform

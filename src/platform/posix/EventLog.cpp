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

  void Report(EventSource source, EventType, std::uint32_t, const std::vector<std::string>&,
              const std::string& text) override {
    std::lock_guard<std::mutex> lock(FMutex);
    auto it = FSources.find(source);
    std::fprintf(stderr, "%s: %s\n", it == FSources.end() ? "" : it->second.c_str(), text.c_str());
    std::fflush(stderr);
  }

  void DeregisterSource(EventSource source) override {
    std::lock_guard<std::mutex> lock(FMutex);
    FSources.erase(source);
  }

  bool InstallSource(const std::string&, const std::string&, int& error) override {
    error = 0;
    return true;
  }
  bool RemoveSource(const std::string&, int& error) override {
    error = 0;
    return true;
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

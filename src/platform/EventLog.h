#pragma once
// The system's event log: the Windows event log, or standard error on POSIX
// (the journal when systemd runs the program).

#include <cstdint>
#include <string>
#include <vector>

namespace platform {

using EventSource = std::intptr_t;
constexpr EventSource kNoEventSource = 0;

enum class EventType { kError, kWarning, kInformation };

class EventLog {
 public:
  virtual ~EventLog() = default;
  // A source on the local machine; kNoEventSource when it cannot be had.
  virtual EventSource RegisterSource(const std::string& name) = 0;
  // One event of category 0 with its identifier in the source's message
  // table and the strings that fill the message's inserts. Without a
  // message table the strings are the whole entry.
  // `text` is the message filled in, for a log without message tables.
  virtual void Report(EventSource source, EventType type, std::uint32_t id, const std::vector<std::string>& strings,
                      const std::string& text) = 0;
  virtual void DeregisterSource(EventSource source) = 0;

  // Registers `name` as a source of the Application log whose messages are
  // in the message table of `messageFile`, so that the viewer can describe
  // its entries; RemoveSource undoes it. False with the platform's error
  // code in `error`. Nothing is registered on POSIX, where entries carry
  // their text.
  virtual bool InstallSource(const std::string& name, const std::string& messageFile, int& error) = 0;
  virtual bool RemoveSource(const std::string& name, int& error) = 0;
};

EventLog& SystemEventLog();

}  // namespace platform

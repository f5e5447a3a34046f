#include "platform/EventLog.h"

#include <windows.h>

namespace platform {
namespace {

const char kSourcesKey[] = "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\";

WORD TypeOf(EventType type) {
  switch (type) {
    case EventType::kError: return EVENTLOG_ERROR_TYPE;
    case EventType::kWarning: return EVENTLOG_WARNING_TYPE;
    case EventType::kInformation: break;
  }
  return EVENTLOG_INFORMATION_TYPE;
}

class WindowsEventLog : public EventLog {
 public:
  EventSource RegisterSource(const std::string& name) override {
    return reinterpret_cast<EventSource>(::RegisterEventSourceA(nullptr, name.c_str()));
  }

  void Report(EventSource source, EventType type, std::uint32_t id, const std::vector<std::string>& strings,
              const std::string&) override {
    std::vector<const char*> texts;
    for (const std::string& text : strings) texts.push_back(text.c_str());
    ::ReportEventA(reinterpret_cast<HANDLE>(source), TypeOf(type), 0, id, nullptr, static_cast<WORD>(texts.size()), 0,
                   texts.data(), nullptr);
  }

  void DeregisterSource(EventSource source) override {
    ::DeregisterEventSource(reinterpret_cast<HANDLE>(source));
  }

  bool InstallSource(const std::string& name, const std::string& messageFile, int& error) override {
    HKEY key = nullptr;
    LONG result = ::RegCreateKeyExA(HKEY_LOCAL_MACHINE, (kSourcesKey + name).c_str(), 0, nullptr, 0, KEY_SET_VALUE,
                                    nullptr, &key, nullptr);
    if (result == ERROR_SUCCESS) {
      const DWORD types = EVENTLOG_ERROR_TYPE | EVENTLOG_WARNING_TYPE | EVENTLOG_INFORMATION_TYPE;
      result = ::RegSetValueExA(key, "EventMessageFile", 0, REG_EXPAND_SZ,
                                reinterpret_cast<const BYTE*>(messageFile.c_str()),
                                static_cast<DWORD>(messageFile.size() + 1));
      if (result == ERROR_SUCCESS)
        result = ::RegSetValueExA(key, "TypesSupported", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&types),
                                  sizeof types);
      ::RegCloseKey(key);
    }
    error = static_cast<int>(result);
    return result == ERROR_SUCCESS;
  }

  bool RemoveSource(const std::string& name, int& error) override {
    const LONG result = ::RegDeleteKeyA(HKEY_LOCAL_MACHINE, (kSourcesKey + name).c_str());
    error = static_cast<int>(result);
    return result == ERROR_SUCCESS || result == ERROR_FILE_NOT_FOUND;
  }
};

}  // namespace

EventLog& SystemEventLog() {
  static WindowsEventLog log;
  return log;
}

}  // namespace platform

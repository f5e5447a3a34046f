#include "service/EventLogger.h"

#include <cctype>

const TEventKind& EventKind(TEventId id) {
  for (const TEventKind& kind : kEventKinds)
    if (kind.Id == id) return kind;
  return kEventKinds[0];  // unreachable: the table lists every identifier
}

std::string FillInserts(const std::string& text, const std::vector<std::string>& strings) {
  std::string filled;
  for (std::size_t i = 0; i < text.size(); ++i) {
    std::size_t end = i + 1;
    while (text[i] == '%' && end < text.size() && std::isdigit(static_cast<unsigned char>(text[end]))) ++end;
    if (end == i + 1) {
      filled += text[i];
      continue;
    }
    const std::size_t number = std::stoul(text.substr(i + 1, end - i - 1));
    if (number >= 1 && number <= strings.size()) filled += strings[number - 1];
    i = end - 1;
  }
  return filled;
}

TEventLogger::TEventLogger(std::string name, platform::EventLog& eventLog)
    : FName(std::move(name)), FEventLog(eventLog) {}

TEventLogger::~TEventLogger() {
  if (FSource != platform::kNoEventSource) FEventLog.DeregisterSource(FSource);
}

void TEventLogger::Log(TEventId id, const std::vector<std::string>& strings) {
  const TEventKind& kind = EventKind(id);
  const std::string text = FillInserts(kind.Text, strings);
  std::lock_guard<std::mutex> lock(FMutex);
  if (FSource == platform::kNoEventSource) FSource = FEventLog.RegisterSource(FName);
  FEventLog.Report(FSource, kind.Type, static_cast<std::uint32_t>(id), strings, text);
}

#include "service/EventLogger.h"

TEventLogger::TEventLogger(std::string name, platform::EventLog& eventLog)
    : FName(std::move(name)), FEventLog(eventLog) {}

TEventLogger::~TEventLogger() {
  if (FSource != platform::kNoEventSource) FEventLog.DeregisterSource(FSource);
}

void TEventLogger::LogMessage(const std::string& message) {
  std::lock_guard<std::mutex> lock(FMutex);
  if (FSource == platform::kNoEventSource) FSource = FEventLog.RegisterSource(FName);
  FEventLog.ReportError(FSource, message);
}

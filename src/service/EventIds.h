#pragma once
// The service's event-log entries. Their identifiers never change between
// releases: administrators filter and alert on them. Each is a message of
// EventMessages.mc, the message table linked into the Windows program and
// registered as the sources' message file at installation; the strings an
// entry carries fill the message's inserts %1, %2, ... in order.

#include <cstdint>

#include "platform/EventLog.h"

enum class TEventId : std::uint32_t {
  ServiceStarted = 1,       // no inserts
  ServiceStopped = 2,       // no inserts
  StartFailed = 3,          // the reason
  ListenerFailed = 4,       // what failed
  LogWriteFailed = 5,       // the log's own description of the lost line
  ReportFailed = 6,         // the report and its failure
  BanStarted = 7,           // reserved: the address, the seconds, the reason
  HandlerFailed = 8,        // the request (start, stop, ...), the failure
  CustomControlFailed = 9,  // the control code, the failure
  ServiceManagerFailed = 10,  // the service manager's text
  HostFailed = 11,          // the failure
};

struct TEventKind {
  TEventId Id;
  platform::EventType Type;
  const char* Text;  // the message table's text, for logs that have none
};

// Every entry the service writes, with its type and text.
inline constexpr TEventKind kEventKinds[] = {
    {TEventId::ServiceStarted, platform::EventType::kInformation, "Service Start Success"},
    {TEventId::ServiceStopped, platform::EventType::kInformation, "Service Stopped"},
    {TEventId::StartFailed, platform::EventType::kError, "Service Start Fail: %1"},
    {TEventId::ListenerFailed, platform::EventType::kError, "Listener failure: %1"},
    {TEventId::LogWriteFailed, platform::EventType::kError, "%1"},
    {TEventId::ReportFailed, platform::EventType::kWarning, "Report failure: %1"},
    {TEventId::BanStarted, platform::EventType::kWarning, "Address %1 banned for %2 seconds: %3"},
    {TEventId::HandlerFailed, platform::EventType::kError, "Service failed on %1: %2"},
    {TEventId::CustomControlFailed, platform::EventType::kError, "Service failed in custom message(%1): %2"},
    {TEventId::ServiceManagerFailed, platform::EventType::kError, "%1"},
    {TEventId::HostFailed, platform::EventType::kError, "%1"},
};

// The kind of `id`.
const TEventKind& EventKind(TEventId id);

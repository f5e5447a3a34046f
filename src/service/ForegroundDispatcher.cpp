#include "service/ForegroundDispatcher.h"

#include <thread>

#include "platform/StopRequest.h"
#include "platform/Systemd.h"
#include "service/Service.h"

namespace {
constexpr std::uint32_t kStopControl = 1;
constexpr platform::ServiceHandle kStatusHandle = 1;
}  // namespace

TForegroundDispatcher::TForegroundDispatcher() { platform::PrepareStopRequest(); }

platform::SystemFailure TForegroundDispatcher::Run(const std::vector<std::string>& serviceNames,
                                                   platform::ServiceMainFunction serviceMain) {
  if (serviceNames.empty()) return {};
  std::thread([handler = FHandler] {
    platform::WaitForStopRequest();
    std::lock_guard<std::mutex> lock(handler->mutex);
    if (handler->call) handler->call(kStopControl);
  }).detach();

  serviceMain({serviceNames.front()});

  // A late stop request must not reach a service that has ended.
  std::lock_guard<std::mutex> lock(FHandler->mutex);
  FHandler->call = nullptr;
  return {};
}

platform::ServiceHandle TForegroundDispatcher::RegisterControlHandler(const std::string&,
                                                                      platform::ServiceControlHandler handler) {
  std::lock_guard<std::mutex> lock(FHandler->mutex);
  FHandler->call = std::move(handler);
  return kStatusHandle;
}

bool TForegroundDispatcher::SetStatus(platform::ServiceHandle, const platform::ServiceStatus& status) {
  if (status.currentState == csRunning) platform::NotifyReady();
  if (status.currentState == csStopPending) platform::NotifyStopping();
  return true;
}

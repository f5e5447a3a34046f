#include "service/ForegroundDispatcher.h"

#include <thread>

#include "platform/StopRequest.h"
#include "platform/Systemd.h"
#include "service/Service.h"

namespace {
constexpr std::uint32_t kStopControl = 1;
constexpr std::uint32_t kAcceptStop = 1;
constexpr platform::ServiceHandle kStatusHandle = 1;
}  // namespace

TForegroundDispatcher::TForegroundDispatcher() { platform::PrepareStopRequest(); }

void TForegroundDispatcher::Handler::DeliverStop() {
  if (!stopRequested || !acceptsStop || !call) return;
  stopRequested = false;
  acceptsStop = false;  // until the service reports again
  call(kStopControl);
}

platform::SystemFailure TForegroundDispatcher::Run(const std::vector<std::string>& serviceNames,
                                                   platform::ServiceMainFunction serviceMain) {
  if (serviceNames.empty()) return {};
  std::thread([handler = FHandler] {
    for (;;) {
      platform::WaitForStopRequest();
      std::lock_guard<std::mutex> lock(handler->mutex);
      handler->stopRequested = true;
      handler->DeliverStop();
    }
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
  if (status.currentState == csStopPending) platform::NotifyStopping(status.waitHint);
  // A stop requested during the start reaches the service once it runs;
  // the control is queued for the service thread, which reports this.
  std::lock_guard<std::mutex> lock(FHandler->mutex);
  FHandler->acceptsStop = status.currentState != csStartPending && status.currentState != csStopPending &&
                          status.currentState != csStopped && (status.controlsAccepted & kAcceptStop) != 0;
  FHandler->DeliverStop();
  return true;
}

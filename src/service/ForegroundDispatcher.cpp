#include "service/ForegroundDispatcher.h"

#include <thread>

#include "platform/StopRequest.h"
#include "platform/Systemd.h"
#include "service/Service.h"

namespace {
constexpr std::uint32_t kStopControl = 1;
constexpr std::uint32_t kParamChangeControl = 6;
constexpr std::uint32_t kAcceptStop = 1;
constexpr std::uint32_t kAcceptParamChange = 8;
constexpr platform::ServiceHandle kStatusHandle = 1;
}  // namespace

TForegroundDispatcher::TForegroundDispatcher() { platform::PrepareStopRequest(); }

void TForegroundDispatcher::Handler::Deliver() {
  if (!call) return;
  // A reload asked for together with a stop is of no use any more.
  if (stopRequested && acceptsStop) {
    stopRequested = reloadRequested = false;
    acceptsStop = acceptsReload = false;  // until the service reports again
    call(kStopControl);
    return;
  }
  if (!reloadRequested || !acceptsReload) return;
  reloadRequested = false;
  call(kParamChangeControl);
}

platform::SystemFailure TForegroundDispatcher::Run(const std::vector<std::string>& serviceNames,
                                                   platform::ServiceMainFunction serviceMain) {
  if (serviceNames.empty()) return {};
  std::thread([handler = FHandler] {
    for (;;) {
      const platform::ConsoleRequest request = platform::WaitForConsoleRequest();
      std::lock_guard<std::mutex> lock(handler->mutex);
      (request == platform::ConsoleRequest::kStop ? handler->stopRequested : handler->reloadRequested) = true;
      handler->Deliver();
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
  FHandler->acceptsReload = status.currentState == csRunning && (status.controlsAccepted & kAcceptParamChange) != 0;
  FHandler->Deliver();
  return true;
}

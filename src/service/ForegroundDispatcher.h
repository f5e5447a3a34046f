#pragma once
// Runs the one service of the process in the foreground instead of under a
// service manager: under systemd on POSIX, and on the console with the
// "console" switch. Its main runs at once; a stop request (SIGTERM or
// SIGINT; Ctrl+C or Ctrl+Break) becomes its stop control, held back while
// the service is still starting or already stopping, so that a second
// request during a stop does nothing and one after a failed stop tries
// again; a reload request (SIGHUP) becomes its parameter-change control,
// held back the same way, for a service that offers it; readiness and
// stopping are told to systemd.

#include <memory>
#include <mutex>

#include "platform/ServiceManager.h"

class TForegroundDispatcher : public platform::ServiceDispatcher {
 public:
  // Prepares the stop request, which must happen before any other thread of
  // the process exists: construct it first thing in main.
  TForegroundDispatcher();

  platform::SystemFailure Run(const std::vector<std::string>& serviceNames,
                              platform::ServiceMainFunction serviceMain) override;
  platform::ServiceHandle RegisterControlHandler(const std::string& serviceName,
                                                 platform::ServiceControlHandler handler) override;
  bool SetStatus(platform::ServiceHandle statusHandle, const platform::ServiceStatus& status) override;
  platform::SystemFailure LastFailure() const override { return {}; }

 private:
  // Shared with the thread that waits for the stop request, which is never
  // joined: it may still wait when the process ends.
  struct Handler {
    std::mutex mutex;
    platform::ServiceControlHandler call;
    bool acceptsStop = false;    // the last report offered stop, and no stop runs
    bool acceptsReload = false;  // the last report was running and offered the reload
    bool stopRequested = false;  // a request not yet passed on
    bool reloadRequested = false;
    // Passes the requests on that the service accepts. Called with the
    // mutex held.
    void Deliver();
  };
  std::shared_ptr<Handler> FHandler = std::make_shared<Handler>();
};

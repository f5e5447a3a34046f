#include "platform/ServiceManager.h"

#include "platform/Systemd.h"

namespace platform {

ServiceInstaller& SystemServiceInstaller() {
  static const std::unique_ptr<ServiceInstaller> installer = MakeSystemdInstaller(SystemdLocations{});
  return *installer;
}

// systemd starts the program itself and needs no connection: the host runs
// the service in the foreground.
ServiceDispatcher* SystemServiceDispatcher() { return nullptr; }

}  // namespace platform

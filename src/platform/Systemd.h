#pragma once
// systemd, the init system that runs the POSIX build as a service.

#include <cstdint>
#include <memory>
#include <string>

#include "platform/ServiceManager.h"

namespace platform {

// Readiness and stopping, told to systemd when it started the program with
// a notification socket (NOTIFY_SOCKET); nothing otherwise, and nothing on
// Windows. Each stopping notice gives the stop `waitHintMilliseconds` more
// from now before the unit's stop time-out kills the process, so a drain
// that keeps reporting runs to its end, however long the operator set it.
void NotifyReady();
void NotifyStopping(std::uint32_t waitHintMilliseconds);

// Where the POSIX installer finds systemd. The defaults are the system's;
// tests point them elsewhere.
struct SystemdLocations {
  std::string unitDirectory = "/etc/systemd/system/";
  std::string runtimeDirectory = "/run/systemd/system";  // present while systemd runs
  std::string systemctl = "systemctl";
};

// Registration as a unit "<name>.service" of Type=notify (POSIX only):
// creating writes the unit and enables it when the start type is automatic;
// deleting disables and removes it.
std::unique_ptr<ServiceInstaller> MakeSystemdInstaller(const SystemdLocations& locations);

}  // namespace platform

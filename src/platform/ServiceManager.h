#pragma once
// The operating system's service manager, reduced to what the service host
// needs: registering and removing a service, and running one under the
// manager's control. On Windows this is the Service Control Manager; on POSIX
// registration writes a systemd unit and there is no manager to connect to
// (the host then runs the service in the foreground itself).

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace platform {

using ServiceHandle = std::intptr_t;
constexpr ServiceHandle kNoServiceHandle = 0;

constexpr std::uint32_t kManagerAllAccess = 0xF003F;  // SC_MANAGER_ALL_ACCESS
constexpr std::uint32_t kServiceAllAccess = 0xF01FF;  // SERVICE_ALL_ACCESS

// A failed call: the platform's error code (0 when the call left none) and
// the platform's text for it.
struct SystemFailure {
  int code = 0;
  std::string text;
};

// The values of one registration, as the platform takes them.
struct ServiceRegistration {
  std::string name;
  std::string displayName;
  std::uint32_t desiredAccess = kServiceAllAccess;
  std::uint32_t serviceType = 0;
  std::uint32_t startType = 0;
  std::uint32_t errorControl = 0;
  std::string binaryPath;     // unquoted, without arguments (Windows registers it quoted)
  std::string loadOrderGroup;  // empty: none
  std::string dependencies;    // each name followed by a zero byte, then one more; empty: none
  std::string startName;       // empty: the local system account
  std::string password;
};

// The status record of one report.
struct ServiceStatus {
  std::uint32_t serviceType = 0;
  std::uint32_t currentState = 0;
  std::uint32_t controlsAccepted = 0;
  std::uint32_t win32ExitCode = 0;
  std::uint32_t serviceSpecificExitCode = 0;
  std::uint32_t checkPoint = 0;
  std::uint32_t waitHint = 0;
};

// What the manager does when the service's process ends without having
// reported stopped: restart it after each delay in turn, the last one
// repeating, and forget the failures after `resetSeconds` without one.
struct RecoveryActions {
  std::vector<std::uint32_t> restartDelays;  // milliseconds
  std::uint32_t resetSeconds = 0;
};

// Registration and removal. Calls that fail return kNoServiceHandle or false
// and leave their failure in LastFailure.
class ServiceInstaller {
 public:
  virtual ~ServiceInstaller() = default;
  virtual ServiceHandle OpenManager(std::uint32_t access) = 0;
  // `tag` is passed only when the registration asks for a load order tag;
  // the tag given out is stored back into it.
  virtual ServiceHandle CreateService(ServiceHandle manager, const ServiceRegistration& registration,
                                      std::uint32_t* tag) = 0;
  virtual ServiceHandle OpenService(ServiceHandle manager, const std::string& name,
                                    std::uint32_t access) = 0;
  virtual bool DeleteService(ServiceHandle service) = 0;
  // Settings beyond the registration. Where the manager has no such setting
  // (systemd: the unit's own Restart= and ordering) they succeed and do
  // nothing.
  virtual bool SetRecovery(ServiceHandle /*service*/, const RecoveryActions& /*actions*/) { return true; }
  virtual bool SetDelayedStart(ServiceHandle /*service*/, bool /*delayed*/) { return true; }
  // Asks a running service to stop; true also when it is not running or
  // already stopping. Where the manager stops services itself (systemd),
  // nothing is asked and the service reads as stopped.
  virtual bool StopService(ServiceHandle /*service*/) { return true; }
  // The service's status, and its process (0 when it has none).
  virtual bool QueryStatus(ServiceHandle /*service*/, ServiceStatus& status, std::uint32_t& processId) {
    status.currentState = 1;  // stopped
    processId = 0;
    return true;
  }
  // Waits up to `milliseconds` for the process to end; true when it has.
  virtual bool WaitForProcessEnd(std::uint32_t /*processId*/, std::uint32_t /*milliseconds*/) { return true; }
  virtual void CloseServiceHandle(ServiceHandle handle) = 0;
  virtual SystemFailure LastFailure() const = 0;
};


// Called by the dispatcher with the start arguments; the first is the
// service's name.
using ServiceMainFunction = std::function<void(const std::vector<std::string>& arguments)>;
// Called by the dispatcher, on its own thread, with each control code.
using ServiceControlHandler = std::function<void(std::uint32_t code)>;

// Running under the manager's control.
class ServiceDispatcher {
 public:
  virtual ~ServiceDispatcher() = default;
  // Connects the process to the manager and runs `serviceMain` for each
  // service it starts. Returns when every service has stopped: code 0, or
  // the failure that kept the connection from being made.
  virtual SystemFailure Run(const std::vector<std::string>& serviceNames,
                            ServiceMainFunction serviceMain) = 0;
  // Returns the handle for status reports, or kNoServiceHandle.
  virtual ServiceHandle RegisterControlHandler(const std::string& serviceName,
                                               ServiceControlHandler handler) = 0;
  virtual bool SetStatus(ServiceHandle statusHandle, const ServiceStatus& status) = 0;
  virtual SystemFailure LastFailure() const = 0;
};

// The platform's own implementations. SystemServiceDispatcher is null where
// the platform has no service manager to connect to (POSIX).
ServiceInstaller& SystemServiceInstaller();
ServiceDispatcher* SystemServiceDispatcher();

}  // namespace platform

#pragma once
// The service host: owns the service objects, decides the mode by the
// command line, and either registers or removes the services or runs them
// under the service manager's control.

#include <memory>
#include <string>
#include <vector>

#include "platform/EventLog.h"
#include "platform/ServiceManager.h"
#include "platform/UserMessages.h"
#include "service/CommandLine.h"
#include "service/EventLogger.h"
#include "service/Service.h"

// The operating system as the host uses it.
struct THostPlatform {
  platform::ServiceInstaller& Installer;
  platform::ServiceDispatcher& Dispatcher;         // no switch
  platform::ServiceDispatcher& ConsoleDispatcher;  // the "console" switch
  platform::EventLog& EventLog;
  platform::UserMessages& Messages;
};

// The account Windows gives every service to run as with no password and
// no rights beyond those granted to it: "NT SERVICE\<name>".
std::string VirtualAccountOf(const std::string& serviceName);

class TServiceApplication {
 public:
  // `executablePath` is what the service manager is told to start; its file
  // name names the host's event source and the message boxes.
  TServiceApplication(const THostPlatform& platform, std::string executablePath);
  // Each service's OnDestroy runs, in creation order.
  ~TServiceApplication();
  TServiceApplication(const TServiceApplication&) = delete;
  TServiceApplication& operator=(const TServiceApplication&) = delete;

  // Takes ownership; the service's OnCreate runs.
  void AddService(std::unique_ptr<TService> service);

  // The whole run for `arguments` (without the program name). Returns the
  // exit code: 0 on success, 1 when an installation, removal or start failed.
  int Run(const std::vector<std::string>& arguments);

 private:
  // Install, uninstall, configure, unconfigure and stop mode. Throws when the
  // service manager cannot be opened; other failures are shown per service.
  bool RegisterServices(const TCommandLine& line);
  void InstallService(TService& service, platform::ServiceHandle manager);
  void ConfigureService(TService& service, platform::ServiceHandle manager);
  // What an installation sets after the registration: recovery, delayed
  // start, the event source, and the service's AfterInstall.
  void ApplySettings(TService& service, platform::ServiceHandle handle);
  void UninstallService(TService& service, platform::ServiceHandle manager);
  void UnconfigureService(TService& service, platform::ServiceHandle manager);
  // Stops the service and waits, as long as it keeps making progress, until
  // it has stopped and its process has ended.
  void StopService(TService& service, platform::ServiceHandle manager);
  void WaitForStop(platform::ServiceHandle handle, const std::string& name);
  // The least time a stopping service may go without progress, whatever
  // its wait hint; and the time its process may take to end once stopped.
  static constexpr std::uint32_t kLeastStopWait = 5000;
  static constexpr std::uint32_t kProcessEndWait = 30000;
  // The event source `name`, its messages in this executable.
  void InstallEventSource(const std::string& name);
  void RemoveEventSource(const std::string& name);

  // Service mode, until every service has stopped.
  int RunServices(platform::ServiceDispatcher& dispatcher);
  void ServiceMain(platform::ServiceDispatcher& dispatcher, const std::vector<std::string>& arguments);
  TService* FindService(const std::string& name) const;
  std::uint32_t RegisteredType(const TService& service) const;

  THostPlatform FPlatform;
  std::string FExecutablePath;
  std::string FTitle;  // the executable's file name without extension
  std::string FHostSource;  // the executable's file name: the host's event source
  TEventLogger FEventLogger;
  std::vector<std::unique_ptr<TService>> FServices;
};

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
  // Install and uninstall mode. Throws when the service manager cannot be
  // opened; other failures are shown per service.
  bool RegisterServices(bool install, bool silent);
  void InstallService(TService& service, platform::ServiceHandle manager);
  void UninstallService(TService& service, platform::ServiceHandle manager);

  // Service mode, until every service has stopped.
  int RunServices(platform::ServiceDispatcher& dispatcher);
  void ServiceMain(platform::ServiceDispatcher& dispatcher, const std::vector<std::string>& arguments);
  TService* FindService(const std::string& name) const;
  std::uint32_t RegisteredType(const TService& service) const;

  THostPlatform FPlatform;
  std::string FExecutablePath;
  std::string FTitle;  // the executable's file name without extension
  TEventLogger FEventLogger;
  std::vector<std::unique_ptr<TService>> FServices;
};

// Install and uninstall mode of the service host, and the configuration
// steps of an installation that another installer (the MSI package)
// registers itself.

#include <algorithm>
#include <exception>
#include <stdexcept>

#include "base/Format.h"
#include "platform/Clock.h"
#include "service/ServiceApplication.h"
#include "service/SystemError.h"

namespace {

const char* FailureFormat(const TCommandLine& line) {
  if (line.Install) return "Service \"%s\" failed to install with error: \"%s\"";
  if (line.Uninstall) return "Service \"%s\" failed to uninstall with error: \"%s\"";
  if (line.Configure) return "Service \"%s\" failed to configure with error: \"%s\"";
  if (line.Stop && !line.Unconfigure) return "Service \"%s\" failed to stop with error: \"%s\"";
  return "Service \"%s\" failed to unconfigure with error: \"%s\"";
}

const char* SuccessText(const TCommandLine& line) {
  if (line.Install) return "Service installed successfully";
  if (line.Uninstall) return "Service uninstalled successfully";
  if (line.Configure) return "Service configured successfully";
  if (line.Stop && !line.Unconfigure) return "Service stopped successfully";
  return "Service unconfigured successfully";
}

}  // namespace

std::string VirtualAccountOf(const std::string& serviceName) { return "NT SERVICE\\" + serviceName; }

bool TServiceApplication::RegisterServices(const TCommandLine& line) {
  platform::ServiceInstaller& installer = FPlatform.Installer;
  const platform::ServiceHandle manager = installer.OpenManager(platform::kManagerAllAccess);
  if (manager == platform::kNoServiceHandle) RaiseLastOSError(installer.LastFailure());

  bool succeeded = true;
  for (const auto& service : FServices) {
    try {
      if (line.Install || line.Configure) {
        service->DelayedStart = line.Delayed;
        if (line.VirtualAccount) service->SetServiceStartName(VirtualAccountOf(service->Name()));
        if (!line.Account.empty()) service->SetServiceStartName(line.Account);
        service->InstallSettings = line.Settings;
      }
      if (line.Install)
        InstallService(*service, manager);
      else if (line.Configure)
        ConfigureService(*service, manager);
      else if (line.Uninstall)
        UninstallService(*service, manager);
      else if (line.Unconfigure)
        UnconfigureService(*service, manager);
      else
        StopService(*service, manager);
    } catch (...) {
      FPlatform.Messages.Show(platform::MessageKind::kError, FTitle,
                              Format(FailureFormat(line), service->DisplayName().c_str(),
                                     ExceptionMessage(std::current_exception()).c_str()));
      succeeded = false;
    }
  }
  installer.CloseServiceHandle(manager);
  // The host's own entries (a dispatcher that cannot start) have a source
  // of its own.
  if (succeeded && (line.Install || line.Configure)) InstallEventSource(FHostSource);
  if (line.Uninstall || line.Unconfigure) RemoveEventSource(FHostSource);

  if (succeeded && !line.Silent)
    FPlatform.Messages.Show(platform::MessageKind::kInformation, FTitle, SuccessText(line));
  return succeeded;
}

void TServiceApplication::InstallService(TService& service, platform::ServiceHandle manager) {
  platform::ServiceInstaller& installer = FPlatform.Installer;
  if (service.BeforeInstall) service.BeforeInstall(service);

  platform::ServiceRegistration registration;
  registration.name = service.Name();
  registration.displayName = service.DisplayName();
  registration.desiredAccess = platform::kServiceAllAccess;
  registration.serviceType = RegisteredType(service);
  registration.startType = service.NTStartType();
  registration.errorControl = service.NTErrorSeverity();
  registration.binaryPath = FExecutablePath;
  registration.loadOrderGroup = service.LoadGroup;
  registration.dependencies = service.DependencyList();
  registration.startName = service.ServiceStartName();
  registration.password = service.Password();
  std::uint32_t tag = service.TagID;
  const platform::ServiceHandle handle =
      installer.CreateService(manager, registration, service.TagID > 0 ? &tag : nullptr);
  if (handle == platform::kNoServiceHandle) RaiseLastOSError(installer.LastFailure());
  service.TagID = tag;

  // A service whose configuration or after-install step failed is not left
  // registered.
  try {
    ApplySettings(service, handle);
  } catch (...) {
    installer.DeleteService(handle);
    installer.CloseServiceHandle(handle);
    RemoveEventSource(service.Name());
    throw;
  }
  installer.CloseServiceHandle(handle);
}

void TServiceApplication::ConfigureService(TService& service, platform::ServiceHandle manager) {
  platform::ServiceInstaller& installer = FPlatform.Installer;
  const platform::ServiceHandle handle = installer.OpenService(manager, service.Name(), platform::kServiceAllAccess);
  if (handle == platform::kNoServiceHandle) RaiseLastOSError(installer.LastFailure());
  try {
    ApplySettings(service, handle);
  } catch (...) {
    installer.CloseServiceHandle(handle);
    throw;
  }
  installer.CloseServiceHandle(handle);
}

void TServiceApplication::ApplySettings(TService& service, platform::ServiceHandle handle) {
  platform::ServiceInstaller& installer = FPlatform.Installer;
  if (!service.Recovery.restartDelays.empty() && !installer.SetRecovery(handle, service.Recovery))
    RaiseLastOSError(installer.LastFailure());
  if (service.DelayedStart && !installer.SetDelayedStart(handle, true)) RaiseLastOSError(installer.LastFailure());
  InstallEventSource(service.Name());
  if (service.AfterInstall) service.AfterInstall(service);
}

void TServiceApplication::UninstallService(TService& service, platform::ServiceHandle manager) {
  platform::ServiceInstaller& installer = FPlatform.Installer;
  if (service.BeforeUninstall) service.BeforeUninstall(service);

  const platform::ServiceHandle handle = installer.OpenService(manager, service.Name(), platform::kServiceAllAccess);
  if (handle == platform::kNoServiceHandle) RaiseLastOSError(installer.LastFailure());
  const bool deleted = installer.DeleteService(handle);
  const platform::SystemFailure failure = installer.LastFailure();
  installer.CloseServiceHandle(handle);
  if (!deleted) RaiseLastOSError(failure);
  RemoveEventSource(service.Name());

  if (service.AfterUninstall) service.AfterUninstall(service);
}

// The undoing goes on when the stop fails (the service may be gone
// already); the stop's failure is reported after it.
void TServiceApplication::UnconfigureService(TService& service, platform::ServiceHandle manager) {
  std::exception_ptr stopFailure;
  try {
    StopService(service, manager);
  } catch (...) {
    stopFailure = std::current_exception();
  }
  if (service.BeforeUninstall) service.BeforeUninstall(service);
  RemoveEventSource(service.Name());
  if (stopFailure) std::rethrow_exception(stopFailure);
}

// A stopping service advances its checkpoint within each wait hint it
// reports (a long drain keeps advancing it); one that does not is hung. An
// installer that gave up after a fixed time would replace files under a
// service still draining, or fail where waiting was right.
void TServiceApplication::StopService(TService& service, platform::ServiceHandle manager) {
  platform::ServiceInstaller& installer = FPlatform.Installer;
  const platform::ServiceHandle handle = installer.OpenService(manager, service.Name(), platform::kServiceAllAccess);
  if (handle == platform::kNoServiceHandle) RaiseLastOSError(installer.LastFailure());
  try {
    WaitForStop(handle, service.Name());
  } catch (...) {
    installer.CloseServiceHandle(handle);
    throw;
  }
  installer.CloseServiceHandle(handle);
}

void TServiceApplication::WaitForStop(platform::ServiceHandle handle, const std::string& name) {
  platform::ServiceInstaller& installer = FPlatform.Installer;
  platform::ServiceStatus status;
  std::uint32_t process = 0;
  if (!installer.QueryStatus(handle, status, process)) RaiseLastOSError(installer.LastFailure());
  if (status.currentState == csStopped) return;
  if (!installer.StopService(handle)) RaiseLastOSError(installer.LastFailure());
  std::uint32_t checkPoint = status.checkPoint, waited = 0;
  for (;;) {
    std::uint32_t current = 0;
    if (!installer.QueryStatus(handle, status, current)) RaiseLastOSError(installer.LastFailure());
    if (current != 0) process = current;
    if (status.currentState == csStopped) break;
    if (status.checkPoint != checkPoint) {
      checkPoint = status.checkPoint;
      waited = 0;
    } else if (waited > std::max(status.waitHint, kLeastStopWait)) {
      throw std::runtime_error(Format("%s made no progress in stopping for %u ms", name.c_str(), waited));
    }
    const std::uint32_t step = std::clamp<std::uint32_t>(status.waitHint / 10, 100, 1000);
    platform::SleepMilliseconds(step);
    waited += step;
  }
  if (process != 0 && !installer.WaitForProcessEnd(process, kProcessEndWait))
    throw std::runtime_error(Format("the process of %s has not ended %u ms after it stopped", name.c_str(),
                                    kProcessEndWait));
}

void TServiceApplication::InstallEventSource(const std::string& name) {
  int error = 0;
  if (!FPlatform.EventLog.InstallSource(name, FExecutablePath, error))
    RaiseLastOSError({error, Format("The event source %s cannot be registered: error %d", name.c_str(), error)});
}

// A source that cannot be removed leaves a registry key behind, nothing
// that stops the removal.
void TServiceApplication::RemoveEventSource(const std::string& name) {
  int error = 0;
  FPlatform.EventLog.RemoveSource(name, error);
}

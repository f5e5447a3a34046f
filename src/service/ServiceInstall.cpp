// Install and uninstall mode of the service host.

#include <exception>

#include "base/Format.h"
#include "service/ServiceApplication.h"
#include "service/SystemError.h"

bool TServiceApplication::RegisterServices(bool install, bool silent) {
  platform::ServiceInstaller& installer = FPlatform.Installer;
  const platform::ServiceHandle manager = installer.OpenManager(platform::kManagerAllAccess);
  if (manager == platform::kNoServiceHandle) RaiseLastOSError(installer.LastFailure());

  bool succeeded = true;
  for (const auto& service : FServices) {
    try {
      if (install)
        InstallService(*service, manager);
      else
        UninstallService(*service, manager);
    } catch (...) {
      const char* format = install ? "Service \"%s\" failed to install with error: \"%s\""
                                   : "Service \"%s\" failed to uninstall with error: \"%s\"";
      FPlatform.Messages.Show(platform::MessageKind::kError, FTitle,
                              Format(format, service->DisplayName().c_str(),
                                     ExceptionMessage(std::current_exception()).c_str()));
      succeeded = false;
    }
  }
  installer.CloseServiceHandle(manager);

  if (succeeded && !silent)
    FPlatform.Messages.Show(platform::MessageKind::kInformation, FTitle,
                            install ? "Service installed successfully" : "Service uninstalled successfully");
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

  // A service whose after-install step failed is not left registered.
  try {
    if (service.AfterInstall) service.AfterInstall(service);
  } catch (...) {
    installer.DeleteService(handle);
    installer.CloseServiceHandle(handle);
    throw;
  }
  installer.CloseServiceHandle(handle);
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

  if (service.AfterUninstall) service.AfterUninstall(service);
}

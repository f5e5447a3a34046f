#include "platform/ServiceManager.h"

#include <mutex>
#include <vector>
#include <windows.h>

#include "platform/Files.h"

// The interface's methods carry the names of the calls they make; the
// character-set macros of these two would rename them.
#undef CreateService
#undef OpenService

namespace platform {
namespace {

// The failure of the calling thread's last failed call.
thread_local SystemFailure lastFailure;

SystemFailure CaptureFailure() {
  const int code = static_cast<int>(::GetLastError());
  lastFailure = {code, ErrorText(code)};
  return lastFailure;
}

SC_HANDLE Sc(ServiceHandle handle) { return reinterpret_cast<SC_HANDLE>(handle); }
ServiceHandle Handle(void* handle) { return reinterpret_cast<ServiceHandle>(handle); }

const char* OrNull(const std::string& text) { return text.empty() ? nullptr : text.c_str(); }

// The manager takes a command line, not a path: unquoted, "C:\Program
// Files\VardexServer\VardexServer.exe" would first be tried as C:\Program.exe,
// which any user allowed to write to C:\ could plant.
std::string CommandLineOf(const std::string& path) { return '"' + path + '"'; }

class ScmInstaller : public ServiceInstaller {
 public:
  ServiceHandle OpenManager(std::uint32_t access) override {
    SC_HANDLE manager = ::OpenSCManagerA(nullptr, nullptr, access);
    if (!manager) CaptureFailure();
    return Handle(manager);
  }

  ServiceHandle CreateService(ServiceHandle manager, const ServiceRegistration& r,
                              std::uint32_t* tag) override {
    DWORD tagId = tag ? *tag : 0;
    const std::string commandLine = CommandLineOf(r.binaryPath);
    SC_HANDLE service = ::CreateServiceA(
        Sc(manager), r.name.c_str(), r.displayName.c_str(), r.desiredAccess, r.serviceType, r.startType,
        r.errorControl, commandLine.c_str(), OrNull(r.loadOrderGroup), tag ? &tagId : nullptr,
        r.dependencies.empty() ? nullptr : r.dependencies.data(), OrNull(r.startName), OrNull(r.password));
    if (!service) {
      CaptureFailure();
      return kNoServiceHandle;
    }
    if (tag) *tag = tagId;
    return Handle(service);
  }

  ServiceHandle OpenService(ServiceHandle manager, const std::string& name, std::uint32_t access) override {
    SC_HANDLE service = ::OpenServiceA(Sc(manager), name.c_str(), access);
    if (!service) CaptureFailure();
    return Handle(service);
  }

  bool DeleteService(ServiceHandle service) override {
    if (::DeleteService(Sc(service))) return true;
    CaptureFailure();
    return false;
  }

  bool SetRecovery(ServiceHandle service, const RecoveryActions& actions) override {
    std::vector<SC_ACTION> restarts;
    for (std::uint32_t delay : actions.restartDelays) restarts.push_back({SC_ACTION_RESTART, delay});
    SERVICE_FAILURE_ACTIONSA config{};
    config.dwResetPeriod = actions.resetSeconds;
    config.cActions = static_cast<DWORD>(restarts.size());
    config.lpsaActions = restarts.data();
    if (::ChangeServiceConfig2A(Sc(service), SERVICE_CONFIG_FAILURE_ACTIONS, &config)) return true;
    CaptureFailure();
    return false;
  }

  bool SetDelayedStart(ServiceHandle service, bool delayed) override {
    SERVICE_DELAYED_AUTO_START_INFO config{delayed};
    if (::ChangeServiceConfig2A(Sc(service), SERVICE_CONFIG_DELAYED_AUTO_START_INFO, &config)) return true;
    CaptureFailure();
    return false;
  }

  bool StopService(ServiceHandle service) override {
    SERVICE_STATUS status;
    if (::ControlService(Sc(service), SERVICE_CONTROL_STOP, &status)) return true;
    const DWORD error = ::GetLastError();
    if (error == ERROR_SERVICE_NOT_ACTIVE || error == ERROR_SERVICE_CANNOT_ACCEPT_CTRL) return true;
    CaptureFailure();
    return false;
  }

  bool QueryStatus(ServiceHandle service, ServiceStatus& status, std::uint32_t& processId) override {
    SERVICE_STATUS_PROCESS s{};
    DWORD needed = 0;
    if (!::QueryServiceStatusEx(Sc(service), SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&s), sizeof s, &needed)) {
      CaptureFailure();
      return false;
    }
    status = {s.dwServiceType, s.dwCurrentState, s.dwControlsAccepted, s.dwWin32ExitCode,
              s.dwServiceSpecificExitCode, s.dwCheckPoint, s.dwWaitHint};
    processId = s.dwProcessId;
    return true;
  }

  bool WaitForProcessEnd(std::uint32_t processId, std::uint32_t milliseconds) override {
    HANDLE process = ::OpenProcess(SYNCHRONIZE, FALSE, processId);
    if (!process) return true;  // ended already
    const DWORD result = ::WaitForSingleObject(process, milliseconds);
    ::CloseHandle(process);
    return result == WAIT_OBJECT_0;
  }

  void CloseServiceHandle(ServiceHandle handle) override { ::CloseServiceHandle(Sc(handle)); }

  SystemFailure LastFailure() const override { return lastFailure; }
};

// The Service Control Manager calls back through plain functions without a
// context, so the dispatcher keeps the one service main and control handler
// of the process here.
std::mutex callbackMutex;
ServiceMainFunction serviceMainFunction;
ServiceControlHandler controlHandler;

void WINAPI ServiceMainEntry(DWORD argc, LPSTR* argv) {
  std::vector<std::string> arguments(argv, argv + argc);
  ServiceMainFunction serviceMain;
  {
    std::lock_guard<std::mutex> lock(callbackMutex);
    serviceMain = serviceMainFunction;
  }
  if (serviceMain) serviceMain(arguments);
}

void WINAPI ControlEntry(DWORD code) {
  ServiceControlHandler handler;
  {
    std::lock_guard<std::mutex> lock(callbackMutex);
    handler = controlHandler;
  }
  if (handler) handler(code);
}

class ScmDispatcher : public ServiceDispatcher {
 public:
  SystemFailure Run(const std::vector<std::string>& serviceNames, ServiceMainFunction serviceMain) override {
    {
      std::lock_guard<std::mutex> lock(callbackMutex);
      serviceMainFunction = std::move(serviceMain);
    }
    std::vector<std::string> names = serviceNames;
    std::vector<SERVICE_TABLE_ENTRYA> table;
    for (std::string& name : names) table.push_back({name.data(), ServiceMainEntry});
    table.push_back({nullptr, nullptr});
    if (::StartServiceCtrlDispatcherA(table.data())) return {};
    return CaptureFailure();
  }

  ServiceHandle RegisterControlHandler(const std::string& serviceName, ServiceControlHandler handler) override {
    {
      std::lock_guard<std::mutex> lock(callbackMutex);
      controlHandler = std::move(handler);
    }
    SERVICE_STATUS_HANDLE status = ::RegisterServiceCtrlHandlerA(serviceName.c_str(), ControlEntry);
    if (!status) CaptureFailure();
    return Handle(status);
  }

  bool SetStatus(ServiceHandle statusHandle, const ServiceStatus& s) override {
    SERVICE_STATUS status{s.serviceType, s.currentState, s.controlsAccepted, s.win32ExitCode,
                          s.serviceSpecificExitCode, s.checkPoint, s.waitHint};
    if (::SetServiceStatus(reinterpret_cast<SERVICE_STATUS_HANDLE>(statusHandle), &status)) return true;
    CaptureFailure();
    return false;
  }

  SystemFailure LastFailure() const override { return lastFailure; }
};

}  // namespace

ServiceInstaller& SystemServiceInstaller() {
  static ScmInstaller installer;
  return installer;
}

ServiceDispatcher* SystemServiceDispatcher() {
  static ScmDispatcher dispatcher;
  return &dispatcher;
}

}  // namespace platform

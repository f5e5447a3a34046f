#include "support/FakeServiceManager.h"

#include <algorithm>
#include <chrono>
#include <thread>

namespace vtest {

platform::ServiceHandle FakeInstaller::Fail(const platform::SystemFailure& failure) {
  FLastFailure = failure;
  return platform::kNoServiceHandle;
}

platform::ServiceHandle FakeInstaller::OpenManager(std::uint32_t access) {
  Calls.push_back("OpenManager " + std::to_string(access));
  if (OpenManagerFailure.code != 0 || !OpenManagerFailure.text.empty()) return Fail(OpenManagerFailure);
  FOpenNames.push_back("manager");
  return static_cast<platform::ServiceHandle>(FOpenNames.size());
}

platform::ServiceHandle FakeInstaller::CreateService(platform::ServiceHandle, const platform::ServiceRegistration& r,
                                                     std::uint32_t* tag) {
  Calls.push_back("CreateService " + r.name);
  Registrations.push_back(r);
  TagPassed = tag != nullptr;
  if (CreateFailure.code != 0) return Fail(CreateFailure);
  if (std::find(Installed.begin(), Installed.end(), r.name) != Installed.end()) return Fail(ExistsFailure);
  if (tag) *tag = TagGiven;
  Installed.push_back(r.name);
  FOpenNames.push_back(r.name);
  return static_cast<platform::ServiceHandle>(FOpenNames.size());
}

platform::ServiceHandle FakeInstaller::OpenService(platform::ServiceHandle, const std::string& name,
                                                   std::uint32_t access) {
  Calls.push_back("OpenService " + name + " " + std::to_string(access));
  if (OpenServiceFailure.code != 0) return Fail(OpenServiceFailure);
  if (std::find(Installed.begin(), Installed.end(), name) == Installed.end())
    return Fail({1060, "The specified service does not exist as an installed service."});
  FOpenNames.push_back(name);
  return static_cast<platform::ServiceHandle>(FOpenNames.size());
}

bool FakeInstaller::DeleteService(platform::ServiceHandle service) {
  const std::string name = FOpenNames.at(static_cast<std::size_t>(service) - 1);
  Calls.push_back("DeleteService " + name);
  if (DeleteFailure.code != 0) {
    Fail(DeleteFailure);
    return false;
  }
  Installed.erase(std::remove(Installed.begin(), Installed.end(), name), Installed.end());
  return true;
}

bool FakeInstaller::SetRecovery(platform::ServiceHandle service, const platform::RecoveryActions& actions) {
  Calls.push_back("SetRecovery " + FOpenNames.at(static_cast<std::size_t>(service) - 1));
  Recovery = actions;
  return true;
}

bool FakeInstaller::SetDelayedStart(platform::ServiceHandle service, bool delayed) {
  Calls.push_back("SetDelayedStart " + FOpenNames.at(static_cast<std::size_t>(service) - 1) + " " +
                  std::to_string(delayed));
  if (DelayedFailure.code == 0) return true;
  Fail(DelayedFailure);
  return false;
}

bool FakeInstaller::StopService(platform::ServiceHandle service) {
  Calls.push_back("StopService " + FOpenNames.at(static_cast<std::size_t>(service) - 1));
  return true;
}

bool FakeInstaller::QueryStatus(platform::ServiceHandle, platform::ServiceStatus& status, std::uint32_t& processId) {
  status = {};
  status.currentState = 1;
  if (!Statuses.empty()) {
    status = Statuses.front();
    if (Statuses.size() > 1) Statuses.erase(Statuses.begin());
  }
  processId = status.currentState == 1 ? 0 : ProcessId;
  return true;
}

bool FakeInstaller::WaitForProcessEnd(std::uint32_t processId, std::uint32_t) {
  Calls.push_back("WaitForProcessEnd " + std::to_string(processId));
  return true;
}

void FakeInstaller::CloseServiceHandle(platform::ServiceHandle handle) {
  Calls.push_back("CloseServiceHandle " + FOpenNames.at(static_cast<std::size_t>(handle) - 1));
}

platform::SystemFailure FakeDispatcher::Run(const std::vector<std::string>& serviceNames,
                                            platform::ServiceMainFunction serviceMain) {
  std::vector<std::string> arguments = {StartName.empty() ? serviceNames.at(0) : StartName};
  arguments.insert(arguments.end(), Arguments.begin(), Arguments.end());
  if (RunFailure.code == 0) std::thread(serviceMain, arguments).join();
  return RunFailure;
}

platform::ServiceHandle FakeDispatcher::RegisterControlHandler(const std::string& serviceName,
                                                               platform::ServiceControlHandler handler) {
  std::lock_guard<std::mutex> lock(FMutex);
  RegisteredName = serviceName;
  if (RefuseRegistration) return platform::kNoServiceHandle;
  FHandler = std::move(handler);
  return 42;
}

bool FakeDispatcher::SetStatus(platform::ServiceHandle, const platform::ServiceStatus& status) {
  std::lock_guard<std::mutex> lock(FMutex);
  FReports.push_back(status);
  FReported.notify_all();
  return !RefuseStatus;
}

void FakeDispatcher::Control(std::uint32_t code) {
  platform::ServiceControlHandler handler;
  {
    std::lock_guard<std::mutex> lock(FMutex);
    handler = FHandler;
  }
  if (handler) handler(code);
}

bool FakeDispatcher::WaitForReports(std::size_t count) {
  std::unique_lock<std::mutex> lock(FMutex);
  return FReported.wait_for(lock, std::chrono::seconds(10), [&] { return FReports.size() >= count; });
}

bool FakeDispatcher::WaitForState(std::uint32_t state) {
  std::unique_lock<std::mutex> lock(FMutex);
  return FReported.wait_for(lock, std::chrono::seconds(10), [&] {
    return std::any_of(FReports.begin(), FReports.end(), [&](const auto& r) { return r.currentState == state; });
  });
}

std::vector<platform::ServiceStatus> FakeDispatcher::Reports() {
  std::lock_guard<std::mutex> lock(FMutex);
  return FReports;
}

std::vector<std::uint32_t> FakeDispatcher::States() {
  std::vector<std::uint32_t> states;
  for (const auto& report : Reports()) states.push_back(report.currentState);
  return states;
}

}  // namespace vtest

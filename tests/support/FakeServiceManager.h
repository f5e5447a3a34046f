#pragma once
// Stand-ins for the service manager: an installer that records every call,
// and a dispatcher that starts the service as the platform does and lets a
// test send control codes and read back every status report.

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "platform/ServiceManager.h"

namespace vtest {

class FakeInstaller : public platform::ServiceInstaller {
 public:
  platform::ServiceHandle OpenManager(std::uint32_t access) override;
  platform::ServiceHandle CreateService(platform::ServiceHandle manager, const platform::ServiceRegistration& registration,
                                        std::uint32_t* tag) override;
  platform::ServiceHandle OpenService(platform::ServiceHandle manager, const std::string& name,
                                      std::uint32_t access) override;
  bool DeleteService(platform::ServiceHandle service) override;
  bool SetRecovery(platform::ServiceHandle service, const platform::RecoveryActions& actions) override;
  bool SetDelayedStart(platform::ServiceHandle service, bool delayed) override;
  bool StopService(platform::ServiceHandle service) override;
  bool QueryStatus(platform::ServiceHandle service, platform::ServiceStatus& status, std::uint32_t& processId) override;
  bool WaitForProcessEnd(std::uint32_t processId, std::uint32_t milliseconds) override;
  void CloseServiceHandle(platform::ServiceHandle handle) override;
  platform::SystemFailure LastFailure() const override { return FLastFailure; }

  // What the calls did, one line each ("CreateService VardexServerService").
  std::vector<std::string> Calls;
  // The registrations, as CreateService received them; `tagPassed` says
  // whether a tag was asked for.
  std::vector<platform::ServiceRegistration> Registrations;
  bool TagPassed = false;
  std::uint32_t TagGiven = 7;

  // A failure to give instead of success; code 0 means success.
  platform::SystemFailure OpenManagerFailure, CreateFailure, OpenServiceFailure, DeleteFailure, DelayedFailure;
  // What QueryStatus reads, one after the other, the last repeating;
  // nothing: stopped. The process is ProcessId until stopped.
  std::vector<platform::ServiceStatus> Statuses;
  std::uint32_t ProcessId = 42;
  // The last recovery actions set.
  platform::RecoveryActions Recovery;
  // Services that exist; CreateService fails with ExistsFailure for these.
  std::vector<std::string> Installed;
  platform::SystemFailure ExistsFailure{1073, "The specified service already exists."};

 private:
  platform::ServiceHandle Fail(const platform::SystemFailure& failure);
  platform::SystemFailure FLastFailure;
  std::vector<std::string> FOpenNames = {""};  // index = handle - 1
};

class FakeDispatcher : public platform::ServiceDispatcher {
 public:
  // Runs the service main on a thread of its own with the first name and
  // Arguments, waits for it and returns RunFailure.
  platform::SystemFailure Run(const std::vector<std::string>& serviceNames,
                              platform::ServiceMainFunction serviceMain) override;
  platform::ServiceHandle RegisterControlHandler(const std::string& serviceName,
                                                 platform::ServiceControlHandler handler) override;
  bool SetStatus(platform::ServiceHandle statusHandle, const platform::ServiceStatus& status) override;
  platform::SystemFailure LastFailure() const override { return FailureText; }

  // Sends a control code through the registered handler, as the platform's
  // dispatcher thread would.
  void Control(std::uint32_t code);
  // Waits up to 10 seconds until `count` reports have been made.
  bool WaitForReports(std::size_t count);
  // Waits up to 10 seconds until `state` has been reported.
  bool WaitForState(std::uint32_t state);
  std::vector<platform::ServiceStatus> Reports();
  // The states of all reports, in order.
  std::vector<std::uint32_t> States();

  std::vector<std::string> Arguments;      // after the service name
  std::string StartName;                   // empty: the first name of Run
  platform::SystemFailure RunFailure;      // what Run returns
  bool RefuseRegistration = false;
  bool RefuseStatus = false;
  platform::SystemFailure FailureText{5, "Access is denied."};
  std::string RegisteredName;

 private:
  std::mutex FMutex;
  std::condition_variable FReported;
  std::vector<platform::ServiceStatus> FReports;
  platform::ServiceControlHandler FHandler;
};

}  // namespace vtest

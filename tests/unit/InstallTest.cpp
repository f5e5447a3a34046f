// Install and uninstall mode against a fake service manager: the order of
// the hooks and calls, the values registered, and the messages shown.

#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/Paths.h"
#include "service/CommandLine.h"
#include "service/ServiceApplication.h"
#include "support/FakeHost.h"
#include "support/FakeServiceManager.h"

namespace {

using Calls = std::vector<std::string>;

const std::string kExecutable = std::string("srv") + platform::kPathDelimiter + "VardexServer.exe";

// One application with one service whose hooks write into the installer's
// call list, so that hooks and platform calls appear in one order.
struct Installation {
  Installation() {
    auto owned = std::make_unique<TService>("VardexServerService", Events);
    Service = owned.get();
    Service->SetDisplayName("VardexServer");
    Service->SetInteractive(true);
    Service->BeforeInstall = Hook("BeforeInstall");
    Service->AfterInstall = Hook("AfterInstall");
    Service->BeforeUninstall = Hook("BeforeUninstall");
    Service->AfterUninstall = Hook("AfterUninstall");
    Application = std::make_unique<TServiceApplication>(
        THostPlatform{Installer, Dispatcher, Dispatcher, Events, Messages}, kExecutable);
    Application->AddService(std::move(owned));
  }

  TService::TNotifyEvent Hook(const std::string& name) {
    return [this, name](TService&) {
      Installer.Calls.push_back(name);
      if (name == FailingHook) throw std::runtime_error("hook failed");
    };
  }

  int Run(const std::vector<std::string>& arguments) { return Application->Run(arguments); }

  // The text of every message shown.
  std::vector<std::string> Texts() const {
    std::vector<std::string> texts;
    for (const auto& m : Messages.Shown) texts.push_back(m.text);
    return texts;
  }

  vtest::FakeInstaller Installer;
  vtest::FakeDispatcher Dispatcher;
  vtest::FakeEventLog Events;
  vtest::FakeMessages Messages;
  std::string FailingHook;
  TService* Service = nullptr;
  std::unique_ptr<TServiceApplication> Application;
};

TEST(Install, RegistersBetweenTheHooksWithTheServiceDefinition) {
  Installation install;
  EXPECT_EQ(install.Run({"/install"}), 0);
  EXPECT_EQ(install.Installer.Calls,
            (Calls{"OpenManager " + std::to_string(0xF003F), "BeforeInstall", "CreateService VardexServerService",
                   "AfterInstall", "CloseServiceHandle VardexServerService", "CloseServiceHandle manager"}));
  ASSERT_EQ(install.Installer.Registrations.size(), 1u);
  const platform::ServiceRegistration& r = install.Installer.Registrations[0];
  EXPECT_EQ(r.displayName, "VardexServer");
  EXPECT_EQ(r.desiredAccess, 0xF01FFu);
  EXPECT_EQ(r.serviceType, 0x110u);
  EXPECT_EQ(r.startType, 2u);
  EXPECT_EQ(r.errorControl, 1u);
  EXPECT_EQ(r.binaryPath, kExecutable);
  EXPECT_EQ(r.loadOrderGroup, "");
  EXPECT_EQ(r.dependencies, "");
  EXPECT_EQ(r.startName, "");
  EXPECT_EQ(r.password, "");
  EXPECT_FALSE(install.Installer.TagPassed);
  ASSERT_EQ(install.Messages.Shown.size(), 1u);
  EXPECT_EQ(install.Messages.Shown[0].kind, platform::MessageKind::kInformation);
  EXPECT_EQ(install.Messages.Shown[0].text, "Service installed successfully");
  EXPECT_EQ(install.Messages.Shown[0].title, "VardexServer");
}

TEST(Install, FailingAfterInstallDeletesTheNewServiceAndIsReportedEvenWhenSilent) {
  Installation install;
  install.FailingHook = "AfterInstall";
  EXPECT_EQ(install.Run({"-INSTALL", "/Silent"}), 1);
  EXPECT_EQ(install.Installer.Calls,
            (Calls{"OpenManager " + std::to_string(0xF003F), "BeforeInstall", "CreateService VardexServerService",
                   "AfterInstall", "DeleteService VardexServerService", "CloseServiceHandle VardexServerService",
                   "CloseServiceHandle manager"}));
  EXPECT_TRUE(install.Installer.Installed.empty());
  ASSERT_EQ(install.Messages.Shown.size(), 1u);
  EXPECT_EQ(install.Messages.Shown[0].kind, platform::MessageKind::kError);
  EXPECT_EQ(install.Messages.Shown[0].text,
            "Service \"VardexServer\" failed to install with error: \"hook failed\"");
}

TEST(Install, SecondInstallFailsWithThePlatformTextAndSkipsAfterInstall) {
  Installation install;
  EXPECT_EQ(install.Run({"/install", "/silent"}), 0);
  EXPECT_TRUE(install.Messages.Shown.empty());
  install.Installer.Calls.clear();
  EXPECT_EQ(install.Run({"/install", "/silent"}), 1);
  EXPECT_EQ(install.Installer.Calls, (Calls{"OpenManager " + std::to_string(0xF003F), "BeforeInstall",
                                            "CreateService VardexServerService", "CloseServiceHandle manager"}));
  EXPECT_EQ(install.Texts(), std::vector<std::string>{
                                 "Service \"VardexServer\" failed to install with error: \"System Error.  Code: "
                                 "1073.\r\nThe specified service already exists.\""});
}

TEST(Install, UninstallDeletesBetweenTheHooksUnlessBeforeUninstallFails) {
  {
    Installation install;
    install.Installer.Installed = {"VardexServerService"};
    EXPECT_EQ(install.Run({"/uninstall"}), 0);
    EXPECT_EQ(install.Installer.Calls,
              (Calls{"OpenManager " + std::to_string(0xF003F), "BeforeUninstall",
                     "OpenService VardexServerService " + std::to_string(0xF01FF), "DeleteService VardexServerService",
                     "CloseServiceHandle VardexServerService", "AfterUninstall", "CloseServiceHandle manager"}));
    EXPECT_EQ(install.Texts(), std::vector<std::string>{"Service uninstalled successfully"});
  }
  {
    Installation install;
    install.Installer.Installed = {"VardexServerService"};
    install.FailingHook = "BeforeUninstall";
    EXPECT_EQ(install.Run({"/uninstall", "/silent"}), 1);
    EXPECT_EQ(install.Installer.Calls,
              (Calls{"OpenManager " + std::to_string(0xF003F), "BeforeUninstall", "CloseServiceHandle manager"}));
    EXPECT_EQ(install.Installer.Installed, std::vector<std::string>{"VardexServerService"});
    EXPECT_EQ(install.Texts(), std::vector<std::string>{
                                   "Service \"VardexServer\" failed to uninstall with error: \"hook failed\""});
  }
  {
    // Not installed, or the delete refused: the platform's text, and no
    // AfterUninstall.
    Installation install;
    EXPECT_EQ(install.Run({"/uninstall"}), 1);
    EXPECT_EQ(install.Texts(), std::vector<std::string>{
                                   "Service \"VardexServer\" failed to uninstall with error: \"System Error.  Code: "
                                   "1060.\r\nThe specified service does not exist as an installed service.\""});
    install.Installer.Installed = {"VardexServerService"};
    install.Installer.DeleteFailure = {1072, "The specified service has been marked for deletion."};
    install.Installer.Calls.clear();
    EXPECT_EQ(install.Run({"/uninstall"}), 1);
    EXPECT_EQ(install.Installer.Calls.back(), "CloseServiceHandle manager");
    EXPECT_EQ(install.Installer.Calls[install.Installer.Calls.size() - 2], "CloseServiceHandle VardexServerService");
  }
}

TEST(Install, ManagerThatCannotBeOpenedIsAnApplicationError) {
  Installation install;
  install.Installer.OpenManagerFailure = {5, "Access is denied."};
  EXPECT_EQ(install.Run({"/install", "/silent"}), 1);
  EXPECT_EQ(install.Installer.Calls, Calls{"OpenManager " + std::to_string(0xF003F)});
  ASSERT_EQ(install.Messages.Shown.size(), 1u);
  EXPECT_EQ(install.Messages.Shown[0].kind, platform::MessageKind::kError);
  EXPECT_EQ(install.Messages.Shown[0].title, "Application Error");
  EXPECT_EQ(install.Messages.Shown[0].text, "System Error.  Code: 5.\r\nAccess is denied.");

  install.Installer.OpenManagerFailure = {0, "no code"};
  install.Messages.Shown.clear();
  EXPECT_EQ(install.Run({"/uninstall"}), 1);
  EXPECT_EQ(install.Texts(), std::vector<std::string>{"A call to an OS function failed"});
}

TEST(Install, InstallWinsOverUninstall) {
  Installation install;
  EXPECT_EQ(install.Run({"/uninstall", "/install"}), 0);
  EXPECT_EQ(install.Installer.Installed, std::vector<std::string>{"VardexServerService"});
  EXPECT_EQ(install.Texts(), std::vector<std::string>{"Service installed successfully"});
}

TEST(Install, DependencyListAndTagAreRegisteredAsThePlatformTakesThem) {
  Installation install;
  install.Service->Dependencies = {{"Tcpip", false}, {"NetworkProvider", true}, {"Dhcp", false}};
  install.Service->LoadGroup = "Network";
  install.Service->TagID = 3;
  EXPECT_EQ(install.Run({"/install", "/silent"}), 0);
  const platform::ServiceRegistration& r = install.Installer.Registrations.at(0);
  EXPECT_EQ(r.dependencies, std::string("Tcpip\0+NetworkProvider\0Dhcp\0\0", 29));
  EXPECT_EQ(r.loadOrderGroup, "Network");
  EXPECT_TRUE(install.Installer.TagPassed);
  EXPECT_EQ(install.Service->TagID, install.Installer.TagGiven);
}

TEST(Install, RegistrationValuesFollowTheDefinition) {
  vtest::FakeEventLog events;
  TService service("S", events);
  EXPECT_EQ(service.DisplayName(), "S");  // an empty display name shows the name
  EXPECT_EQ(service.NTServiceType(false), 0x10u);
  EXPECT_EQ(service.NTServiceType(true), 0x20u);
  service.SetInteractive(true);
  EXPECT_EQ(service.NTServiceType(false), 0x110u);
  // An account ends interactivity; interactivity empties the account.
  service.SetServiceStartName(".\\svc");
  EXPECT_FALSE(service.Interactive());
  service.SetPassword("secret");
  service.SetInteractive(true);
  EXPECT_EQ(service.ServiceStartName(), "");
  EXPECT_EQ(service.Password(), "");

  service.StartType = TStartType::stBoot;
  EXPECT_EQ(service.NTStartType(), 2u);  // only drivers start at boot
  service.ServiceType = TServiceType::stDevice;
  EXPECT_EQ(service.NTStartType(), 0u);
  EXPECT_EQ(service.NTServiceType(false), 0x1u);
  service.StartType = TStartType::stDisabled;
  EXPECT_EQ(service.NTStartType(), 4u);
  service.ErrorSeverity = TErrorSeverity::esCritical;
  EXPECT_EQ(service.NTErrorSeverity(), 3u);
}

TEST(InstallCommandLine, SwitchesTakeEitherPrefixAnyCaseAnyPosition) {
  const TCommandLine line = ParseCommandLine({"x", "-SiLeNt", "other", "/Install"});
  EXPECT_TRUE(line.Install);
  EXPECT_TRUE(line.Silent);
  EXPECT_FALSE(line.Uninstall);
  EXPECT_FALSE(line.Console);
  EXPECT_TRUE(ParseCommandLine({"/UNINSTALL"}).Uninstall);
  EXPECT_TRUE(ParseCommandLine({"-console"}).Console);
  for (const char* notASwitch : {"install", "--install", "//install", "/installer", "/instal", "\\install", "/", ""})
    EXPECT_FALSE(ParseCommandLine({notASwitch}).Install) << notASwitch;
}

}  // namespace

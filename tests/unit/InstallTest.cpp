// Install and uninstall mode against a fake service manager: the order of
// the hooks and calls, the values registered, and the messages shown.

#include <map>
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

TEST(Install, RecoveryDelayedStartAccountAndEventSourcesComeWithTheRegistrationOrNotAtAll) {
  const std::string sources[] = {"VardexServerService " + kExecutable, "VardexServer.exe " + kExecutable};
  {
    Installation install;
    install.Service->Recovery = {{5000, 30000, 300000}, 86400};
    EXPECT_EQ(install.Run({"/install", "/silent", "/delayed", "/account"}), 0);
    EXPECT_EQ(install.Installer.Calls,
              (Calls{"OpenManager " + std::to_string(0xF003F), "BeforeInstall", "CreateService VardexServerService",
                     "SetRecovery VardexServerService", "SetDelayedStart VardexServerService 1", "AfterInstall",
                     "CloseServiceHandle VardexServerService", "CloseServiceHandle manager"}));
    EXPECT_EQ(install.Installer.Recovery.restartDelays, (std::vector<std::uint32_t>{5000, 30000, 300000}));
    EXPECT_EQ(install.Installer.Recovery.resetSeconds, 86400u);
    // A virtual account cannot interact with the desktop.
    EXPECT_EQ(install.Installer.Registrations.at(0).startName, "NT SERVICE\\VardexServerService");
    EXPECT_EQ(install.Installer.Registrations.at(0).serviceType, 0x10u);
    EXPECT_EQ(install.Events.Installed, (std::vector<std::string>{sources[0], sources[1]}));

    // Another installer's registration gets the same settings, and the
    // service's AfterInstall its settings.
    install.Installer.Calls.clear();
    EXPECT_EQ(install.Run({"/configure", "/silent", "/Port=8080", "/account=LocalSystem"}), 0);
    EXPECT_EQ(install.Installer.Calls,
              (Calls{"OpenManager " + std::to_string(0xF003F), "OpenService VardexServerService " + std::to_string(0xF01FF),
                     "SetRecovery VardexServerService", "AfterInstall", "CloseServiceHandle VardexServerService",
                     "CloseServiceHandle manager"}));
    EXPECT_EQ(install.Service->InstallSettings, (std::map<std::string, std::string>{{"port", "8080"}}));
    EXPECT_EQ(install.Service->ServiceStartName(), "LocalSystem");

    // Before another installer removes it, the service is stopped: the
    // wait lasts as long as each report advances the checkpoint, and until
    // the process has ended.
    install.Installer.Calls.clear();
    for (std::uint32_t checkPoint : {0u, 1u, 2u, 3u}) {
      platform::ServiceStatus stopping;
      stopping.currentState = checkPoint == 0 ? 4 : 3;
      stopping.checkPoint = checkPoint;
      stopping.waitHint = 1000;
      install.Installer.Statuses.push_back(stopping);
    }
    install.Installer.Statuses.push_back({});
    install.Installer.Statuses.back().currentState = 1;
    EXPECT_EQ(install.Run({"/unconfigure", "/silent"}), 0);
    EXPECT_EQ(install.Installer.Calls,
              (Calls{"OpenManager " + std::to_string(0xF003F), "OpenService VardexServerService " + std::to_string(0xF01FF),
                     "StopService VardexServerService", "WaitForProcessEnd 42",
                     "CloseServiceHandle VardexServerService", "BeforeUninstall", "CloseServiceHandle manager"}));
    EXPECT_EQ(install.Installer.Installed, std::vector<std::string>{"VardexServerService"});
    EXPECT_EQ(install.Run({"/uninstall", "/silent"}), 0);
    EXPECT_EQ(install.Events.Removed,
              (std::vector<std::string>{"VardexServerService", "VardexServer.exe", "VardexServerService",
                                        "VardexServer.exe"}));
  }
  {
    // A manager without delayed starts (Wine's) fails the installation whole.
    Installation install;
    install.Installer.DelayedFailure = {87, "The parameter is incorrect."};
    EXPECT_EQ(install.Run({"/install", "/silent", "/delayed"}), 1);
    EXPECT_TRUE(install.Installer.Installed.empty());
    EXPECT_EQ(install.Installer.Calls.at(3), "SetDelayedStart VardexServerService 1");
    EXPECT_EQ(install.Installer.Calls.at(4), "DeleteService VardexServerService");
    EXPECT_TRUE(install.Events.Installed.empty());
    EXPECT_EQ(install.Texts().at(0), "Service \"VardexServer\" failed to install with error: \"System Error.  Code: "
                                     "87.\r\nThe parameter is incorrect.\"");
  }
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
  const TCommandLine settings = ParseCommandLine({"/Root=C:\\a b;D:\\c", "-ACCOUNT=NT SERVICE\\x", "/port=", "/=x"});
  EXPECT_EQ(settings.Settings, (std::map<std::string, std::string>{{"root", "C:\\a b;D:\\c"}, {"port", ""}}));
  EXPECT_EQ(settings.Account, "NT SERVICE\\x");
  EXPECT_FALSE(settings.VirtualAccount);
  EXPECT_TRUE(ParseCommandLine({"-console"}).Console);
  for (const char* notASwitch : {"install", "--install", "//install", "/installer", "/instal", "\\install", "/", ""})
    EXPECT_FALSE(ParseCommandLine({notASwitch}).Install) << notASwitch;
}

}  // namespace

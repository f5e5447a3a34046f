// Registration as a systemd unit (POSIX), against a unit directory and a
// systemctl of the test's own.

#ifndef _WIN32

#include <cerrno>
#include <filesystem>
#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "platform/Systemd.h"
#include "support/TestSupport.h"

namespace {

namespace fs = std::filesystem;

class Systemd {
 public:
  Systemd() {
    fs::create_directories(FDir.path() / "units");
    fs::create_directories(FDir.path() / "run");
    const std::string script = FDir.File("systemctl");
    vtest::WriteAll(script, "#!/bin/sh\necho \"$@\" >> '" + FDir.File("calls") + "'\nexit $(cat '" +
                                FDir.File("status") + "' 2>/dev/null || echo 0)\n");
    fs::permissions(script, fs::perms::owner_all);
    platform::SystemdLocations locations;
    locations.unitDirectory = FDir.File("units") + "/";
    locations.runtimeDirectory = FDir.File("run");
    locations.systemctl = script;
    Installer = platform::MakeSystemdInstaller(locations);
  }

  platform::ServiceRegistration Registration(std::uint32_t startType = 2) const {
    platform::ServiceRegistration r;
    r.name = "VardexServerService";
    r.displayName = "VardexServer";
    r.serviceType = 0x110;
    r.startType = startType;
    r.binaryPath = "/opt/vardex/VardexServer";
    return r;
  }
  platform::ServiceHandle Create(const platform::ServiceRegistration& r) {
    return Installer->CreateService(Installer->OpenManager(platform::kManagerAllAccess), r, nullptr);
  }
  std::string Unit() const { return vtest::ReadAll(FDir.path() / "units" / "VardexServerService.service"); }
  bool UnitExists() const { return fs::exists(FDir.path() / "units" / "VardexServerService.service"); }
  std::string Calls() const { return vtest::ReadAll(FDir.path() / "calls"); }
  void SystemctlExits(int status) { vtest::WriteAll(FDir.path() / "status", std::to_string(status)); }
  void StopSystemd() { fs::remove(FDir.path() / "run"); }

  std::unique_ptr<platform::ServiceInstaller> Installer;

 private:
  vtest::TempDir FDir;
};

TEST(InstallSystemd, CreateWritesANotifyUnitAndEnablesAnAutomaticService) {
  Systemd systemd;
  const platform::ServiceHandle service = systemd.Create(systemd.Registration());
  ASSERT_NE(service, platform::kNoServiceHandle) << systemd.Installer->LastFailure().text;
  systemd.Installer->CloseServiceHandle(service);
  EXPECT_EQ(systemd.Unit(),
            "[Unit]\nDescription=VardexServer\nAfter=network.target\nStartLimitIntervalSec=60\nStartLimitBurst=5\n\n"
            "[Service]\nType=notify\nExecStart=/opt/vardex/VardexServer\nExecReload=/bin/kill -HUP $MAINPID\nRestart=on-failure\nRestartSec=5\n\n"
            "[Install]\nWantedBy=multi-user.target\n");
  EXPECT_EQ(systemd.Calls(), "--quiet daemon-reload\n--quiet enable VardexServerService.service\n");

  // A second registration finds the unit.
  EXPECT_EQ(systemd.Create(systemd.Registration()), platform::kNoServiceHandle);
  EXPECT_EQ(systemd.Installer->LastFailure().code, EEXIST);
  EXPECT_NE(systemd.Installer->LastFailure().text.find("already exists"), std::string::npos);
}

TEST(InstallSystemd, ManualStartIsNotEnabledAndOddPathsAreQuoted) {
  Systemd systemd;
  platform::ServiceRegistration r = systemd.Registration(3);
  r.binaryPath = "/opt/my vardex/100%/VardexServer";
  ASSERT_NE(systemd.Create(r), platform::kNoServiceHandle);
  EXPECT_NE(systemd.Unit().find("ExecStart=\"/opt/my vardex/100%%/VardexServer\"\n"), std::string::npos)
      << systemd.Unit();
  EXPECT_EQ(systemd.Calls(), "--quiet daemon-reload\n");
}

TEST(InstallSystemd, FailuresLeaveNoUnitBehind) {
  Systemd systemd;
  systemd.SystemctlExits(1);
  EXPECT_EQ(systemd.Create(systemd.Registration()), platform::kNoServiceHandle);
  EXPECT_EQ(systemd.Installer->LastFailure().text,
            "systemctl enable VardexServerService.service failed with exit status 1.");
  EXPECT_FALSE(systemd.UnitExists());

  systemd.StopSystemd();
  EXPECT_EQ(systemd.Create(systemd.Registration()), platform::kNoServiceHandle);
  EXPECT_NE(systemd.Installer->LastFailure().text.find("systemd is not running"), std::string::npos);
  EXPECT_FALSE(systemd.UnitExists());
}

TEST(InstallSystemd, DeleteDisablesAndRemovesTheUnit) {
  Systemd systemd;
  const platform::ServiceHandle manager = systemd.Installer->OpenManager(platform::kManagerAllAccess);
  EXPECT_EQ(systemd.Installer->OpenService(manager, "VardexServerService", platform::kServiceAllAccess),
            platform::kNoServiceHandle);
  EXPECT_EQ(systemd.Installer->LastFailure().code, ENOENT);

  systemd.Installer->CloseServiceHandle(systemd.Create(systemd.Registration()));
  const platform::ServiceHandle service =
      systemd.Installer->OpenService(manager, "VardexServerService", platform::kServiceAllAccess);
  ASSERT_NE(service, platform::kNoServiceHandle);
  EXPECT_TRUE(systemd.Installer->DeleteService(service));
  systemd.Installer->CloseServiceHandle(service);
  EXPECT_FALSE(systemd.UnitExists());
  EXPECT_EQ(systemd.Calls(),
            "--quiet daemon-reload\n--quiet enable VardexServerService.service\n"
            "--quiet disable VardexServerService.service\n--quiet daemon-reload\n");
}

}  // namespace

#endif  // _WIN32

// The VardexServer service object: its definition, its firewall hooks in
// installation and removal, its reload and its stop.

#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "base/DailyLog.h"
#include "platform/Paths.h"
#include "service/ServiceApplication.h"
#include "service/svcMain.h"
#include "support/FakeHost.h"
#include "support/FakeServiceManager.h"
#include "support/TestSupport.h"

namespace {

using platform::FirewallProperty;

struct VardexInstallation {
  // `directory` holds the configuration file and the log.
  explicit VardexInstallation(const std::string& directory = ProgramDirectory()) {
    auto owned = std::make_unique<TVardexServerService>(Events, Firewall, directory);
    Service = owned.get();
    Application = std::make_unique<TServiceApplication>(
        THostPlatform{Installer, Dispatcher, Dispatcher, Events, Messages}, platform::ExecutablePath());
    Application->AddService(std::move(owned));
  }
  std::vector<std::string> Texts() const {
    std::vector<std::string> texts;
    for (const auto& m : Messages.Shown) texts.push_back(m.text);
    return texts;
  }

  vtest::FakeInstaller Installer;
  vtest::FakeDispatcher Dispatcher;
  vtest::FakeEventLog Events;
  vtest::FakeFirewall Firewall;
  vtest::FakeMessages Messages;
  TVardexServerService* Service = nullptr;
  std::unique_ptr<TServiceApplication> Application;
};

TEST(ServiceLifecycle, DefinitionIsAnInteractiveAutoStartServiceWithoutPause) {
  VardexInstallation install;
  TVardexServerService& s = *install.Service;
  EXPECT_EQ(s.Name(), "VardexServerService");
  EXPECT_EQ(s.DisplayName(), "VardexServer");
  EXPECT_TRUE(s.Interactive());
  EXPECT_TRUE(s.AllowStop);
  EXPECT_FALSE(s.AllowPause);  // cleared by the creation handler
  EXPECT_EQ(s.WaitHint, 60000u);
  EXPECT_EQ(s.NTServiceType(false), 0x110u);
  EXPECT_EQ(s.NTStartType(), 2u);
  EXPECT_EQ(s.NTErrorSeverity(), 1u);
  EXPECT_EQ(s.DependencyList(), "");

  bool flag = true;
  s.ServicePause(s, flag);
  EXPECT_FALSE(flag);
  flag = true;
  s.ServiceContinue(s, flag);
  EXPECT_FALSE(flag);
}

TEST(ServiceLifecycle, InstallAddsTheFirewallRuleForTheProgramFileBesideTheExecutable) {
  VardexInstallation install;
  EXPECT_EQ(install.Application->Run({"/install"}), 0);
  ASSERT_EQ(install.Firewall.Added.size(), 1u);
  const auto& settings = install.Firewall.Added[0];
  // The test executable has another name: the rule still names
  // VardexServer.exe in its directory.
  const std::string program = platform::DirectoryPart(platform::ExecutablePath()) + "VardexServer.exe";
  ASSERT_EQ(settings.size(), 7u);
  const std::vector<FirewallProperty> order = {FirewallProperty::kName,     FirewallProperty::kDescription,
                                               FirewallProperty::kApplicationName, FirewallProperty::kProtocol,
                                               FirewallProperty::kEnabled, FirewallProperty::kProfiles,
                                               FirewallProperty::kAction};
  for (std::size_t i = 0; i < order.size(); ++i) EXPECT_EQ(settings[i].property, order[i]) << i;
  EXPECT_EQ(settings[0].text, "VardexServer");
  EXPECT_EQ(settings[1].text, "VardexServer");
  EXPECT_EQ(settings[2].text, program);
  EXPECT_EQ(settings[3].number, 6);
  EXPECT_EQ(settings[4].number, 1);
  EXPECT_EQ(settings[5].number, 6);
  EXPECT_EQ(settings[6].number, 1);
  EXPECT_EQ(install.Texts(), std::vector<std::string>{"Service installed successfully"});
}

TEST(ServiceLifecycle, UnavailableFirewallUndoesInstallAndStopsRemoval) {
  VardexInstallation install;
  install.Firewall.Failure = "Class not registered, ProgID: \"HNetCfg.FwPolicy2\"";
  EXPECT_EQ(install.Application->Run({"/install", "/silent"}), 1);
  EXPECT_TRUE(install.Installer.Installed.empty());
  EXPECT_EQ(install.Texts(), std::vector<std::string>{"Service \"VardexServer\" failed to install with error: "
                                                      "\"Class not registered, ProgID: \"HNetCfg.FwPolicy2\"\""});

  install.Installer.Installed = {"VardexServerService"};
  install.Installer.Calls.clear();
  install.Messages.Shown.clear();
  EXPECT_EQ(install.Application->Run({"/uninstall", "/silent"}), 1);
  EXPECT_EQ(install.Firewall.Calls.back(), "RemoveRule VardexServer");
  EXPECT_EQ(install.Installer.Installed, std::vector<std::string>{"VardexServerService"});
  EXPECT_EQ(install.Installer.Calls.size(), 2u);  // the manager opened and closed, no service touched
  EXPECT_EQ(install.Texts().size(), 1u);
}

TEST(ServiceLifecycle, UninstallRemovesTheRuleBeforeTheService) {
  VardexInstallation install;
  install.Installer.Installed = {"VardexServerService"};
  EXPECT_EQ(install.Application->Run({"/uninstall", "/silent"}), 0);
  EXPECT_EQ(install.Firewall.Calls, std::vector<std::string>{"RemoveRule VardexServer"});
  EXPECT_TRUE(install.Installer.Installed.empty());
  EXPECT_TRUE(install.Messages.Shown.empty());
}

// A service started from a directory whose configuration file has the
// system choose the port, and holds `more` besides.
struct StartedInstallation : VardexInstallation {
  explicit StartedInstallation(const vtest::TempDir& dir, const std::string& more = "")
      : VardexInstallation(WithEphemeralPort(dir, more)) {
    bool started = false;
    Service->ServiceStart(*Service, started);
    EXPECT_TRUE(started);
    LogPrefix = dir.File("Log") + std::string(1, platform::kPathDelimiter) + "FileServer";
  }
  static std::string WithEphemeralPort(const vtest::TempDir& dir, const std::string& more) {
    vtest::WriteAll(dir.path() / "VardexServer.ini", "[Server]\nPort=0\n" + more);
    return dir.File("");
  }
  std::string LogPrefix;
};

TEST(ServiceLifecycle, StopEndsTheListenerWithoutWaitingForAConversation) {
  vtest::TempDir dir;
  StartedInstallation install(dir);
  // A client in the middle of its handshake keeps its worker waiting.
  TSocket client = vtest::Connect(install.Service->ListeningPort());
  ASSERT_NE(client, INVALID_SOCK);
  ASSERT_TRUE(vtest::SendAll(client, "DN"));

  const auto start = vtest::Clock::now();
  bool stopped = false;
  install.Service->ServiceStop(*install.Service, stopped);
  EXPECT_LT(vtest::SecondsSince(start), 5.0);
  EXPECT_TRUE(stopped);
  EXPECT_EQ(install.Service->ListeningPort(), -1);
  EXPECT_EQ(vtest::LogMessages(install.LogPrefix).back(), "Service Stoped");
  CloseSocket(client);
}

TEST(ServiceLifecycle, ShutdownRunsTheSameStop) {
  vtest::TempDir dir;
  StartedInstallation install(dir);
  const int port = install.Service->ListeningPort();
  ASSERT_GT(port, 0);
  install.Service->ServiceShutdown(*install.Service);
  EXPECT_EQ(install.Service->ListeningPort(), -1);
  EXPECT_EQ(vtest::LogMessages(install.LogPrefix).back(), "Service Stoped");
  TSocket again = vtest::Connect(port);
  EXPECT_EQ(again, INVALID_SOCK);
  if (again != INVALID_SOCK) CloseSocket(again);
}

// A reload changes the [Access] rules of new requests only: a download under
// way goes on. A malformed section, or a file that cannot be read, keeps the
// rules as they were.
TEST(ServiceLifecycle, AReloadChangesTheAccessRulesOfNewRequestsOnly) {
  vtest::TempDir dir;
  const std::string file = dir.File("big.bin");
  vtest::WriteAll(file, std::string(64 * 1024, 'x'));
  // A slow download, so that it still runs when the rules change.
  const std::string limits = "[Limits]\nDownloadRate=1\n";
  StartedInstallation install(dir, limits + "[Access]\nDownloadFrom=127.0.0.1\n");
  const int port = install.Service->ListeningPort();
  const std::string request = vtest::EncodeHeader("DNLD", 0) +
                              vtest::Request("DL01", "REMOTEFILENAME=" + file + "\r\nFILESIZE=65536");
  const std::string accepted = vtest::EncodeHeader("DNLD", 0) + vtest::EncodeHeader("DL01", 0);
  TSocket running = vtest::Connect(port);
  vtest::SendAll(running, request);
  ASSERT_EQ(vtest::Receive(running, 16), accepted);
  ASSERT_EQ(vtest::Receive(running, 1024), std::string(1024, 'x'));

  // The reply to a new download after the configuration file became `ini`
  // (none: removed) and the reload's line was written.
  const auto replyAfterReload = [&](const char* ini, const std::string& line) {
    if (ini)
      vtest::WriteAll(dir.path() / "VardexServer.ini", "[Server]\nPort=0\n" + limits + ini);
    else
      vtest::fs::remove(dir.path() / "VardexServer.ini");
    install.Service->Reload();
    EXPECT_TRUE(vtest::WaitForLog(install.LogPrefix, line, 5)) << line;
    TSocket s = vtest::Connect(port);
    vtest::SendAll(s, request);
    std::string reply = vtest::Receive(s, 16);
    CloseSocket(s);
    return reply;
  };
  const std::string refused = vtest::EncodeHeader("DNLD", 0) + vtest::EncodeHeader("DL01", 3);
  EXPECT_EQ(replyAfterReload("[Access]\nDownloadFrom=192.0.2.1\n", "Reload: the access rules were reloaded"), refused);
  EXPECT_EQ(replyAfterReload("[Access]\nDownloadFrom=10.0.0.1/8\n",
                             "Reload: [Access] DownloadFrom=10.0.0.1/8 is malformed, the access rules stay as they were"),
            refused);
  EXPECT_EQ(replyAfterReload(nullptr, "Reload: VardexServer.ini cannot be read, the access rules stay as they were"),
            refused);
  EXPECT_EQ(vtest::Receive(running, 1024), std::string(1024, 'x'));
  CloseSocket(running);
  bool stopped = false;
  install.Service->ServiceStop(*install.Service, stopped);
}

}  // namespace

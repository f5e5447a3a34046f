// The service host against a fake service manager: the status reports of
// each request, refusals, errors and their event-log messages.

#include <atomic>
#include <cstdint>
#include <fstream>
#include <map>
#include <set>
#include <chrono>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/Paths.h"
#include "service/EventIds.h"
#include "service/EventLogger.h"
#include "service/ServiceApplication.h"
#include "service/ServiceThread.h"
#include "support/FakeHost.h"
#include "support/FakeServiceManager.h"

namespace {

using Reports = std::vector<std::string>;

// "state/checkpoint/controls accepted" of each report.
Reports Summary(const std::vector<platform::ServiceStatus>& reports) {
  Reports summary;
  for (const auto& r : reports)
    summary.push_back(std::to_string(r.currentState) + "/" + std::to_string(r.checkPoint) + "/" +
                      std::to_string(r.controlsAccepted));
  return summary;
}

// The host with fakes of everything it calls, running one service on a
// thread of its own as the main thread would.
class HostRun {
 public:
  explicit HostRun(std::vector<std::string> arguments = {}) : FArguments(std::move(arguments)) {}
  ~HostRun() { Join(); }

  // A service with the definition of an interactive own-process service
  // that does not offer pause.
  TService& Service() {
    if (!FService) {
      FService = std::make_unique<TService>("Svc", Events);
      FService->SetInteractive(true);
      FService->AllowPause = false;
      FService->WaitHint = 60000;
    }
    return *FService;
  }
  void Adopt(std::unique_ptr<TService> service) { FService = std::move(service); }

  void Start() {
    Service();
    FApplication = std::make_unique<TServiceApplication>(
        THostPlatform{Installer, Dispatcher, Console, Events, Messages},
        std::string("srv") + platform::kPathDelimiter + "Host.exe");
    FApplication->AddService(std::move(FService));
    FThread = std::thread([this] { FExitCode = FApplication->Run(FArguments); });
  }
  int Join() {
    if (FThread.joinable()) FThread.join();
    FApplication.reset();
    return FExitCode;
  }

  vtest::FakeInstaller Installer;
  vtest::FakeDispatcher Dispatcher, Console;
  vtest::FakeEventLog Events;
  vtest::FakeMessages Messages;

 private:
  std::vector<std::string> FArguments;
  std::unique_ptr<TService> FService;
  std::unique_ptr<TServiceApplication> FApplication;
  std::thread FThread;
  int FExitCode = -1;
};

TEST(ServiceHost, AcceptedStartAndStopReportEveryStateWithItsRecord) {
  HostRun run;
  std::vector<std::string> calls;
  run.Service().OnStart = [&](TService&, bool&) { calls.push_back("start"); };
  run.Service().OnStop = [&](TService&, bool&) { calls.push_back("stop"); };
  run.Start();
  ASSERT_TRUE(run.Dispatcher.WaitForState(csRunning));
  run.Dispatcher.Control(1);
  EXPECT_EQ(run.Join(), 0);

  // Start pending twice (service main, then service thread) counts its
  // checkpoint up from 1; nothing is accepted until the service runs.
  EXPECT_EQ(Summary(run.Dispatcher.Reports()), (Reports{"2/1/0", "2/2/0", "4/0/5", "3/0/5", "1/0/5"}));
  for (const auto& report : run.Dispatcher.Reports()) {
    EXPECT_EQ(report.serviceType, 0x110u);
    EXPECT_EQ(report.waitHint, 60000u);
    EXPECT_EQ(report.win32ExitCode, 0u);
    EXPECT_EQ(report.serviceSpecificExitCode, 0u);
  }
  EXPECT_EQ(calls, (std::vector<std::string>{"start", "stop"}));
  EXPECT_EQ(run.Dispatcher.RegisteredName, "Svc");
  EXPECT_TRUE(run.Events.Events().empty());
}

TEST(ServiceHost, RefusedOrFailedStartGoesStraightToStopped) {
  {
    HostRun run;
    bool executed = false;
    run.Service().OnStart = [](TService&, bool& started) { started = false; };
    run.Service().OnExecute = [&](TService&) { executed = true; };
    run.Start();
    EXPECT_EQ(run.Join(), 1);
    EXPECT_EQ(Summary(run.Dispatcher.Reports()), (Reports{"2/1/0", "2/2/0", "1/0/5"}));
    EXPECT_FALSE(executed);
  }
  {
    HostRun run;
    run.Service().OnStart = [](TService&, bool&) { throw std::runtime_error("no config"); };
    run.Start();
    EXPECT_EQ(run.Join(), 1);
    EXPECT_EQ(Summary(run.Dispatcher.Reports()), (Reports{"2/1/0", "2/2/0", "1/0/5"}));
    EXPECT_EQ(run.Events.Events(), std::vector<std::string>{"Svc: Service failed on start: no config"});
  }
}

TEST(ServiceHost, StopRefusedOrRaisingKeepsTheServiceRunning) {
  HostRun run;
  int stops = 0;
  run.Service().OnStop = [&](TService&, bool& stopped) {
    ++stops;
    if (stops == 1) stopped = false;
    if (stops == 2) throw std::runtime_error("cannot enumerate threads");
  };
  run.Start();
  ASSERT_TRUE(run.Dispatcher.WaitForState(csRunning));
  run.Dispatcher.Control(1);
  ASSERT_TRUE(run.Dispatcher.WaitForReports(5));
  run.Dispatcher.Control(1);
  ASSERT_TRUE(run.Dispatcher.WaitForReports(7));
  run.Dispatcher.Control(1);
  EXPECT_EQ(run.Join(), 0);

  EXPECT_EQ(Summary(run.Dispatcher.Reports()),
            (Reports{"2/1/0", "2/2/0", "4/0/5", "3/0/5", "4/0/5", "3/0/5", "4/0/5", "3/0/5", "1/0/5"}));
  EXPECT_EQ(run.Events.Events(), std::vector<std::string>{"Svc: Service failed on stop: cannot enumerate threads"});
}

TEST(ServiceHost, ShutdownStopsEvenWhenItsHandlerRaises) {
  for (bool raise : {false, true}) {
    HostRun run;
    bool shutDown = false;
    run.Service().OnShutdown = [&](TService&) {
      shutDown = true;
      if (raise) throw std::runtime_error("listener gone");
    };
    run.Start();
    ASSERT_TRUE(run.Dispatcher.WaitForState(csRunning));
    run.Dispatcher.Control(5);
    EXPECT_EQ(run.Join(), 0);
    EXPECT_TRUE(shutDown);
    // No running report after a failed shutdown: it ends anyway.
    EXPECT_EQ(Summary(run.Dispatcher.Reports()), (Reports{"2/1/0", "2/2/0", "4/0/5", "3/0/5", "1/0/5"}));
    EXPECT_EQ(run.Events.Events().size(), raise ? 1u : 0u);
    if (raise) {
      EXPECT_EQ(run.Events.Events()[0], "Svc: Service failed on shutdown: listener gone");
    }
  }
}

TEST(ServiceHost, RefusedPauseGoesBackToRunningAndInterrogateReportsAgain) {
  HostRun run;
  run.Service().OnPause = [](TService&, bool& paused) { paused = false; };
  run.Service().OnContinue = [](TService&, bool& continued) { continued = false; };
  run.Start();
  ASSERT_TRUE(run.Dispatcher.WaitForState(csRunning));
  run.Dispatcher.Control(2);
  run.Dispatcher.Control(3);
  run.Dispatcher.Control(4);
  run.Dispatcher.Control(1);
  EXPECT_EQ(run.Join(), 0);
  EXPECT_EQ(Summary(run.Dispatcher.Reports()), (Reports{"2/1/0", "2/2/0", "4/0/5", "6/0/5", "4/0/5", "5/0/5",
                                                        "4/0/5", "4/0/5", "3/0/5", "1/0/5"}));
}

TEST(ServiceHost, AcceptedPauseSuspendsTheServiceThreadUntilTheNextControl) {
  HostRun run;
  run.Service().AllowPause = true;
  std::atomic<int> continues{0};
  run.Service().OnContinue = [&](TService&, bool&) { ++continues; };
  run.Start();
  ASSERT_TRUE(run.Dispatcher.WaitForState(csRunning));
  run.Dispatcher.Control(2);
  ASSERT_TRUE(run.Dispatcher.WaitForState(csPaused));
  run.Dispatcher.Control(3);
  run.Dispatcher.Control(1);
  EXPECT_EQ(run.Join(), 0);
  EXPECT_EQ(continues, 1);
  EXPECT_EQ(Summary(run.Dispatcher.Reports()),
            (Reports{"2/1/0", "2/2/0", "4/0/7", "6/0/7", "7/0/7", "5/0/7", "4/0/7", "3/0/7", "1/0/7"}));
}

class CustomControlService : public TService {
 public:
  using TService::TService;
  std::vector<std::uint32_t> Codes;
  void DoCustomControl(std::uint32_t code) override {
    Codes.push_back(code);
    if (code == 201) throw std::runtime_error("bad request");
  }
};

TEST(ServiceHost, CustomCodesAreAcceptedSilentlyAndTheirErrorsLogged) {
  HostRun run;
  auto service = std::make_unique<CustomControlService>("Svc", run.Events);
  service->AllowPause = false;
  CustomControlService& custom = *service;
  run.Adopt(std::move(service));
  run.Start();
  ASSERT_TRUE(run.Dispatcher.WaitForState(csRunning));
  run.Dispatcher.Control(200);
  run.Dispatcher.Control(201);
  run.Dispatcher.Control(1);
  ASSERT_TRUE(run.Dispatcher.WaitForState(csStopped));
  EXPECT_EQ(custom.Codes, (std::vector<std::uint32_t>{200, 201}));
  EXPECT_EQ(run.Join(), 0);
  // 200 reports nothing; the failed 201 reports the remembered state again.
  EXPECT_EQ(Summary(run.Dispatcher.Reports()), (Reports{"2/1/0", "2/2/0", "4/0/5", "4/0/5", "3/0/5", "1/0/5"}));
  EXPECT_EQ(run.Events.Events(), std::vector<std::string>{"Svc: Service failed in custom message(201): bad request"});
}

TEST(ServiceHost, ControlDuringStartPendingWaitsUntilTheStartHandlerHasReturned) {
  HostRun run;
  std::atomic<bool> inStart{false}, startReturned{false}, stopSawStartReturned{false};
  run.Service().OnStart = [&](TService&, bool&) {
    inStart = true;
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    startReturned = true;
  };
  run.Service().OnStop = [&](TService&, bool&) { stopSawStartReturned = startReturned.load(); };
  run.Start();
  while (!inStart) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  run.Dispatcher.Control(1);
  EXPECT_EQ(run.Join(), 0);
  EXPECT_TRUE(stopSawStartReturned);
  EXPECT_EQ(Summary(run.Dispatcher.Reports()), (Reports{"2/1/0", "2/2/0", "4/0/5", "3/0/5", "1/0/5"}));
}

TEST(ServiceHost, PlatformFailuresGoToTheRightEventSource) {
  {
    // Started by hand: the dispatcher cannot connect.
    HostRun run;
    run.Dispatcher.RunFailure = {1063, "The service process could not connect to the service controller."};
    run.Start();
    EXPECT_EQ(run.Join(), 1);
    EXPECT_EQ(run.Events.Events(),
              std::vector<std::string>{"Host.exe: The service process could not connect to the service controller."});
    EXPECT_TRUE(run.Dispatcher.Reports().empty());
  }
  {
    HostRun run;
    run.Dispatcher.RefuseRegistration = true;
    run.Start();
    EXPECT_EQ(run.Join(), 1);
    EXPECT_EQ(run.Events.Events(), std::vector<std::string>{"Svc: Access is denied."});
    EXPECT_TRUE(run.Dispatcher.Reports().empty());
    // The source is released with the service.
    EXPECT_EQ(run.Events.Deregistered(), std::vector<std::string>{"Svc"});
  }
  {
    // A refused status report is logged; the service runs on.
    HostRun run;
    run.Dispatcher.RefuseStatus = true;
    run.Start();
    ASSERT_TRUE(run.Dispatcher.WaitForState(csRunning));
    run.Dispatcher.Control(1);
    EXPECT_EQ(run.Join(), 0);
    EXPECT_EQ(run.Events.Events().size(), 5u);
    EXPECT_EQ(run.Events.Events()[0], "Svc: Access is denied.");
  }
}

TEST(ServiceHost, ServiceMainFindsTheServiceByNameInAnyCaseAndKeepsItsArguments) {
  {
    HostRun run;
    std::vector<std::string> params;
    run.Dispatcher.StartName = "SVC";
    run.Dispatcher.Arguments = {"-x", "y"};
    run.Service().OnStart = [&](TService& s, bool&) { params = s.Params; };
    run.Start();
    ASSERT_TRUE(run.Dispatcher.WaitForState(csRunning));
    run.Dispatcher.Control(1);
    EXPECT_EQ(run.Join(), 0);
    EXPECT_EQ(params, (std::vector<std::string>{"SVC", "-x", "y"}));
  }
  {
    HostRun run;
    run.Dispatcher.StartName = "Other";
    run.Start();
    EXPECT_EQ(run.Join(), 1);
    EXPECT_EQ(run.Dispatcher.RegisteredName, "");
  }
}

TEST(ServiceHost, ConsoleSwitchRunsTheConsoleDispatcher) {
  HostRun run({"/Console"});
  run.Start();
  ASSERT_TRUE(run.Console.WaitForState(csRunning));
  run.Console.Control(1);
  EXPECT_EQ(run.Join(), 0);
  EXPECT_TRUE(run.Dispatcher.Reports().empty());
  EXPECT_EQ(run.Console.States(), (std::vector<std::uint32_t>{2, 2, 4, 3, 1}));
}

}  // namespace

namespace {

// MessageId and text of each message of the message table, its lines joined
// by "\n".
std::map<std::uint32_t, std::string> MessageTable(const std::string& fileName) {
  std::ifstream file(fileName);
  std::map<std::uint32_t, std::string> messages;
  std::string line, text;
  std::uint32_t id = 0;
  bool inText = false;
  while (std::getline(file, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (inText && line == ".") {
      messages[id] = text;
      inText = false;
    } else if (inText) {
      text += (text.empty() ? "" : "\n") + line;
    } else if (line.rfind("MessageId=", 0) == 0) {
      id = static_cast<std::uint32_t>(std::stoul(line.substr(10)));
    } else if (line.rfind("Language=", 0) == 0) {
      inText = true;
      text.clear();
    }
  }
  return messages;
}

}  // namespace

// The viewer finds an entry's text by its identifier in the message table;
// a logged identifier missing there, or a text that differs from what POSIX
// prints, is a fault an administrator would see only in production.
TEST(ServiceHost, EveryEventKindIsInTheMessageTableWithItsText) {
  const std::map<std::uint32_t, std::string> table = MessageTable(VARDEX_EVENT_MESSAGES);
  ASSERT_FALSE(table.empty()) << VARDEX_EVENT_MESSAGES;
  std::set<std::uint32_t> ids;
  for (const TEventKind& kind : kEventKinds) {
    const auto id = static_cast<std::uint32_t>(kind.Id);
    EXPECT_TRUE(ids.insert(id).second) << "twice: " << id;
    ASSERT_TRUE(table.count(id)) << "not in the message table: " << id;
    EXPECT_EQ(table.at(id), kind.Text) << id;
  }
  EXPECT_EQ(ids.size(), table.size()) << "the message table has messages no entry uses";
  EXPECT_EQ(FillInserts("Service failed in custom message(%1): %2 %3%", {"201", "bad %1"}),
            "Service failed in custom message(201): bad %1 %");
}

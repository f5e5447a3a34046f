#include "support/FaultScenario.h"

#include <thread>

#include "base/DailyLog.h"
#include "base/Format.h"
#include "platform/Files.h"
#include "server/GetHTTPS.h"
#include "server/Reports.h"
#include "support/ProcessResources.h"

namespace vtest {

namespace {

constexpr std::size_t kReferenceSize = 1 << 20;

void Pause(int milliseconds) { std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds)); }

// Waits until the thread count holds still: a thread that has ended may
// still need a moment to leave the system.
int SettledThreadCount() {
  int count = ThreadCount();
  for (auto start = Clock::now(); SecondsSince(start) < 5;) {
    Pause(200);
    const int now = ThreadCount();
    if (now == count) break;
    count = now;
  }
  return count;
}

// Some things are made once per process at their first use and then kept:
// on Windows, a lock gets an event of its own the first time a thread waits
// for it, and the shell keeps what its first change notice opened. A first
// server run, lines written at once, a connection, a notice and a report
// before the counts keep them out of the comparison.
bool WarmUp() {
  {
    RunningServer server;
    std::vector<std::thread> writers;
    for (int i = 0; i < 8; ++i)
      writers.emplace_back([&server] {
        for (int line = 0; line < 50; ++line) WriteLog(server.LogPrefix(), "warm-up");
      });
    for (std::thread& writer : writers) writer.join();
    TSocket s = Connect(server.Port());
    if (s != INVALID_SOCK) {
      SendAll(s, EncodeHeader("PING", 0));
      Receive(s, 8);
      CloseSocket(s);
    }
    platform::NotifyDirectoryChanged(server.Dir().path().string());
  }
  HttpServer web;
  HttpGet("http://" + web.Host() + "/warm-up");
  return true;
}

}  // namespace

TSocket Connections::Add(TSocket s) {
  if (s != INVALID_SOCK) FSockets.push_back(s);
  return s;
}

void Connections::CloseAll() {
  for (TSocket s : FSockets) CloseSocket(s);
  FSockets.clear();
}

void FaultScenario::SetUp() {
  static const bool warm = WarmUp();
  (void)warm;
  FThreadsBefore = SettledThreadCount();
  FHandlesBefore = HandleCount();
  ASSERT_GT(FThreadsBefore, 0);
  ASSERT_GT(FHandlesBefore, 0);
  TServerConfig config;
  config.Listen = Options();
  config.ReportHost = web.Host();
  FServer = std::make_unique<RunningServer>(config);
  FReferenceName = File("reference.bin");
  FReference = RandomBytes(kReferenceSize, 99);
  WriteAll(FReferenceName, FReference);
}

void FaultScenario::TearDown() {
  if (!FServer) return;  // SetUp failed
  ExpectServesDownload();
  // Every connection has ended; each worker ends within its own time-outs.
  const TWorkerSet& workers = *FServer->Workers();
  for (auto start = Clock::now(); workers.Live() > 0 && SecondsSince(start) < 30;) Pause(10);
  EXPECT_EQ(workers.Live(), 0) << "a worker outlived its connection";
  FServer.reset();  // cuts what is left and waits for every thread

  int threads = ThreadCount(), handles = HandleCount();
  for (auto start = Clock::now(); (threads != FThreadsBefore || handles != FHandlesBefore) && SecondsSince(start) < 15;) {
    Pause(100);
    threads = ThreadCount();
    handles = HandleCount();
  }
  EXPECT_EQ(threads, FThreadsBefore) << "threads before the scenario and after it";
  EXPECT_EQ(handles, FHandlesBefore) << "handles before the scenario and after it";
}

TSocket FaultScenario::Open(const char* command) {
  TSocket s = Connect(FServer->Port());
  if (s == INVALID_SOCK) return s;
  if (!SendAll(s, EncodeHeader(command, 0)) || Receive(s, 8) != EncodeHeader(command, 0)) {
    CloseSocket(s);
    return INVALID_SOCK;
  }
  return s;
}

bool FaultScenario::ServesDownload() {
  TSocket s = Open("DNLD");
  if (s == INVALID_SOCK) return false;
  const std::string body = Format("REMOTEFILENAME=%s\r\nFILESIZE=%lld\r\nFILEPOS=0\r\n", FReferenceName.c_str(),
                                  static_cast<long long>(FReference.size()));
  const bool served = SendAll(s, Request("DL01", body)) && Receive(s, 8) == EncodeHeader("DL01", 0) &&
                      Receive(s, SIZE_MAX) == FReference;
  CloseSocket(s);
  return served;
}

void FaultScenario::ExpectServesDownload() {
  // The bytes are compared, never printed: a megabyte of them helps nobody.
  EXPECT_TRUE(ServesDownload()) << "the reference file did not come back byte for byte";
}

std::string FaultScenario::File(const std::string& name) const {
  return (FServer->Dir().path() / fs::path(name).make_preferred()).string();
}

int FaultScenario::LogCount(const std::string& text) const { return vtest::LogCount(FServer->LogPrefix(), text); }

bool FaultScenario::WaitForLogCount(const std::string& text, int count, int seconds) const {
  return vtest::WaitForLogCount(FServer->LogPrefix(), text, count, seconds);
}

std::string FaultScenario::RawLog() const { return vtest::RawLog(FServer->LogPrefix()); }

bool FaultScenario::WaitForRawLog(const std::string& text, int seconds) const {
  return vtest::WaitForRawLog(FServer->LogPrefix(), text, seconds);
}

}  // namespace vtest

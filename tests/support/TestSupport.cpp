#include "support/TestSupport.h"

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <random>
#include <sstream>
#include <thread>

#include <gtest/gtest.h>

#include "base/DailyLog.h"
#include "base/Format.h"
#include "platform/Clock.h"
#include "platform/Files.h"
#include "platform/Paths.h"
#include "platform/UniqueHandle.h"

namespace vtest {

namespace {

// Sockets are started once for the whole run, as the service does.
class SocketEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    std::string error;
    ASSERT_EQ(SockStartup(error), 0) << error;
  }
  void TearDown() override { SockCleanup(); }
};
const auto* const kSocketEnvironment = ::testing::AddGlobalTestEnvironment(new SocketEnvironment);

}  // namespace

TempDir::TempDir() {
  static std::atomic<int> counter{0};
  std::random_device random;
  FPath = fs::temp_directory_path() /
          ("vardex-test-" + std::to_string(random()) + "-" + std::to_string(counter++));
  fs::create_directories(FPath);
}

TempDir::~TempDir() {
  std::error_code ignored;
  fs::permissions(FPath, fs::perms::owner_all, fs::perm_options::add, ignored);
  fs::remove_all(FPath, ignored);
}

// Names come out in the platform's own form (in\a.bin on Windows), as a
// user would type them.
std::string TempDir::File(const std::string& name) const {
  return (FPath / name).make_preferred().string();
}

std::string ReadAll(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

void WriteAll(const fs::path& file, const std::string& bytes) {
  std::ofstream out(file, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::string TodaysLog(const std::string& prefix) {
  platform::LocalTime now = platform::LocalNow();
  return prefix + Format("%4.4d%2.2d%2.2d", now.year, now.month, now.day) + ".log";
}

std::vector<std::string> LogMessages(const std::string& prefix) {
  std::vector<std::string> messages;
  std::string text = ReadAll(TodaysLog(prefix));
  std::size_t start = 0;
  for (std::size_t end; (end = text.find("\r\n", start)) != std::string::npos; start = end + 2) {
    std::string line = text.substr(start, end - start);
    messages.push_back(line.size() >= 10 && line[2] == ':' && line[5] == ':' ? line.substr(10) : line);
  }
  return messages;
}

bool WaitForLog(const std::string& prefix, const std::string& text, int seconds) {
  auto start = Clock::now();
  do {
    for (const std::string& message : LogMessages(prefix))
      if (message.find(text) != std::string::npos) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  } while (SecondsSince(start) < seconds);
  return false;
}

int LogCount(const std::string& prefix, const std::string& text) {
  int count = 0;
  for (const std::string& message : LogMessages(prefix)) count += message.find(text) != std::string::npos;
  return count;
}

bool WaitForLogCount(const std::string& prefix, const std::string& text, int count, int seconds) {
  for (auto start = Clock::now();; std::this_thread::sleep_for(std::chrono::milliseconds(100))) {
    if (LogCount(prefix, text) >= count) return true;
    if (SecondsSince(start) >= seconds) return false;
  }
}

std::string RawLog(const std::string& prefix) { return ReadAll(TodaysLog(prefix)); }

bool WaitForRawLog(const std::string& prefix, const std::string& text, int seconds) {
  for (auto start = Clock::now();; std::this_thread::sleep_for(std::chrono::milliseconds(100))) {
    if (RawLog(prefix).find(text) != std::string::npos) return true;
    if (SecondsSince(start) >= seconds) return false;
  }
}

TSocket Connect(int port) {
  platform::UniqueSocket s(platform::NetSocket());
  if (!s.valid() || platform::NetConnect(s.get(), 0x7F000001, port) != 0) return INVALID_SOCK;
  return s.release();
}

SocketPair::SocketPair() {
  std::string error;
  const platform::UniqueSocket listener(BaseSocket(error));
  if (!listener.valid() || platform::NetBind(listener.get(), 0x7F000001, 0) != 0 ||
      SocketListen(listener.get(), error) != 0)
    return;
  client = Connect(platform::NetLocalPort(listener.get()));
  server = SocketAccept(listener.get(), error);
}

SocketPair::~SocketPair() {
  if (client != INVALID_SOCK) CloseSocket(client);
  if (server != INVALID_SOCK) CloseSocket(server);
}

bool SendAll(TSocket s, const std::string& bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    long n = platform::NetSend(s, bytes.data() + done, bytes.size() - done);
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

std::string Receive(TSocket s, std::size_t length, int seconds) {
  std::string data;
  char chunk[65536];
  while (data.size() < length) {
    if (platform::NetWait(s, seconds, 1) <= 0) break;
    long n = platform::NetRecv(s, chunk, std::min(sizeof chunk, length - data.size()));
    if (n <= 0) break;
    data.append(chunk, static_cast<std::size_t>(n));
  }
  return data;
}

bool WaitForClose(TSocket s, int seconds) {
  char byte;
  auto start = Clock::now();
  while (SecondsSince(start) < seconds) {
    int ready = platform::NetWait(s, 1, 1);
    if (ready < 0) return true;
    if (ready == 0) continue;
    long n = platform::NetRecv(s, &byte, 1);
    if (n <= 0) return true;
  }
  return false;
}

std::string RandomBytes(std::size_t length, unsigned seed) {
  std::string bytes(length, '\0');
  std::uint32_t x = seed * 2654435761u + 1;
  for (char& c : bytes) {
    x = x * 1103515245u + 12345u;
    c = static_cast<char>(x >> 23);
  }
  return bytes;
}

void MakeSparse(const std::string& name, std::int64_t size) {
  platform::FileHandle file = platform::OpenFile(name, platform::OpenMode::kWriteTruncate);
  ASSERT_NE(file, platform::kNoFile);
  ASSERT_TRUE(platform::SeekFile(file, size - 1));
  ASSERT_TRUE(platform::WriteFile(file, "z", 1));
  platform::CloseFile(file);
}

std::string EncodeHeader(const char* command, std::int32_t size) {
  unsigned char bytes[MSG_HEADER_SIZE];
  ::EncodeHeader(MakeHeader(command, size), bytes);
  return std::string(reinterpret_cast<char*>(bytes), MSG_HEADER_SIZE);
}

std::string RequestHeader(const char* command, const std::string& body) {
  return EncodeHeader(command, static_cast<std::int32_t>(body.size()));
}

std::string Request(const char* command, const std::string& body) { return RequestHeader(command, body) + body; }

std::string ErrorHeader(std::int32_t code) { return EncodeHeader("", code); }

TServerConfigPtr ListenConfig(const std::string& logPrefix, const TListenOptions& options, int port) {
  auto config = std::make_shared<TServerConfig>();
  config->LogPath = logPrefix;
  config->Port = port;
  config->Listen = options;
  return config;
}

RunningServer::RunningServer(const TListenOptions& options) {
  TServerConfig config;
  config.Listen = options;
  FLogPrefix = FDir.File("Log") + std::string(1, platform::kPathDelimiter) + "FileServer";
  Restart(std::move(config));
}

RunningServer::RunningServer(TServerConfig config) {
  FLogPrefix = FDir.File("Log") + std::string(1, platform::kPathDelimiter) + "FileServer";
  Restart(std::move(config));
}

void RunningServer::ReportTo(const std::string& host) {
  TServerConfig config = *FConfig;
  config.ReportHost = host;
  Restart(std::move(config));
}

void RunningServer::Restart(TServerConfig config) { Listen(std::move(config), 0); }

void RunningServer::RestartOnItsPort() { Listen(*FConfig, FPort); }

void RunningServer::Listen(TServerConfig config, int port) {
  StopListening();
  config.LogPath = FLogPrefix;
  config.Port = port;
  FConfig = std::make_shared<const TServerConfig>(std::move(config));
  FListener = std::make_unique<TListenThread>(FConfig);
  FWorkerSets.push_back(FListener->Workers());
  FPort = FListener->Port();
  FListener->Resume();
}

void RunningServer::StopListening() {
  if (!FListener) return;
  FListener->Stop();
  FListener.reset();
}

RunningServer::~RunningServer() {
  StopListening();
  // A worker outliving its test would log into the next test's directory,
  // or run on while the process exits.
  for (const std::shared_ptr<TWorkerSet>& workers : FWorkerSets) workers->CutAllAndWait();
}

double SecondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

TestCertificates::TestCertificates() {
  const std::string command = std::string("sh '") + VARDEX_TEST_CERTIFICATES + "' '" + FDir.path().string() + "'";
  FMade = std::system(command.c_str()) == 0 && fs::exists(FDir.path() / "client.pem");
}

}  // namespace vtest

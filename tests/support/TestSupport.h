#pragma once
// Shared helpers of the test suite: temporary directories, whole-file reads,
// loopback sockets and a running listener with its own log directory.

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "server/ListenThread.h"
#include "transfer/SocketLib.h"

namespace vtest {

namespace fs = std::filesystem;

// A fresh directory below the system's temporary directory, removed at the end.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  const fs::path& path() const { return FPath; }
  // `name` below the directory, as the native path text.
  std::string File(const std::string& name) const;

 private:
  fs::path FPath;
};

std::string ReadAll(const fs::path& file);
void WriteAll(const fs::path& file, const std::string& bytes);

// The log file that WriteLog uses today for `prefix`.
std::string TodaysLog(const std::string& prefix);
// Lines of today's log without their time stamps ("hh:mm:ss  ").
std::vector<std::string> LogMessages(const std::string& prefix);
// Waits up to `seconds` for a log message that contains `text`.
bool WaitForLog(const std::string& prefix, const std::string& text, int seconds);
// How many log messages contain `text`, and a wait until `count` of them do.
int LogCount(const std::string& prefix, const std::string& text);
bool WaitForLogCount(const std::string& prefix, const std::string& text, int count, int seconds);
// The day's log as written, line ends and time stamps included, and a wait
// for `text` in it (for messages that span lines).
std::string RawLog(const std::string& prefix);
bool WaitForRawLog(const std::string& prefix, const std::string& text, int seconds);

// A client socket connected to 127.0.0.1:port, or INVALID_SOCK.
TSocket Connect(int port);

// A connected pair of sockets on loopback; both are closed at the end.
struct SocketPair {
  SocketPair();
  ~SocketPair();
  TSocket client = INVALID_SOCK;
  TSocket server = INVALID_SOCK;
};

// Sends all bytes; false on failure.
bool SendAll(TSocket s, const std::string& bytes);
// Receives until `length` bytes have arrived, the peer closes, or a wait of
// `seconds` passes without data.
std::string Receive(TSocket s, std::size_t length, int seconds = 15);
// True when the peer closes the connection within `seconds`.
bool WaitForClose(TSocket s, int seconds);

std::string EncodeHeader(const char* command, std::int32_t size);
// A request header whose SIZE is the length of `body`, and the request whole.
std::string RequestHeader(const char* command, const std::string& body);
std::string Request(const char* command, const std::string& body);
// The header that carries only a result code, as a failing server sends it.
std::string ErrorHeader(std::int32_t code);

// A file of `size` bytes that holds one byte at its end.
void MakeSparse(const std::string& name, std::int64_t size);

// `length` bytes of a fixed pseudo-random sequence; each seed its own.
std::string RandomBytes(std::size_t length, unsigned seed = 1);

// A configuration for a listener on `port` (0: an ephemeral one) that logs
// under `logPrefix`.
TServerConfigPtr ListenConfig(const std::string& logPrefix, const TListenOptions& options = {}, int port = 0);

// A listener on an ephemeral port with its log in a temporary directory.
class RunningServer {
 public:
  explicit RunningServer(const TListenOptions& options = {});
  // With `config`, but on an ephemeral port and logging into its directory.
  explicit RunningServer(TServerConfig config);
  // Cuts the connections still open and waits until every worker and its
  // thread have ended, so that none runs on into the next test.
  ~RunningServer();
  // Ends the listener; its workers go on.
  void StopListening();
  // A new listener on a new port with `config`; the log stays where it is.
  void Restart(TServerConfig config);
  // A new listener with the same configuration on the port of the last one.
  void RestartOnItsPort();
  // Restart with reports going to `host`.
  void ReportTo(const std::string& host);
  const TServerConfig& Config() const { return *FConfig; }
  int Port() const { return FPort; }
  // The TLS port of a configuration with [TLS]; -1 without.
  int TlsPort() const { return FListener ? FListener->TlsPort() : -1; }
  TListenThread& Listener() { return *FListener; }
  // The workers of the latest listener.
  const std::shared_ptr<TWorkerSet>& Workers() const { return FWorkerSets.back(); }
  const std::string& LogPrefix() const { return FLogPrefix; }
  const TempDir& Dir() const { return FDir; }

 private:
  void Listen(TServerConfig config, int port);

  TempDir FDir;
  std::string FLogPrefix;
  TServerConfigPtr FConfig;
  std::unique_ptr<TListenThread> FListener;
  // Those of every listener so far: a restart leaves the workers of the
  // one before running.
  std::vector<std::shared_ptr<TWorkerSet>> FWorkerSets;
  int FPort = 0;
};

// Certificates made for the run by support/make-test-certificates.sh (which
// lists them) with the openssl command; no private key is kept in the tree.
// Made() is false where the command cannot run.
class TestCertificates {
 public:
  TestCertificates();
  bool Made() const { return FMade; }
  // "server.pem", "ca.pem", ... in the directory, as a native path.
  std::string File(const std::string& name) const { return FDir.File(name); }

 private:
  TempDir FDir;
  bool FMade = false;
};

using Clock = std::chrono::steady_clock;
double SecondsSince(Clock::time_point start);

}  // namespace vtest

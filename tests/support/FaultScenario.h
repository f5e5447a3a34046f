#pragma once
// The frame of every fault test: a running server with a file to download and
// a report host. Around each scenario it checks that the server still serves
// that file byte for byte, and that once the server has ended, no worker is
// left and the process holds no more threads or handles than before it
// started.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/HttpServer.h"
#include "support/TestSupport.h"

namespace vtest {


// Sockets that are closed when the list ends, so that a test that stops
// early leaves no connection behind for the leak check.
class Connections {
 public:
  Connections() = default;
  Connections(const Connections&) = delete;
  Connections& operator=(const Connections&) = delete;
  ~Connections() { CloseAll(); }
  TSocket Add(TSocket s);
  TSocket operator[](std::size_t i) const { return FSockets[i]; }
  std::size_t size() const { return FSockets.size(); }
  void CloseAll();

 private:
  std::vector<TSocket> FSockets;
};

class FaultScenario : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;
  // The server's restrictions; none unless a scenario needs them.
  virtual TListenOptions Options() const { return {}; }

  // A connection past the handshake with "DNLD" or "UPLD", or INVALID_SOCK.
  TSocket Open(const char* command);
  // Downloads the reference file and compares it byte for byte. The first
  // asserts nothing, so that any thread may call it.
  bool ServesDownload();
  void ExpectServesDownload();

  // `name` (written with "/") below the server's directory, in native form.
  std::string File(const std::string& name) const;
  const std::string& Peer() const { return FPeer; }
  RunningServer& Server() { return *FServer; }

  // Log messages that contain `text`, and a wait for a number of them.
  int LogCount(const std::string& text) const;
  bool WaitForLogCount(const std::string& text, int count, int seconds) const;
  // The day's log with its line ends, and a wait for `text` in it.
  std::string RawLog() const;
  bool WaitForRawLog(const std::string& text, int seconds) const;

  HttpServer web;

 private:
  std::unique_ptr<RunningServer> FServer;
  std::string FReferenceName, FReference;
  std::string FPeer = "127.0.0.1";
  int FThreadsBefore = 0, FHandlesBefore = 0;
};

}  // namespace vtest

// The status port: /health follows the listener, /metrics counts what the
// workers did, and nothing else is served.

#include <thread>

#include <gtest/gtest.h>

#include "base/Format.h"
#include "server/StatusListener.h"
#include "support/TestSupport.h"

namespace {

class StatusPort : public ::testing::Test {
 protected:
  StatusPort() : status(0x7F000001, 0, server.LogPrefix()) {
    status.CountWorkers(server.Workers());
    status.Resume();
  }
  ~StatusPort() override {
    status.Stop();
    status.WaitFor();
  }

  // The whole answer to `request`, up to the close.
  std::string Ask(const std::string& request) {
    TSocket s = vtest::Connect(status.Port());
    EXPECT_TRUE(vtest::SendAll(s, request));
    const std::string answer = vtest::Receive(s, 1 << 20, 10);
    CloseSocket(s);
    return answer;
  }
  std::string StatusLine(const std::string& request) {
    const std::string answer = Ask(request);
    return answer.substr(0, answer.find("\r\n"));
  }

  vtest::RunningServer server;
  TStatusListener status;
};

TEST_F(StatusPort, HealthFollowsTheListenerAndOtherRequestsAreRefused) {
  std::string line;
  for (int i = 0; i < 50 && line != "HTTP/1.0 200 OK"; ++i) {
    line = StatusLine("GET /health HTTP/1.1\r\nHost: x\r\n\r\n");
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  EXPECT_EQ(line, "HTTP/1.0 200 OK");
  EXPECT_EQ(StatusLine("POST /health HTTP/1.1\r\n\r\n"), "HTTP/1.0 405 Method Not Allowed");
  EXPECT_EQ(StatusLine("GET /other HTTP/1.1\r\n\r\n"), "HTTP/1.0 404 Not Found");
  // A head that never ends within the size bound gets no answer at all.
  EXPECT_EQ(Ask("GET /health HTTP/1.1\r\nX: " + std::string(8192, 'x')), "");

  server.StopListening();
  EXPECT_EQ(StatusLine("GET /health HTTP/1.0\r\n\r\n"), "HTTP/1.0 503 Service Unavailable");
  // Health checks leave nothing in the daily log.
  for (const std::string& message : vtest::LogMessages(server.LogPrefix()))
    EXPECT_EQ(message.find("Socket (Port=0) bind."), 0u) << message;
}

// A restart binds the status port at once, though the health checks the last
// run answered and closed first still linger there.
TEST(StatusPortRestart, BindsThePortItsLastRunServed) {
  vtest::TempDir dir;
  const std::string logPath = dir.File("FileServer");
  int port = 0;
  for (int run = 0; run < 2; ++run) {
    TStatusListener status(0x7F000001, port, logPath);  // raises when the bind fails
    port = status.Port();
    status.Resume();
    TSocket s = vtest::Connect(port);
    ASSERT_TRUE(vtest::SendAll(s, "GET /metrics HTTP/1.1\r\n\r\n"));
    EXPECT_EQ(vtest::Receive(s, 15, 10), "HTTP/1.0 200 OK") << "run " << run;
    EXPECT_TRUE(vtest::WaitForClose(s, 10));  // the server closed first
    CloseSocket(s);
    status.Stop();
  }
}

TEST_F(StatusPort, MetricsCountADownloadAndItsBytes) {
  const std::string name = server.Dir().File("file.bin");
  vtest::WriteAll(name, vtest::RandomBytes(30000));
  const std::string body = Format("REMOTEFILENAME=%s\r\nFILESIZE=30000\r\nFILEPOS=1000\r\n", name.c_str());
  TSocket s = vtest::Connect(server.Port());
  ASSERT_TRUE(vtest::SendAll(s, vtest::EncodeHeader("DNLD", 0) +
                                    vtest::EncodeHeader("DL01", static_cast<std::int32_t>(body.size())) + body));
  EXPECT_EQ(vtest::Receive(s, 16 + 29000).size(), 16u + 29000u);
  EXPECT_TRUE(vtest::WaitForClose(s, 5));
  CloseSocket(s);

  std::string metrics;
  for (int i = 0; i < 50 && metrics.find("vardex_downloads_total{result=\"0\"} 1\n") == std::string::npos; ++i) {
    metrics = Ask("GET /metrics HTTP/1.1\r\n\r\n");
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  EXPECT_EQ(metrics.rfind("HTTP/1.0 200 OK\r\n", 0), 0u);
  for (const char* sample :
       {"\nvardex_connections_accepted_total 1\n", "\nvardex_downloads_total{result=\"0\"} 1\n",
        "\nvardex_uploads_total{result=\"0\"} 0\n", "\nvardex_uploads_total{result=\"ended_early\"} 0\n",
        "\nvardex_sent_bytes_total 29000\n",
        "\n# TYPE vardex_open_connections gauge\n", "\nvardex_build_info{version=\"" VARDEX_VERSION "\"} 1\n",
        "\n# TYPE vardex_received_bytes_total counter\n"})
    EXPECT_NE(metrics.find(sample), std::string::npos) << sample << metrics;
}

}  // namespace

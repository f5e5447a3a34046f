// The status port: /health follows the listener, /metrics counts what the
// workers did, /transfers shows what they do now and a cut with the token
// ends one of them, nothing else is served, and idle clients hold up nobody.

#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "base/Format.h"
#include "server/Metrics.h"
#include "server/StatusListener.h"
#include "support/TestSupport.h"

namespace {

const char kToken[] = "a-token-for-cuts";

class StatusPort : public ::testing::Test {
 protected:
  StatusPort() : status({platform::IpAddress::V4(0x7F000001)}, 0, server.LogPrefix(), kToken) {
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
  // Asks until /health answers 200, for at most five seconds.
  std::string HealthWhenUp() {
    std::string line;
    for (int i = 0; i < 50 && line != "HTTP/1.0 200 OK"; ++i) {
      line = StatusLine("GET /health HTTP/1.1\r\nHost: x\r\n\r\n");
      if (line != "HTTP/1.0 200 OK") std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return line;
  }

  vtest::RunningServer server;
  TStatusListener status;
};

bool StillOpen(TSocket s) { return platform::NetWait(s, 0, 1) == 0; }

TEST_F(StatusPort, HealthFollowsTheListenerAndOtherRequestsAreRefused) {
  EXPECT_EQ(HealthWhenUp(), "HTTP/1.0 200 OK");
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
    TStatusListener status({platform::IpAddress::V4(0x7F000001)}, port, logPath);  // raises when the bind fails
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

TEST(StatusListener, DestroyedWhileRunningItStopsFirst) {
  vtest::TempDir dir;
  TStatusListener status({platform::IpAddress::V4(0x7F000001)}, 0, dir.File("FileServer"));
  status.Resume();
  // Without a Stop before it, the destructor would wait for good.
}

TEST_F(StatusPort, IdleAndSlowClientsHoldUpNoHealthCheck) {
  ASSERT_EQ(HealthWhenUp(), "HTTP/1.0 200 OK");
  // More idle clients than are served at once, then one that stops half-way
  // through its head.
  std::vector<TSocket> idle;
  for (int i = 0; i < 100; ++i) idle.push_back(vtest::Connect(status.Port()));
  TSocket slow = vtest::Connect(status.Port());
  ASSERT_TRUE(vtest::SendAll(slow, "GET /hea"));

  EXPECT_EQ(StatusLine("GET /health HTTP/1.1\r\n\r\n"), "HTTP/1.0 200 OK");
  // Answered while the slow client and the latest idle one still wait.
  EXPECT_TRUE(StillOpen(slow));
  EXPECT_TRUE(StillOpen(idle.back()));
  // Neither is served in the end, nor left open for good.
  EXPECT_TRUE(vtest::WaitForClose(slow, 15));
  EXPECT_TRUE(vtest::WaitForClose(idle.back(), 15));
  EXPECT_EQ(vtest::Receive(slow, 1, 1), "");
  CloseSocket(slow);
  for (TSocket s : idle) CloseSocket(s);
}

TEST_F(StatusPort, ConnectionsWithoutAThreadAreCountedLoggedAndTurnHealthDown) {
  ASSERT_EQ(HealthWhenUp(), "HTTP/1.0 200 OK");
  // Once a cut of all workers has begun, the set makes no more threads, as
  // when the system has none left; the listener itself goes on.
  std::thread cut([this] { server.Workers()->CutAllAndWait(); });
  while (server.Workers()->Run([](void*) {}, nullptr)) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  const std::uint64_t before = Metrics().RefusedNoThread;

  TSocket s = vtest::Connect(server.Port());
  EXPECT_TRUE(vtest::WaitForClose(s, 5));
  CloseSocket(s);
  EXPECT_TRUE(vtest::WaitForLog(server.LogPrefix(), "-Listen: connection closed, no thread could be made to serve it", 5));
  EXPECT_EQ(Metrics().RefusedNoThread, before + 1);
  EXPECT_EQ(StatusLine("GET /health HTTP/1.0\r\n\r\n"), "HTTP/1.0 503 Service Unavailable");
  const std::string metrics = Ask("GET /metrics HTTP/1.0\r\n\r\n");
  const std::string sample = Format("\nvardex_connections_refused_total{reason=\"no_thread\"} %llu\n",
                                    static_cast<unsigned long long>(before + 1));
  EXPECT_NE(metrics.find(sample), std::string::npos) << metrics;
  EXPECT_NE(metrics.find("\nvardex_connections_refused_total{reason=\"max_connections\"} "), std::string::npos);
  server.StopListening();
  cut.join();

  // The next connection that gets its thread turns health up again.
  server.Restart(server.Config());
  s = vtest::Connect(server.Port());
  ASSERT_TRUE(vtest::SendAll(s, vtest::EncodeHeader("DNLD", 0)));
  EXPECT_EQ(vtest::Receive(s, 8), vtest::EncodeHeader("DNLD", 0));
  CloseSocket(s);
  EXPECT_EQ(StatusLine("GET /health HTTP/1.0\r\n\r\n"), "HTTP/1.0 200 OK");
}

}  // namespace

namespace {

// The ids in a /transfers answer, in its order.
std::vector<std::uint64_t> TransferIds(const std::string& json) {
  std::vector<std::uint64_t> ids;
  for (std::size_t at = json.find("{\"id\":"); at != std::string::npos; at = json.find("{\"id\":", at + 1))
    ids.push_back(std::stoull(json.substr(at + 6)));
  return ids;
}

// The value of `key` in the object of transfer `id`, as written; empty when
// that transfer is not listed.
std::string Field(const std::string& json, std::uint64_t id, const std::string& key) {
  const std::size_t at = json.find(Format("{\"id\":%llu,", static_cast<unsigned long long>(id)));
  if (at == std::string::npos) return "";
  const std::size_t end = json.find('}', at);
  const std::size_t found = json.find("\"" + key + "\":", at);
  if (found == std::string::npos || found > end) return "";
  const std::size_t value = found + key.size() + 3;
  return json.substr(value, json.find_first_of(",}", value) - value);
}

TEST_F(StatusPort, TransfersShowEachConversationAndACutEndsOnlyItsOwn) {
  // A download whose client reads only when the test does, and an upload
  // whose client sends only when the test does.
  const std::int64_t downloadSize = 32 << 20;
  const std::string source = server.Dir().File("source.bin");
  vtest::MakeSparse(source, downloadSize);
  const std::string downloadBody =
      Format("REMOTEFILENAME=%s\r\nFILESIZE=%lld\r\nFILEPOS=0\r\n", source.c_str(), static_cast<long long>(downloadSize));
  TSocket down = vtest::Connect(server.Port());
  ASSERT_TRUE(vtest::SendAll(down, vtest::EncodeHeader("DNLD", 0) + vtest::Request("DL01", downloadBody)));
  ASSERT_EQ(vtest::Receive(down, 16).size(), 16u);

  const std::string target = server.Dir().File("target.bin");
  const std::string uploadBody = Format("REMOTEFILENAME=%s\r\nFILESIZE=1000000\r\n", target.c_str());
  TSocket up = vtest::Connect(server.Port());
  ASSERT_TRUE(vtest::SendAll(up, vtest::EncodeHeader("UPLD", 0) + vtest::Request("UP01", uploadBody) +
                                     vtest::EncodeHeader("UP02", 0)));
  ASSERT_EQ(vtest::Receive(up, 24).size(), 24u);  // the handshake's and UP01's replies, UP02's header
  ASSERT_EQ(vtest::Receive(up, 9), "FILEPOS=0");
  ASSERT_TRUE(vtest::SendAll(up, vtest::Request("UP03", "FILEPOS=0")));
  ASSERT_EQ(vtest::Receive(up, 8), vtest::EncodeHeader("UP03", 0));
  ASSERT_TRUE(vtest::SendAll(up, std::string(1000, 'u')));

  // Asks until `ready` holds of the list, for at most ten seconds.
  std::string json;
  const auto transfersWhen = [&](const auto& ready) {
    for (int i = 0; i < 100; ++i) {
      const std::string answer = Ask("GET /transfers HTTP/1.0\r\n\r\n");
      json = answer.substr(answer.find("\r\n\r\n") + 4);
      if (ready()) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return false;
  };
  std::vector<std::uint64_t> ids;
  ASSERT_TRUE(transfersWhen([&] {
    ids = TransferIds(json);
    return ids.size() == 2 && Field(json, ids[0], "moved") == "1000";
  })) << json;
  const std::uint64_t upload = ids[0], download = ids[1];  // newest first
  EXPECT_NE(upload, download);
  EXPECT_EQ(Field(json, upload, "direction"), "\"upload\"");
  EXPECT_EQ(Field(json, upload, "state"), "\"data\"");
  EXPECT_EQ(Field(json, upload, "size"), "1000000");
  std::string escaped;  // a Windows path's backslashes are escaped in JSON
  for (const char c : target) escaped += c == '\\' ? std::string("\\\\") : std::string(1, c);
  EXPECT_EQ(Field(json, upload, "file"), "\"" + escaped + "\"");
  EXPECT_EQ(Field(json, download, "direction"), "\"download\"");
  EXPECT_EQ(Field(json, download, "client"), "\"127.0.0.1\"");

  // Both positions move as their clients go on.
  const std::string downloadMoved = Field(json, download, "moved");
  ASSERT_EQ(vtest::Receive(down, 16 << 20).size(), std::size_t{16 << 20});
  ASSERT_TRUE(vtest::SendAll(up, std::string(500, 'u')));
  EXPECT_TRUE(transfersWhen([&] {
    return Field(json, upload, "position") == "1500" && Field(json, download, "moved") != downloadMoved;
  })) << downloadMoved << " " << json;
  // The client has all of the first 16 MiB, so the server counted them.
  EXPECT_GE(std::stoll(Field(json, download, "position")), 16 << 20);

  // Cuts are for the token's holder only, and only of a connection open now.
  const std::string cut = Format("POST /transfers/%llu/cut HTTP/1.1\r\n", static_cast<unsigned long long>(upload));
  EXPECT_EQ(StatusLine(cut + "\r\n"), "HTTP/1.0 403 Forbidden");
  EXPECT_EQ(StatusLine(cut + "Authorization: Bearer a-token-for-cut\r\n\r\n"), "HTTP/1.0 403 Forbidden");
  EXPECT_EQ(StatusLine("GET /transfers/1/cut HTTP/1.1\r\n\r\n"), "HTTP/1.0 405 Method Not Allowed");
  EXPECT_EQ(StatusLine(Format("POST /transfers/%llu/cut HTTP/1.1\r\nAuthorization: Bearer %s\r\n\r\n",
                              static_cast<unsigned long long>(upload + download), kToken)),
            "HTTP/1.0 404 Not Found");
  {
    // Without a token of its own, a port refuses every cut.
    TStatusListener open({platform::IpAddress::V4(0x7F000001)}, 0, server.LogPrefix());
    open.CountWorkers(server.Workers());
    open.Resume();
    TSocket s = vtest::Connect(open.Port());
    ASSERT_TRUE(vtest::SendAll(s, cut + "Authorization: Bearer \r\n\r\n"));
    EXPECT_EQ(vtest::Receive(s, 22, 10), "HTTP/1.0 403 Forbidden");
    CloseSocket(s);
    open.Stop();
  }
  // The body of a POST is read before the answer, so that the close after
  // it does not reset the answer.
  EXPECT_EQ(StatusLine(cut + Format("Authorization: Bearer %s\r\nContent-Length: 2\r\n\r\n{}", kToken)),
            "HTTP/1.0 200 OK");

  // The upload ends as if its client had closed, logged and reported as
  // such; the download goes on to its end.
  EXPECT_TRUE(vtest::WaitForClose(up, 10));
  CloseSocket(up);
  EXPECT_TRUE(vtest::WaitForLog(server.LogPrefix(), "Upload Fail(" + target + ") 1500 / 1000000", 10));
  EXPECT_TRUE(vtest::WaitForLog(
      server.LogPrefix(),
      Format("127.0.0.1-Cut: transfer %llu ended from the status port", static_cast<unsigned long long>(upload)), 5));
  EXPECT_TRUE(transfersWhen([&] { return TransferIds(json) == std::vector<std::uint64_t>{download}; })) << json;
  EXPECT_EQ(vtest::Receive(down, std::size_t{16 << 20}).size(), std::size_t{16 << 20});
  EXPECT_TRUE(vtest::WaitForClose(down, 10));
  CloseSocket(down);
  EXPECT_EQ(StatusLine("GET / HTTP/1.1\r\n\r\n"), "HTTP/1.0 200 OK");
}

}  // namespace

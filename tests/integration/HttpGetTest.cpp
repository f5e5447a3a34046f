// The HTTP GET behind the reports, the report URLs themselves, their
// signature and the spool that retries them.

#include <gtest/gtest.h>

#include <map>

#include "base/Format.h"
#include "platform/Hmac.h"
#include "platform/Paths.h"
#include "server/GetHTTPS.h"
#include "server/Metrics.h"
#include "server/ReportSpool.h"
#include "server/Reports.h"
#include "support/HttpServer.h"
#include "support/TestSupport.h"

namespace {

std::string Url(const vtest::HttpServer& web, const std::string& path) { return "http://" + web.Host() + path; }

TEST(HttpGet, BodiesComeBackWhole) {
  vtest::HttpServer web;
  EXPECT_EQ(HttpGet(Url(web, "/empty")), "");

  TGetHTTP http;
  const char* data = reinterpret_cast<const char*>(&http);  // must stay unless the fetch succeeds
  EXPECT_EQ(http.ReadUrl(Url(web, "/empty"), data), 0);

  // 5000 bytes arrive in several chunks; zero bytes belong to the body.
  std::string body;
  for (int i = 0; i < 5000; ++i) body += static_cast<char>(i % 251);
  web.SetResponse(200, body);
  EXPECT_EQ(http.ReadUrl(Url(web, "/big"), data), 5000);
  EXPECT_EQ(std::string(data, 5000), body);
  EXPECT_EQ(http.GetUrl(Url(web, "/big")), body);  // a second fetch on the same object

  web.SetResponse(200, "short");
  EXPECT_EQ(http.GetUrl(Url(web, "/short")), "short");  // not followed by the last body's tail

  ASSERT_TRUE(web.WaitForRequests(5, 5));
  EXPECT_EQ(web.RequestLines()[0], "GET /empty HTTP/1.1");
}

TEST(HttpGet, AnErrorPageIsABodyLikeAnyOther) {
  vtest::HttpServer web(404, "<html>not here</html>");
  EXPECT_EQ(HttpGet(Url(web, "/missing")), "<html>not here</html>");
}

TEST(HttpGet, AnUnreachableHostGivesTheEmptyTextQuickly) {
  // A port that was just free refuses the connection.
  int port;
  {
    vtest::HttpServer closed;
    port = closed.Port();
  }
  TGetHTTP http;
  const char* data = nullptr;
  auto start = vtest::Clock::now();
  EXPECT_EQ(http.ReadUrl("http://127.0.0.1:" + std::to_string(port) + "/x", data), -1);
  EXPECT_EQ(data, nullptr);
  EXPECT_EQ(HttpGet("http://127.0.0.1:" + std::to_string(port) + "/x"), "");
  EXPECT_EQ(HttpGet("not a url"), "");
  EXPECT_LT(vtest::SecondsSince(start), 9.0);  // refused at once, no connect time-out
}

// A report host that accepts and then never answers holds the caller for the
// 30 seconds of the whole request at most, whatever the platform's own
// time-outs per call would allow.
TEST(HttpGetSlow, AHostThatAcceptsAndNeverAnswersIsLeftWithinThirtySeconds) {
  std::string error;
  TSocket silent = BaseSocket(error);  // the system accepts into its queue
  ASSERT_EQ(SocketBind(silent, 0x7F000001u, 0, error), 0) << error;
  ASSERT_EQ(SocketListen(silent, error), 0) << error;
  const std::string url = "http://127.0.0.1:" + std::to_string(platform::NetLocalPort(silent)) + "/service/x";
  const auto start = vtest::Clock::now();
  EXPECT_EQ(HttpGet(url), "");
  EXPECT_LT(vtest::SecondsSince(start), 31.0);
  CloseSocket(silent);
}

TEST(Reports, FileNamesArePercentEncodedByteForByte) {
  EXPECT_EQ(PercentEncode("AZaz09-._~"), "AZaz09-._~");
  EXPECT_EQ(PercentEncode("C:\\My Files\\a&b#c.bin"), "C%3A%5CMy%20Files%5Ca%26b%23c.bin");
  EXPECT_EQ(PercentEncode(std::string("\r\n\0/+%=?", 8)), "%0D%0A%00%2F%2B%25%3D%3F");
  EXPECT_EQ(PercentEncode("\xEA\xB0\x80\xFF"), "%EA%B0%80%FF");
  EXPECT_EQ(PercentEncode(""), "");
}

TEST(Reports, UrlsCarryTheFactsAndNothingGoesOutWithoutAHost) {
  vtest::HttpServer web;
  SendDownloadErrorReport("", 2, 1, -1, "x");
  SendDownloadErrorReport(web.Host(), 9, -7, 5368709120LL, "/srv/a b.bin");
  SendUploadCompleteReport(web.Host(), 0, 12, 3, "/srv/up&load");
  ASSERT_TRUE(web.WaitForRequests(2, 5));
  const std::vector<std::string> paths = web.Paths();
  ASSERT_EQ(paths.size(), 2u);  // the one without a host was never sent
  EXPECT_EQ(paths[0], "/service/serverDownloadError.php?errno=9&fileno=-7&filesize=5368709120&filename=%2Fsrv%2Fa%20b.bin");
  EXPECT_EQ(paths[1], "/service/UploadCompleteServer.php?errno=0&fileno=12&filesize=3&filename=%2Fsrv%2Fup%26load");
}

std::size_t SpooledFiles(const vtest::TempDir& dir) {
  std::size_t count = 0;
  std::error_code error;
  for (const auto& entry : vtest::fs::directory_iterator(dir.path() / "spool", error))
    count += entry.path().extension() == ".report";
  return count;
}

// The web service is down (it answers 503) when two reports are made and
// through a first run of the spool; after a restart it is back. Each report
// reaches it with a valid signature, and is taken exactly once, under the
// event id it carried from its first attempt on; one older than SpoolDays
// is dropped instead.
TEST(Reports, SignedReportsSurviveAnOutageAndARestartAndAreTakenOnceByEvent) {
  std::string hmac;
  ASSERT_TRUE(platform::HmacSha256("Jefe", "what do ya want for nothing?", hmac));  // RFC 4231, case 2
  EXPECT_EQ(hmac, std::string("\x5b\xdc\xc1\x46\xbf\x60\x75\x4e\x6a\x04\x24\x26\x08\x95\x75\xc7"
                              "\x5a\x00\x3f\x08\x9d\x27\x39\x83\x9d\xec\x58\xb9\x64\xec\x38\x43", 32));

  const std::string key = "0123456789abcdef0123456789ABCDEF";
  vtest::HttpServer web(503);
  web.RequireSignature(key);
  vtest::TempDir dir;
  auto config = std::make_shared<TServerConfig>();
  config->LogPath = dir.File("Log") + std::string(1, platform::kPathDelimiter) + "FileServer";
  config->ReportHost = web.Host();
  config->Report.Spool = true;
  config->Report.SpoolFolder = dir.File("spool");
  config->Report.SigningKey = key;
  const std::uint64_t delivered = Metrics().ReportsDelivered;

  SendDownloadErrorReport(config->ReportHost, 2, 7, -1, "/srv/a b.bin", config->Report);
  SendUploadCompleteReport(config->ReportHost, 0, 8, 3, "/srv/up&load", config->Report);
  ASSERT_EQ(web.Statuses(), (std::vector<int>{503, 503}));  // signed: not 401
  const std::string first = vtest::HttpServer::QueryValue(web.Paths()[0], "event");
  const std::string second = vtest::HttpServer::QueryValue(web.Paths()[1], "event");
  EXPECT_EQ(first.size(), 32u);
  EXPECT_NE(first, second);
  EXPECT_EQ(web.Paths()[1], "/service/UploadCompleteServer.php?errno=0&fileno=8&filesize=3&filename=%2Fsrv%2Fup%26load"
                            "&event=" + second);
  EXPECT_EQ(SpooledFiles(dir), 2u);

  {
    const TReportSpool stillDown(config);
    ASSERT_TRUE(web.WaitForRequests(4, 20));
  }
  EXPECT_EQ(SpooledFiles(dir), 2u);

  // One kept since long before SpoolDays is dropped and logged, never sent.
  vtest::WriteAll(dir.path() / "spool" / "000000000001-old.report", "/service/old.php?event=old");
  web.SetResponse(200, "");
  {
    const TReportSpool restarted(config);
    for (int i = 0; i < 200 && SpooledFiles(dir) > 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  EXPECT_EQ(SpooledFiles(dir), 0u);
  EXPECT_EQ(Metrics().ReportsDelivered - delivered, 2u);

  std::map<std::string, int> taken;
  const std::vector<std::string> paths = web.Paths();
  const std::vector<int> statuses = web.Statuses();
  for (std::size_t i = 0; i < paths.size(); ++i) {
    const std::string event = vtest::HttpServer::QueryValue(paths[i], "event");
    EXPECT_TRUE(event == first || event == second) << paths[i];
    EXPECT_NE(statuses[i], 401) << paths[i];
    taken[event] += statuses[i] == 200;
  }
  EXPECT_EQ(taken, (std::map<std::string, int>{{first, 1}, {second, 1}}));
  EXPECT_EQ(vtest::LogMessages(config->LogPath),
            std::vector<std::string>{"Report dropped after 7 days undelivered: /service/old.php?event=old"});
}

}  // namespace

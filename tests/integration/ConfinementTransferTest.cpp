// Transfers with roots configured: names inside behave as always, names
// outside are refused with 3 in the direction's own check. So are clients
// that the [Access] lists do not name, requests without a valid token
// where one is required, and requests the operator's authoriser refuses.
// Clients that keep being refused are banned, and one client's connections
// are capped.

#include <sstream>
#include <vector>

#include <gtest/gtest.h>

#include "client/CommandLine.h"
#include "platform/Clock.h"
#include "platform/Paths.h"
#include "server/Authorizer.h"
#include "server/Confinement.h"
#include "server/Metrics.h"
#include "server/Reports.h"
#include "server/TokenRules.h"
#include "support/HttpServer.h"
#include "support/ProxyHeaders.h"
#include "support/TestSupport.h"
#include "transfer/uGlobal.h"

namespace {

using vtest::EncodeHeader;

class ConfinedTransfer : public ::testing::Test {
 protected:
  void SetUp() override {
    vtest::fs::create_directories(server.Dir().path() / "root");
    vtest::fs::create_directories(server.Dir().path() / "other");
    TServerConfig config = server.Config();
    config.Roots = {server.Dir().File("root")};
    server.Restart(config);
    inside = server.Dir().File("root") + sep + "in.bin";
    outside = server.Dir().File("other") + sep + "out.bin";
    vtest::WriteAll(inside, "inside bytes");
    vtest::WriteAll(outside, "outside bytes");
  }

  // Asks for the file inside the root again and again, up to 15 seconds,
  // until it is served.
  bool ServedWithin(const std::string& prefix) {
    const std::string served = EncodeHeader("DNLD", 0) + EncodeHeader("DL01", 0) + "inside bytes";
    for (int i = 0; i < 75; ++i) {
      if (Exchange("DNLD", "DL01", "REMOTEFILENAME=" + inside + "\r\nFILESIZE=12", 100, prefix) == served) return true;
      platform::SleepMilliseconds(200);
    }
    return false;
  }

  std::string Exchange(const char* hello, const char* command, const std::string& body, std::size_t expect,
                       const std::string& prefix = "") {
    TSocket s = vtest::Connect(server.Port());
    vtest::SendAll(s, prefix + EncodeHeader(hello, 0) + vtest::Request(command, body));
    std::string answer = vtest::Receive(s, expect);
    CloseSocket(s);
    return answer;
  }

  // The client program with `args`; its exit status, standard output and
  // standard error.
  int Client(std::vector<std::string> args, std::string& out, std::string& err) {
    args.insert(args.begin(), "vardex");
    std::vector<const char*> argv;
    for (const std::string& arg : args) argv.push_back(arg.c_str());
    std::ostringstream o, e;
    const int status = RunClient(static_cast<int>(argv.size()), argv.data(), o, e, false);
    out = o.str();
    err = e.str();
    return status;
  }

  const std::string sep = std::string(1, platform::kPathDelimiter);
  vtest::RunningServer server;
  std::string inside, outside;
};

TEST_F(ConfinedTransfer, DownloadsInsideARootAreServedAndOthersRefusedWith3) {
  EXPECT_EQ(Exchange("DNLD", "DL01", "REMOTEFILENAME=" + inside + "\r\nFILESIZE=12", 100),
            EncodeHeader("DNLD", 0) + EncodeHeader("DL01", 0) + "inside bytes");
  EXPECT_EQ(Exchange("DNLD", "DL01", "REMOTEFILENAME=" + outside + "\r\nFILESIZE=13", 100),
            EncodeHeader("DNLD", 0) + EncodeHeader("DL01", 3));
  const std::string escape = server.Dir().File("root") + sep + ".." + sep + "other" + sep + "out.bin";
  EXPECT_EQ(Exchange("DNLD", "DL01", "REMOTEFILENAME=" + escape + "\r\nFILESIZE=13", 100),
            EncodeHeader("DNLD", 0) + EncodeHeader("DL01", 3));
  // A file's record of block digests lies inside the root but is the
  // server's own: neither read nor written by a client.
  const std::string record = server.Dir().File("root") + sep + ".in.bin.vardex-digests";
  vtest::WriteAll(record, "record bytes");
  EXPECT_EQ(Exchange("DNLD", "DL01", "REMOTEFILENAME=" + record + "\r\nFILESIZE=12", 100),
            EncodeHeader("DNLD", 0) + EncodeHeader("DL01", 3));
  EXPECT_EQ(Exchange("UPLD", "UP01", "REMOTEFILENAME=" + record + "\r\nFILESIZE=5", 100),
            EncodeHeader("UPLD", 0) + EncodeHeader("UP01", 3));
  EXPECT_TRUE(vtest::WaitForLog(server.LogPrefix(),
                                "127.0.0.1-doDownload(" + outside + "): failed, " + ResultText(3) + ", doFileCheck(" +
                                    outside + "): failed. " + ResultText(3) + ", outside every root",
                                5));
}

TEST_F(ConfinedTransfer, UploadsOutsideEveryRootAreRefusedAtTheDiskCheck) {
  const std::string target = server.Dir().File("other") + sep + "new.bin";
  EXPECT_EQ(Exchange("UPLD", "UP01", "REMOTEFILENAME=" + target + "\r\nFILESIZE=5", 100),
            EncodeHeader("UPLD", 0) + EncodeHeader("UP01", 3));
  EXPECT_TRUE(vtest::WaitForLog(server.LogPrefix(),
                                "127.0.0.1-doUpload(): failed, " + ResultText(3) + ", doDiskCheck(" + target +
                                    "): failed. " + ResultText(3) + ", doDiskCheck",
                                5));
  EXPECT_FALSE(vtest::fs::exists(target));
  // Inside a root the negotiation goes on to the resume offer.
  TSocket s = vtest::Connect(server.Port());
  const std::string body = "REMOTEFILENAME=" + inside + "\r\nFILESIZE=20";
  vtest::SendAll(s, EncodeHeader("UPLD", 0) + vtest::Request("UP01", body) + EncodeHeader("UP02", 0));
  EXPECT_EQ(vtest::Receive(s, 16 + 8 + 10), EncodeHeader("UPLD", 0) + EncodeHeader("UP01", 0) +
                                                 EncodeHeader("UP02", 10) + "FILEPOS=12");
  CloseSocket(s);
}

// Behind a listed balancer the lists judge the client its PROXY header
// names: 192.0.2.7 is refused both ways, 2001:db8::1:0:0:7 may download.
TEST_F(ConfinedTransfer, ClientsOutsideTheAccessListsAreRefusedWith3BeforeAnyFileIsLookedAt) {
  vtest::HttpServer web;
  TServerConfig config = server.Config();
  config.ReportHost = web.Host();
  ASSERT_TRUE(config.ProxyFrom.Parse("127.0.0.1"));
  ASSERT_TRUE(config.Access.DownloadFrom.Parse("2001:db8::/32"));
  ASSERT_TRUE(config.Access.UploadFrom.Parse("10.0.0.0/8; 2001:db8::1:0:0:8"));
  server.Restart(config);
  const std::string v4 = vtest::V2(0x21, 0x11, vtest::kV4Addresses);
  const std::string v6 = vtest::V2(0x21, 0x21, vtest::kV6Addresses);
  const std::string missing = server.Dir().File("root") + sep + "missing.bin";
  const std::uint64_t refusedBefore = Metrics().AccessRefusedList;

  EXPECT_EQ(Exchange("UPLD", "UP01", "REMOTEFILENAME=" + inside + "\r\nFILESIZE=20", 100, v6),
            EncodeHeader("UPLD", 0) + EncodeHeader("UP01", 3));
  EXPECT_TRUE(vtest::WaitForLog(server.LogPrefix(),
                                "2001:db8::1:0:0:7-doUpload(): failed, " + ResultText(3) + ", doDiskCheck(" + inside +
                                    "): failed. " + ResultText(3) + ", refused by [Access] UploadFrom, doDiskCheck",
                                5));
  EXPECT_EQ(vtest::ReadAll(inside), "inside bytes");

  // A missing file gets 3 too, and no report: the client learns nothing.
  EXPECT_EQ(Exchange("DNLD", "DL01", "REMOTEFILENAME=" + missing + "\r\nFILESIZE=1", 100, v4),
            EncodeHeader("DNLD", 0) + EncodeHeader("DL01", 3));
  EXPECT_TRUE(vtest::WaitForLog(server.LogPrefix(),
                                "192.0.2.7-doDownload(" + missing + "): failed, " + ResultText(3) + ", doFileCheck(" +
                                    missing + "): failed. " + ResultText(3) + ", refused by [Access] DownloadFrom",
                                5));
  EXPECT_EQ(Metrics().AccessRefusedList - refusedBefore, 2u);

  EXPECT_EQ(Exchange("DNLD", "DL01", "REMOTEFILENAME=" + inside + "\r\nFILESIZE=12", 100, v6),
            EncodeHeader("DNLD", 0) + EncodeHeader("DL01", 0) + "inside bytes");
  // The allowed client's failure is reported as always, and is the only
  // report: the refused download, logged before, sent none.
  EXPECT_EQ(Exchange("DNLD", "DL01", "REMOTEFILENAME=" + missing + "\r\nFILESIZE=1", 100, v6),
            EncodeHeader("DNLD", 0) + EncodeHeader("DL01", 2));
  ASSERT_TRUE(web.WaitForRequests(1, 10));
  EXPECT_EQ(web.Paths().size(), 1u);
}

// With RequireToken=1 a request needs a valid token: a refused upload
// leaves the file as it was. The client mints tokens and sends its token
// with every request, the digests of its verification included.
TEST_F(ConfinedTransfer, WithRequireTokenOnlyAValidTokenGetsARequestThrough) {
  const std::string keys = server.Dir().File("tokens.key");
  vtest::WriteAll(keys, std::string(64, '3') + "\n" + std::string(64, 'c') + "\n");
  TServerConfig config = server.Config();
  ASSERT_EQ(ReadTokenRules(keys, "", true, config.Access.Tokens), "");
  server.Restart(config);
  const std::string port = std::to_string(server.Port()), up = server.Dir().File("root") + sep + "up" + sep;
  std::string get, put, err;
  ASSERT_EQ(Client({"token", "--key-file", keys, "--expires", "300", "get", inside}, get, err), 0) << err;
  ASSERT_EQ(Client({"token", "--key-file", keys, "--expires", "300", "put", up}, put, err), 0) << err;
  get.pop_back();  // the line end
  put.pop_back();
  const std::uint64_t refusedBefore = Metrics().AccessRefusedToken;

  const std::string upload = "REMOTEFILENAME=" + inside + "\r\nFILESIZE=20";
  EXPECT_EQ(Exchange("UPLD", "UP01", upload, 100), EncodeHeader("UPLD", 0) + EncodeHeader("UP01", 3));
  EXPECT_TRUE(vtest::WaitForLog(server.LogPrefix(), "refused by [Access] RequireToken: no token", 5));
  EXPECT_EQ(Exchange("UPLD", "UP01", upload + "\r\nTOKEN=" + get, 100),
            EncodeHeader("UPLD", 0) + EncodeHeader("UP01", 3));
  EXPECT_TRUE(vtest::WaitForLog(server.LogPrefix(), "refused by [Access] TokenKeys: token for the other direction", 5));
  EXPECT_EQ(Exchange("DNLD", "DL01", "REMOTEFILENAME=" + inside + "\r\nFILESIZE=12\r\nTOKEN=" + get + "x", 100),
            EncodeHeader("DNLD", 0) + EncodeHeader("DL01", 3));
  EXPECT_EQ(vtest::ReadAll(inside), "inside bytes");
  EXPECT_EQ(Metrics().AccessRefusedToken - refusedBefore, 3u);

  std::string out;
  const std::string local = server.Dir().File("local.bin");
  EXPECT_EQ(Client({"get", "--port", port, "--token", get, "127.0.0.1", inside, local}, out, err), 0) << err;
  EXPECT_EQ(vtest::ReadAll(local), "inside bytes");
  // A directory token takes a new file below it, and the digests the
  // client compares before and after.
  vtest::fs::create_directories(up);
  EXPECT_EQ(Client({"put", "--port", port, "--token", put, "127.0.0.1", local, up + "new.bin"}, out, err), 0) << err;
  EXPECT_EQ(vtest::ReadAll(up + "new.bin"), "inside bytes");
  EXPECT_EQ(Client({"put", "--port", port, "--token", put, "127.0.0.1", local, inside}, out, err), 4);
  // The upload token grants the digest of the whole file, but not of a
  // prefix, which would let its holder read the file byte by byte.
  const std::string digest = "REMOTEFILENAME=" + up + "new.bin\r\nTOKEN=" + put + "\r\nFILEPOS=";
  EXPECT_EQ(Exchange("DGST", "DG01", digest + "12", 16).substr(8), EncodeHeader("DG01", 0));
  EXPECT_EQ(Exchange("DGST", "DG01", digest + "1", 16).substr(8), EncodeHeader("DG01", 3));
  EXPECT_TRUE(vtest::WaitForLog(server.LogPrefix(), "token for uploads, which grants the digest of the whole file only", 5));
}

// The operator's authoriser: 200 allows, 403 refuses, and anything else
// (another status, no answer in time) is decided by AuthorizeOnError, which
// never overrides a 403. A refused upload leaves the file as it was.
TEST_F(ConfinedTransfer, TheAuthoriserDecidesWhatTheListsAndTokensLetThrough) {
  vtest::HttpServer authorizer;
  const std::string url = "http://" + authorizer.Host() + "/auth?site=3";
  const std::string download = "REMOTEFILENAME=" + inside + "\r\nFILESIZE=12\r\nFILENO=5\r\nUSERNO=6";
  const std::string served = EncodeHeader("DNLD", 0) + EncodeHeader("DL01", 0) + "inside bytes";
  const std::string refused = EncodeHeader("DNLD", 0) + EncodeHeader("DL01", 3);
  const struct {
    const char* onError;
    int status;  // 0: no answer at all
    std::string reply, rule;
  } kCases[] = {
      {"deny", 403, refused, "refused by [Access] AuthorizeUrl"},
      {"deny", 200, served, ""},
      {"deny", 500, refused, "refused by [Access] AuthorizeOnError: authoriser failed, status 500"},
      {"deny", 0, refused, "refused by [Access] AuthorizeOnError: authoriser failed, no answer"},
      {"allow", 403, refused, "refused by [Access] AuthorizeUrl"},
      {"allow", 500, served, "authoriser failed, status 500, allowed by [Access] AuthorizeOnError"},
      {"allow", 0, served, "authoriser failed, no answer, allowed by [Access] AuthorizeOnError"},
  };
  std::size_t asked = 0;
  const std::uint64_t refusedBefore = Metrics().AccessRefusedAuthorizer;
  for (const auto& c : kCases) {
    SCOPED_TRACE(std::string(c.onError) + " " + std::to_string(c.status));
    TServerConfig config = server.Config();
    ASSERT_EQ(ReadAuthorizer(url, 1, c.onError, config.Access.Authorizer), "");
    server.Restart(config);
    authorizer.SetResponse(c.status, "");
    EXPECT_EQ(Exchange("DNLD", "DL01", download, 100), c.reply);
    if (!c.rule.empty()) {
      EXPECT_TRUE(vtest::WaitForLog(server.LogPrefix(), c.rule, 5));
    }
    ASSERT_TRUE(authorizer.WaitForRequests(++asked, 5));
  }
  EXPECT_EQ(Metrics().AccessRefusedAuthorizer - refusedBefore, 4u);
  EXPECT_EQ(authorizer.Paths()[0], "/auth?site=3&direction=download&client=127.0.0.1&filename=" +
                                       PercentEncode(inside) +
                                       "&fileno=5&userno=6&filesize=12&filepos=0");

  // An upload names no position, and carries the token it was sent.
  authorizer.SetResponse(403, "");
  EXPECT_EQ(Exchange("UPLD", "UP01", "REMOTEFILENAME=" + inside + "\r\nFILESIZE=20\r\nTOKEN=a b&c", 100),
            EncodeHeader("UPLD", 0) + EncodeHeader("UP01", 3));
  ASSERT_TRUE(authorizer.WaitForRequests(++asked, 5));
  EXPECT_EQ(authorizer.Paths().back(), "/auth?site=3&direction=upload&client=127.0.0.1&filename=" +
                                           PercentEncode(inside) + "&fileno=0&userno=0&filesize=20&token=a%20b%26c");
  EXPECT_EQ(vtest::ReadAll(inside), "inside bytes");
}

// Behind a listed balancer it is the client its PROXY header names that is
// banned: its connections are then closed unanswered, uncounted as bad
// events, until the ban ends, while the balancer's other clients go on.
TEST_F(ConfinedTransfer, AClientRefusedBanAfterTimesIsClosedUnansweredUntilItsBanEnds) {
  TServerConfig config = server.Config();
  ASSERT_TRUE(config.ProxyFrom.Parse("127.0.0.1"));
  config.Access.Ban.After = 2;
  config.Access.Ban.Seconds = 5;
  server.Restart(config);
  const std::string v4 = vtest::V2(0x21, 0x11, vtest::kV4Addresses);
  const std::string v6 = vtest::V2(0x21, 0x21, vtest::kV6Addresses);
  const std::uint64_t rootBefore = Metrics().AccessRefusedRoot, bannedBefore = Metrics().AccessRefusedBanned;

  for (int i = 0; i < 2; ++i)
    EXPECT_EQ(Exchange("DNLD", "DL01", "REMOTEFILENAME=" + outside + "\r\nFILESIZE=13", 100, v4),
              EncodeHeader("DNLD", 0) + EncodeHeader("DL01", 3));
  ASSERT_TRUE(vtest::WaitForLog(server.LogPrefix(), "192.0.2.7-Ban: banned for 5 s, 2 bad events within 60 s", 5));
  EXPECT_EQ(Metrics().AccessRefusedRoot - rootBefore, 2u);
  EXPECT_EQ(Exchange("DNLD", "DL01", "REMOTEFILENAME=" + inside + "\r\nFILESIZE=12", 100, v4), "");
  EXPECT_EQ(Exchange("DNLD", "DL01", "REMOTEFILENAME=" + outside + "\r\nFILESIZE=13", 100, v4), "");
  EXPECT_EQ(Metrics().AccessRefusedBanned - bannedBefore, 2u);
  EXPECT_TRUE(ServedWithin(v6));
  // The ban ends; one more refusal does not start the next.
  EXPECT_TRUE(ServedWithin(v4));
  EXPECT_EQ(Exchange("DNLD", "DL01", "REMOTEFILENAME=" + outside + "\r\nFILESIZE=13", 100, v4),
            EncodeHeader("DNLD", 0) + EncodeHeader("DL01", 3));
  EXPECT_TRUE(ServedWithin(v4));
  EXPECT_EQ(vtest::LogCount(server.LogPrefix(), "-Ban: banned"), 1);
}

// A connection beyond MaxConnectionsPerHost from one client is closed
// unanswered; once one closes, the client gets its place back.
TEST_F(ConfinedTransfer, AConnectionOverTheCapOfItsClientIsClosedAtOnce) {
  TServerConfig config = server.Config();
  ASSERT_TRUE(config.ProxyFrom.Parse("127.0.0.1"));
  config.Access.MaxConnectionsPerHost = 1;
  server.Restart(config);
  const std::string v4 = vtest::V2(0x21, 0x11, vtest::kV4Addresses);
  const std::string v6 = vtest::V2(0x21, 0x21, vtest::kV6Addresses);
  const std::uint64_t perHostBefore = Metrics().AccessRefusedPerHost;

  TSocket held = vtest::Connect(server.Port());
  vtest::SendAll(held, v4 + EncodeHeader("DNLD", 0));
  ASSERT_EQ(vtest::Receive(held, 8), EncodeHeader("DNLD", 0));
  EXPECT_EQ(Exchange("DNLD", "DL01", "REMOTEFILENAME=" + inside + "\r\nFILESIZE=12", 100, v4), "");
  EXPECT_EQ(Metrics().AccessRefusedPerHost - perHostBefore, 1u);
  EXPECT_TRUE(vtest::WaitForLog(server.LogPrefix(),
                                "192.0.2.7-Listen: connection closed, [Access] MaxConnectionsPerHost 1 reached", 5));
  EXPECT_TRUE(ServedWithin(v6));
  CloseSocket(held);
  EXPECT_TRUE(ServedWithin(v4));
}

}  // namespace

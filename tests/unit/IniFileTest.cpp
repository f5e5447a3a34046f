// The configuration file: the reading rules, and what ReadConfig takes from
// it.

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "service/IniFile.h"
#include "service/svcMain.h"
#include "support/FakeHost.h"
#include "support/TestSupport.h"

namespace {

// ReadConfig on a file with `text`, or on no file at all.
class Config {
 public:
  explicit Config(const std::string* text) {
    if (text) vtest::WriteAll(FDir.path() / "VardexServer.ini", *text);
    FAccepted = FService.ReadConfig(FDir.File("VardexServer.ini"), FRefusal);
  }
  const TVardexServerService& Service() const { return FService; }
  bool Accepted() const { return FAccepted; }
  const std::string& Refusal() const { return FRefusal; }

 private:
  vtest::TempDir FDir;
  vtest::FakeEventLog FEvents;
  vtest::FakeFirewall FFirewall;
  TVardexServerService FService{FEvents, FFirewall};
  bool FAccepted = false;
  std::string FRefusal;
};

std::int32_t PortOf(const std::string& text) { return Config(&text).Service().Port(); }

TEST(IniFile, MissingFileSectionOrKeyTakesTheDefaults) {
  {
    Config config(nullptr);
    EXPECT_EQ(config.Service().Port(), 80);
    EXPECT_EQ(config.Service().Config().ReportHost, "");
    EXPECT_EQ(config.Service().ListenOptions().IdleTimeout, 300);
    EXPECT_EQ(config.Service().ListenOptions().MaxConnections, 0);
    EXPECT_EQ(config.Service().ListenOptions().BindAddresses, std::vector<platform::IpAddress>{platform::IpAddress()});
    EXPECT_TRUE(config.Service().Config().Roots.empty());
    EXPECT_EQ(config.Service().FleetOptions().StatusPort, 0);
    EXPECT_EQ(config.Service().FleetOptions().StatusAddresses,
              std::vector<platform::IpAddress>{platform::IpAddress::V4(0x7F000001)});
  }
  EXPECT_EQ(PortOf("[Other]\nPort=8080\n"), 80);
  EXPECT_EQ(PortOf("[Server]\nHost=8080\n"), 80);
  EXPECT_EQ(PortOf("Port=8080\n[Server]\n"), 80);  // before any section
}

TEST(IniFile, PortIsDecimalOrHexadecimalWithASign) {
  EXPECT_EQ(PortOf("[Server]\nPort=8080\n"), 8080);
  EXPECT_EQ(PortOf("[Server]\nPort=0x1F90\n"), 8080);
  EXPECT_EQ(PortOf("[Server]\nPort=0X1f90\n"), 8080);
  EXPECT_EQ(PortOf("[Server]\nPort=$1F90\n"), 8080);
  EXPECT_EQ(PortOf("[Server]\nPort=+8080\n"), 8080);
  EXPECT_EQ(PortOf("[Server]\nPort=-0x10\n"), -16);  // read as written; the start is refused
  EXPECT_EQ(PortOf("[Server]\nPort=2147483647\n"), 2147483647);
}

TEST(IniFile, AnythingButAWholeNumberTakesTheDefault) {
  for (const char* value : {"eighty", "", "80.0", "8080 ; the port", "0x", "$", "-", "0x1G", "2147483648", "1e3",
                            "8 080"})
    EXPECT_EQ(PortOf(std::string("[Server]\nPort=") + value + "\n"), 80) << value;
}

TEST(IniFile, NamesIgnoreCaseAndValuesAreTrimmed) {
  EXPECT_EQ(PortOf("[sErVeR]\r\n  pORT  =  8081 \t\r\n"), 8081);
  EXPECT_EQ(PortOf("; comment\n[ Server ]\nPort=8082\n"), 8082);
  // A file saved with a byte-order mark still has its first section.
  EXPECT_EQ(PortOf("\xEF\xBB\xBF[Server]\nPort=8083\n"), 8083);
  // The first of two equal keys counts.
  EXPECT_EQ(PortOf("[Server]\nPort=8084\nPort=9000\n"), 8084);
}

TEST(IniFile, ReadConfigTakesTheReportSettingsTheListenerRestrictionsAndTheRateLimits) {
  vtest::TempDir roots;
  vtest::fs::create_directories(roots.path() / "a");
  vtest::fs::create_directories(roots.path() / "b");
  const std::string text = "[Server]\nPort=8085\nRoot= " + roots.File("a") + " ; " + roots.File("b") +
                           " \nBindAddress=127.0.0.1; ::1\nMaxConnections=12\nIdleTimeout=0\n"
                           "[REPORT]\nhost = reports.example:8080 \nSpool=1\nSpoolDays=3\nSigningKey=" +
                           roots.File("key") + "\n[Status]\nPort=65535\nBindAddress=0.0.0.0\n"
                           "[Limits]\nDownloadRate=100\nUploadRate=-3\nTotalDownloadRate=2048\nTotalUploadRate=fast\n"
                           "[Access]\nUploadFrom= 10.0.0.0/8 ; 2001:db8::/32 \nMaxConnectionsPerHost=4\nBanAfter=5\n"
                           "BanSeconds=200000\nNeverBan=192.0.2.0/24\nTokenKeys=" + roots.File("key") +
                           "\nRequireToken=1\nAuthorizeUrl=http://[::1]:8080/auth?site=3\nAuthorizeTimeout=30\n"
                           "AuthorizeOnError=Allow\n";
  // Upper or lower case, a line end after it.
  vtest::WriteAll(roots.path() / "key", std::string(62, 'a') + "0F\r\n");
  Config config(&text);
  EXPECT_TRUE(config.Accepted()) << config.Refusal();
  EXPECT_EQ(config.Service().Port(), 8085);
  EXPECT_EQ(config.Service().Config().ReportHost, "reports.example:8080");
  EXPECT_EQ(config.Service().Config().Roots, (std::vector<std::string>{roots.File("a"), roots.File("b")}));
  platform::IpAddress v6Loopback;
  ASSERT_TRUE(platform::IpAddress::Parse("::1", v6Loopback));
  EXPECT_EQ(config.Service().ListenOptions().BindAddresses,
            (std::vector<platform::IpAddress>{platform::IpAddress::V4(0x7F000001), v6Loopback}));
  EXPECT_EQ(config.Service().ListenOptions().MaxConnections, 12);
  EXPECT_EQ(config.Service().ListenOptions().IdleTimeout, 0);
  EXPECT_EQ(config.Service().FleetOptions().StatusPort, 65535);
  EXPECT_EQ(config.Service().FleetOptions().StatusAddresses, std::vector<platform::IpAddress>{platform::IpAddress()});
  EXPECT_TRUE(config.Service().Config().Report.Spool);
  EXPECT_EQ(config.Service().Config().Report.SpoolDays, 3);
  EXPECT_EQ(config.Service().Config().Report.SigningKey, std::string(31, '\xAA') + "\x0F");
  // An IPv4-mapped client is the IPv4 client it carries; no DownloadFrom is everyone.
  const TAccessRules& access = config.Service().Config().Access;
  EXPECT_EQ(access.Refusal(TAccessDirection::kUpload, "::ffff:10.1.2.3"), "");
  EXPECT_EQ(access.Refusal(TAccessDirection::kUpload, "2001:db8:1::7"), "");
  EXPECT_EQ(access.Refusal(TAccessDirection::kUpload, "192.0.2.1"), "[Access] UploadFrom");
  EXPECT_EQ(access.Refusal(TAccessDirection::kDownload, "192.0.2.1"), "");
  // A first ban longer than the longest is the longest.
  EXPECT_EQ(access.MaxConnectionsPerHost, 4);
  EXPECT_EQ(access.Ban.After, 5);
  EXPECT_EQ(access.Ban.Seconds, 86400);
  EXPECT_TRUE(access.Ban.NeverBan.Names("192.0.2.9"));
  EXPECT_EQ(access.Tokens.Keys, std::vector<std::string>{config.Service().Config().Report.SigningKey});
  EXPECT_TRUE(access.Tokens.Required);
  // The authoriser answers within the client's 10-second wait, whatever is set.
  EXPECT_EQ(access.Authorizer.Url, "http://[::1]:8080/auth?site=3");
  EXPECT_EQ(access.Authorizer.TimeoutSeconds, 8);
  EXPECT_TRUE(access.Authorizer.AllowOnError);
  // KiB/s into bytes per second; a negative or malformed rate is no limit.
  const TRateLimits& limits = config.Service().Config().Limits;
  EXPECT_EQ(limits.Download, 102400u);
  EXPECT_EQ(limits.Upload, 0u);
  EXPECT_EQ(limits.TotalDownload, 2097152u);
  EXPECT_EQ(limits.TotalUpload, 0u);

  const std::string malformed = "[Server]\nIdleTimeout=soon\n";
  EXPECT_EQ(Config(&malformed).Service().ListenOptions().IdleTimeout, 300);
  const std::string absurd = "[Server]\nIdleTimeout=4294968\n", negative = "[Server]\nIdleTimeout=-5\n";
  EXPECT_EQ(Config(&absurd).Service().ListenOptions().IdleTimeout, TVardexServerService::kMaxIdleTimeout);
  EXPECT_EQ(Config(&negative).Service().ListenOptions().IdleTimeout, 300);
}

// A typo in these would serve every interface or every path, listen where
// nobody looks, or send reports the web service refuses as forgeries: the
// start is refused instead, naming the key and the value.
TEST(IniFile, MalformedAddressPortRootOrKeyRefusesTheStart) {
  vtest::TempDir dir;
  const std::string missing = dir.File("missing");
  const std::string shortKey = dir.File("short.key"), oddKey = dir.File("odd.key");
  vtest::WriteAll(shortKey, std::string(62, '1'));
  vtest::WriteAll(oddKey, std::string(64, '1') + "2 3");
  const struct {
    std::string text, refusal;
  } kCases[] = {
      {"[Server]\nBindAddress=127.0.0.300\n", "[Server] BindAddress=127.0.0.300 is not a list of IPv4 or IPv6 addresses"},
      {"[Server]\nBindAddress=localhost\n", "[Server] BindAddress=localhost is not a list of IPv4 or IPv6 addresses"},
      {"[Server]\nBindAddress=127.0.0.1;;\n", "[Server] BindAddress=127.0.0.1;; is not a list of IPv4 or IPv6 addresses"},
      {"[Server]\nBindAddress=::1;fe80::1%eth0\n",
       "[Server] BindAddress=::1;fe80::1%eth0 is not a list of IPv4 or IPv6 addresses"},
      {"[Server]\nRoot=" + dir.File("") + ";" + missing + "\n",
       "[Server] Root entry " + missing + " is not an existing directory"},
      {"[Server]\nRoot= ; ;\n", "[Server] Root=; ; has no usable entry"},
      {"[Server]\nPort=80800\n", "[Server] Port=80800 is outside 0-65535"},
      {"[Server]\nPort=-0x10\n", "[Server] Port=-0x10 is outside 0-65535"},
      {"[Status]\nPort=80800\n", "[Status] Port=80800 is outside 0-65535"},
      {"[Status]\nPort=-1\n", "[Status] Port=-1 is outside 0-65535"},
      {"[Status]\nPort=9100\nBindAddress=10.0.0\n", "[Status] BindAddress=10.0.0 is not a list of IPv4 or IPv6 addresses"},
      // The rest of the line is the value: a comment after it is a typo.
      {"[Status]\nPort=9100\nBindAddress=0.0.0.0 ; every interface\n",
       "[Status] BindAddress=0.0.0.0 ; every interface is not a list of IPv4 or IPv6 addresses"},
      {"[Report]\nSigningKey=" + shortKey + "\n",
       "[Report] SigningKey=" + shortKey + " holds 31 bytes of key; at least 32 are needed"},
      {"[Report]\nSigningKey=" + oddKey + "\n",
       "[Report] SigningKey=" + oddKey + " is not one hexadecimal key with an even number of digits"},
      {"[Report]\nSigningKey=" + missing + "\n", "[Report] SigningKey=" + missing + " cannot be read"},
      // An empty entry or a prefix with host bits would let in whom the
      // operator did not mean.
      {"[Access]\nUploadFrom=;\n", "[Access] UploadFrom=; is malformed"},
      {"[Access]\nDownloadFrom=10.0.0.0/8;;::1\n", "[Access] DownloadFrom=10.0.0.0/8;;::1 is malformed"},
      {"[Access]\nDownloadFrom=10.0.0.1/8\n", "[Access] DownloadFrom=10.0.0.1/8 is malformed"},
      // A number that cannot be read would silently turn a cap or the bans
      // off, or ban for no time at all.
      {"[Access]\nNeverBan=10.0.0.0/8;\n", "[Access] NeverBan=10.0.0.0/8; is malformed"},
      {"[Access]\nBanAfter=-1\n", "[Access] BanAfter=-1 is malformed"},
      {"[Access]\nBanSeconds=0\n", "[Access] BanSeconds=0 is malformed"},
      {"[Access]\nMaxConnectionsPerHost=ten\n", "[Access] MaxConnectionsPerHost=ten is malformed"},
      // A server meant to ask for tokens or its authoriser must not start
      // without them.
      {"[Access]\nRequireToken=yes\n", "[Access] RequireToken=yes is neither 0 nor 1"},
      {"[Access]\nRequireToken=1\n", "[Access] RequireToken=1 needs [Access] TokenKeys"},
      {"[Access]\nTokenKeys=" + missing + "\n", "[Access] TokenKeys=" + missing + " cannot be read"},
      {"[Access]\nTokenKeys=" + shortKey + "\n",
       "[Access] TokenKeys=" + shortKey + " line 1 holds 31 bytes of key; at least 32 are needed"},
      {"[Access]\nAuthorizeUrl=https://auth.example/check\n",
       "[Access] AuthorizeUrl=https://auth.example/check is not an http://host[:port]/path URL"},
      {"[Access]\nAuthorizeUrl=http://auth.example:0/check\n",
       "[Access] AuthorizeUrl=http://auth.example:0/check is not an http://host[:port]/path URL"},
      {"[Access]\nAuthorizeUrl=http://auth.example/check\nAuthorizeOnError=open\n",
       "[Access] AuthorizeOnError=open is neither deny nor allow"},
  };
  for (const auto& c : kCases) {
    Config config(&c.text);
    EXPECT_FALSE(config.Accepted()) << c.text;
    EXPECT_EQ(config.Refusal(), c.refusal) << c.text;
    EXPECT_TRUE(config.Service().Config().Roots.empty()) << c.text;
  }
}

}  // namespace

// The configuration file: the reading rules, and what ReadConfig takes from
// it.

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "server/Confinement.h"
#include "server/Reports.h"
#include "service/IniFile.h"
#include "service/svcMain.h"
#include "support/FakeHost.h"
#include "support/TestSupport.h"

namespace {

// ReadConfig on a file with `text`, or on no file at all; the process-wide
// values it sets are put back afterwards.
class Config {
 public:
  explicit Config(const std::string* text) {
    if (text) vtest::WriteAll(FDir.path() / "VardexServer.ini", *text);
    FService.ReadConfig(FDir.File("VardexServer.ini"));
  }
  ~Config() {
    ReportHost.clear();
    ServerRoots.clear();
  }
  const TVardexServerService& Service() const { return FService; }

 private:
  vtest::TempDir FDir;
  vtest::FakeEventLog FEvents;
  vtest::FakeFirewall FFirewall;
  TVardexServerService FService{FEvents, FFirewall};
};

std::int32_t PortOf(const std::string& text) { return Config(&text).Service().Port(); }

TEST(IniFile, MissingFileSectionOrKeyTakesTheDefaults) {
  {
    Config config(nullptr);
    EXPECT_EQ(config.Service().Port(), 80);
    EXPECT_EQ(ReportHost, "");
    EXPECT_EQ(config.Service().ListenOptions().IdleTimeout, 300);
    EXPECT_EQ(config.Service().ListenOptions().MaxConnections, 0);
    EXPECT_EQ(config.Service().ListenOptions().BindAddress, 0u);
    EXPECT_TRUE(ServerRoots.empty());
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
  EXPECT_EQ(PortOf("[Server]\nPort=-0x10\n"), -16);  // no range check
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

TEST(IniFile, ReadConfigTakesTheReportHostAndTheListenerRestrictions) {
  const std::string text =
      "[Server]\nPort=8085\nRoot= /srv/a ; /srv/b \nBindAddress=127.0.0.1\nMaxConnections=12\nIdleTimeout=0\n"
      "[REPORT]\nhost = reports.example:8080 \n";
  Config config(&text);
  EXPECT_EQ(config.Service().Port(), 8085);
  EXPECT_EQ(ReportHost, "reports.example:8080");
  EXPECT_EQ(ServerRoots, (std::vector<std::string>{"/srv/a", "/srv/b"}));
  EXPECT_EQ(config.Service().ListenOptions().BindAddress, 0x7F000001u);
  EXPECT_EQ(config.Service().ListenOptions().MaxConnections, 12);
  EXPECT_EQ(config.Service().ListenOptions().IdleTimeout, 0);

  const std::string malformed = "[Server]\nBindAddress=localhost\nIdleTimeout=soon\n";
  Config fallback(&malformed);
  EXPECT_EQ(fallback.Service().ListenOptions().BindAddress, 0u);
  EXPECT_EQ(fallback.Service().ListenOptions().IdleTimeout, 300);
}

}  // namespace

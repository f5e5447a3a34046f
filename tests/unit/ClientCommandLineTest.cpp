// The client's command line: what it accepts, what it refuses, and the help.

#include <sstream>
#include <vector>

#include <gtest/gtest.h>

#include "client/CommandLine.h"

namespace {

struct Parsed {
  int status;
  ClientCommand command;
  std::string out, err;
};

Parsed Parse(std::vector<const char*> args) {
  args.insert(args.begin(), "vardex");
  Parsed p;
  std::ostringstream out, err;
  p.status = ParseCommandLine(static_cast<int>(args.size()), args.data(), p.command, out, err);
  p.out = out.str();
  p.err = err.str();
  return p;
}

TEST(ClientCommandLine, GetTakesHostRemoteLocalAndItsOptions) {
  Parsed p = Parse({"get", "--port", "8080", "--size", "5000000000", "--fileno", "-7", "--userno", "12", "--restart",
                    "-q", "files.example", "D:\\in\\a b.bin", "out.bin"});
  ASSERT_EQ(p.status, -1) << p.err;
  EXPECT_EQ(p.command.direction, Direction::kGet);
  const TransferRequest& r = p.command.request;
  EXPECT_EQ(r.host, "files.example");
  EXPECT_EQ(r.port, 8080);
  EXPECT_EQ(r.remote, "D:\\in\\a b.bin");
  EXPECT_EQ(r.local, "out.bin");
  EXPECT_EQ(r.size, 5000000000LL);
  EXPECT_EQ(r.fileNo, -7);
  EXPECT_EQ(r.userNo, 12);
  EXPECT_TRUE(r.restart);
  EXPECT_TRUE(p.command.quiet);

  Parsed plain = Parse({"get", "h", "r", "l"});
  ASSERT_EQ(plain.status, -1) << plain.err;
  EXPECT_EQ(plain.command.request.port, 80);
  EXPECT_EQ(plain.command.request.size, -1);  // not given: the client asks for FILEPOS + 1
  EXPECT_FALSE(plain.command.request.restart);
  EXPECT_FALSE(plain.command.quiet);
  EXPECT_EQ(plain.command.request.verify, Verification::kIfOffered);

  // Verification: off, or required; not both, and no other mode.
  EXPECT_EQ(Parse({"get", "--no-verify", "h", "r", "l"}).command.request.verify, Verification::kOff);
  EXPECT_EQ(Parse({"put", "--verify=require", "h", "l", "r"}).command.request.verify, Verification::kRequired);
  EXPECT_EQ(Parse({"get", "--verify=require", "--no-verify", "h", "r", "l"}).status, 2);
  EXPECT_EQ(Parse({"get", "--verify=always", "h", "r", "l"}).status, 2);
}

TEST(ClientCommandLine, PutTakesLocalBeforeRemote) {
  Parsed p = Parse({"put", "--port", "81", "h", "local.bin", "/srv/in/remote.bin"});
  ASSERT_EQ(p.status, -1) << p.err;
  EXPECT_EQ(p.command.direction, Direction::kPut);
  EXPECT_EQ(p.command.request.local, "local.bin");
  EXPECT_EQ(p.command.request.remote, "/srv/in/remote.bin");
  EXPECT_EQ(p.command.request.port, 81);
}

TEST(ClientCommandLine, MistakesAreUsageErrorsWithAReason) {
  const std::vector<std::vector<const char*>> wrong = {
      {},                                          // no subcommand
      {"fetch", "h", "r", "l"},                    // unknown subcommand
      {"get", "h", "r"},                           // LOCAL missing
      {"get", "h", "r", "l", "extra"},             // one too many
      {"get", "--port", "0", "h", "r", "l"},       // ports are 1 to 65535
      {"get", "--port", "65536", "h", "r", "l"},
      {"get", "--port", "eighty", "h", "r", "l"},
      {"get", "--size", "-1", "h", "r", "l"},      // sizes are not negative
      {"put", "--size", "10", "h", "l", "r"},      // put takes the size from LOCAL
      {"get", "--fileno", "2147483648", "h", "r", "l"},  // FILENO is 32 bits
      {"get", "--bogus", "h", "r", "l"},
  };
  for (const auto& args : wrong) {
    Parsed p = Parse(args);
    std::string line;
    for (const char* a : args) line += std::string(a) + " ";
    EXPECT_EQ(p.status, 2) << line;
    EXPECT_FALSE(p.err.empty()) << line;
  }
}

TEST(ClientCommandLine, HelpListsTheExitStatusesAndTheErrorHeaderRule) {
  Parsed top = Parse({"--help"});
  EXPECT_EQ(top.status, 0);
  for (const char* text : {"get", "put", "Exit status:", "  3  connection failure", "  4  refused by the server",
                           "  6  put only"})
    EXPECT_NE(top.out.find(text), std::string::npos) << text;

  Parsed get = Parse({"get", "--help"});
  EXPECT_EQ(get.status, 0);
  for (const char* text : {"--size", "--restart", "FILEPOS + 1", "four zero bytes followed by 12", "Exit status:"})
    EXPECT_NE(get.out.find(text), std::string::npos) << text;
  Parsed put = Parse({"put", "--help"});
  EXPECT_NE(put.out.find("unless --restart"), std::string::npos);
  EXPECT_EQ(put.out.find("--size"), std::string::npos);
}

TEST(ClientCommandLine, VersionIsTheTreeVersion) {
  Parsed p = Parse({"--version"});
  EXPECT_EQ(p.status, 0);
  EXPECT_EQ(p.out, "vardex " VARDEX_VERSION "\n");
}

TEST(ClientCommandLine, NamesThatCannotTravelAreRefusedBeforeAnyConnection) {
  // Nothing listens on port 1 of loopback: a connection attempt would give
  // status 3, not 2. A line end would let the name inject keys of its own.
  for (const char* command : {"get", "put"}) {
    for (const std::string& remote : {std::string("a\r\nFILEPOS=5"), std::string("a\nb"), std::string(),
                                      std::string(16000, 'n')}) {
      const char* args[] = {"vardex", command, "--port", "1", "-q", "127.0.0.1", remote.c_str(), "local.bin"};
      if (std::string(command) == "put") std::swap(args[6], args[7]);
      std::ostringstream out, err;
      EXPECT_EQ(RunClient(8, args, out, err, false), 2) << command << " " << err.str();
      EXPECT_NE(err.str().find("the remote name"), std::string::npos) << err.str();
    }
  }
}

}  // namespace

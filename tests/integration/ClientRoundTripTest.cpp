// The client against the real server over loopback: downloads and uploads,
// new, resumed, interrupted and refused, with the exit status and message a
// user sees. Every completed upload holds its server worker five seconds
// before the report, so the upload cases share a few uploads between them.

#include <sstream>
#include <vector>

#include <gtest/gtest.h>

#include "client/CommandLine.h"
#include "client/Download.h"
#include "client/ResultMeaning.h"
#include "client/Upload.h"
#include "platform/Files.h"
#include "platform/IpAddress.h"
#include "server/Metrics.h"
#include "support/TestSupport.h"
#include "transfer/BlockDigest.h"
#include "transfer/uGlobal.h"

namespace {

namespace fs = vtest::fs;

struct ClientRun {
  int status;
  std::string out, err;
};

// Stops a library transfer once `limit` bytes have moved.
ProgressFn StopAfter(std::int64_t limit) {
  return [limit](const TransferProgress& p) { return p.moved < limit; };
}

class ClientRoundTrip : public ::testing::Test {
 protected:
  std::string Remote(const std::string& name) const { return server.Dir().File(name); }
  std::string Local(const std::string& name) const { return local.File(name); }

  ClientRun Client(std::vector<std::string> args) {
    std::vector<const char*> argv{"vardex", args[0].c_str(), "--port", port.c_str()};
    for (std::size_t i = 1; i < args.size(); ++i) argv.push_back(args[i].c_str());
    std::ostringstream out, err;
    ClientRun run{RunClient(static_cast<int>(argv.size()), argv.data(), out, err, false), "", ""};
    run.out = out.str();
    run.err = err.str();
    return run;
  }

  TransferRequest Request(const std::string& remote, const std::string& localName) const {
    TransferRequest r;
    r.host = "127.0.0.1";
    r.port = server.Port();
    r.remote = remote;
    r.local = localName;
    return r;
  }

  // Waits until the server has logged `text` `count` times: a completed
  // upload is measured, logged and only then moved on.
  bool Logged(const std::string& text, int count = 1) const {
    return vtest::WaitForLogCount(server.LogPrefix(), text, count, 20);
  }

  static std::string Refused(std::int32_t code) { return std::to_string(code) + " (" + ResultMeaning(code) + ")"; }

  vtest::RunningServer server;
  vtest::TempDir local;
  const std::string port = std::to_string(server.Port());
};

TEST_F(ClientRoundTrip, GetNewResumedCompleteAndRestarted) {
  const std::string remote = Remote("movie.bin"), target = Local("movie.bin");
  const std::string content = vtest::RandomBytes(9000123, 1);
  vtest::WriteAll(remote, content);

  ClientRun fresh = Client({"get", "127.0.0.1", remote, target});
  EXPECT_EQ(fresh.status, 0) << fresh.err;
  EXPECT_NE(fresh.out.find("received 9000123 bytes"), std::string::npos) << fresh.out;
  EXPECT_TRUE(vtest::ReadAll(target) == content);

  // A partial LOCAL resumes from its size; its digest continues from the
  // blocks the resume check read, past the first block.
  vtest::WriteAll(target, content.substr(0, 5000000));
  TransferOutcome resumed = RunDownload(Request(remote, target), nullptr);
  EXPECT_EQ(resumed.status, ExitStatus::kDone) << resumed.message;
  EXPECT_EQ(resumed.start, 5000000);
  EXPECT_EQ(resumed.moved, 4000123);
  EXPECT_TRUE(resumed.warning.empty()) << resumed.warning;
  EXPECT_TRUE(vtest::ReadAll(target) == content);

  // Complete already: nothing moves, and with its size the same holds.
  TransferOutcome complete = RunDownload(Request(remote, target), nullptr);
  EXPECT_EQ(complete.status, ExitStatus::kDone) << complete.message;
  EXPECT_EQ(complete.moved, 0);
  ClientRun sized = Client({"get", "-q", "--size", "9000123", "localhost", remote, target});
  EXPECT_EQ(sized.status, 0) << sized.err;
  EXPECT_EQ(sized.out, "");
  EXPECT_TRUE(vtest::ReadAll(target) == content);

  // A LOCAL that is no prefix of the file is only mended by starting over.
  vtest::WriteAll(target, std::string(2000, 'g'));
  ClientRun restarted = Client({"get", "--restart", "127.0.0.1", remote, target});
  EXPECT_EQ(restarted.status, 0) << restarted.err;
  EXPECT_TRUE(vtest::ReadAll(target) == content);
}

TEST_F(ClientRoundTrip, GetStoppedPartwayResumesToAByteExactFile) {
  const std::string remote = Remote("big.bin"), target = Local("big.bin");
  const std::string content = vtest::RandomBytes(4 * 1048576 + 5, 2);
  vtest::WriteAll(remote, content);

  TransferOutcome stopped = RunDownload(Request(remote, target), StopAfter(1048576));
  EXPECT_EQ(stopped.status, ExitStatus::kStopped);
  const std::string part = vtest::ReadAll(target);
  EXPECT_GE(part.size(), 1048576u);
  EXPECT_LT(part.size(), content.size());
  EXPECT_EQ(static_cast<std::int64_t>(part.size()), stopped.moved);
  EXPECT_TRUE(part == content.substr(0, part.size()));  // nothing but file bytes, in order

  // Stopped once more with a known size, then finished.
  TransferRequest sized = Request(remote, target);
  sized.size = static_cast<std::int64_t>(content.size());
  TransferOutcome again = RunDownload(sized, StopAfter(1048576));
  EXPECT_EQ(again.status, ExitStatus::kStopped);
  EXPECT_EQ(again.start, stopped.moved);
  TransferOutcome finished = RunDownload(sized, nullptr);
  EXPECT_EQ(finished.status, ExitStatus::kDone) << finished.message;
  EXPECT_EQ(finished.start + finished.moved, static_cast<std::int64_t>(content.size()));
  EXPECT_TRUE(vtest::ReadAll(target) == content);
}

TEST_F(ClientRoundTrip, GetRefusalsAreReportedAndLeaveLocalAsItWas) {
  const std::string remote = Remote("small.bin");
  vtest::WriteAll(remote, std::string(100, 's'));

  // No such file: 2, and LOCAL is not even created.
  const std::string missing = Local("missing.bin");
  ClientRun none = Client({"get", "127.0.0.1", Remote("nothing.bin"), missing});
  EXPECT_EQ(none.status, 4);
  EXPECT_NE(none.err.find("refused by the server: " + Refused(2)), std::string::npos) << none.err;
  EXPECT_FALSE(fs::exists(missing));

  // The file is 10 MiB or more shorter than --size: 9 in the reply.
  ClientRun shorter = Client({"get", "--size", std::to_string(100 + 10485760), "127.0.0.1", remote, missing});
  EXPECT_EQ(shorter.status, 4);
  EXPECT_NE(shorter.err.find(Refused(9)), std::string::npos) << shorter.err;
  EXPECT_FALSE(fs::exists(missing));

  // LOCAL is already beyond --size: the server's data phase refuses with 9.
  const std::string beyond = Local("beyond.bin");
  vtest::WriteAll(beyond, std::string(100, 's'));
  ClientRun position = Client({"get", "--size", "50", "127.0.0.1", remote, beyond});
  EXPECT_EQ(position.status, 4);
  EXPECT_NE(position.err.find(Refused(9)), std::string::npos) << position.err;
  EXPECT_EQ(vtest::ReadAll(beyond), std::string(100, 's'));

  // Without --size, a LOCAL 10 MiB larger than the file fails the check.
  const std::string larger = Local("larger.bin");
  vtest::MakeSparse(larger, 11 * 1048576);
  ClientRun large = Client({"get", "127.0.0.1", remote, larger});
  EXPECT_EQ(large.status, 4);
  EXPECT_NE(large.err.find(Refused(9)), std::string::npos) << large.err;
  EXPECT_EQ(platform::RegularFileSize(larger), 11 * 1048576);
}

TEST_F(ClientRoundTrip, PutNewResumedCompleteAndConflicting) {
  const std::string source = Local("upload.bin"), remote = Remote("in/upload.bin");
  const std::string content = vtest::RandomBytes(2500000, 3);
  vtest::WriteAll(source, content);
  const std::string completeLine = "-doUpload: Upload Complete(" + remote + ")";

  ClientRun fresh = Client({"put", "127.0.0.1", source, remote});
  EXPECT_EQ(fresh.status, 0) << fresh.err;
  EXPECT_NE(fresh.out.find("sent 2500000 bytes"), std::string::npos) << fresh.out;
  ASSERT_TRUE(Logged(completeLine, 1));
  EXPECT_TRUE(vtest::ReadAll(remote) == content);

  // The server holds part of it: the rest follows from its offer.
  vtest::WriteAll(remote, content.substr(0, 700000));
  TransferOutcome resumed = RunUpload(Request(remote, source), nullptr);
  EXPECT_EQ(resumed.status, ExitStatus::kDone) << resumed.message;
  EXPECT_EQ(resumed.start, 700000);
  EXPECT_EQ(resumed.moved, 1800000);
  ASSERT_TRUE(Logged(completeLine, 2));
  EXPECT_TRUE(vtest::ReadAll(remote) == content);

  // Complete on the server: nothing to send.
  ClientRun complete = Client({"put", "127.0.0.1", source, remote});
  EXPECT_EQ(complete.status, 0) << complete.err;
  EXPECT_NE(complete.out.find("complete on the server already"), std::string::npos) << complete.out;

  // The server holds more than LOCAL: stop, unless told to start over.
  vtest::WriteAll(remote, content + "tail");
  ClientRun conflict = Client({"put", "127.0.0.1", source, remote});
  EXPECT_EQ(conflict.status, 6);
  EXPECT_NE(conflict.err.find("2500004 bytes"), std::string::npos) << conflict.err;
  EXPECT_NE(conflict.err.find("--restart"), std::string::npos) << conflict.err;
  EXPECT_TRUE(vtest::ReadAll(remote) == content + "tail");
  ClientRun restarted = Client({"put", "--restart", "-q", "127.0.0.1", source, remote});
  EXPECT_EQ(restarted.status, 0) << restarted.err;
  ASSERT_TRUE(Logged(completeLine, 3));
  EXPECT_TRUE(vtest::ReadAll(remote) == content);
}

// The server keeps the block digests of what it writes: the verified resume,
// with its digest of the prefix and of the whole file, reads at most the one
// block before the resume point again.
TEST_F(ClientRoundTrip, PutStoppedPartwayResumesToAByteExactFile) {
  const std::string source = Local("part.bin"), remote = Remote("part.bin");
  const std::string content = vtest::RandomBytes(9 * 1048576 + 17, 4);
  vtest::WriteAll(source, content);

  TransferOutcome stopped = RunUpload(Request(remote, source), StopAfter(6 * 1048576));
  EXPECT_EQ(stopped.status, ExitStatus::kStopped);
  EXPECT_GE(stopped.moved, 1048576);
  ASSERT_TRUE(Logged("Upload Fail(" + remote + ")"));
  EXPECT_EQ(platform::RegularFileSize(remote), stopped.moved);  // every byte handed over arrived

  const std::uint64_t readBefore = Metrics().DigestBytesRead;
  TransferOutcome resumed = RunUpload(Request(remote, source), nullptr);
  EXPECT_EQ(resumed.status, ExitStatus::kDone) << resumed.message;
  EXPECT_EQ(resumed.start, stopped.moved);
  EXPECT_TRUE(resumed.warning.empty()) << resumed.warning;
  ASSERT_TRUE(Logged("Upload Complete(" + remote + ")"));
  EXPECT_TRUE(vtest::ReadAll(remote) == content);
  EXPECT_LE(Metrics().DigestBytesRead - readBefore, static_cast<std::uint64_t>(kDigestBlockSize));
}

// Limited transfers move in many small paced steps, downloads still
// straight from the file: every step must hand on exactly the bytes that
// follow the last, to the file's end, whichever limit sets the step.
TEST_F(ClientRoundTrip, UnderRateLimitsGetsAndPutsStayByteExact) {
  TServerConfig limited = server.Config();
  limited.Limits = {4096 * 1024, 1024 * 1024, 2048 * 1024, 4096 * 1024};
  server.Restart(limited);
  const std::string remote = Remote("paced.bin"), target = Local("paced.bin");
  const std::string content = vtest::RandomBytes(700001, 5);
  vtest::WriteAll(remote, content);

  TransferOutcome fetched = RunDownload(Request(remote, target), nullptr);
  EXPECT_EQ(fetched.status, ExitStatus::kDone) << fetched.message;
  EXPECT_TRUE(vtest::ReadAll(target) == content);
  vtest::WriteAll(target, content.substr(0, 333333));
  TransferOutcome resumed = RunDownload(Request(remote, target), nullptr);
  EXPECT_EQ(resumed.status, ExitStatus::kDone) << resumed.message;
  EXPECT_EQ(resumed.start, 333333);
  EXPECT_TRUE(vtest::ReadAll(target) == content);

  const std::string uploaded = Remote("in/paced.bin");
  TransferOutcome sent = RunUpload(Request(uploaded, target), nullptr);
  EXPECT_EQ(sent.status, ExitStatus::kDone) << sent.message;
  ASSERT_TRUE(Logged("Upload Complete(" + uploaded + ")"));
  EXPECT_TRUE(vtest::ReadAll(uploaded) == content);
}

// Resumes that would continue bytes other than LOCAL's: the digests of the
// shared prefix differ, the transfer stops with 7 before a byte moves, and
// --restart starts anew. The files span more than one 4 MiB digest block.
TEST_F(ClientRoundTrip, ResumesOntoDifferentBytesStopWithSevenAndTouchNothing) {
  const std::string source = Local("verified.bin"), remote = Remote("verified.bin");
  const std::string content = vtest::RandomBytes(5 * 1048576 + 3, 6);
  vtest::WriteAll(source, content);

  // put: the server's copy was changed before the resume point.
  std::string changed = content.substr(0, 4500000);
  changed[1234] = static_cast<char>(changed[1234] ^ 1);
  vtest::WriteAll(remote, changed);
  ClientRun put = Client({"put", "127.0.0.1", source, remote});
  EXPECT_EQ(put.status, 7);
  EXPECT_NE(put.err.find("differs from LOCAL before the resume point"), std::string::npos) << put.err;
  EXPECT_TRUE(vtest::ReadAll(remote) == changed);
  ClientRun restarted = Client({"put", "--restart", "-q", "127.0.0.1", source, remote});
  EXPECT_EQ(restarted.status, 0) << restarted.err;
  ASSERT_TRUE(Logged("Upload Complete(" + remote + ")"));
  EXPECT_TRUE(vtest::ReadAll(remote) == content);

  // get: the source changed between two attempts.
  const std::string target = Local("fetched.bin");
  TransferOutcome stopped = RunDownload(Request(remote, target), StopAfter(1048576));
  ASSERT_EQ(stopped.status, ExitStatus::kStopped);
  const std::string kept = vtest::ReadAll(target);
  std::string newer = content;
  newer[100] = static_cast<char>(newer[100] ^ 1);
  vtest::WriteAll(remote, newer);
  ClientRun get = Client({"get", "127.0.0.1", remote, target});
  EXPECT_EQ(get.status, 7);
  EXPECT_NE(get.err.find("differs from LOCAL before the resume point"), std::string::npos) << get.err;
  EXPECT_TRUE(vtest::ReadAll(target) == kept);
  ClientRun fetched = Client({"get", "--restart", "-q", "127.0.0.1", remote, target});
  EXPECT_EQ(fetched.status, 0) << fetched.err;
  EXPECT_TRUE(vtest::ReadAll(target) == newer);
}

TEST_F(ClientRoundTrip, PutRefusalsAreReportedWithTheirCodes) {
  // More than the server's disk holds: 1 before any data.
  const std::string huge = Local("huge.bin");
  vtest::MakeSparse(huge, 8LL << 40);
  ClientRun full = Client({"put", "127.0.0.1", huge, Remote("huge.bin")});
  EXPECT_EQ(full.status, 4);
  EXPECT_NE(full.err.find("refused by the server: " + Refused(1)), std::string::npos) << full.err;
  EXPECT_FALSE(fs::exists(Remote("huge.bin")));

  // Error headers of the data phase arrive while LOCAL is being sent.
  const std::string source = Local("some.bin");
  vtest::WriteAll(source, vtest::RandomBytes(2 * 1048576, 5));
  ClientRun plain = Client({"put", "127.0.0.1", source, "plain-name.bin"});  // no directory part
  EXPECT_EQ(plain.status, 4);
  EXPECT_NE(plain.err.find(Refused(7)), std::string::npos) << plain.err;
  EXPECT_FALSE(fs::exists("plain-name.bin"));
  const std::string folder = Remote("folder");
  fs::create_directory(folder);
  ClientRun directory = Client({"put", "127.0.0.1", source, folder});
  EXPECT_EQ(directory.status, 4);
  EXPECT_NE(directory.err.find(Refused(10)), std::string::npos) << directory.err;
  EXPECT_TRUE(fs::is_directory(folder));

  // Nothing to send.
  ClientRun missing = Client({"put", "127.0.0.1", Local("absent.bin"), Remote("absent.bin")});
  EXPECT_EQ(missing.status, 1);
  EXPECT_NE(missing.err.find("cannot read"), std::string::npos) << missing.err;
}

TEST_F(ClientRoundTrip, ConnectionFailuresHaveTheirOwnStatus) {
  std::string error;
  TSocket unused = BaseSocket(error);
  ASSERT_EQ(platform::NetBind(unused, 0x7F000001, 0), 0);
  const std::string closedPort = std::to_string(platform::NetLocalPort(unused));
  CloseSocket(unused);

  const char* refusedArgs[] = {"vardex", "get", "--port", closedPort.c_str(), "127.0.0.1", "r", "l"};
  std::ostringstream out, err;
  auto start = vtest::Clock::now();
  EXPECT_EQ(RunClient(7, refusedArgs, out, err, false), 3);
  EXPECT_LT(vtest::SecondsSince(start), 8.0);  // a refusal is not waited out
  EXPECT_NE(err.str().find("cannot connect to 127.0.0.1:" + closedPort), std::string::npos) << err.str();

  ClientRun unknown = Client({"get", "no-such-host.invalid", "/x", Local("x")});
  EXPECT_EQ(unknown.status, 3);
  EXPECT_NE(unknown.err.find("cannot resolve no-such-host.invalid"), std::string::npos) << unknown.err;
}

// The client reaches an IPv6 literal, and a dual-stack listener (::, with
// no IPv4 address beside it) serves both families, naming its IPv4 clients
// in the log exactly as an IPv4 listener does.
TEST_F(ClientRoundTrip, OverIPv6AndADualStackListener) {
  platform::IpAddress any, loopback;
  ASSERT_TRUE(platform::IpAddress::Parse("::", any));
  ASSERT_TRUE(platform::IpAddress::Parse("::1", loopback));
  {
    std::string error;
    const platform::UniqueSocket probe(BaseSocket(loopback, error));
    if (!probe.valid() || SocketBind(probe.get(), loopback, 0, false, error) != 0)
      GTEST_SKIP() << "no IPv6 loopback here: " << error;
  }
  TServerConfig config;
  config.Listen.BindAddresses = {any};
  server.Restart(config);

  const std::string remote = Remote("six.bin"), target = Local("six.bin"), source = Local("six-up.bin");
  const std::string content = vtest::RandomBytes(1500017, 6);
  vtest::WriteAll(remote, content);
  TransferRequest get = Request(remote, target);
  get.host = "::1";
  const TransferOutcome got = RunDownload(get, nullptr);
  EXPECT_EQ(got.status, ExitStatus::kDone) << got.message;
  EXPECT_TRUE(vtest::ReadAll(target) == content);

  vtest::WriteAll(source, content);
  TransferRequest put = Request(Remote("in6/six.bin"), source);
  put.host = "::1";
  const TransferOutcome sent = RunUpload(put, nullptr);
  EXPECT_EQ(sent.status, ExitStatus::kDone) << sent.message;
  ASSERT_TRUE(Logged("::1-doUpload: Upload Complete(" + Remote("in6/six.bin") + ")"));
  EXPECT_TRUE(vtest::ReadAll(Remote("in6/six.bin")) == content);

  // The same listener, an IPv4 client: plain 127.0.0.1, never ::ffff:127.0.0.1.
  const TransferOutcome refused = RunDownload(Request(Remote("absent.bin"), Local("absent.bin")), nullptr);
  EXPECT_EQ(refused.status, ExitStatus::kRefused) << refused.message;
  const std::string line = "127.0.0.1-doDownload(" + Remote("absent.bin") + "): failed";
  ASSERT_TRUE(Logged(line));
  bool plain = false;
  for (const std::string& message : vtest::LogMessages(server.LogPrefix())) plain |= message.rfind(line, 0) == 0;
  EXPECT_TRUE(plain) << "the IPv4 client is not written as plain IPv4";
}

}  // namespace

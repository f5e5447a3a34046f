// The listener: start-up failures, stopping, and many clients at once.

#include <stdexcept>
#include <thread>

#include <gtest/gtest.h>

#include "platform/ClientSockets.h"
#include "platform/IpAddress.h"
#include "platform/Paths.h"
#include "support/TestSupport.h"

namespace {

TEST(Listener, TakenPortIsLoggedAndRaisesTheInitializeError) {
  vtest::TempDir dir;
  const std::string logPath = dir.File("FileServer");
  std::string error;
  TSocket holder = BaseSocket(error);
  ASSERT_EQ(SocketBind(holder, 0, error), 0);
  ASSERT_EQ(SocketListen(holder, error), 0);
  const int port = platform::NetLocalPort(holder);

  try {
    TListenThread listener(vtest::ListenConfig(logPath, {}, port));
    FAIL() << "the constructor must raise";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "Listen Thread Initialize Error.");
  }
  const auto messages = vtest::LogMessages(logPath);
  ASSERT_EQ(messages.size(), 2u);
  EXPECT_EQ(messages[0], "Socket (Port=" + std::to_string(port) + ") bind.");
  EXPECT_EQ(messages[1].rfind("SocketBind(" + std::to_string(port) + "): failed ", 0), 0u) << messages[1];
  CloseSocket(holder);
}

TEST(Listener, StopsPromptlyWhenIdle) {
  vtest::TempDir dir;
  const std::string logPath = dir.File("FileServer");
  TListenThread listener(vtest::ListenConfig(logPath));
  listener.Resume();
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  auto start = vtest::Clock::now();
  listener.Stop();
  listener.WaitFor();
  EXPECT_LT(vtest::SecondsSince(start), 10.0);
  // An idle listener writes nothing but its bind line.
  EXPECT_EQ(vtest::LogMessages(logPath), std::vector<std::string>{"Socket (Port=0) bind."});
}

TEST(Listener, TerminateFlagAloneEndsTheLoopWithinOneWait) {
  vtest::TempDir dir;
  const std::string logPath = dir.File("FileServer");
  TListenThread listener(vtest::ListenConfig(logPath));
  listener.Resume();
  auto start = vtest::Clock::now();
  listener.Terminate();
  listener.WaitFor();
  EXPECT_LT(vtest::SecondsSince(start), 11.0);
}

TEST(Listener, TwoHundredConcurrentClientsAreAllAnswered) {
  vtest::RunningServer server;
  constexpr int kClients = 200;
  std::vector<TSocket> sockets;
  // All connect at once, as a burst of clients does: the listen queue holds
  // them until the listener takes them. Every worker then waits in its
  // handshake at the same time.
  for (int i = 0; i < kClients; ++i) {
    TSocket s = vtest::Connect(server.Port());
    ASSERT_NE(s, INVALID_SOCK) << "client " << i;
    sockets.push_back(s);
  }
  for (TSocket s : sockets) ASSERT_TRUE(vtest::SendAll(s, vtest::EncodeHeader("DNLD", 0)));
  int answered = 0;
  for (TSocket s : sockets) {
    answered += vtest::Receive(s, 8) == vtest::EncodeHeader("DNLD", 0);
    CloseSocket(s);
  }
  EXPECT_EQ(answered, kClients);
}

TEST(Listener, ConnectionsStillOpenAtStopAreServedToTheirEnd) {
  vtest::RunningServer server;
  TSocket s = vtest::Connect(server.Port());
  std::this_thread::sleep_for(std::chrono::milliseconds(300));  // accepted
  server.StopListening();  // the listener is gone; the worker goes on
  ASSERT_TRUE(vtest::SendAll(s, vtest::EncodeHeader("DNLD", 0)));
  EXPECT_EQ(vtest::Receive(s, 8), vtest::EncodeHeader("DNLD", 0));
  CloseSocket(s);
}

// A restart binds its port at once, though the connections the last run
// closed first still linger there (TIME-WAIT) for a minute.
TEST(Listener, ARestartBindsThePortItsLastRunServed) {
  vtest::RunningServer server;
  const std::string name = server.Dir().File("file.bin");
  vtest::WriteAll(name, "abc");
  const std::string body = "REMOTEFILENAME=" + name + "\r\nFILESIZE=3\r\n";
  TSocket s = vtest::Connect(server.Port());
  ASSERT_TRUE(vtest::SendAll(s, vtest::EncodeHeader("DNLD", 0) + vtest::Request("DL01", body)));
  EXPECT_EQ(vtest::Receive(s, 19), vtest::EncodeHeader("DNLD", 0) + vtest::EncodeHeader("DL01", 0) + "abc");
  ASSERT_TRUE(vtest::WaitForClose(s, 5));  // the server closed first
  CloseSocket(s);

  const int port = server.Port();
  server.RestartOnItsPort();  // raises when the bind fails
  EXPECT_EQ(server.Port(), port);
  s = vtest::Connect(port);
  ASSERT_TRUE(vtest::SendAll(s, vtest::EncodeHeader("DNLD", 0)));
  EXPECT_EQ(vtest::Receive(s, 8), vtest::EncodeHeader("DNLD", 0));
  CloseSocket(s);
}

}  // namespace

namespace {

// An upload connection past "UP03" for `name` of `size` bytes from 0, or
// INVALID_SOCK.
TSocket StartUpload(int port, const std::string& name, std::size_t size) {
  TSocket s = vtest::Connect(port);
  const std::string body = "REMOTEFILENAME=" + name + "\r\nFILESIZE=" + std::to_string(size) + "\r\n";
  const std::string position = "FILEPOS=0";
  const std::string up03 = vtest::Request("UP03", position);
  if (!vtest::SendAll(s, vtest::EncodeHeader("UPLD", 0) + vtest::Request("UP01", body) + vtest::EncodeHeader("UP02", 0)) ||
      vtest::Receive(s, 24 + position.size()) != vtest::EncodeHeader("UPLD", 0) + vtest::EncodeHeader("UP01", 0) +
                                                     vtest::EncodeHeader("UP02", 9) + position ||
      !vtest::SendAll(s, up03) || vtest::Receive(s, 8) != vtest::EncodeHeader("UP03", 0)) {
    CloseSocket(s);
    return INVALID_SOCK;
  }
  return s;
}

TEST(ListenerLimits, ConnectionsBeyondTheLimitAreClosedAtOnceAndLoggedOnce) {
  TListenOptions options;
  options.MaxConnections = 2;
  vtest::RunningServer server(options);
  TSocket first = vtest::Connect(server.Port()), second = vtest::Connect(server.Port());
  std::this_thread::sleep_for(std::chrono::milliseconds(300));  // both workers exist
  TSocket third = vtest::Connect(server.Port()), fourth = vtest::Connect(server.Port());
  EXPECT_TRUE(vtest::WaitForClose(third, 3));
  EXPECT_TRUE(vtest::WaitForClose(fourth, 3));
  const int limitLines = vtest::LogCount(server.LogPrefix(), "MaxConnections 2 reached");
  EXPECT_EQ(limitLines, 1);

  // The first two are served as usual, and once they are gone there is room.
  ASSERT_TRUE(vtest::SendAll(first, vtest::EncodeHeader("DNLD", 0)));
  EXPECT_EQ(vtest::Receive(first, 8), vtest::EncodeHeader("DNLD", 0));
  CloseSocket(first);
  CloseSocket(second);
  CloseSocket(third);
  CloseSocket(fourth);
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  TSocket later = vtest::Connect(server.Port());
  ASSERT_TRUE(vtest::SendAll(later, vtest::EncodeHeader("UPLD", 0)));
  EXPECT_EQ(vtest::Receive(later, 8), vtest::EncodeHeader("UPLD", 0));
  CloseSocket(later);
}

// An upload connection counts until its socket closes, not through the
// completion's pause and report that follow; a client that goes silent
// mid-data is cut within twice the idle time-out.
TEST(ListenerLimits, FinishedUploadsLeaveRoomAtOnceAndASilentOneIsCut) {
  TListenOptions options;
  options.MaxConnections = 2;
  options.IdleTimeout = 2;
  vtest::RunningServer server(options);
  const std::string data = vtest::RandomBytes(100000);
  TSocket complete = StartUpload(server.Port(), server.Dir().File("complete.bin"), data.size());
  TSocket silent = StartUpload(server.Port(), server.Dir().File("silent.bin"), data.size());
  ASSERT_NE(complete, INVALID_SOCK);
  ASSERT_NE(silent, INVALID_SOCK);
  ASSERT_TRUE(vtest::SendAll(complete, data));
  ASSERT_TRUE(vtest::SendAll(silent, data.substr(0, 1000)));
  const auto start = vtest::Clock::now();
  EXPECT_TRUE(vtest::WaitForClose(complete, 10));
  EXPECT_TRUE(vtest::WaitForClose(silent, 10));
  EXPECT_LT(vtest::SecondsSince(start), 4.0) << "the silent upload was not cut within 2 x IdleTimeout";

  // Both workers are still in their five-second pause before the report.
  TSocket later = vtest::Connect(server.Port());
  ASSERT_TRUE(vtest::SendAll(later, vtest::EncodeHeader("DNLD", 0)));
  EXPECT_EQ(vtest::Receive(later, 8), vtest::EncodeHeader("DNLD", 0));
  CloseSocket(later);
  CloseSocket(complete);
  CloseSocket(silent);
}

TEST(ListenerLimits, AClientThatStopsReadingIsCutAfterTheIdleTimeout) {
  TListenOptions options;
  options.IdleTimeout = 2;
  vtest::RunningServer server(options);
  const std::string file = server.Dir().File("big.bin");
  vtest::WriteAll(file, std::string(64 << 20, 'v'));  // far more than the socket buffers hold

  TSocket s = vtest::Connect(server.Port());
  const std::string body = "REMOTEFILENAME=" + file + "\r\nFILESIZE=" + std::to_string(64 << 20) + "\r\n";
  ASSERT_TRUE(vtest::SendAll(s, vtest::EncodeHeader("DNLD", 0) + vtest::EncodeHeader("DL01", static_cast<int>(body.size())) + body));
  EXPECT_EQ(vtest::Receive(s, 16), vtest::EncodeHeader("DNLD", 0) + vtest::EncodeHeader("DL01", 0));
  // The client reads nothing more; the sending gives up on its own, once,
  // not once per call that hands over bytes.
  const auto start = vtest::Clock::now();
  EXPECT_TRUE(vtest::WaitForLog(server.LogPrefix(), "doInternalDownload6: failed.", 30));
  EXPECT_LT(vtest::SecondsSince(start), 4.0) << "not cut within 2 x IdleTimeout";
  CloseSocket(s);
}

TEST(ListenerLimits, BindsToTheGivenAddressOnly) {
  TListenOptions options;
  options.BindAddresses = {platform::IpAddress::V4(0x7F000001)};
  vtest::RunningServer server(options);
  TSocket s = vtest::Connect(server.Port());
  ASSERT_TRUE(vtest::SendAll(s, vtest::EncodeHeader("DNLD", 0)));
  EXPECT_EQ(vtest::Receive(s, 8), vtest::EncodeHeader("DNLD", 0));
  CloseSocket(s);
}

// Two addresses, one port: each socket is accepted from, in turn, not only
// the first one the leader waits on.
TEST(ListenerLimits, EveryAddressOfTheListIsServed) {
  platform::IpAddress v6Loopback;
  ASSERT_TRUE(platform::IpAddress::Parse("::1", v6Loopback));
  std::string error;
  {
    const platform::UniqueSocket probe(BaseSocket(v6Loopback, error));
    if (!probe.valid() || SocketBind(probe.get(), v6Loopback, 0, false, error) != 0)
      GTEST_SKIP() << "no IPv6 loopback here: " << error;
  }
  TListenOptions options;
  options.BindAddresses = {platform::IpAddress::V4(0x7F000001), v6Loopback};
  vtest::RunningServer server(options);
  for (int round = 0; round < 3; ++round) {
    for (const platform::IpAddress& address : options.BindAddresses) {
      platform::UniqueSocket s(BaseSocket(address, error));
      ASSERT_TRUE(platform::NetConnectTimed(s.get(), address, server.Port(), 10000).Ok()) << address.Text();
      ASSERT_TRUE(vtest::SendAll(s.get(), vtest::EncodeHeader("DNLD", 0)));
      EXPECT_EQ(vtest::Receive(s.get(), 8), vtest::EncodeHeader("DNLD", 0)) << address.Text();
    }
  }
}

}  // namespace

// The listener: start-up failures, stopping, and many clients at once.

#include <stdexcept>
#include <thread>

#include <gtest/gtest.h>

#include "platform/Paths.h"
#include "support/TestSupport.h"
#include "transfer/uGlobal.h"

namespace {

TEST(Listener, TakenPortIsLoggedAndRaisesTheInitializeError) {
  vtest::TempDir dir;
  LogPath = dir.File("FileServer");
  std::string error;
  TSocket holder = BaseSocket(error);
  ASSERT_EQ(SocketBind(holder, 0, error), 0);
  ASSERT_EQ(SocketListen(holder, error), 0);
  const int port = platform::NetLocalPort(holder);

  try {
    TListenThread listener(port);
    FAIL() << "the constructor must raise";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "Listen Thread Initialize Error.");
  }
  const auto messages = vtest::LogMessages(LogPath);
  ASSERT_EQ(messages.size(), 2u);
  EXPECT_EQ(messages[0], "Socket (Port=" + std::to_string(port) + ") bind.");
  EXPECT_EQ(messages[1].rfind("SocketBind(" + std::to_string(port) + "): failed ", 0), 0u) << messages[1];
  CloseSocket(holder);
}

TEST(Listener, StopsPromptlyWhenIdle) {
  vtest::TempDir dir;
  LogPath = dir.File("FileServer");
  TListenThread listener(0);
  listener.Resume();
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  auto start = vtest::Clock::now();
  listener.Stop();
  listener.WaitFor();
  EXPECT_LT(vtest::SecondsSince(start), 10.0);
  // An idle listener writes nothing but its bind line.
  EXPECT_EQ(vtest::LogMessages(LogPath), std::vector<std::string>{"Socket (Port=0) bind."});
}

TEST(Listener, TerminateFlagAloneEndsTheLoopWithinOneWait) {
  vtest::TempDir dir;
  LogPath = dir.File("FileServer");
  TListenThread listener(0);
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
  // Connects are paced so the backlog of 5 never overflows; every worker then
  // waits in its handshake at the same time.
  for (int i = 0; i < kClients; ++i) {
    TSocket s = vtest::Connect(server.Port());
    ASSERT_NE(s, INVALID_SOCK) << "client " << i;
    sockets.push_back(s);
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
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
  auto server = std::make_unique<vtest::RunningServer>();
  TSocket s = vtest::Connect(server->Port());
  std::this_thread::sleep_for(std::chrono::milliseconds(300));  // accepted
  server.reset();  // the listener is gone; the worker goes on
  ASSERT_TRUE(vtest::SendAll(s, vtest::EncodeHeader("DNLD", 0)));
  EXPECT_EQ(vtest::Receive(s, 8), vtest::EncodeHeader("DNLD", 0));
  CloseSocket(s);
}

}  // namespace

// The socket primitives against a real loopback peer.

#include <thread>

#include <gtest/gtest.h>

#include "support/TestSupport.h"

namespace {

using vtest::SocketPair;

TEST(SocketLib, LengthLimitIsCheckedBeforeTheSocketIsTouched) {
  SocketPair pair;
  ASSERT_NE(pair.server, INVALID_SOCK);
  std::string block(MAX_BLOCK_SIZE + 1, 'x');

  IoResult result = WriteBuffer(pair.client, block.data(), 16001, 10);
  EXPECT_FALSE(result.Ok());
  EXPECT_EQ(SocketResultText(SocketCall::kWrite, result), "WriteBuffer(): failed, Len overflow, 16001.");
  result = ReadBuffer(pair.server, block.data(), 16001, 10);
  EXPECT_FALSE(result.Ok());
  EXPECT_EQ(SocketResultText(SocketCall::kRead, result), "ReadBuffer(): failed, Len overflow, 16001.");

  // Nothing was sent by the refused write: the next 16000 bytes are the first.
  std::string sent(MAX_BLOCK_SIZE, 'a');
  sent[0] = 'F';
  std::thread writer([&] { EXPECT_TRUE(WriteBuffer(pair.client, sent.data(), MAX_BLOCK_SIZE, 10).Ok()); });
  std::string received(MAX_BLOCK_SIZE, '\0');
  result = ReadBuffer(pair.server, received.data(), MAX_BLOCK_SIZE, 10);
  EXPECT_TRUE(result.Ok());
  writer.join();
  EXPECT_EQ(received, sent);
  EXPECT_EQ(SocketResultText(SocketCall::kRead, result), "");  // success has no text
}

TEST(SocketLib, ZeroLengthSucceedsWithoutTouchingTheSocket) {
  char byte = 0;
  // An invalid socket proves that nothing is waited on or sent.
  EXPECT_TRUE(WriteBuffer(INVALID_SOCK, &byte, 0, 10).Ok());
  EXPECT_TRUE(ReadBuffer(INVALID_SOCK, &byte, 0, 10).Ok());
  EXPECT_TRUE(ReadBuffer(INVALID_SOCK, &byte, -3, 10).Ok());
}

TEST(SocketLib, SilentPeerTimesOutAfterTheWaitAndKeepsWhatArrived) {
  SocketPair pair;
  ASSERT_TRUE(vtest::SendAll(pair.client, "abc"));
  char buffer[8];
  auto start = vtest::Clock::now();
  const IoResult result = ReadBuffer(pair.server, buffer, 8, 2);
  EXPECT_EQ(result.status, IoStatus::kTimedOut);
  EXPECT_GE(vtest::SecondsSince(start), 1.5);
  EXPECT_EQ(SocketResultText(SocketCall::kRead, result), "ReadBuffer(): error, SocketSelect().");
  EXPECT_EQ(std::string(buffer, 3), "abc");
}

TEST(SocketLib, PeerThatClosesEarlyFailsAtOnce) {
  SocketPair pair;
  ASSERT_TRUE(vtest::SendAll(pair.client, "12345"));
  CloseSocket(pair.client);
  pair.client = INVALID_SOCK;
  char buffer[8];
  auto start = vtest::Clock::now();
  const IoResult result = ReadBuffer(pair.server, buffer, 8, 10);
  EXPECT_EQ(result.status, IoStatus::kClosed);  // not a time-out the client would report as silence
  EXPECT_LT(vtest::SecondsSince(start), 5.0);   // not the 10-second wait
  const std::string error = SocketResultText(SocketCall::kRead, result);
  EXPECT_EQ(error.rfind("ReadBuffer(): error ", 0), 0u) << error;
  EXPECT_NE(error, "ReadBuffer(): error, SocketSelect().");
}

TEST(SocketLib, EachWaitHasItsOwnTimeout) {
  SocketPair pair;
  std::thread writer([&] {
    vtest::SendAll(pair.client, "DNLD");
    std::this_thread::sleep_for(std::chrono::seconds(5));
    vtest::SendAll(pair.client, std::string(4, '\0'));
  });
  MsgHeader header;
  const IoResult result = ReadHeader(pair.server, header, 10);
  EXPECT_TRUE(result.Ok()) << SocketResultText(SocketCall::kRead, result);
  writer.join();
  EXPECT_TRUE(IsCommand(header, "DNLD"));
}

TEST(SocketLib, WriteToAClosedPeerFailsWithoutEndingTheProcess) {
  SocketPair pair;
  CloseSocket(pair.client);
  pair.client = INVALID_SOCK;
  std::string block(MAX_BLOCK_SIZE, 'x');
  IoResult result;
  // The first sends may still be taken by the system; a later one fails.
  for (int i = 0; i < 200 && result.Ok(); ++i) result = WriteBuffer(pair.server, block.data(), MAX_BLOCK_SIZE, 10);
  EXPECT_FALSE(result.Ok());
  const std::string error = SocketResultText(SocketCall::kWrite, result);
  EXPECT_EQ(error.rfind("WriteBuffer(): failed ", 0), 0u) << error;
}

TEST(SocketLib, BindingATakenPortReportsPortAndError) {
  std::string error;
  TSocket first = BaseSocket(error);
  ASSERT_EQ(SocketBind(first, 0, error), 0);
  ASSERT_EQ(SocketListen(first, error), 0);
  const int port = platform::NetLocalPort(first);
  TSocket second = BaseSocket(error);
  EXPECT_EQ(SocketBind(second, port, error), -1);
  EXPECT_EQ(error, "SocketBind(" + std::to_string(port) + "): failed " +
                       std::to_string(platform::NetLastError()) + ".");
  EXPECT_NE(error, "SocketBind(" + std::to_string(port) + "): failed 0.");
  CloseSocket(first);
  CloseSocket(second);
}

TEST(SocketLib, PeerAddressIsDottedAndEmptyWhenUnknown) {
  SocketPair pair;
  EXPECT_EQ(GetPeerAddress(pair.server), "127.0.0.1");
  std::string error;
  TSocket unconnected = BaseSocket(error);
  EXPECT_EQ(GetPeerAddress(unconnected), "");
  CloseSocket(unconnected);
}

TEST(SocketLib, SelectReportsReadinessAndTimeout) {
  SocketPair pair;
  EXPECT_EQ(SocketSelect(pair.server, 1, 5), 0);
  EXPECT_GT(SocketSelect(pair.server, 1, 6), 0);  // writable at once
  vtest::SendAll(pair.client, "x");
  EXPECT_GT(SocketSelect(pair.server, 1, 1), 0);
}

}  // namespace

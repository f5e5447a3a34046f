// Many connections at once and in quick succession: clients that trickle
// their header so slowly that each of the server's waits almost runs out, and
// clients that connect and leave before their conversation has begun.

#include <algorithm>
#include <thread>

#include "server/ProcessThread.h"
#include "support/FaultScenario.h"
#include "support/ProcessResources.h"
#include "transfer/uGlobal.h"

namespace {

using vtest::Clock;
using vtest::EncodeHeader;

// Connections waiting in the listen queue at most, far below its backlog:
// a connect beyond the backlog is not refused but waits for a resent SYN.
constexpr int kMaxPending = 3;

// Waits while `busy()` holds, doing `meanwhile()` between looks. False when
// it still holds after 30 s.
template <typename Busy, typename Meanwhile>
bool WaitWhile(Busy busy, Meanwhile meanwhile) {
  for (auto start = Clock::now(); busy();) {
    if (vtest::SecondsSince(start) > 30) return false;
    meanwhile();
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

// Opening headers that arrive one letter every 6 seconds, each on the clock
// of its own connection, with the SIZE 6 seconds after the last letter. Every
// piece comes within the server's 10-second wait, with room for a loaded
// machine (under Wine the thousand clients' sender itself falls seconds
// behind), so none of the waits may run out, however long the header takes
// as a whole.
class Trickle {
 public:
  static constexpr int kPieces = 5;
  static constexpr auto kInterval = std::chrono::seconds(6);

  // Sends the first letter now.
  void Add(TSocket s, const std::string& header) {
    FClients.push_back({s, header, Clock::now()});
    Send(FClients.back(), 0);
  }

  // Sends every piece whose time has come, earliest first.
  void SendDue() {
    for (;;) {
      const int piece = NextPiece();
      if (piece < 0 || Due(piece) > Clock::now()) return;
      Send(FClients[FNext[piece]++], piece);
    }
  }

  bool Done() const { return NextPiece() < 0; }
  Clock::time_point NextDue() const { return Due(NextPiece()); }
  int Failures() const { return FFailures; }

 private:
  struct Client {
    TSocket s;
    std::string header;
    Clock::time_point start;
  };

  // Piece 0 is the first letter, 1 to 3 the others, 4 the SIZE.
  void Send(const Client& client, int piece) {
    const std::string bytes = piece < 4 ? client.header.substr(piece, 1) : client.header.substr(4);
    FFailures += !vtest::SendAll(client.s, bytes);
  }

  Clock::time_point Due(int piece) const { return FClients[FNext[piece]].start + piece * kInterval; }

  // The piece, of those still to send, that is due first; -1 when all are sent.
  int NextPiece() const {
    int best = -1;
    for (int piece = 1; piece < kPieces; ++piece)
      if (FNext[piece] < FClients.size() && (best < 0 || Due(piece) < Due(best))) best = piece;
    return best;
  }

  std::vector<Client> FClients;
  std::size_t FNext[kPieces] = {};
  int FFailures = 0;
};

class FaultLoad : public vtest::FaultScenario {};

TEST_F(FaultLoad, ThousandTricklingClientsAreAllHeldAndAnswered) {
  constexpr int kClients = 1000;
  // Both ends of every connection live in this process.
  ASSERT_TRUE(vtest::AllowOpenHandles(2 * kClients + 256));
  vtest::Connections sockets;
  Trickle trickle;
  for (int i = 0; i < kClients; ++i) {
    trickle.SendDue();
    TSocket s = sockets.Add(vtest::Connect(Server().Port()));
    ASSERT_NE(s, INVALID_SOCK) << "client " << i;
    trickle.Add(s, EncodeHeader(i % 2 ? "UPLD" : "DNLD", 0));
    // The listener takes each connection before the queue fills.
    ASSERT_TRUE(WaitWhile([&] { return i + 1 - Server().Workers()->Live() > kMaxPending; },
                          [&] { trickle.SendDue(); }))
        << "the listener stopped taking connections";
  }
  // Every client has a worker of its own, all at the same time.
  EXPECT_TRUE(WaitWhile([&] { return Server().Workers()->Live() < kClients; }, [&] { trickle.SendDue(); }))
      << Server().Workers()->Live() << " workers";

  // Others are served meanwhile, by the side of the waiting workers.
  bool served = false;
  std::thread other([&] { served = ServesDownload(); });
  while (!trickle.Done()) {
    std::this_thread::sleep_until(std::min(trickle.NextDue(), Clock::now() + std::chrono::milliseconds(100)));
    trickle.SendDue();
  }
  other.join();
  EXPECT_TRUE(served) << "a download beside the trickling clients";
  EXPECT_EQ(trickle.Failures(), 0);

  int answered = 0;
  for (std::size_t i = 0; i < sockets.size(); ++i)
    answered += vtest::Receive(sockets[i], 8) == EncodeHeader(i % 2 ? "UPLD" : "DNLD", 0);
  EXPECT_EQ(answered, kClients);
  EXPECT_EQ(LogCount("Validate(): failed"), 0) << "a trickling client was cut off";

  // Each worker then ends with its connection, on its own path.
  sockets.CloseAll();
  const std::string text = ResultText(16);
  EXPECT_TRUE(WaitForLogCount("-doDownload(): failed. " + text + ", Download header recv", kClients / 2, 30));
  EXPECT_TRUE(WaitForLogCount("-doUpload(): failed. " + text + ", Upload header recv", kClients / 2, 30));
  EXPECT_EQ(LogCount("-doDownload(): failed. " + text + ", Download header recv"), kClients / 2);
  EXPECT_EQ(LogCount("-doUpload(): failed. " + text + ", Upload header recv"), kClients / 2);
}

TEST_F(FaultLoad, ThousandConnectCloseCyclesEachEndTheirWorker) {
  constexpr int kCycles = 1000;
  const std::string text = ResultText(16);
  const std::string validateLine = "-Validate(): failed. " + text + ", Validate header recv";
  // Ways to leave, taken in turn, with the line each leaves in the log.
  const struct {
    std::string sent;
    std::string line;
  } kLeaves[] = {
      {"", validateLine},  // before sending anything
      {"DNL", validateLine},
      {EncodeHeader("DNLD", 0), "-doDownload(): failed. " + text + ", Download header recv"},
      {EncodeHeader("DNLD", 0) + EncodeHeader("DL01", 40) + "REMOTEFILE",
       "-doDownload(): failed, " + text + ", doFileCheck(): failed. " + text + ", Command body recv"},
      {EncodeHeader("UPLD", 0) + "UP0", "-doUpload(): failed. " + text + ", Upload header recv"},
  };
  constexpr int kLeaveKinds = sizeof kLeaves / sizeof kLeaves[0];

  int failedConnects = 0, failedProbes = 0;
  for (int i = 0; i < kCycles; ++i) {
    TSocket s = vtest::Connect(Server().Port());
    if (s == INVALID_SOCK) {
      ++failedConnects;
      continue;
    }
    vtest::SendAll(s, kLeaves[i % kLeaveKinds].sent);
    CloseSocket(s);
    // Unknown letters are echoed with 18 and leave no line. The echo shows
    // that the listener has taken every connection before this one, so the
    // listen queue never overflows.
    if (i % kMaxPending == kMaxPending - 1) {
      TSocket probe = vtest::Connect(Server().Port());
      failedProbes += !vtest::SendAll(probe, EncodeHeader("PING", 0)) ||
                      vtest::Receive(probe, 8) != EncodeHeader("PING", 18);
      if (probe != INVALID_SOCK) CloseSocket(probe);
    }
  }
  EXPECT_EQ(failedConnects, 0);
  EXPECT_EQ(failedProbes, 0);

  // Every cycle got a worker, and every worker ended by the path its client
  // left on, with exactly one line.
  for (const auto& leave : kLeaves) {
    int expected = 0;
    for (const auto& other : kLeaves) expected += other.line == leave.line ? kCycles / kLeaveKinds : 0;
    EXPECT_TRUE(WaitForLogCount(leave.line, expected, 30)) << leave.line;
    EXPECT_EQ(LogCount(leave.line), expected) << leave.line;
  }
  EXPECT_EQ(vtest::LogMessages(Server().LogPrefix()).size(), 1u + kCycles) << "the bind line and one per cycle";
}

}  // namespace

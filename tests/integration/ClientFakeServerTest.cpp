// The client against a scripted server on loopback, for answers the real
// server gives only when its disk fails, and for servers that misbehave.

#include <functional>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "client/Download.h"
#include "client/Upload.h"
#include "platform/Files.h"
#include "support/TestSupport.h"
#include "transfer/uGlobal.h"

namespace {

using vtest::EncodeHeader;

using vtest::ErrorHeader;

// Accepts one connection per script, in turn, and runs the script on it on a
// thread of its own.
class FakeServer {
 public:
  explicit FakeServer(std::function<void(TSocket)> script) : FakeServer(std::vector{std::move(script)}) {}
  explicit FakeServer(std::vector<std::function<void(TSocket)>> scripts) {
    std::string error;
    FListen = BaseSocket(error);
    EXPECT_EQ(platform::NetBind(FListen, 0x7F000001, 0), 0);
    EXPECT_EQ(SocketListen(FListen, error), 0) << error;
    FThread = std::thread([this, scripts] {
      std::string ignored;
      for (const auto& script : scripts) {
        if (platform::NetWait(FListen, 30, 1) <= 0) return;
        TSocket s = SocketAccept(FListen, ignored);
        if (s == INVALID_SOCK) return;
        script(s);
        CloseSocket(s);
      }
    });
  }
  ~FakeServer() {
    FThread.join();
    CloseSocket(FListen);
  }
  int Port() const { return platform::NetLocalPort(FListen); }

 private:
  TSocket FListen = INVALID_SOCK;
  std::thread FThread;
};

// One request: its header's letters and its body.
struct Request {
  std::string command, body;
};

Request ReadRequest(TSocket s) {
  std::string bytes = vtest::Receive(s, 8);
  if (bytes.size() != 8) return {};
  MsgHeader header = DecodeHeader(reinterpret_cast<const unsigned char*>(bytes.data()));
  return {CommandText(header), header.SIZE > 0 ? vtest::Receive(s, static_cast<std::size_t>(header.SIZE)) : ""};
}

// Answers the opening header and a "DL01" request with 0, keeping its body.
void AcceptDownload(TSocket s, std::string* body = nullptr) {
  EXPECT_EQ(ReadRequest(s).command, "DNLD");
  vtest::SendAll(s, EncodeHeader("DNLD", 0));
  Request request = ReadRequest(s);
  EXPECT_EQ(request.command, "DL01");
  if (body != nullptr) *body = request.body;
  vtest::SendAll(s, EncodeHeader("DL01", 0));
}

// A server from before digests: the unknown handshake is echoed with 18.
void RefuseDigest(TSocket s) {
  EXPECT_EQ(ReadRequest(s).command, "DGST");
  vtest::SendAll(s, EncodeHeader("DGST", 18));
}

constexpr std::int32_t kNoPointer = -1;

// The upload conversation up to the UP03 reply `pointerReply`, offering
// `offer` as the resume position; kNoPointer ends it after the offer.
void AcceptUpload(TSocket s, const std::string& offer, std::int32_t pointerReply) {
  EXPECT_EQ(ReadRequest(s).command, "UPLD");
  vtest::SendAll(s, EncodeHeader("UPLD", 0));
  EXPECT_EQ(ReadRequest(s).command, "UP01");
  vtest::SendAll(s, EncodeHeader("UP01", 0));
  EXPECT_EQ(ReadRequest(s).command, "UP02");
  vtest::SendAll(s, EncodeHeader("UP02", static_cast<std::int32_t>(offer.size())) + offer);
  if (pointerReply == kNoPointer) return;
  EXPECT_EQ(ReadRequest(s).command, "UP03");
  vtest::SendAll(s, EncodeHeader("UP03", pointerReply));
}

class ClientFakeServer : public ::testing::Test {
 protected:
  TransferRequest Request(const FakeServer& server) const {
    TransferRequest r;
    r.host = "127.0.0.1";
    r.port = server.Port();
    r.remote = "/srv/file.bin";
    r.local = target;
    // The scripted server speaks the transfer conversations only.
    r.verify = Verification::kOff;
    return r;
  }
  vtest::TempDir dir;
  const std::string target = dir.File("file.bin");
};

TEST_F(ClientFakeServer, ReadFailureAfterDataKeepsTheDataAndReportsTwelve) {
  const std::string data(20000, 'd');
  std::string body;
  {
    FakeServer server([&](TSocket s) {
      AcceptDownload(s, &body);
      vtest::SendAll(s, data + ErrorHeader(12));
    });
    TransferOutcome outcome = RunDownload(Request(server), nullptr);
    EXPECT_EQ(outcome.status, ExitStatus::kRefused);
    EXPECT_EQ(outcome.resultCode, 12);
    EXPECT_NE(outcome.message.find("12 (the file cannot be read) after 20000 bytes"), std::string::npos)
        << outcome.message;
    EXPECT_NE(outcome.message.find("--size"), std::string::npos) << outcome.message;
  }
  EXPECT_EQ(body, "REMOTEFILENAME=/srv/file.bin\r\nFILENO=0\r\nUSERNO=0\r\nFILESIZE=1\r\nFILEPOS=0\r\n");
  EXPECT_EQ(vtest::ReadAll(target), data);

  // The same bytes as the rest of a file of known size are file data.
  TransferRequest sized;
  {
    FakeServer server([&](TSocket s) {
      AcceptDownload(s, &body);
      vtest::SendAll(s, data + ErrorHeader(12));
    });
    sized = Request(server);
    sized.size = 40008;
    sized.fileNo = 4;
    sized.userNo = -9;
    TransferOutcome outcome = RunDownload(sized, nullptr);
    EXPECT_EQ(outcome.status, ExitStatus::kDone) << outcome.message;
    EXPECT_EQ(outcome.start, 20000);
  }
  EXPECT_EQ(body, "REMOTEFILENAME=/srv/file.bin\r\nFILENO=4\r\nUSERNO=-9\r\nFILESIZE=40008\r\nFILEPOS=20000\r\n");
  EXPECT_EQ(vtest::ReadAll(target), data + data + ErrorHeader(12));
}

TEST_F(ClientFakeServer, ErrorHeadersInsteadOfDataAreRefusals) {
  for (std::int32_t code : {10, 11}) {
    FakeServer server([&](TSocket s) {
      AcceptDownload(s);
      vtest::SendAll(s, ErrorHeader(code));
    });
    TransferOutcome outcome = RunDownload(Request(server), nullptr);
    EXPECT_EQ(outcome.status, ExitStatus::kRefused);
    EXPECT_EQ(outcome.resultCode, code);
    EXPECT_EQ(outcome.moved, 0);
    EXPECT_EQ(vtest::ReadAll(target), "");
  }
}

TEST_F(ClientFakeServer, StreamShorterThanTheSizeIsIncompleteAndResumable) {
  {
    FakeServer server([&](TSocket s) {
      AcceptDownload(s);
      vtest::SendAll(s, std::string(30000, 'a'));
    });
    TransferRequest r = Request(server);
    r.size = 50000;
    TransferOutcome outcome = RunDownload(r, nullptr);
    EXPECT_EQ(outcome.status, ExitStatus::kIncomplete);
    EXPECT_NE(outcome.message.find("after 30000 bytes of 50000 bytes"), std::string::npos) << outcome.message;
  }
  EXPECT_EQ(vtest::ReadAll(target), std::string(30000, 'a'));
}

TEST_F(ClientFakeServer, StreamThatBreaksOffKeepsItsLastEightBytesBack) {
  {
    FakeServer server([&](TSocket s) {
      AcceptDownload(s);
      vtest::SendAll(s, std::string(1000, 'b'));
      vtest::WaitForClose(s, 15);
    });
    TransferRequest r = Request(server);
    r.size = 5000;
    // The stream is stopped before its end: its last bytes might yet have
    // turned out to be an error header.
    TransferOutcome outcome = RunDownload(r, [](const TransferProgress& p) { return p.moved < 992; });
    EXPECT_EQ(outcome.status, ExitStatus::kStopped);
    EXPECT_EQ(outcome.moved, 992);
  }
  EXPECT_EQ(vtest::ReadAll(target), std::string(992, 'b'));
}

// A server without digests is found once: the resume goes on unverified
// with one warning, and no second digest is asked after the data (there is
// no connection left for it). Required checks stop before LOCAL is touched.
TEST_F(ClientFakeServer, ServerWithoutDigestsWarnsOnceOrStopsWithSevenWhenRequired) {
  vtest::WriteAll(target, "held");
  {
    FakeServer server({RefuseDigest, [](TSocket s) {
                         AcceptDownload(s);
                         vtest::SendAll(s, "more");
                       }});
    TransferRequest r = Request(server);
    r.verify = Verification::kIfOffered;
    TransferOutcome outcome = RunDownload(r, nullptr);
    EXPECT_EQ(outcome.status, ExitStatus::kDone) << outcome.message;
    EXPECT_NE(outcome.warning.find("not verified"), std::string::npos) << outcome.warning;
  }
  EXPECT_EQ(vtest::ReadAll(target), "heldmore");
  {
    FakeServer server(RefuseDigest);
    TransferRequest r = Request(server);
    r.verify = Verification::kRequired;
    TransferOutcome outcome = RunDownload(r, nullptr);
    EXPECT_EQ(outcome.status, ExitStatus::kDiffers);
    EXPECT_NE(outcome.message.find("--verify=require"), std::string::npos) << outcome.message;
  }
  EXPECT_EQ(vtest::ReadAll(target), "heldmore");
}

TEST_F(ClientFakeServer, HandshakeRefusalsAndSilence) {
  {
    FakeServer server([](TSocket s) {
      ReadRequest(s);
      vtest::SendAll(s, EncodeHeader("DNLD", 18));
    });
    TransferOutcome outcome = RunDownload(Request(server), nullptr);
    EXPECT_EQ(outcome.status, ExitStatus::kRefused);
    EXPECT_EQ(outcome.resultCode, 18);
  }
  {
    FakeServer server([](TSocket s) {
      ReadRequest(s);
      vtest::SendAll(s, EncodeHeader("DL01", 0));
    });
    TransferOutcome outcome = RunDownload(Request(server), nullptr);
    EXPECT_EQ(outcome.status, ExitStatus::kConnection);
    EXPECT_NE(outcome.message.find("\"DL01\" where DNLD was due"), std::string::npos) << outcome.message;
  }
  {
    FakeServer server([](TSocket s) {
      ReadRequest(s);
      vtest::WaitForClose(s, 15);
    });
    auto start = vtest::Clock::now();
    TransferOutcome outcome = RunDownload(Request(server), nullptr);
    EXPECT_LT(vtest::SecondsSince(start), 14.0);
    EXPECT_EQ(outcome.status, ExitStatus::kConnection);
    EXPECT_NE(outcome.message.find("no DNLD reply from 127.0.0.1:"), std::string::npos) << outcome.message;
    EXPECT_NE(outcome.message.find("within 10 seconds"), std::string::npos) << outcome.message;
  }
  EXPECT_FALSE(vtest::fs::exists(target));
}

TEST_F(ClientFakeServer, UploadPositionRefusedAndMalformedOffers) {
  vtest::WriteAll(target, std::string(5000, 'u'));
  {
    FakeServer server([](TSocket s) { AcceptUpload(s, "FILEPOS=0", 9); });
    TransferOutcome outcome = RunUpload(Request(server), nullptr);
    EXPECT_EQ(outcome.status, ExitStatus::kRefused);
    EXPECT_EQ(outcome.resultCode, 9);
    EXPECT_NE(outcome.message.find("upload position 0 of /srv/file.bin refused by the server: 9 ("),
              std::string::npos)
        << outcome.message;
  }
  for (const char* offer : {"FILEPOS=", "FILEPOS=-1", "FILEPOS=12x", "POS=12", "FILEPOS=99999999999999999999"}) {
    FakeServer server([&](TSocket s) { AcceptUpload(s, offer, kNoPointer); });
    TransferOutcome outcome = RunUpload(Request(server), nullptr);
    EXPECT_EQ(outcome.status, ExitStatus::kConnection) << offer;
    EXPECT_NE(outcome.message.find("unexpected resume offer"), std::string::npos) << outcome.message;
  }
}

TEST_F(ClientFakeServer, ErrorHeaderDuringTheDataEndsTheUploadAtOnce) {
  const std::int64_t size = 64LL << 20;
  platform::FileHandle file = platform::OpenFile(target, platform::OpenMode::kWriteTruncate);
  ASSERT_TRUE(platform::SeekFile(file, size - 1));
  ASSERT_TRUE(platform::WriteFile(file, "z", 1));
  platform::CloseFile(file);

  FakeServer server([](TSocket s) {
    AcceptUpload(s, "FILEPOS=0", 0);
    vtest::Receive(s, 300000);
    vtest::SendAll(s, ErrorHeader(13));
    // A pause with nothing read: only what fits the socket buffers can go
    // out before a client that watches the connection has stopped.
    std::this_thread::sleep_for(std::chrono::seconds(2));
    vtest::Receive(s, SIZE_MAX, 30);
  });
  TransferOutcome outcome = RunUpload(Request(server), nullptr);
  EXPECT_EQ(outcome.status, ExitStatus::kRefused) << outcome.message;
  EXPECT_EQ(outcome.resultCode, 13);
  EXPECT_GE(outcome.moved, 300000);
  EXPECT_LT(outcome.moved, size / 4);
}

}  // namespace

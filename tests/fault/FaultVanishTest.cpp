// Clients that vanish in every phase of a conversation. Each worker ends on
// the path of its phase, with the line that path writes, and no file loses
// what it had: a download leaves its file as it was, an upload that vanished
// keeps exactly the bytes that reached the disk.

#include <cstdint>
#include <thread>

#include "base/Format.h"
#include "support/FaultScenario.h"
#include "support/ProcessResources.h"
#include "transfer/uGlobal.h"

namespace {

using vtest::EncodeHeader;
using vtest::RequestHeader;

class FaultVanish : public vtest::FaultScenario {
 protected:
  // What the client got before it left, read up to `length` bytes.
  std::string Take(TSocket s, std::size_t length) { return vtest::Receive(s, length); }

  std::string UploadBody(const std::string& name, std::int64_t size) const {
    return Format("REMOTEFILENAME=%s\r\nFILESIZE=%lld\r\nFILENO=9\r\n", name.c_str(), static_cast<long long>(size));
  }

  // An upload up to the accepted position, left open for the data.
  TSocket Negotiate(const std::string& name, std::int64_t size, std::int64_t offered) {
    TSocket s = Open("UPLD");
    // The client takes up the offer as it is.
    const std::string body = UploadBody(name, size), offer = Format("FILEPOS=%lld", static_cast<long long>(offered));
    EXPECT_TRUE(vtest::SendAll(s, RequestHeader("UP01", body) + body + EncodeHeader("UP02", 0)));
    EXPECT_EQ(Take(s, 16 + offer.size()), EncodeHeader("UP01", 0) + RequestHeader("UP02", offer) + offer);
    EXPECT_TRUE(vtest::SendAll(s, RequestHeader("UP03", offer) + offer));
    EXPECT_EQ(Take(s, 8), EncodeHeader("UP03", 0));
    return s;
  }

  // The size in the "Upload Fail" line of `name`, or -2 when there is none.
  long long FailedSize(const std::string& name) const {
    const std::string log = RawLog(), start = "Upload Fail(" + name + ") ";
    const std::size_t at = log.find(start);
    return at == std::string::npos ? -2 : std::stoll(log.substr(at + start.size()));
  }
};

TEST_F(FaultVanish, DownloadClientsThatLeaveInEveryPhaseLeaveTheFileAsItWas) {
  const std::string name = File("big.bin");
  // Far more than the socket buffers hold, so the data phase is still
  // sending when the client has gone.
  const std::string data = vtest::RandomBytes(16 << 20, 11);
  vtest::WriteAll(name, data);
  const std::string body = Format("REMOTEFILENAME=%s\r\nFILESIZE=%lld\r\n", name.c_str(), static_cast<long long>(data.size()));
  const std::string text16 = ResultText(16), text17 = ResultText(17);

  // During the opening header.
  TSocket s = vtest::Connect(Server().Port());
  vtest::SendAll(s, "DN");
  CloseSocket(s);
  EXPECT_TRUE(WaitForLogCount("-Validate(): failed. " + text16 + ", Validate header recv", 1, 15));

  // After the request header, before its body.
  s = Open("DNLD");
  vtest::SendAll(s, EncodeHeader("DL01", static_cast<std::int32_t>(body.size())));
  CloseSocket(s);
  EXPECT_TRUE(WaitForLogCount("-doDownload(): failed, " + text16 + ", doFileCheck(): failed. " + text16 +
                                  ", Command body recv", 1, 15));

  // During the file check: the request is sent, the reply never read. The
  // reply or the data that follow it cannot be sent.
  s = Open("DNLD");
  vtest::SendAll(s, vtest::Request("DL01", body));
  CloseSocket(s);
  const std::string sendLine = "doDownload(): failed, doInternalDownload6: failed. " + text17;
  const std::string replyLine = "doDownload(" + name + "): failed, " + text17 + ", doFileCheck(): failed. " + text17;
  for (auto start = vtest::Clock::now(); LogCount(sendLine) + LogCount(replyLine) == 0 && vtest::SecondsSince(start) < 15;)
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  const int sendLines = LogCount(sendLine);
  EXPECT_EQ(sendLines + LogCount(replyLine), 1);

  // During the data, once by an orderly close and once by a reset.
  for (int reset = 0; reset < 2; ++reset) {
    s = Open("DNLD");
    vtest::SendAll(s, vtest::Request("DL01", body));
    EXPECT_EQ(Take(s, 8), EncodeHeader("DL01", 0));
    EXPECT_TRUE(Take(s, 100000) == data.substr(0, 100000));
    if (reset)
      vtest::ResetConnection(s);
    else
      CloseSocket(s);
  }
  EXPECT_TRUE(WaitForLogCount(sendLine, sendLines + 2, 30));
  EXPECT_EQ(LogCount(sendLine), sendLines + 2);

  EXPECT_TRUE(vtest::ReadAll(name) == data) << "a download changed its file";
}

TEST_F(FaultVanish, UploadClientsThatLeaveInEveryPhaseKeepWhatReachedTheDisk) {
  const std::string text16 = ResultText(16);
  const std::string data = vtest::RandomBytes(400000, 12);
  auto prefixed = [&](const std::string& file, std::size_t length) {
    vtest::WriteAll(file, data.substr(0, length));
    return file;
  };

  // During the upload header.
  TSocket s = Open("UPLD");
  vtest::SendAll(s, "UP0");
  CloseSocket(s);
  EXPECT_TRUE(WaitForLogCount("-doUpload(): failed. " + text16 + ", Upload header recv", 1, 15));

  // After the header, before its body.
  s = Open("UPLD");
  vtest::SendAll(s, EncodeHeader("UP01", 80));
  CloseSocket(s);
  EXPECT_TRUE(WaitForLogCount("-doUpload(): failed, " + text16 + ", doDiskCheck(): failed. " + text16 +
                                  ", Upload command body recv, doDiskCheck", 1, 15));

  // After the disk check, and after the resume offer: neither the file nor
  // its directory is touched before the data phase.
  const std::string checked = prefixed(File("checked.bin"), 5000), unmade = File("unmade/new.bin");
  for (const std::string& name : {checked, unmade}) {
    s = Open("UPLD");
    const std::string body = UploadBody(name, 400000);
    vtest::SendAll(s, vtest::Request("UP01", body));
    EXPECT_EQ(Take(s, 8), EncodeHeader("UP01", 0));
    CloseSocket(s);
    EXPECT_TRUE(WaitForLogCount("doDiskCheck(" + name + "): failed. " + text16 + ", Upload request header recv", 1, 15));
  }
  const std::string offered = prefixed(File("offered.bin"), 7000);
  s = Open("UPLD");
  const std::string body = UploadBody(offered, 400000);
  vtest::SendAll(s, vtest::Request("UP01", body) + EncodeHeader("UP02", 0));
  EXPECT_EQ(Take(s, 8 + 8 + 12), EncodeHeader("UP01", 0) + EncodeHeader("UP02", 12) + "FILEPOS=7000");
  CloseSocket(s);
  EXPECT_TRUE(WaitForLogCount("doDiskCheck(" + offered + "): failed. " + text16 + ", Upload pointer header recv", 1, 15));

  // After the position was accepted, before any data; then during the data,
  // by an orderly close and by a reset. The resumed files keep their start.
  const std::string accepted = prefixed(File("accepted.bin"), 9000), closed = prefixed(File("closed.bin"), 5000),
                    reset = prefixed(File("reset.bin"), 5000), fresh = File("fresh/new.bin");
  CloseSocket(Negotiate(accepted, 400000, 9000));
  s = Negotiate(closed, 400000, 5000);
  vtest::SendAll(s, data.substr(5000, 30000));
  CloseSocket(s);
  s = Negotiate(fresh, 400000, 0);
  vtest::SendAll(s, data.substr(0, 20000));
  CloseSocket(s);
  s = Negotiate(reset, 400000, 5000);
  vtest::SendAll(s, data.substr(5000, 30000));
  std::this_thread::sleep_for(std::chrono::milliseconds(200));  // the bytes have arrived
  vtest::ResetConnection(s);

  for (const std::string& name : {accepted, closed, fresh, reset})
    EXPECT_TRUE(WaitForRawLog("Upload Fail(" + name + ") ", 20)) << name;
  EXPECT_EQ(FailedSize(accepted), 9000);
  EXPECT_EQ(FailedSize(closed), 35000);
  EXPECT_EQ(FailedSize(fresh), 20000);
  // The close ends the data with result 0; a reset makes the receive fail.
  EXPECT_NE(RawLog().find(Peer() + "-doUpload: \r\nUpload Fail(" + closed + ") 35000 / 400000\r\n"), std::string::npos);
  const std::string recvFailed = "doInternalUpload9(" + reset + "): failed. " + text16 + ", Upload data recv\r\n";
  // A reset connection has no peer address left to log.
  EXPECT_NE(RawLog().find("-doUpload: " + recvFailed + "Upload Fail(" + reset + ") "), std::string::npos);
  // After its report the worker logs the failed result once more.
  EXPECT_TRUE(WaitForRawLog("-doUpload(): failed, " + recvFailed + "Upload Fail(" + reset + ") ", 20));
  const long long resetSize = FailedSize(reset);
  EXPECT_GE(resetSize, 5000);
  EXPECT_LE(resetSize, 35000);

  for (const std::string& name : {checked, offered, accepted, closed, fresh, reset}) {
    const std::string kept = vtest::ReadAll(name);
    EXPECT_TRUE(kept == data.substr(0, kept.size())) << name << ": the bytes on disk are not the ones sent";
  }
  EXPECT_EQ(vtest::ReadAll(checked).size(), 5000u);
  EXPECT_EQ(vtest::ReadAll(offered).size(), 7000u);
  EXPECT_EQ(static_cast<long long>(vtest::ReadAll(reset).size()), resetSize);
  EXPECT_FALSE(vtest::fs::exists(File("unmade")));
  // Every upload that reached its data was reported, with what is on disk.
  EXPECT_TRUE(web.WaitForRequests(4, 20));
}

}  // namespace

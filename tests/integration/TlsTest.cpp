// The TLS port against the client and against hand-driven TLS peers: the
// same conversations byte for byte, certificates checked on both sides, the
// end of a stream told from a cut, peers that never finish a handshake cut,
// and certificates renewed while the server runs.

#include <sstream>
#include <stdexcept>
#include <vector>

#include <gtest/gtest.h>

#include "base/Format.h"
#include "client/CommandLine.h"
#include "platform/Tls.h"
#include "server/Authorizer.h"
#include "server/Metrics.h"
#include "support/ClientRun.h"
#include "support/HttpServer.h"
#include "support/ProxyHeaders.h"
#include "support/TestSupport.h"
#include "transfer/Connection.h"

namespace {

namespace fs = vtest::fs;

using vtest::ClientRun;

class Tls : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!certificates.Made()) GTEST_SKIP() << "the openssl command is needed to make the test certificates";
    Start(Config());
  }

  TServerConfig Config(const std::string& certificate = "server") const {
    TServerConfig config;
    config.Tls.Enabled = true;
    config.Tls.Settings.certificateFile = certificates.File(certificate + ".pem");
    config.Tls.Settings.keyFile = certificates.File(certificate + ".key");
    return config;
  }

  void Start(TServerConfig config) {
    if (server)
      server->Restart(std::move(config));
    else
      server = std::make_unique<vtest::RunningServer>(std::move(config));
  }

  std::string Remote(const std::string& name) const { return server->Dir().File(name); }
  std::string Local(const std::string& name) const { return local.File(name); }
  bool Logged(const std::string& text, int count = 1) const {
    return vtest::WaitForLogCount(server->LogPrefix(), text, count, 20);
  }

  // The client with --tls against the TLS port, trusting the test authority
  // unless `args` names another.
  ClientRun Client(std::vector<std::string> args) {
    const std::string port = std::to_string(server->TlsPort());
    const std::string ca = certificates.File("ca.pem");
    std::vector<const char*> argv{"vardex", args[0].c_str(), "--tls", "--port", port.c_str()};
    const bool ownCa = std::find(args.begin(), args.end(), "--ca") != args.end();
    if (!ownCa) argv.insert(argv.end(), {"--ca", ca.c_str()});
    for (std::size_t i = 1; i < args.size(); ++i) argv.push_back(args[i].c_str());
    return vtest::RunVardex(argv);
  }

  // A TLS connection to the TLS port, verifying the server as "localhost";
  // `clearText` goes first, before the handshake, as a balancer's PROXY
  // header does.
  IoResult Handshake(TConnection& connection, platform::TlsClientSettings settings = {},
                     const std::string& clearText = "") {
    if (settings.caFile.empty()) settings.caFile = certificates.File("ca.pem");
    if (settings.serverName.empty()) settings.serverName = "localhost";
    std::string error;
    const auto context = platform::MakeTlsClientContext(settings, error);
    EXPECT_TRUE(context) << error;
    if (!context) return {IoStatus::kFailed, 0};
    connection.Reset(vtest::Connect(server->TlsPort()));
    if (!clearText.empty()) {
      EXPECT_TRUE(vtest::SendAll(connection.Socket(), clearText));
    }
    return connection.StartTls(context, 10000);
  }

  // The common name of the certificate a new connection is shown.
  std::string ServedName() {
    TConnection connection;
    if (!Handshake(connection).Ok()) return "(no handshake)";
    return connection.PeerCommonName();
  }

  vtest::TestCertificates certificates;
  std::unique_ptr<vtest::RunningServer> server;
  vtest::TempDir local;
};

// Sends a header that announces `body`, then the body, and reads the reply
// header, which must carry `command`: its SIZE, or -1 without a reply.
std::int32_t Exchange(TConnection& connection, const char* command, const std::string& body) {
  if (!connection.WriteHeader(MakeHeader(command, static_cast<std::int32_t>(body.size())), 10).Ok() ||
      !connection.Write(body.data(), static_cast<int>(body.size()), 10).Ok())
    return -1;
  MsgHeader reply;
  if (!connection.ReadHeader(reply, 10).Ok()) return -1;
  EXPECT_EQ(CommandText(reply), command);
  return reply.SIZE;
}

TEST_F(Tls, DownloadUploadAndDigestsAreByteExactThroughTheClient) {
  const std::string data = vtest::RandomBytes(3000000, 7);
  vtest::WriteAll(Remote("source.bin"), data);
  const std::uint64_t userspace = Metrics().TlsDownloads[0];

  // get and put compare digests with the server by default: those requests
  // go over TLS too.
  ClientRun got = Client({"get", "127.0.0.1", Remote("source.bin"), Local("got.bin")});
  ASSERT_EQ(got.status, 0) << got.err;
  EXPECT_EQ(vtest::ReadAll(Local("got.bin")), data);
  EXPECT_EQ(Metrics().TlsDownloads[0], userspace + 1);

  // A resume continues over TLS from what LOCAL holds.
  vtest::WriteAll(Local("resumed.bin"), data.substr(0, 1234567));
  got = Client({"get", "localhost", Remote("source.bin"), Local("resumed.bin")});
  ASSERT_EQ(got.status, 0) << got.err;
  EXPECT_EQ(vtest::ReadAll(Local("resumed.bin")), data);

  // The client's close-notify ends the upload's data.
  const ClientRun put = Client({"put", "localhost", Local("got.bin"), Remote("uploaded.bin")});
  ASSERT_EQ(put.status, 0) << put.err;
  ASSERT_TRUE(Logged("-doUpload: Upload Complete(" + Remote("uploaded.bin") + ")"));
  EXPECT_EQ(vtest::ReadAll(Remote("uploaded.bin")), data);

  // The plain port beside it serves as before.
  const std::string port = std::to_string(server->Port());
  const char* plain[] = {"vardex", "get", "--port", port.c_str(), "127.0.0.1", nullptr, nullptr};
  const std::string remote = Remote("uploaded.bin"), plainLocal = Local("plain.bin");
  plain[5] = remote.c_str();
  plain[6] = plainLocal.c_str();
  std::ostringstream out, err;
  ASSERT_EQ(RunClient(7, plain, out, err, false), 0) << err.str();
  EXPECT_EQ(vtest::ReadAll(Local("plain.bin")), data);
}

TEST_F(Tls, TheClientRefusesAServerItCannotVerify) {
  vtest::WriteAll(Remote("a.bin"), "data");
  // Signed by an authority the client was not told to trust.
  ClientRun run = Client({"get", "--ca", certificates.File("other-ca.pem"), "127.0.0.1", Remote("a.bin"),
                          Local("a.bin")});
  EXPECT_EQ(run.status, 3);
  EXPECT_NE(run.err.find("certificate verify failed"), std::string::npos) << run.err;

  // A certificate of the right authority for another name.
  Start(Config("renewed"));
  run = Client({"get", "127.0.0.1", Remote("a.bin"), Local("a.bin")});
  EXPECT_EQ(run.status, 3);
  EXPECT_NE(run.err.find("certificate verify failed"), std::string::npos) << run.err;
  EXPECT_FALSE(fs::exists(Local("a.bin")));
  run = Client({"get", "--no-verify", "localhost", Remote("a.bin"), Local("a.bin")});
  EXPECT_EQ(run.status, 0) << run.err;
}

TEST_F(Tls, WithClientCaOnlyClientsWithACertificateOfItAreServedAndNamedInFailures) {
  vtest::HttpServer authorizer;
  TServerConfig config = Config();
  config.Tls.Settings.clientCaFile = certificates.File("ca.pem");
  ASSERT_EQ(ReadAuthorizer("http://" + authorizer.Host() + "/auth", 5, "", config.Access.Authorizer), "");
  Start(std::move(config));
  const std::uint64_t failures = Metrics().TlsHandshakeFailures;

  ClientRun run = Client({"get", "--no-verify", "127.0.0.1", Remote("missing.bin"), Local("a.bin")});
  EXPECT_EQ(run.status, 3) << run.err;
  EXPECT_TRUE(Logged("127.0.0.1-TLS handshake failed"));
  EXPECT_EQ(Metrics().TlsHandshakeFailures, failures + 1);

  // With its certificate the client is served; the authoriser is told its
  // name, and the failure's line names it.
  run = Client({"get", "--no-verify", "--cert", certificates.File("client.pem"), "--key",
                certificates.File("client.key"), "127.0.0.1", Remote("missing.bin"), Local("a.bin")});
  EXPECT_EQ(run.status, 4) << run.err;
  EXPECT_TRUE(Logged("127.0.0.1 cert=client-one-doDownload(" + Remote("missing.bin") + "): failed"));
  ASSERT_EQ(authorizer.Paths().size(), 1u);
  EXPECT_NE(authorizer.Paths()[0].find("&cert=client-one"), std::string::npos) << authorizer.Paths()[0];
}

// A balancer sends its PROXY header in clear text before the client's TLS
// handshake; the log then names the client it carried.
TEST_F(Tls, BehindABalancerThePROXYHeaderComesBeforeTheHandshake) {
  TServerConfig config = Config();
  ASSERT_TRUE(config.ProxyFrom.Parse("127.0.0.1"));
  Start(std::move(config));
  TConnection connection;
  ASSERT_TRUE(Handshake(connection, {}, vtest::V2(0x21, 0x11, vtest::kV4Addresses)).Ok()) << connection.TlsText();
  ASSERT_EQ(Exchange(connection, "DNLD", ""), 0);
  const std::string body = "REMOTEFILENAME=" + Remote("absent.bin") + "\r\nFILESIZE=1\r\nFILEPOS=0\r\n";
  EXPECT_NE(Exchange(connection, "DL01", body), 0);
  EXPECT_TRUE(Logged("192.0.2.7-doDownload(" + Remote("absent.bin") + "): failed"));
}

TEST_F(Tls, PeersThatDoNotFinishTheHandshakeAreCutLoggedAndCounted) {
  TServerConfig config = Config();
  config.Listen.IdleTimeout = 2;  // shorter than the usual bound, so it bounds the handshake
  Start(std::move(config));
  const std::uint64_t failures = Metrics().TlsHandshakeFailures;

  // A plaintext client on the TLS port, and a peer that sends nothing.
  TSocket clear = vtest::Connect(server->TlsPort());
  ASSERT_TRUE(vtest::SendAll(clear, vtest::EncodeHeader("DNLD", 0)));
  TSocket silent = vtest::Connect(server->TlsPort());
  EXPECT_TRUE(vtest::WaitForClose(clear, 20));
  EXPECT_TRUE(vtest::WaitForClose(silent, 20));
  CloseSocket(clear);
  CloseSocket(silent);
  EXPECT_TRUE(Logged("127.0.0.1-TLS handshake failed", 2));
  EXPECT_EQ(Metrics().TlsHandshakeFailures, failures + 2);
  EXPECT_EQ(vtest::LogCount(server->LogPrefix(), "-Validate()"), 0);
}

TEST_F(Tls, AnUploadStreamEndingWithoutCloseNotifyWasCutNotFinished) {
  const std::string name = Remote("cut.bin");
  const std::string data = vtest::RandomBytes(1000000, 3);
  TConnection connection;
  ASSERT_TRUE(Handshake(connection).Ok()) << connection.TlsText();
  ASSERT_EQ(Exchange(connection, "UPLD", ""), 0);
  ASSERT_EQ(Exchange(connection, "UP01", Format("REMOTEFILENAME=%s\r\nFILESIZE=2000000\r\n", name.c_str())), 0);
  const std::int32_t offer = Exchange(connection, "UP02", "");
  ASSERT_GT(offer, 0);
  std::string offered(static_cast<std::size_t>(offer), '\0');
  ASSERT_TRUE(connection.Read(offered.data(), offer, 10).Ok());
  ASSERT_EQ(Exchange(connection, "UP03", "FILEPOS=0"), 0);
  for (std::size_t at = 0; at < data.size(); at += MAX_BLOCK_SIZE) {
    const std::string block = data.substr(at, MAX_BLOCK_SIZE);
    ASSERT_TRUE(connection.Write(block.data(), static_cast<int>(block.size()), 10).Ok());
  }
  // The TCP stream ends (FIN), but the TLS stream was never closed.
  platform::NetShutdown(connection.Socket());
  connection.Close();

  ASSERT_TRUE(Logged("Upload data recv"));
  EXPECT_EQ(vtest::LogCount(server->LogPrefix(), "Upload Complete"), 0);
  // What arrived is kept for a resume.
  EXPECT_EQ(vtest::ReadAll(name), data.substr(0, vtest::ReadAll(name).size()));
}

TEST_F(Tls, CertificatesAreReadAgainOnReloadAndABadPairKeepsTheOneInUse) {
  // The files the configuration names, renewed in place as an operator does.
  const std::string certificate = Local("current.pem"), key = Local("current.key");
  fs::copy_file(certificates.File("server.pem"), certificate);
  fs::copy_file(certificates.File("server.key"), key);
  TServerConfig config = Config();
  config.Tls.Settings.certificateFile = certificate;
  config.Tls.Settings.keyFile = key;
  Start(config);
  EXPECT_EQ(ServedName(), "localhost");

  // A connection that runs across the reload keeps its session.
  TConnection running;
  ASSERT_TRUE(Handshake(running).Ok());
  fs::copy_file(certificates.File("renewed.pem"), certificate, fs::copy_options::overwrite_existing);
  fs::copy_file(certificates.File("renewed.key"), key, fs::copy_options::overwrite_existing);
  std::string error;
  EXPECT_TRUE(server->Listener().ReloadTls(error)) << error;
  EXPECT_EQ(ServedName(), "renewed");
  EXPECT_EQ(Exchange(running, "DGST", ""), 0);

  // A key that does not match: the renewed pair stays in use.
  fs::copy_file(certificates.File("server.key"), key, fs::copy_options::overwrite_existing);
  EXPECT_FALSE(server->Listener().ReloadTls(error));
  EXPECT_NE(error.find(key), std::string::npos) << error;
  EXPECT_NE(error.find("does not match"), std::string::npos) << error;
  EXPECT_TRUE(Logged("TLS reload failed, the certificate in use stays: key " + key));
  EXPECT_EQ(ServedName(), "renewed");

  // At the start the same pair fails the start, naming the file and why;
  // so does a missing file.
  try {
    Start(config);
    ADD_FAILURE() << "a key that does not match the certificate started";
  } catch (const std::runtime_error& e) {
    EXPECT_NE(std::string(e.what()).find("does not match"), std::string::npos) << e.what();
  }
  config.Tls.Settings.certificateFile = Local("absent.pem");
  try {
    Start(config);
    ADD_FAILURE() << "a missing certificate started";
  } catch (const std::runtime_error& e) {
    EXPECT_NE(std::string(e.what()).find(Local("absent.pem")), std::string::npos) << e.what();
  }
}

}  // namespace

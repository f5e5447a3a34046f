#include "driver/Sessions.h"

#include <sys/socket.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace bench {

namespace {

std::string Header(const char* command, std::int32_t size) {
  unsigned char bytes[8];
  std::memcpy(bytes, command, 4);
  for (int i = 0; i < 4; ++i) bytes[4 + i] = static_cast<unsigned char>(static_cast<std::uint32_t>(size) >> (8 * i));
  return std::string(reinterpret_cast<char*>(bytes), 8);
}

std::string Message(const char* command, const std::string& body) {
  return Header(command, static_cast<std::int32_t>(body.size())) + body;
}

// The SIZE of a reply that must carry `command`; false otherwise.
bool Reply(int s, const char* command, std::int32_t& size) {
  unsigned char bytes[8];
  if (!ReceiveExactly(s, bytes, 8) || std::memcmp(bytes, command, 4) != 0) return false;
  size = static_cast<std::int32_t>(bytes[4] | bytes[5] << 8 | bytes[6] << 16 | static_cast<std::uint32_t>(bytes[7]) << 24);
  return true;
}

bool ReplyIsZero(int s, const char* command) {
  std::int32_t size = -1;
  return Reply(s, command, size) && size == 0;
}

// The handshake names the direction of the one transfer that follows.
class VardexSession : public Session {
 public:
  VardexSession(bool upload, bool tls) : FHello(upload ? "UPLD" : "DNLD"), FTls(tls) {}
  bool Open(int port) override {
    FSocket = ConnectLoopback(port);
    return FSocket >= 0 && (!FTls || StartTls(FSocket)) && SendText(FSocket, Header(FHello, 0)) &&
           ReplyIsZero(FSocket, FHello);
  }

  bool Download(const std::string& name, std::int64_t offset, std::int64_t expected, Received& received) override {
    const std::string body = "REMOTEFILENAME=" + name + "\r\nFILESIZE=" + std::to_string(offset + expected) +
                             "\r\nFILEPOS=" + std::to_string(offset) + "\r\n";
    if (!SendText(FSocket, Message("DL01", body)) || !ReplyIsZero(FSocket, "DL01")) return false;
    received = DrainToClose(FSocket, "", received.progress);
    return true;
  }

  bool Upload(const std::string& name, std::int64_t size) override {
    const std::string body = "REMOTEFILENAME=" + name + "\r\nFILESIZE=" + std::to_string(size) + "\r\n";
    std::int32_t offerLength = 0;
    if (!SendText(FSocket, Message("UP01", body)) || !ReplyIsZero(FSocket, "UP01") ||
        !SendText(FSocket, Header("UP02", 0)) || !Reply(FSocket, "UP02", offerLength) || offerLength <= 0 ||
        offerLength > 16000)
      return false;
    std::string offer(static_cast<std::size_t>(offerLength), '\0');
    if (!ReceiveExactly(FSocket, offer.data(), offer.size()) || offer != "FILEPOS=0") return false;
    if (!SendText(FSocket, Message("UP03", "FILEPOS=0")) || !ReplyIsZero(FSocket, "UP03")) return false;
    if (!SendPattern(FSocket, size)) return false;
    // The server closes once the whole file is on disk.
    return DrainToClose(FSocket).bytes == 0;
  }

  void Shut() override {
    Close(FSocket);
    FSocket = -1;
  }
  ~VardexSession() override { Shut(); }
  bool WantsFullPath() const override { return true; }

 private:
  const char* FHello;
  const bool FTls;
  int FSocket = -1;
};

class HttpSession : public Session {
 public:
  explicit HttpSession(bool tls) : FTls(tls) {}
  bool Open(int port) override {
    FSocket = ConnectLoopback(port);
    return FSocket >= 0 && (!FTls || StartTls(FSocket));
  }

  bool Download(const std::string& name, std::int64_t offset, std::int64_t, Received& received) override {
    std::string request = "GET /" + name + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n";
    if (offset > 0) request += "Range: bytes=" + std::to_string(offset) + "-\r\n";
    request += "\r\n";
    if (!SendText(FSocket, request)) return false;
    LineReader reader(FSocket);
    std::string line;
    if (!reader.ReadLine(line) || line.compare(0, 12, offset > 0 ? "HTTP/1.1 206" : "HTTP/1.1 200") != 0)
      return false;
    while (reader.ReadLine(line) && !line.empty()) {
    }
    if (!line.empty()) return false;
    received = DrainToClose(FSocket, reader.TakeRest());
    return true;
  }

  // A PUT, which nginx's WebDAV module writes to a file under its root.
  bool Upload(const std::string& name, std::int64_t size) override {
    const std::string request = "PUT /" + name + " HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: " +
                                std::to_string(size) + "\r\nConnection: close\r\n\r\n";
    if (!SendText(FSocket, request) || !SendPattern(FSocket, size)) return false;
    LineReader reader(FSocket);
    std::string line;
    return reader.ReadLine(line) && (line.compare(0, 12, "HTTP/1.1 201") == 0 || line.compare(0, 12, "HTTP/1.1 204") == 0);
  }
  void Shut() override {
    Close(FSocket);
    FSocket = -1;
  }
  ~HttpSession() override { Shut(); }

 private:
  const bool FTls;
  int FSocket = -1;
};

class FtpSession : public Session {
 public:
  bool Open(int port) override {
    FSocket = ConnectLoopback(port);
    if (FSocket < 0) return false;
    FReader = std::make_unique<LineReader>(FSocket);
    if (!Expect(220) || !SendText(FSocket, "USER anonymous\r\n")) return false;
    // A server that asks no password for anonymous sessions logs in at once.
    const int code = ReadReply();
    return (code == 230 || (code == 331 && Command("PASS bench@", 230))) && Command("TYPE I", 200);
  }

  bool Download(const std::string& name, std::int64_t offset, std::int64_t, Received& received) override {
    const int data = Passive();
    if (data < 0) return false;
    const bool started =
        (offset == 0 || Command("REST " + std::to_string(offset), 350)) && Command("RETR " + name, 150);
    if (started) received = DrainToClose(data);
    Close(data);
    return started && Expect(226);
  }

  bool Upload(const std::string& name, std::int64_t size) override {
    const int data = Passive();
    if (data < 0) return false;
    const bool sent = Command("STOR " + name, 150) && SendPattern(data, size);
    Close(data);
    return sent && Expect(226);
  }

  void Shut() override {
    if (FSocket >= 0) SendText(FSocket, "QUIT\r\n");
    Close(FSocket);
    FSocket = -1;
  }
  ~FtpSession() override { Shut(); }

 private:
  // A reply with the expected code; multi-line replies run to the line
  // that repeats the code followed by a blank.
  int ReadReply() {
    std::string line;
    if (!FReader->ReadLine(line) || line.size() < 4) return -1;
    const std::string last = line.substr(0, 3) + " ";
    if (line[3] == '-')
      while (line.compare(0, 4, last) != 0)
        if (!FReader->ReadLine(line)) return -1;
    FLastReply = line;
    return std::atoi(line.c_str());
  }
  bool Expect(int code) { return ReadReply() == code; }
  bool Command(const std::string& text, int code) { return SendText(FSocket, text + "\r\n") && Expect(code); }

  // The data connection of the next transfer.
  int Passive() {
    if (!Command("PASV", 227)) return -1;
    const std::size_t open = FLastReply.find('(');
    int h1, h2, h3, h4, p1, p2;
    if (open == std::string::npos ||
        std::sscanf(FLastReply.c_str() + open, "(%d,%d,%d,%d,%d,%d)", &h1, &h2, &h3, &h4, &p1, &p2) != 6)
      return -1;
    return ConnectLoopback(p1 * 256 + p2);
  }

  int FSocket = -1;
  std::unique_ptr<LineReader> FReader;
  std::string FLastReply;
};

}  // namespace

std::unique_ptr<Session> MakeSession(const std::string& protocol, bool upload) {
  if (protocol == "vardex" || protocol == "vardex-tls") return std::make_unique<VardexSession>(upload, protocol != "vardex");
  if (protocol == "http" || protocol == "https") return std::make_unique<HttpSession>(protocol == "https");
  if (protocol == "ftp") return std::make_unique<FtpSession>();
  return nullptr;
}

}  // namespace bench

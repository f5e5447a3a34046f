// Download throughput over loopback: the server's DNLD/DL01 download of a
// file, and two bare servers of the same file for reference, one with
// sendfile() and one with the server's own 16000-byte read() + send() loop.
// Each run prints "<what> <bytes> bytes <seconds> s <MB/s> MB/s", best of N.
//
//   bench_client vardex PORT FILE [RUNS]
//   bench_client sendfile FILE [RUNS]
//   bench_client readsend FILE [RUNS]

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr std::size_t kBlock = 16000;

[[noreturn]] void Die(const char* what) {
  std::perror(what);
  std::exit(1);
}

bool SendAll(int s, const char* data, std::size_t length) {
  while (length > 0) {
    ssize_t n = ::send(s, data, length, MSG_NOSIGNAL);
    if (n <= 0) return false;
    data += n;
    length -= static_cast<std::size_t>(n);
  }
  return true;
}

bool ReceiveExactly(int s, char* data, std::size_t length) {
  while (length > 0) {
    ssize_t n = ::recv(s, data, length, 0);
    if (n <= 0) return false;
    data += n;
    length -= static_cast<std::size_t>(n);
  }
  return true;
}

// Everything until the peer closes, thrown away; the count of bytes.
std::int64_t Drain(int s) {
  static std::vector<char> sink(1 << 18);
  std::int64_t total = 0;
  for (ssize_t n; (n = ::recv(s, sink.data(), sink.size(), 0)) > 0;) total += n;
  return total;
}

int ConnectLoopback(int port) {
  int s = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (s < 0 || ::connect(s, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) Die("connect");
  return s;
}

std::string Header(const char* command, std::int32_t size) {
  unsigned char bytes[8];
  std::memcpy(bytes, command, 4);
  for (int i = 0; i < 4; ++i) bytes[4 + i] = static_cast<unsigned char>(static_cast<std::uint32_t>(size) >> (8 * i));
  return std::string(reinterpret_cast<char*>(bytes), 8);
}

// The download conversation of a client, data included.
std::int64_t VardexDownload(int port, const std::string& file, std::int64_t size) {
  int s = ConnectLoopback(port);
  char reply[8];
  const std::string body = "REMOTEFILENAME=" + file + "\r\nFILESIZE=" + std::to_string(size) + "\r\nFILEPOS=0\r\n";
  const std::string hello = Header("DNLD", 0);
  const std::string request = Header("DL01", static_cast<std::int32_t>(body.size())) + body;
  if (!SendAll(s, hello.data(), hello.size()) || !ReceiveExactly(s, reply, 8)) Die("handshake");
  if (!SendAll(s, request.data(), request.size()) || !ReceiveExactly(s, reply, 8)) Die("request");
  if (std::memcmp(reply, Header("DL01", 0).data(), 8) != 0) {
    std::fprintf(stderr, "the server refused the download\n");
    std::exit(1);
  }
  std::int64_t total = Drain(s);
  ::close(s);
  return total;
}

using Serve = std::function<void(int client, int file, std::int64_t size)>;

void ServeBySendfile(int client, int file, std::int64_t size) {
  off_t offset = 0;
  while (offset < size)
    if (::sendfile(client, file, &offset, static_cast<std::size_t>(size - offset)) <= 0) return;
}

void ServeByReadSend(int client, int file, std::int64_t) {
  static char block[kBlock];
  for (ssize_t n; (n = ::read(file, block, sizeof block)) > 0;)
    if (!SendAll(client, block, static_cast<std::size_t>(n))) return;
}

// One connection to a bare server on an ephemeral loopback port.
std::int64_t BareDownload(const Serve& serve, const std::string& name, std::int64_t size) {
  int listener = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || ::listen(listener, 1) != 0 ||
      ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0)
    Die("listen");
  std::thread server([&] {
    int client = ::accept(listener, nullptr, nullptr);
    int file = ::open(name.c_str(), O_RDONLY);
    if (client < 0 || file < 0) Die("serve");
    serve(client, file, size);
    ::close(file);
    ::close(client);
  });
  int s = ConnectLoopback(ntohs(address.sin_port));
  std::int64_t total = Drain(s);
  ::close(s);
  server.join();
  ::close(listener);
  return total;
}

void Measure(const char* what, int runs, std::int64_t size, const std::function<std::int64_t()>& download) {
  double best = 0;
  for (int run = 0; run < runs; ++run) {
    auto start = std::chrono::steady_clock::now();
    std::int64_t bytes = download();
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (bytes != size) {
      std::fprintf(stderr, "%s: %lld bytes of %lld\n", what, static_cast<long long>(bytes), static_cast<long long>(size));
      std::exit(1);
    }
    double rate = static_cast<double>(bytes) / 1e6 / seconds;
    if (rate > best) best = rate;
    std::printf("%s %lld bytes %.3f s %.1f MB/s\n", what, static_cast<long long>(bytes), seconds, rate);
  }
  std::printf("%s best %.1f MB/s\n", what, best);
}

std::int64_t FileSize(const std::string& name) {
  struct stat st{};
  if (::stat(name.c_str(), &st) != 0) Die(name.c_str());
  return st.st_size;
}

int Usage() {
  std::fprintf(stderr, "usage: bench_client vardex PORT FILE [RUNS] | sendfile FILE [RUNS] | readsend FILE [RUNS]\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) return Usage();
  const std::string mode = argv[1];
  if (mode == "vardex" && argc >= 4) {
    const int port = std::atoi(argv[2]);
    const std::string file = argv[3];
    const std::int64_t size = FileSize(file);
    Measure("vardex", argc > 4 ? std::atoi(argv[4]) : 3, size, [&] { return VardexDownload(port, file, size); });
  } else if (mode == "sendfile" || mode == "readsend") {
    const std::string file = argv[2];
    const std::int64_t size = FileSize(file);
    const Serve serve = mode == "sendfile" ? Serve(ServeBySendfile) : Serve(ServeByReadSend);
    Measure(mode.c_str(), argc > 3 ? std::atoi(argv[3]) : 3, size, [&] { return BareDownload(serve, file, size); });
  } else {
    return Usage();
  }
  return 0;
}

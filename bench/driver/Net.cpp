#include "driver/Net.h"

#include <openssl/ssl.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

namespace bench {

namespace {
constexpr std::size_t kStep = 256 * 1024;
constexpr std::size_t kHeadBytes = 64;

// The TLS session of each socket that has one, by descriptor. A socket is
// used by one thread at a time, and set up before that thread starts.
constexpr int kMaxDescriptor = 1 << 16;
SSL* gTls[kMaxDescriptor] = {};

SSL* TlsOf(int s) { return s >= 0 && s < kMaxDescriptor ? gTls[s] : nullptr; }

SSL_CTX* ClientContext() {
  static SSL_CTX* const context = [] {
    SSL_CTX* c = SSL_CTX_new(TLS_client_method());
    SSL_CTX_set_min_proto_version(c, TLS1_3_VERSION);
    SSL_CTX_set_ciphersuites(c, "TLS_AES_128_GCM_SHA256");
    SSL_CTX_set_verify(c, SSL_VERIFY_NONE, nullptr);
    SSL_CTX_set_mode(c, SSL_MODE_AUTO_RETRY);
    return c;
  }();
  return context;
}

// recv and send, through TLS where the socket has it: the byte count, 0 at
// the end of the stream (close-notify, or a plain close), -1 on failure.
ssize_t Recv(int s, void* data, std::size_t length) {
  SSL* tls = TlsOf(s);
  if (tls == nullptr) return ::recv(s, data, length, 0);
  std::size_t n = 0;
  if (SSL_read_ex(tls, data, length, &n) == 1) return static_cast<ssize_t>(n);
  return SSL_get_error(tls, 0) == SSL_ERROR_ZERO_RETURN ? 0 : -1;
}

ssize_t Send(int s, const void* data, std::size_t length) {
  SSL* tls = TlsOf(s);
  if (tls == nullptr) return ::send(s, data, length, MSG_NOSIGNAL);
  std::size_t n = 0;
  return SSL_write_ex(tls, data, length, &n) == 1 ? static_cast<ssize_t>(n) : -1;
}

std::atomic<int> sources{1};
std::atomic<unsigned> nextSource{0};
}  // namespace

void UseLoopbackSources(int count) { sources = std::max(1, std::min(count, 254)); }

bool StartTls(int s) {
  if (s < 0 || s >= kMaxDescriptor) return false;
  SSL* tls = SSL_new(ClientContext());
  if (tls == nullptr) return false;
  SSL_set_fd(tls, s);
  SSL_set_tlsext_host_name(tls, "localhost");
  if (SSL_connect(tls) != 1) {
    SSL_free(tls);
    return false;
  }
  gTls[s] = tls;
  return true;
}

int ConnectLoopback(int port) {
  const int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (s < 0) return -1;
  if (sources > 1) {
    // The port is chosen at the connect, for the whole address pair.
    const int on = 1;
    ::setsockopt(s, IPPROTO_IP, IP_BIND_ADDRESS_NO_PORT, &on, sizeof on);
    sockaddr_in source{};
    source.sin_family = AF_INET;
    source.sin_addr.s_addr = htonl(INADDR_LOOPBACK + nextSource++ % static_cast<unsigned>(sources.load()));
    if (::bind(s, reinterpret_cast<sockaddr*>(&source), sizeof source) != 0) {
      ::close(s);
      return -1;
    }
  }
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(s, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    ::close(s);
    return -1;
  }
  // A connection that the server's full listen queue dropped after the
  // handshake looks open to the client and never answers: it fails after
  // this long instead of holding the run forever.
  const timeval patience{30, 0};
  ::setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &patience, sizeof patience);
  ::setsockopt(s, SOL_SOCKET, SO_SNDTIMEO, &patience, sizeof patience);
  return s;
}

void Close(int s) {
  if (SSL* tls = TlsOf(s)) {
    SSL_shutdown(tls);
    SSL_free(tls);
    gTls[s] = nullptr;
  }
  if (s >= 0) ::close(s);
}

bool SendAll(int s, const void* data, std::size_t length) {
  const char* p = static_cast<const char*>(data);
  while (length > 0) {
    const ssize_t n = Send(s, p, length);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    length -= static_cast<std::size_t>(n);
  }
  return true;
}

bool SendText(int s, const std::string& text) { return SendAll(s, text.data(), text.size()); }

bool ReceiveExactly(int s, void* data, std::size_t length) {
  char* p = static_cast<char*>(data);
  while (length > 0) {
    const ssize_t n = Recv(s, p, length);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    length -= static_cast<std::size_t>(n);
  }
  return true;
}

bool LineReader::ReadLine(std::string& line) {
  for (;;) {
    const std::size_t end = FPending.find("\r\n");
    if (end != std::string::npos) {
      line = FPending.substr(0, end);
      FPending.erase(0, end + 2);
      return true;
    }
    if (FPending.size() > 65536) return false;
    char chunk[4096];
    const ssize_t n = Recv(FSocket, chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    FPending.append(chunk, static_cast<std::size_t>(n));
  }
}

std::string LineReader::TakeRest() {
  std::string rest;
  rest.swap(FPending);
  return rest;
}

Received DrainToClose(int s, const std::string& already, std::atomic<std::int64_t>* progress) {
  Received received;
  received.progress = progress;
  received.bytes = static_cast<std::int64_t>(already.size());
  received.head = already.substr(0, kHeadBytes);
  // Where the data land matters: the kernel copies each file page into the
  // sink, and when a page's bytes land a little further into a page of the
  // sink than they stood in the file's (the same low 12 address bits a few
  // bytes apart), every load of the copy waits for the store just before it.
  // On this machine's AMD cores that made the copy three times slower, at
  // random: it depended on how the first reads happened to split the
  // stream, and on the sink's own place in memory. So each read lands at
  // the same place in a page of the sink as in a page of the file (the
  // sink starts on a page boundary, and every download here starts at a
  // whole page of its file), and the copy costs every server alike.
  constexpr std::size_t kPage = 4096;
  struct FreeSink {
    void operator()(char* p) const { std::free(p); }
  };
  thread_local const std::unique_ptr<char, FreeSink> sink(static_cast<char*>(std::aligned_alloc(kPage, kStep)));
  if (!sink) return received;
  for (;;) {
    const std::size_t at = static_cast<std::size_t>(received.bytes) % kPage;
    const ssize_t n = Recv(s, sink.get() + at, kStep - at);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    if (received.head.size() < kHeadBytes)
      received.head.append(sink.get() + at, std::min(kHeadBytes - received.head.size(), static_cast<std::size_t>(n)));
    received.bytes += n;
    if (progress != nullptr) progress->store(received.bytes, std::memory_order_relaxed);
  }
  return received;
}

const std::vector<char>& Pattern() {
  static const std::vector<char> pattern = [] {
    std::vector<char> bytes(4 * 1024 * 1024);
    std::uint64_t x = 0x9E3779B97F4A7C15ull;
    for (char& c : bytes) {
      x ^= x << 13;
      x ^= x >> 7;
      x ^= x << 17;
      c = static_cast<char>(x);
    }
    return bytes;
  }();
  return pattern;
}

const char* PatternData() { return Pattern().data(); }
std::size_t PatternSize() { return Pattern().size(); }

bool SendPattern(int s, std::int64_t length) {
  const std::vector<char>& pattern = Pattern();
  std::size_t at = 0;
  while (length > 0) {
    const std::size_t step = std::min<std::int64_t>(length, static_cast<std::int64_t>(kStep));
    if (!SendAll(s, pattern.data() + at, step)) return false;
    at = (at + step) % pattern.size();
    length -= static_cast<std::int64_t>(step);
  }
  return true;
}

}  // namespace bench

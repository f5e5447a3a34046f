#pragma once
// Loopback sockets and the data loops that every protocol shares, so that
// the client's own cost is the same whichever server it talks to.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>

namespace bench {

// A connected socket to 127.0.0.1:port, or -1.
int ConnectLoopback(int port);
// Makes `s` a TLS connection (TLS 1.3, TLS_AES_128_GCM_SHA256 only, so that
// every server runs the same cipher): every call below then reads and
// writes through TLS, and Close sends close-notify first. The benchmark's
// own client checks no certificate: that is the product client's job, and
// costs one signature per connection.
bool StartTls(int s);
// From here on, connections leave from 127.0.0.1 to 127.0.0.`count` in
// turn: one source address has ports for some 28,000 connections to a
// server port, too few for the largest idle case.
void UseLoopbackSources(int count);
void Close(int s);

bool SendAll(int s, const void* data, std::size_t length);
bool SendText(int s, const std::string& text);
bool ReceiveExactly(int s, void* data, std::size_t length);

// Reads CR LF terminated lines; bytes after the line stay buffered and are
// handed to the data loop when the data share the connection (HTTP).
class LineReader {
 public:
  explicit LineReader(int s) : FSocket(s) {}
  bool ReadLine(std::string& line);
  // Takes what has arrived beyond the last line.
  std::string TakeRest();

 private:
  int FSocket;
  std::string FPending;
};

// What a download received: the count and its first bytes, for a check
// against the file.
struct Received {
  std::int64_t bytes = 0;
  std::string head;
  // Where a paced case follows the count while the data arrive; null for
  // every other case.
  std::atomic<std::int64_t>* progress = nullptr;
};
// Everything until the peer closes, counted and dropped; `already` holds
// bytes that arrived with the response header. The count is also stored
// into `progress` after each receive, where there is one.
Received DrainToClose(int s, const std::string& already = "", std::atomic<std::int64_t>* progress = nullptr);

// `length` bytes of a fixed random pattern, in the same steps for everyone.
bool SendPattern(int s, std::int64_t length);
// The pattern itself, for writers that do not go through a socket.
const char* PatternData();
std::size_t PatternSize();

}  // namespace bench

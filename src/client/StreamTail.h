#pragma once
// The end of a download's data phase. The server sends the file's bytes with
// no framing and, when a read of the file fails, one error header (four zero
// bytes and a result code) after them; when opening or positioning fails, the
// error header is all it sends. Nothing on the wire tells such a header from
// file bytes that look the same, so the last 8 bytes received are held back
// until the stream has ended and then judged by this rule:
//
//  - with an expected length (FILESIZE - FILEPOS known), a stream of exactly
//    that length is file data, whatever its last bytes look like;
//  - otherwise the last 8 bytes are an error header when they are four zero
//    bytes followed by 12 (a read failure after file data), or by 9, 10, 11
//    or 12 with nothing before them (the codes the server sends before any
//    data);
//  - anything else is file data.
//
// A stream that breaks off (time-out, reset, stop) never has its held bytes
// written: the next run fetches them again.

#include <cstddef>
#include <cstdint>
#include <string>

class TStreamTail {
 public:
  // `expected`: the bytes the stream should carry, -1 when unknown.
  explicit TStreamTail(std::int64_t expected) : FExpected(expected) {}

  // Takes `length` more received bytes; `certain` becomes the bytes that are
  // now known to be file data (everything but the last 8 received).
  void Push(const char* data, std::size_t length, std::string& certain);

  // At the clean end of the stream: the result code of a trailing error
  // header, or 0 with the held bytes, which are file data, in `rest`.
  std::int32_t Finish(std::string& rest) const;

  std::int64_t Received() const { return FReceived; }
  // File data received: everything, less a trailing error header.
  std::int64_t DataBytes() const;

 private:
  std::int64_t FExpected;
  std::int64_t FReceived = 0;
  std::string FHeld;  // the last min(8, received) bytes
};

// The code of `bytes` (8 of them) read as an error header, or 0 when they
// are not one. `alone`: nothing came before them.
std::int32_t ErrorHeaderCode(const std::string& bytes, bool alone);

// The client's rule for the last 8 bytes of a download: file data or an
// error header.

#include <gtest/gtest.h>

#include "client/StreamTail.h"
#include "support/TestSupport.h"

namespace {

using vtest::ErrorHeader;

struct Judged {
  std::int32_t code;
  std::string written;  // everything the tail let through, in order
};

// Feeds `stream` in pieces of `piece` bytes, as a receive loop would.
Judged Judge(const std::string& stream, std::int64_t expected, std::size_t piece = 3) {
  TStreamTail tail(expected);
  Judged judged{0, ""};
  std::string certain;
  for (std::size_t at = 0; at < stream.size(); at += piece) {
    tail.Push(stream.data() + at, std::min(piece, stream.size() - at), certain);
    judged.written += certain;
  }
  std::string rest;
  judged.code = tail.Finish(rest);
  judged.written += rest;
  EXPECT_EQ(tail.Received(), static_cast<std::int64_t>(stream.size()));
  return judged;
}

TEST(ClientStreamTail, TrailingErrorHeadersAreRecognisedAndNeverWritten) {
  const std::string data(20000, 'd');
  // A read failure after data, whatever the piece sizes.
  for (std::size_t piece : {1u, 7u, 8u, 9u, 16000u}) {
    Judged j = Judge(data + ErrorHeader(12), -1, piece);
    EXPECT_EQ(j.code, 12) << piece;
    EXPECT_EQ(j.written, data) << piece;
  }
  // Failures before any data: the header is the whole stream.
  for (std::int32_t code : {9, 10, 11, 12}) {
    Judged j = Judge(ErrorHeader(code), -1);
    EXPECT_EQ(j.code, code);
    EXPECT_EQ(j.written, "");
  }
  // With a known length that the stream falls short of, the same holds.
  Judged shortOfSize = Judge(data + ErrorHeader(12), 50000);
  EXPECT_EQ(shortOfSize.code, 12);
  EXPECT_EQ(shortOfSize.written, data);
  EXPECT_EQ(Judge(ErrorHeader(9), -5).code, 9);  // FILEPOS beyond FILESIZE
}

TEST(ClientStreamTail, LookalikesThatCannotBeHeadersAreFileData) {
  const std::string data(1000, 'x');
  // Codes the server only sends before any data, arriving after data.
  for (std::int32_t code : {9, 10, 11}) {
    Judged j = Judge(data + ErrorHeader(code), -1);
    EXPECT_EQ(j.code, 0) << code;
    EXPECT_EQ(j.written, data + ErrorHeader(code)) << code;
  }
  // Codes the data phase never sends, letters, short streams, empty streams.
  for (const std::string& stream : {ErrorHeader(2), ErrorHeader(0), ErrorHeader(13), vtest::EncodeHeader("DL01", 12),
                                    std::string("\0\0\0\0\x0c\0\0", 7), std::string(), std::string(9, '\0')}) {
    Judged j = Judge(stream, -1);
    EXPECT_EQ(j.code, 0);
    EXPECT_EQ(j.written, stream);
  }
}

TEST(ClientStreamTail, StreamOfTheExpectedLengthIsAllData) {
  const std::string file = std::string(500, 'f') + ErrorHeader(12);
  Judged exact = Judge(file, static_cast<std::int64_t>(file.size()));
  EXPECT_EQ(exact.code, 0);
  EXPECT_EQ(exact.written, file);
  // A file that is nothing but such bytes, downloaded with its size.
  Judged alone = Judge(ErrorHeader(10), 8);
  EXPECT_EQ(alone.code, 0);
  EXPECT_EQ(alone.written, ErrorHeader(10));
  // Longer than expected: the file grew, and the rule applies again.
  EXPECT_EQ(Judge(file, 100).code, 12);
}

TEST(ClientStreamTail, LastEightBytesAreHeldUntilTheEnd) {
  TStreamTail tail(-1);
  std::string certain;
  tail.Push("abcde", 5, certain);
  EXPECT_EQ(certain, "");
  tail.Push("fghij", 5, certain);
  EXPECT_EQ(certain, "ab");
  tail.Push("k", 1, certain);
  EXPECT_EQ(certain, "c");
  EXPECT_EQ(tail.DataBytes(), 11);
}

}  // namespace

// The KEY=VALUE body of a request: splitting, lookup and number conversion.

#include <gtest/gtest.h>

#include "transfer/CommandBody.h"

namespace {

TCommandBody Body(const std::string& text) { return TCommandBody(text.data(), text.size()); }

TEST(CommandBody, LinesEndAtCrLfOrCrLfAlike) {
  for (const char* end : {"\r\n", "\n", "\r"}) {
    std::string text = std::string("REMOTEFILENAME=/a b") + end + "FILENO=7" + end + end + "FILEPOS=9";
    TCommandBody body = Body(text);
    EXPECT_EQ(body.Value("REMOTEFILENAME"), "/a b") << text;
    EXPECT_EQ(body.Int32("FILENO"), 7) << text;
    EXPECT_EQ(body.Int64("FILEPOS"), 9) << text;  // a last line without a line end counts
  }
  EXPECT_EQ(Body("A=1\n\rB=2\r\r\nC=3").Value("B"), "2");
  EXPECT_EQ(Body("A=1\n\rB=2\r\r\nC=3").Value("C"), "3");
}

TEST(CommandBody, NamesAreCaseBlindButNotTrimmedAndTheFirstMatchWins) {
  TCommandBody body = Body("filepos=5\nFILEPOS=6\nFILESIZE =7\n USERNO=8\nFILENO= 9\nKEY=a=b\nNOEQUALS\n=x");
  EXPECT_EQ(body.Int64("FILEPOS"), 5);
  EXPECT_EQ(body.Value("FILESIZE"), "");  // the blank belongs to the name
  EXPECT_EQ(body.Value("USERNO"), "");
  EXPECT_EQ(body.Value("FILENO"), " 9");  // and to the value
  EXPECT_EQ(body.Int32("FILENO"), 9);     // leading blanks are allowed in numbers
  EXPECT_EQ(body.Value("KEY"), "a=b");
  EXPECT_EQ(body.Value("NOEQUALS"), "");
  EXPECT_EQ(body.Value(""), "x");
  EXPECT_EQ(body.Value("MISSING"), "");
}

TEST(CommandBody, TextEndsAtTheFirstZeroByte) {
  const std::string text("A=1\nB=2\0\nC=3", 12);
  TCommandBody body(text.data(), text.size());
  EXPECT_EQ(body.Value("B"), "2");
  EXPECT_EQ(body.Value("C"), "");
  EXPECT_EQ(TCommandBody(nullptr, 0).Value("A"), "");
}

TEST(CommandBody, DecimalNumbersWithSignAndRangeOfTheWidth) {
  auto p = [](const char* text, int bits) { return TCommandBody::ParseInteger(text, bits); };
  EXPECT_EQ(p("123", 32), 123);
  EXPECT_EQ(p("+123", 32), 123);
  EXPECT_EQ(p("-123", 64), -123);
  EXPECT_EQ(p("   42", 32), 42);
  EXPECT_EQ(p("007", 32), 7);
  EXPECT_EQ(p("2147483647", 32), 2147483647);
  EXPECT_EQ(p("-2147483648", 32), INT32_MIN);
  EXPECT_EQ(p("2147483648", 32), 0);
  EXPECT_EQ(p("-2147483649", 32), 0);
  EXPECT_EQ(p("2147483648", 64), 2147483648LL);
  EXPECT_EQ(p("9223372036854775807", 64), INT64_MAX);
  EXPECT_EQ(p("-9223372036854775808", 64), INT64_MIN);
  EXPECT_EQ(p("9223372036854775808", 64), 0);
  EXPECT_EQ(p("99999999999999999999999", 64), 0);
  for (const char* bad : {"", " ", "-", "+", "12 ", "1 2", "- 1", "1.5", "1e3", "--1", "+-1", "12a", "\t1"})
    EXPECT_EQ(p(bad, 64), 0) << '"' << bad << '"';
}

TEST(CommandBody, HexadecimalIsTheBitPatternOfTheWidth) {
  auto p = [](const char* text, int bits) { return TCommandBody::ParseInteger(text, bits); };
  for (const char* ten : {"$a", "xA", "X0a", "0xA", "0X0000000a", " $A"}) EXPECT_EQ(p(ten, 32), 10) << ten;
  EXPECT_EQ(p("$FFFFFFFF", 32), -1);
  EXPECT_EQ(p("$FFFFFFFF", 64), 4294967295LL);
  EXPECT_EQ(p("$80000000", 32), INT32_MIN);
  EXPECT_EQ(p("$100000000", 32), 0);  // wider than the width
  EXPECT_EQ(p("$0000000100000000", 64), 4294967296LL);
  EXPECT_EQ(p("$FFFFFFFFFFFFFFFF", 64), -1);
  EXPECT_EQ(p("$10000000000000000", 64), 0);
  EXPECT_EQ(p("-$10", 32), -16);
  EXPECT_EQ(p("-$FFFFFFFF", 32), 1);
  EXPECT_EQ(p("-$80000000", 32), INT32_MIN);
  for (const char* bad : {"$", "0x", "x", "$G", "$1 ", "0x-1", "$ 1", "00x1"}) EXPECT_EQ(p(bad, 32), 0) << bad;
}

}  // namespace

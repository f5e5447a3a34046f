// The wire header: byte order, command letters and their comparison.

#include <gtest/gtest.h>

#include "transfer/SocketLib.h"

namespace {

MsgHeader FromBytes(const char (&bytes)[9]) {
  return DecodeHeader(reinterpret_cast<const unsigned char*>(bytes));
}

TEST(MsgHeader, SizeIsLittleEndianWhateverTheHost) {
  EXPECT_EQ(FromBytes("DNLD\x10\x00\x00\x00").SIZE, 16);
  EXPECT_EQ(FromBytes("DNLD\xFF\xFF\xFF\xFF").SIZE, -1);
  EXPECT_EQ(FromBytes("DNLD\x80\x3E\x00\x00").SIZE, 16000);
  EXPECT_EQ(FromBytes("DNLD\x00\x00\x00\x80").SIZE, INT32_MIN);

  unsigned char out[MSG_HEADER_SIZE];
  EncodeHeader(MakeHeader("UP02", 0x01020304), out);
  const unsigned char expected[] = {'U', 'P', '0', '2', 0x04, 0x03, 0x02, 0x01};
  EXPECT_EQ(0, memcmp(out, expected, sizeof expected));
  EncodeHeader(MakeHeader("", -2), out);
  const unsigned char errorHeader[] = {0, 0, 0, 0, 0xFE, 0xFF, 0xFF, 0xFF};
  EXPECT_EQ(0, memcmp(out, errorHeader, sizeof errorHeader));
}

TEST(MsgHeader, CommandsAreCutAtTheFirstZeroAndCaseSensitive) {
  EXPECT_TRUE(IsCommand(FromBytes("UPLD\0\0\0\0"), "UPLD"));
  EXPECT_FALSE(IsCommand(FromBytes("upld\0\0\0\0"), "UPLD"));
  EXPECT_FALSE(IsCommand(FromBytes("UPL\0\0\0\0\0"), "UPLD"));
  EXPECT_FALSE(IsCommand(FromBytes("UPLE\0\0\0\0"), "UPLD"));
  EXPECT_EQ(CommandText(FromBytes("DN\0D\0\0\0\0")), "DN");
  EXPECT_EQ(CommandText(FromBytes("\0\0\0\0\0\0\0\0")), "");
  EXPECT_EQ(CommandText(FromBytes("DL01\x41\x42\0\0")), "DL01");  // never runs into SIZE
}

}  // namespace

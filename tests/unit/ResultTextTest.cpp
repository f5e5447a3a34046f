// Result-code texts. On Windows this file is compiled to code page 949 like
// the table itself; the byte checks below pin the encoding of each build.
// The client prints its own English meaning beside a code instead.

#include <algorithm>
#include <set>
#include <string>

#include <gtest/gtest.h>

#include "client/ResultMeaning.h"
#include "client/Transfer.h"
#include "transfer/uGlobal.h"

namespace {

TEST(ResultText, EveryCodeHasItsText) {
  const char* expected[] = {
      "성공입니다.", "디스크가 꽉 찼습니다.", "파일이 존재하지 않습니다.", "권한이 없습니다.",
      "읽기 전용 파일입니다.", "이미 존재하는 파일입니다.", "디렉토리가 존재하지 않습니다.",
      "디렉토리를 만들 수 없습니다.", "디스크가 존재하지 않습니다.", "파일 크기가 일치하지 않습니다.",
      "파일을 열 수 없습니다.", "파일 포인터 위치를 이동할 수 없습니다.", "파일을 읽을 수 없습니다.",
      "파일을 쓸 수 없습니다.", "파일을 닫을 수 없습니다.", "접속에 실패하였습니다.",
      "읽기 타임아웃입니다.", "쓰기 타임아웃입니다.", "프로토콜 불일치입니다.",
      "중지요청이 있었습니다.", "일반 에러입니다.", "사용자에 의한 중지입니다.",
      "[22] 에러 정보가 없습니다.", "파일 쓰기 에러."};
  for (int code = 0; code <= 23; ++code) EXPECT_EQ(ResultText(code), expected[code]) << "code " << code;
}

TEST(ResultText, CodesWithoutTextTakeTheDefaultWithSignedCode) {
  EXPECT_EQ(ResultText(22), "[22] 에러 정보가 없습니다.");
  EXPECT_EQ(ResultText(24), "[24] 에러 정보가 없습니다.");
  EXPECT_EQ(ResultText(-1), "[-1] 에러 정보가 없습니다.");
  EXPECT_EQ(ResultText(-5), "[-5] 에러 정보가 없습니다.");
  EXPECT_EQ(ResultText(INT32_MIN), "[-2147483648] 에러 정보가 없습니다.");
}

TEST(ResultText, BytesAreThoseOfTheBuildsEncoding) {
#ifdef _WIN32
  // "읽기" in code page 949 is C0 D0 B1 E2.
  EXPECT_EQ(ResultText(16).substr(0, 4), "\xC0\xD0\xB1\xE2");
#else
  EXPECT_EQ(ResultText(16).substr(0, 6), "\xEC\x9D\xBD\xEA\xB8\xB0");
#endif
}

// A user reads English whatever the server's code page: every code the
// server may send has a meaning of its own in plain ASCII.
TEST(ResultText, TheClientPrintsAnEnglishMeaningBesideEachCode) {
  EXPECT_EQ(Refusal("upload to /srv/a.bin", rcNoPermission).message,
            "upload to /srv/a.bin refused by the server: 3 (permission denied)");
  std::set<std::string> meanings;
  for (std::int32_t code = 0; code <= rcBusy; ++code) {
    const std::string meaning = ResultMeaning(code);
    EXPECT_TRUE(std::all_of(meaning.begin(), meaning.end(), [](char c) { return c >= ' ' && c < 0x7F; })) << code;
    EXPECT_TRUE(code == 22 || meanings.insert(meaning).second) << code << ": " << meaning;
  }
  for (std::int32_t code : {22, 25, -1, INT32_MIN}) EXPECT_EQ(ResultMeaning(code), "unknown code") << code;
}

}  // namespace

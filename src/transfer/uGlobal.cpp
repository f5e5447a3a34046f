#include "transfer/uGlobal.h"
#include "base/Format.h"

#include <cstdint>

namespace {

// Windows builds compile this file with the execution character set CP949,
// so the same literals become the product's Korean ANSI bytes there.
const char* const kResultTexts[] = {
    "성공입니다.",
    "디스크가 꽉 찼습니다.",
    "파일이 존재하지 않습니다.",
    "권한이 없습니다.",
    "읽기 전용 파일입니다.",
    "이미 존재하는 파일입니다.",
    "디렉토리가 존재하지 않습니다.",
    "디렉토리를 만들 수 없습니다.",
    "디스크가 존재하지 않습니다.",
    "파일 크기가 일치하지 않습니다.",
    "파일을 열 수 없습니다.",
    "파일 포인터 위치를 이동할 수 없습니다.",
    "파일을 읽을 수 없습니다.",
    "파일을 쓸 수 없습니다.",
    "파일을 닫을 수 없습니다.",
    "접속에 실패하였습니다.",
    "읽기 타임아웃입니다.",
    "쓰기 타임아웃입니다.",
    "프로토콜 불일치입니다.",
    "중지요청이 있었습니다.",
    "일반 에러입니다.",
    "사용자에 의한 중지입니다.",
    nullptr,  // 22 has no text of its own
    "파일 쓰기 에러.",
};
const char kDefaultText[] = "[%d] 에러 정보가 없습니다.";

}  // namespace

std::string ResultText(std::int32_t code) {
  const auto index = static_cast<std::uint32_t>(code);
  if (index < sizeof kResultTexts / sizeof kResultTexts[0] && kResultTexts[index] != nullptr)
    return kResultTexts[index];
  return Format(kDefaultText, static_cast<int>(code));
}

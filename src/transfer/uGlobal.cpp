#include "transfer/uGlobal.h"

#include <cstdarg>
#include <cstdio>
#include <mutex>
#include <stdexcept>

#include "platform/Clock.h"
#include "platform/Files.h"
#include "platform/Paths.h"
#include "transfer/Metrics.h"

// Workers may still run while the process exits, so this is never destroyed.
std::string& LogPath = *new std::string;

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

// Lines of all threads go through one open-append-close at a time, so no
// line is lost to another writer holding the file.
std::mutex logMutex;

}  // namespace

std::string ResultText(std::int32_t code) {
  const auto index = static_cast<std::uint32_t>(code);
  if (index < sizeof kResultTexts / sizeof kResultTexts[0] && kResultTexts[index] != nullptr)
    return kResultTexts[index];
  return Format(kDefaultText, static_cast<int>(code));
}

std::string Format(const char* format, ...) {
  va_list args;
  va_start(args, format);
  va_list copy;
  va_copy(copy, args);
  int length = std::vsnprintf(nullptr, 0, format, copy);
  va_end(copy);
  std::string text(length > 0 ? static_cast<std::size_t>(length) : 0, '\0');
  if (length > 0) std::vsnprintf(text.data(), text.size() + 1, format, args);
  va_end(args);
  return text;
}

void WriteLog(const std::string& prefix, const std::string& message) {
  platform::CreateDirectories(platform::DirectoryPart(prefix));
  // One clock reading names the file and stamps the line, so a line written
  // at midnight lies in the file of its own date.
  const platform::LocalTime now = platform::LocalNow();
  const std::string fileName = prefix + Format("%4.4d%2.2d%2.2d", now.year, now.month, now.day) + ".log";
  const std::string line = Format("%2.2d:%2.2d:%2.2d", now.hour, now.minute, now.second) + "  " + message + "\r\n";

  std::lock_guard<std::mutex> lock(logMutex);
  platform::FileHandle file = platform::OpenFile(fileName, platform::OpenMode::kAppend);
  if (file == platform::kNoFile) return;
  const bool written = platform::WriteFile(file, line.data(), line.size());
  const int error = platform::LastError();
  platform::CloseFile(file);
  if (!written) ++Metrics().FailedLogWrites;
  if (!written) throw std::runtime_error("WriteLog(" + fileName + "): " + platform::ErrorText(error));
}

// Feeds arbitrary bytes to the command-body parser and checks what every
// received body must satisfy, whatever a client sends.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "transfer/CommandBody.h"

namespace {

void Check(bool condition) {
  if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const char* text = reinterpret_cast<const char*>(data);
  TCommandBody body(text, size);
  for (const char* key : {"REMOTEFILENAME", "FILENO", "USERNO", "FILESIZE", "FILEPOS"}) {
    const std::string value = body.Value(key);
    // A value never runs past its line or past the end of the text.
    Check(value.find_first_of(std::string("\r\n\0", 3)) == std::string::npos);
    Check(value.size() < size || size == 0);
    const std::int64_t wide = body.Int64(key);
    const std::int64_t narrow = TCommandBody::ParseInteger(value, 32);
    Check(narrow >= INT32_MIN && narrow <= INT32_MAX);
    Check(body.Int32(key) == narrow);
    // A number that fits 32 bits reads the same at 64 bits, unless it is a
    // hexadecimal pattern whose sign bit differs between the widths.
    if (narrow > 0 && value.find_first_of("$xX") == std::string::npos) Check(wide == narrow);
  }
  // The whole input as one value: the parser must stay within it.
  TCommandBody::ParseInteger(std::string(text, size), 64);
  TCommandBody::ParseInteger(std::string(text, size), 32);
  return 0;
}

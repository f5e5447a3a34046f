#include "client/StreamTail.h"

#include "transfer/SocketLib.h"
#include "transfer/uGlobal.h"

std::int32_t ErrorHeaderCode(const std::string& bytes, bool alone) {
  if (bytes.size() != MSG_HEADER_SIZE) return 0;
  MsgHeader header = DecodeHeader(reinterpret_cast<const unsigned char*>(bytes.data()));
  for (char letter : header.CMD)
    if (letter != 0) return 0;
  // Opening or positioning the file failed, or FILEPOS lies beyond FILESIZE:
  // the header is the only thing sent.
  if (alone && (header.SIZE == rcSizeMismatch || header.SIZE == rcOpenFile || header.SIZE == rcSeekFile))
    return header.SIZE;
  // A read of the file failed, before or after some of its data.
  if (header.SIZE == rcReadFile) return header.SIZE;
  return 0;
}

void TStreamTail::Push(const char* data, std::size_t length, std::string& certain) {
  FReceived += static_cast<std::int64_t>(length);
  FHeld.append(data, length);
  const std::size_t keep = FHeld.size() < MSG_HEADER_SIZE ? FHeld.size() : MSG_HEADER_SIZE;
  certain.assign(FHeld, 0, FHeld.size() - keep);
  FHeld.erase(0, FHeld.size() - keep);
}

std::int32_t TStreamTail::Finish(std::string& rest) const {
  rest.clear();
  if (FReceived != FExpected) {
    std::int32_t code = ErrorHeaderCode(FHeld, FReceived == MSG_HEADER_SIZE);
    if (code != 0) return code;
  }
  rest = FHeld;
  return 0;
}

std::int64_t TStreamTail::DataBytes() const {
  std::string rest;
  return Finish(rest) == 0 ? FReceived : FReceived - MSG_HEADER_SIZE;
}

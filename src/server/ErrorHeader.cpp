#include "server/ErrorHeader.h"

#include "transfer/uGlobal.h"

std::int32_t SendErrorHeader(TSocket s, std::int32_t code, const char* step, const char* what,
                             const std::string& name, std::string& error) {
  if (WriteHeader(s, MakeHeader("", code), kPeerWaitSeconds).Ok()) return code;
  error = Format("%s(%s): failed, %s, %s", step, name.c_str(), ResultText(rcWriteTimeout).c_str(), what);
  return rcWriteTimeout;
}

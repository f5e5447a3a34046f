#include "server/ErrorHeader.h"

#include "transfer/uGlobal.h"

std::int32_t SendErrorHeader(TConnection& connection, std::int32_t code, const char* step, const char* what,
                             const std::string& name, std::string& error) {
  if (connection.WriteHeader(MakeHeader("", code), kPeerWaitSeconds).Ok()) return code;
  error = Format("%s(%s): failed, %s, %s", step, name.c_str(), ResultText(rcWriteTimeout).c_str(), what);
  return rcWriteTimeout;
}

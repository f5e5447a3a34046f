#include "platform/Hmac.h"

#include <openssl/evp.h>
#include <openssl/hmac.h>

namespace platform {

bool HmacSha256(const std::string& key, const std::string& message, std::string& digest) {
  unsigned char out[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (!HMAC(EVP_sha256(), key.data(), static_cast<int>(key.size()), reinterpret_cast<const unsigned char*>(message.data()),
            message.size(), out, &length))
    return false;
  digest.assign(reinterpret_cast<const char*>(out), length);
  return true;
}

}  // namespace platform

#include "platform/Hmac.h"

#include <windows.h>
#include <bcrypt.h>

namespace platform {

namespace {

bool Succeeded(NTSTATUS status) { return status >= 0; }

}  // namespace

bool HmacSha256(const std::string& key, const std::string& message, std::string& digest) {
  BCRYPT_ALG_HANDLE algorithm = nullptr;
  if (!Succeeded(::BCryptOpenAlgorithmProvider(&algorithm, BCRYPT_SHA256_ALGORITHM, nullptr,
                                               BCRYPT_ALG_HANDLE_HMAC_FLAG)))
    return false;
  BCRYPT_HASH_HANDLE hash = nullptr;
  unsigned char out[32];
  // CNG takes non-const buffers it does not change.
  bool done = Succeeded(::BCryptCreateHash(algorithm, &hash, nullptr, 0,
                                           reinterpret_cast<PUCHAR>(const_cast<char*>(key.data())),
                                           static_cast<ULONG>(key.size()), 0));
  done = done && Succeeded(::BCryptHashData(hash, reinterpret_cast<PUCHAR>(const_cast<char*>(message.data())),
                                            static_cast<ULONG>(message.size()), 0));
  done = done && Succeeded(::BCryptFinishHash(hash, out, sizeof out, 0));
  if (hash) ::BCryptDestroyHash(hash);
  ::BCryptCloseAlgorithmProvider(algorithm, 0);
  if (done) digest.assign(reinterpret_cast<const char*>(out), sizeof out);
  return done;
}

}  // namespace platform

#include "platform/Sha256.h"

#include <openssl/evp.h>

namespace platform {

// A context that failed once (only an allocation can) stays failed until
// Finish reports it and starts over.
struct Sha256::State {
  EVP_MD_CTX* context = EVP_MD_CTX_new();
  bool ok = false;

  State() { Start(); }
  ~State() { EVP_MD_CTX_free(context); }
  void Start() { ok = context != nullptr && EVP_DigestInit_ex(context, EVP_sha256(), nullptr) == 1; }
};

Sha256::Sha256() : FState(std::make_unique<State>()) {}
Sha256::~Sha256() = default;

void Sha256::Update(const void* data, std::size_t length) {
  if (FState->ok && length > 0) FState->ok = EVP_DigestUpdate(FState->context, data, length) == 1;
}

bool Sha256::Finish(Sha256Digest& digest) {
  Sha256Digest result;
  unsigned int length = 0;
  const bool ok = FState->ok && EVP_DigestFinal_ex(FState->context, result.data(), &length) == 1 &&
                  length == result.size();
  FState->Start();
  if (ok) digest = result;
  return ok;
}

}  // namespace platform

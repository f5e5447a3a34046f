#include "platform/Sha256.h"

#include <windows.h>
#include <bcrypt.h>

namespace platform {

namespace {

// The algorithm provider is opened once and shared: hashes made from it may
// run on any thread.
BCRYPT_ALG_HANDLE Provider() {
  static const BCRYPT_ALG_HANDLE provider = [] {
    BCRYPT_ALG_HANDLE handle = nullptr;
    if (!BCRYPT_SUCCESS(BCryptOpenAlgorithmProvider(&handle, BCRYPT_SHA256_ALGORITHM, nullptr, 0))) return BCRYPT_ALG_HANDLE{};
    return handle;
  }();
  return provider;
}

}  // namespace

// A hash that failed once stays failed until Finish reports it and starts
// over with a new one.
struct Sha256::State {
  BCRYPT_HASH_HANDLE hash = nullptr;
  bool ok = false;

  State() { Start(); }
  ~State() { Close(); }
  void Close() {
    if (hash != nullptr) BCryptDestroyHash(hash);
    hash = nullptr;
  }
  void Start() {
    Close();
    const BCRYPT_ALG_HANDLE provider = Provider();
    ok = provider != nullptr && BCRYPT_SUCCESS(BCryptCreateHash(provider, &hash, nullptr, 0, nullptr, 0, 0));
  }
};

Sha256::Sha256() : FState(std::make_unique<State>()) {}
Sha256::~Sha256() = default;

void Sha256::Update(const void* data, std::size_t length) {
  auto* bytes = static_cast<PUCHAR>(const_cast<void*>(data));
  // CNG takes at most 4 GiB - 1 at a time.
  while (FState->ok && length > 0) {
    const ULONG step = length > 0x40000000 ? 0x40000000 : static_cast<ULONG>(length);
    FState->ok = BCRYPT_SUCCESS(BCryptHashData(FState->hash, bytes, step, 0));
    bytes += step;
    length -= step;
  }
}

bool Sha256::Finish(Sha256Digest& digest) {
  Sha256Digest result;
  const bool ok = FState->ok && BCRYPT_SUCCESS(BCryptFinishHash(FState->hash, result.data(), result.size(), 0));
  FState->Start();
  if (ok) digest = result;
  return ok;
}

}  // namespace platform

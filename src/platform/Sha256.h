#pragma once
// SHA-256 from the system's own implementation (OpenSSL's libcrypto on
// POSIX, CNG on Windows): a digest that guards stored bytes is never
// hand-written.

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>

namespace platform {

using Sha256Digest = std::array<std::uint8_t, 32>;

class Sha256 {
 public:
  Sha256();
  ~Sha256();
  Sha256(const Sha256&) = delete;
  Sha256& operator=(const Sha256&) = delete;

  void Update(const void* data, std::size_t length);
  // The digest of everything given since the start or the last Finish, which
  // begins the next digest. False when the system could not compute it (it
  // could not allocate its state); `digest` is then unchanged.
  bool Finish(Sha256Digest& digest);

 private:
  struct State;
  std::unique_ptr<State> FState;
};

}  // namespace platform

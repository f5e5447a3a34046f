#include "transfer/BlockDigest.h"

#include <algorithm>
#include <memory>
#include <new>

namespace {

// Large enough that each read costs little beside the hashing; reused for
// the whole file.
constexpr std::size_t kReadStep = 1 << 20;

}  // namespace

void TBlockDigest::Update(const void* data, std::size_t length) {
  const auto* bytes = static_cast<const std::uint8_t*>(data);
  while (length > 0) {
    const std::size_t room = static_cast<std::size_t>(kDigestBlockSize - FInBlock);
    const std::size_t step = std::min(length, room);
    FBlock.Update(bytes, step);
    FInBlock += static_cast<std::int64_t>(step);
    bytes += step;
    length -= step;
    if (FInBlock == kDigestBlockSize) EndBlock();
  }
}

void TBlockDigest::EndBlock() {
  TDigest block{};
  if (!FBlock.Finish(block)) FOk = false;
  FBlocks.push_back(block);
  FInBlock = 0;
}

bool TBlockDigest::Finish(TDigest& digest) {
  if (FInBlock > 0) EndBlock();
  platform::Sha256 outer;
  for (const TDigest& block : FBlocks) outer.Update(block.data(), block.size());
  return outer.Finish(digest) && FOk;
}

DigestStatus DigestOfFile(platform::FileHandle file, std::int64_t length, TDigest& digest) {
  const std::unique_ptr<std::uint8_t[]> buffer(new (std::nothrow) std::uint8_t[kReadStep]);
  if (!buffer) return DigestStatus::kNoMemory;
  TBlockDigest blocks;
  for (std::int64_t left = length; left > 0;) {
    const long n = platform::ReadFile(file, buffer.get(), static_cast<std::size_t>(std::min<std::int64_t>(left, kReadStep)));
    if (n < 0) return DigestStatus::kReadFailed;
    if (n == 0) return DigestStatus::kShortFile;
    blocks.Update(buffer.get(), static_cast<std::size_t>(n));
    left -= n;
  }
  return blocks.Finish(digest) ? DigestStatus::kDone : DigestStatus::kNoMemory;
}

std::string DigestHex(const TDigest& digest) {
  static const char kDigits[] = "0123456789abcdef";
  std::string text;
  text.reserve(digest.size() * 2);
  for (const std::uint8_t byte : digest) {
    text += kDigits[byte >> 4];
    text += kDigits[byte & 15];
  }
  return text;
}

#pragma once
// The digest of a file's first N bytes, which the client and the server both
// compute to prove that a resume continues the same bytes. The bytes are cut
// into blocks of 4 MiB (the last one may be shorter); each block gets its
// SHA-256, and the digest is the SHA-256 of those block digests one after
// the other. An empty prefix has no blocks: its digest is the SHA-256 of
// nothing. Kept per block, a digest can be brought up to date when a file
// grows at the cost of its last block only.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/Files.h"
#include "platform/Sha256.h"

constexpr std::int64_t kDigestBlockSize = 4 << 20;

using TDigest = platform::Sha256Digest;

// The digest of bytes given in order, in pieces of any size.
class TBlockDigest {
 public:
  void Update(const void* data, std::size_t length);
  // The digest of everything given; false when the system could not compute
  // a SHA-256. Ends this digest: give it nothing more.
  bool Finish(TDigest& digest);

  // The digests of the blocks completed so far.
  const std::vector<TDigest>& Blocks() const { return FBlocks; }

 private:
  void EndBlock();

  platform::Sha256 FBlock;
  std::int64_t FInBlock = 0;
  std::vector<TDigest> FBlocks;
  bool FOk = true;
};

enum class DigestStatus {
  kDone,
  kShortFile,   // the file ended before `length` bytes
  kReadFailed,  // a read failed; the platform's last error says why
  kNoMemory,    // no read buffer, or the system could not compute a SHA-256
};

// The digest of the first `length` bytes of `file`, read from its current
// position (normally 0) to there.
DigestStatus DigestOfFile(platform::FileHandle file, std::int64_t length, TDigest& digest);

// Lower-case hexadecimal, 64 characters.
std::string DigestHex(const TDigest& digest);

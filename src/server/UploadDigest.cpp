#include "server/UploadDigest.h"

#include <vector>

#include "platform/UniqueHandle.h"
#include "server/Metrics.h"

void TUploadDigest::Begin(const std::string& name, platform::FileHandle file, std::int64_t position) {
  FName = name;
  FPosition = position;
  std::vector<TDigest> blocks = LoadDigests(name, file);
  const auto whole = static_cast<std::size_t>(position / kDigestBlockSize);
  FActive = blocks.size() >= whole && FRecord.Open(name);
  if (!FActive) return;
  blocks.resize(whole);
  FBlocks.Seed(std::move(blocks));
}

void TUploadDigest::Start(platform::FileHandle file) {
  if (!FActive) return;
  const std::int64_t from = FPosition / kDigestBlockSize * kDigestBlockSize;
  if (from < FPosition) {
    const platform::UniqueFile reader(platform::OpenFile(FName, platform::OpenMode::kReadExisting));
    FActive = reader.valid() && platform::SeekFile(reader.get(), from) &&
              ReadIntoDigest(reader.get(), FPosition - from, FBlocks) == DigestStatus::kDone;
    Metrics().DigestBytesRead += static_cast<std::uint64_t>(FPosition - from);
    if (!FActive) return;
  }
  Record(file, Blocks());
}

void TUploadDigest::Add(const void* data, std::size_t length) {
  if (FActive) FBlocks.Update(data, length);
}

void TUploadDigest::Record(platform::FileHandle file, std::size_t blocks) {
  platform::FileIdentity identity;
  if (FActive && platform::OpenFileIdentity(file, identity)) FRecord.Write(identity, FBlocks.Blocks(), blocks);
}

bool TUploadDigest::Finish(platform::FileHandle file, TDigest& digest) {
  if (!FActive || !FBlocks.Finish(digest)) return false;
  FActive = false;
  platform::FileIdentity identity;
  if (platform::OpenFileIdentity(file, identity)) FRecord.Write(identity, FBlocks.Blocks(), Blocks());
  FRecord.Close();
  return true;
}

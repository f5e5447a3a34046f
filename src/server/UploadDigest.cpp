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
  Record(file, TakeNewBlocks());
}

void TUploadDigest::Add(const void* data, std::size_t length) {
  if (FActive) FBlocks.Update(data, length);
}

std::vector<TDigest> TUploadDigest::TakeNewBlocks() {
  const std::vector<TDigest>& blocks = FBlocks.Blocks();
  std::vector<TDigest> taken(blocks.begin() + static_cast<std::ptrdiff_t>(FTaken), blocks.end());
  FTaken = blocks.size();
  return taken;
}

void TUploadDigest::Record(platform::FileHandle file, const std::vector<TDigest>& blocks) {
  if (!FActive) return;
  FRecorded.insert(FRecorded.end(), blocks.begin(), blocks.end());
  platform::FileIdentity identity;
  if (platform::OpenFileIdentity(file, identity)) FRecord.Write(identity, FRecorded);
}

bool TUploadDigest::Finish(platform::FileHandle file, TDigest& digest) {
  if (!FActive || !FBlocks.Finish(digest)) return false;
  FActive = false;
  platform::FileIdentity identity;
  if (platform::OpenFileIdentity(file, identity)) FRecord.Write(identity, FBlocks.Blocks());
  FRecord.Close();
  return true;
}

#include "server/DigestRecord.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "platform/FileLocks.h"
#include "platform/Paths.h"
#include "platform/UniqueHandle.h"
#include "server/Metrics.h"

namespace {

constexpr char kMagic[8] = {'V', 'X', 'D', 'G', 'S', 'T', '0', '1'};
constexpr char kSuffix[] = ".vardex-digests";
// Magic, volume, index, size, modified time, number of blocks.
constexpr std::size_t kHeaderSize = 8 + 5 * 8;
// Far beyond any record's data: the lock of its one writer.
constexpr std::int64_t kWriterByte = std::int64_t{1} << 62;

using Header = std::array<std::uint8_t, kHeaderSize>;

void Put64(std::uint8_t* at, std::uint64_t value) {
  for (int i = 0; i < 8; ++i) at[i] = static_cast<std::uint8_t>(value >> (8 * i));
}

std::uint64_t Get64(const std::uint8_t* at) {
  std::uint64_t value = 0;
  for (int i = 7; i >= 0; --i) value = (value << 8) | at[i];
  return value;
}

Header MakeHeader(const platform::FileIdentity& identity, std::uint64_t blocks) {
  Header header{};
  std::memcpy(header.data(), kMagic, sizeof kMagic);
  Put64(header.data() + 8, identity.volume);
  Put64(header.data() + 16, identity.index);
  Put64(header.data() + 24, static_cast<std::uint64_t>(identity.size));
  Put64(header.data() + 32, static_cast<std::uint64_t>(identity.modified));
  Put64(header.data() + 40, blocks);
  return header;
}

// The number of blocks that a file of `size` bytes has.
std::uint64_t BlocksOf(std::int64_t size) {
  return static_cast<std::uint64_t>((size + kDigestBlockSize - 1) / kDigestBlockSize);
}

bool ReadAll(platform::FileHandle file, void* data, std::size_t length) {
  auto* bytes = static_cast<std::uint8_t*>(data);
  while (length > 0) {
    const long n = platform::ReadFile(file, bytes, length);
    if (n <= 0) return false;
    bytes += n;
    length -= static_cast<std::size_t>(n);
  }
  return true;
}

}  // namespace

std::string DigestRecordName(const std::string& fileName) {
  const std::string directory = platform::DirectoryPart(fileName);
  return directory + "." + fileName.substr(directory.size()) + kSuffix;
}

bool IsDigestRecordName(const std::string& name) {
  const std::string component = name.substr(platform::DirectoryPart(name).size());
  const std::size_t suffix = sizeof kSuffix - 1;
  return component.size() > suffix + 1 && component[0] == '.' &&
         component.compare(component.size() - suffix, suffix, kSuffix) == 0;
}

std::vector<TDigest> LoadDigests(const std::string& fileName, platform::FileHandle file) {
  platform::FileIdentity before, after;
  if (!platform::OpenFileIdentity(file, before)) return {};
  const platform::UniqueFile record(platform::OpenFile(DigestRecordName(fileName), platform::OpenMode::kReadExisting));
  if (!record.valid()) return {};
  Header header{};
  if (!ReadAll(record.get(), header.data(), header.size()) || header != MakeHeader(before, Get64(header.data() + 40)))
    return {};
  const std::uint64_t count = Get64(header.data() + 40);
  if (count > BlocksOf(before.size)) return {};
  std::vector<TDigest> blocks(static_cast<std::size_t>(count));
  for (TDigest& block : blocks)
    if (!ReadAll(record.get(), block.data(), block.size())) return {};
  // A writer changes the file before its record: a file still as it was
  // after the record was read had the record's digests.
  if (!platform::OpenFileIdentity(file, after) || after != before) return {};
  return blocks;
}

DigestStatus KeptDigest(const std::string& fileName, platform::FileHandle file, std::int64_t length, TDigest& digest) {
  platform::FileIdentity before;
  const bool known = platform::OpenFileIdentity(file, before);
  std::vector<TDigest> kept = LoadDigests(fileName, file);
  // Whole blocks only, unless the record ends where the file and the prefix
  // end: then its last block is the prefix's last.
  const bool whole = known && length == before.size;
  if (!(whole && kept.size() == BlocksOf(length)))
    kept.resize(std::min(kept.size(), static_cast<std::size_t>(length / kDigestBlockSize)));
  const std::int64_t from = std::min<std::int64_t>(static_cast<std::int64_t>(kept.size()) * kDigestBlockSize, length);
  TBlockDigest blocks;
  blocks.Seed(std::move(kept));
  if (from < length) {
    if (!platform::SeekFile(file, from)) return DigestStatus::kReadFailed;
    const DigestStatus read = ReadIntoDigest(file, length - from, blocks);
    Metrics().DigestBytesRead += static_cast<std::uint64_t>(length - from);
    if (read != DigestStatus::kDone) return read;
  }
  if (!blocks.Finish(digest)) return DigestStatus::kNoMemory;

  platform::FileIdentity after;
  TDigestRecordWriter record;
  if (from < length && whole && platform::OpenFileIdentity(file, after) && after == before && record.Open(fileName))
    record.Write(before, blocks.Blocks());
  return DigestStatus::kDone;
}

bool TDigestRecordWriter::Open(const std::string& fileName) {
  Close();
  FRecord = platform::OpenFile(DigestRecordName(fileName), platform::OpenMode::kWriteKeep);
  if (FRecord == platform::kNoFile) return false;
  const platform::LockResult lock = platform::TryLockByte(FRecord, kWriterByte);
  if (lock == platform::LockResult::kLocked || lock == platform::LockResult::kUnsupported) return true;
  Close();
  return false;
}

void TDigestRecordWriter::Write(const platform::FileIdentity& identity, const std::vector<TDigest>& blocks) {
  if (FRecord == platform::kNoFile) return;
  // Until the new digests are all there, the record describes no file.
  std::size_t from = FWholeBlocks;
  if (!FWritten) {
    from = 0;
    if (!WriteAt(0, MakeHeader(platform::FileIdentity{}, 0).data(), kHeaderSize)) return;
  }
  for (std::size_t i = from; i < blocks.size(); ++i)
    if (!WriteAt(static_cast<std::int64_t>(kHeaderSize + i * sizeof(TDigest)), blocks[i].data(), sizeof(TDigest)))
      return;
  if (!WriteAt(0, MakeHeader(identity, blocks.size()).data(), kHeaderSize)) return;
  FWritten = true;
  FWholeBlocks = static_cast<std::size_t>(identity.size / kDigestBlockSize);
  if (FWholeBlocks > blocks.size()) FWholeBlocks = blocks.size();
}

bool TDigestRecordWriter::WriteAt(std::int64_t offset, const void* data, std::size_t length) {
  if (platform::SeekFile(FRecord, offset) && platform::WriteFile(FRecord, data, length)) return true;
  // A record that cannot be written is given up: the file itself is fine.
  Close();
  return false;
}

void TDigestRecordWriter::Close() {
  if (FRecord == platform::kNoFile) return;
  platform::UnlockByte(FRecord, kWriterByte);
  platform::CloseFile(FRecord);
  FRecord = platform::kNoFile;
  FWritten = false;
  FWholeBlocks = 0;
}

#pragma once
// The block digests of a file, kept beside it so that a digest request or a
// resumed upload reads only what no record covers. The record lies in the
// file's own directory under a hidden name (".NAME.vardex-digests"), so that
// it moves with the file to whatever volume holds it, is shared by every
// instance that shares the volume, and needs neither extended attributes
// (too small on ext4 for a large file's digests, lost by many copies) nor
// alternate streams (NTFS only). No conversation serves such a name
// (Confinement.h). A record only saves time: it holds the file's identity
// (platform::FileIdentity) as it was when the digests were taken and is
// used only while the file still has exactly that identity; a missing,
// damaged or stale record makes the digests be read from the file again.

#include <cstdint>
#include <string>
#include <vector>

#include "platform/Files.h"
#include "transfer/BlockDigest.h"

// The record's name for `fileName`, and whether `name` is such a name.
std::string DigestRecordName(const std::string& fileName);
bool IsDigestRecordName(const std::string& name);

// The digests of the first blocks of `fileName` from its record, when the
// record describes the file as the open `file` is now (looked at before and
// after the record is read); none otherwise. The last one may be of a
// partial block: it is when they cover the whole file.
std::vector<TDigest> LoadDigests(const std::string& fileName, platform::FileHandle file);

// The digest of the first `length` bytes of `fileName`, open as `file` at
// position 0: the blocks that its record holds are taken from there, the
// rest is read. The digest of the whole file, read while it stayed
// unchanged, is recorded for the next request.
DigestStatus KeptDigest(const std::string& fileName, platform::FileHandle file, std::int64_t length, TDigest& digest);

// Writes a file's record in place, while holding a lock on it: one writer
// at a time, on any instance. Written in an order that a crash or a reader
// in between never finds a current identity with digests not yet written.
class TDigestRecordWriter {
 public:
  TDigestRecordWriter() = default;
  ~TDigestRecordWriter() { Close(); }
  TDigestRecordWriter(const TDigestRecordWriter&) = delete;
  TDigestRecordWriter& operator=(const TDigestRecordWriter&) = delete;

  // False when the record cannot be opened or another writer holds it.
  bool Open(const std::string& fileName);
  // Records `blocks` as the digests of the file as `identity` tells it. The
  // first call writes them all; later ones, of the same file grown, write
  // from the first block that was partial or missing the last time.
  void Write(const platform::FileIdentity& identity, const std::vector<TDigest>& blocks);
  void Close();

 private:
  bool WriteAt(std::int64_t offset, const void* data, std::size_t length);

  platform::FileHandle FRecord = platform::kNoFile;
  bool FWritten = false;
  // The blocks already in the record that stay as they are when it grows.
  std::size_t FWholeBlocks = 0;
};

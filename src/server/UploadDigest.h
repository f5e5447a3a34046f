#pragma once
// The block digests of a file that an upload writes, kept up to date as it
// writes: the record (DigestRecord.h) is brought up to date after every
// flush, so that a resume, here or on another instance sharing the volume,
// reads at most the one block before its position, and the digest of the
// whole file is there when the upload completes.

#include <cstdint>
#include <string>
#include <vector>

#include "platform/Files.h"
#include "server/DigestRecord.h"
#include "transfer/BlockDigest.h"

class TUploadDigest {
 public:
  // Before the file is cut to `position`, as its only writer: takes the
  // record's digests of the blocks before the position when the record is
  // current. A resume from a place that no record covers keeps no digests:
  // the next digest request reads the file once and records it.
  void Begin(const std::string& name, platform::FileHandle file, std::int64_t position);
  // After the cut: reads the part of the last block before the position
  // and records the digests for the file as it now is.
  void Start(platform::FileHandle file);

  // The bytes written next, given in order, before they are written. The
  // digests of the whole blocks completed by what was given since the last
  // call: the record takes them once those bytes are flushed.
  void Add(const void* data, std::size_t length);
  std::vector<TDigest> TakeNewBlocks();
  // Once the bytes given before a TakeNewBlocks are flushed, on any thread
  // but one at a time: the record brought up to date with its `blocks`.
  void Record(platform::FileHandle file, const std::vector<TDigest>& blocks);
  // After the last flush: the digest of the whole file, with the record of
  // every block. False when this upload keeps no digests.
  bool Finish(platform::FileHandle file, TDigest& digest);

 private:
  bool FActive = false;
  std::string FName;
  std::int64_t FPosition = 0;
  TBlockDigest FBlocks;
  // How many of FBlocks' digests TakeNewBlocks has handed out.
  std::size_t FTaken = 0;
  // The digests the record holds: those of the blocks on the disk.
  std::vector<TDigest> FRecorded;
  TDigestRecordWriter FRecord;
};

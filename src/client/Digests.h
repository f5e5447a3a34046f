#pragma once
// The digests that prove a transfer continues and ends with the same bytes on
// both sides: LOCAL's, read here, and the server's, asked in a conversation
// of its own ("DGST", then "DG01" with REMOTEFILENAME and FILEPOS as the
// prefix length, answered "DG01" with the result and, after 0, "DG02" with
// "FILEPOS=n" and "SHA256=hex").

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "client/Transfer.h"
#include "transfer/BlockDigest.h"

// The digest of the first `length` bytes of LOCAL, -1 for all of it. False
// with `outcome` set (status 1) when LOCAL cannot be read that far.
bool LocalDigest(const std::string& local, std::int64_t length, TDigest& digest, TransferOutcome& outcome);

// The checks of one transfer, as its request asks for them. A server without
// digests is found once: the transfer then goes on unchecked with a warning,
// or, when the request requires checks, ends with status 7.
class TVerifier {
 public:
  explicit TVerifier(const TransferRequest& request);
  ~TVerifier();
  TVerifier(const TVerifier&) = delete;
  TVerifier& operator=(const TVerifier&) = delete;

  // Whether checks still run: not switched off, and the server has digests
  // as far as is known.
  bool Active() const { return FRequest.verify != Verification::kOff && !FUnavailable; }

  // The server's digest of REMOTE's first `length` bytes (0: the whole file)
  // and the length it covers. A busy server is asked again for up to a
  // minute. False with `outcome` set when the answer is not a digest: a
  // refusal (status 4, its resultCode kept), a broken connection (3), or a
  // server without digests when they are required (7); true with
  // `available` false when the server has none and the transfer may go on.
  bool ServerDigest(std::int64_t length, std::string& hex, std::int64_t& covered, bool& available,
                    TransferOutcome& outcome);

  // Compares LOCAL's first `length` bytes with the server's digest `hex`:
  // false with status 7 and a message made from `what` when they differ.
  bool SameAsLocal(std::int64_t length, const std::string& hex, const std::string& what, TransferOutcome& outcome);

  // Starts reading LOCAL's first `length` bytes on a thread of its own while
  // the transfer runs, for the SameAsLocal of that length after it, which
  // then waits for no second read of LOCAL. The whole blocks of a prefix
  // SameAsLocal read before are not read again. Nothing when no thread can be
  // had: SameAsLocal reads LOCAL itself then.
  void ReadLocalAhead(std::int64_t length);

  // Keeps LOCAL's digest up to date while a download appends to it from
  // `length`, so that the check after the data reads nothing but what came
  // before `length` (at most one block of it, when SameAsLocal of `length`
  // read that prefix already). Nothing when LOCAL cannot be read that far:
  // SameAsLocal reads LOCAL itself then.
  void FollowAppends(std::int64_t length);
  // The bytes a download has just appended to LOCAL.
  void Appended(const void* data, std::size_t length);

  // The warning of a transfer that went unchecked, or empty.
  const std::string& Warning() const { return FWarning; }

 private:
  const TransferRequest& FRequest;
  bool FUnavailable = false;
  std::string FWarning;
  struct Ahead;
  std::unique_ptr<Ahead> FAhead;
  // Gives `blocks` the whole blocks of the prefix SameAsLocal read last,
  // when it is no longer than `length`; returns the bytes they cover.
  std::int64_t SeedFromRead(std::int64_t length, TBlockDigest& blocks) const;

  // The whole blocks of the prefix SameAsLocal read last.
  std::int64_t FReadLength = -1;
  std::vector<TDigest> FReadBlocks;
  // LOCAL's digest as a download appends to it, and the bytes it covers.
  std::unique_ptr<TBlockDigest> FFollowed;
  std::int64_t FFollowedLength = 0;
};

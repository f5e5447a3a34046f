#pragma once
// The digests that prove a resume continues the same bytes: LOCAL's, read
// here, and the server's, asked in a conversation of its own ("DGST").

#include <cstdint>
#include <string>

#include "client/Transfer.h"
#include "transfer/BlockDigest.h"

// The digest of the first `length` bytes of LOCAL, -1 for all of it. False
// with `outcome` set (status 1) when LOCAL cannot be read that far.
bool LocalDigest(const std::string& local, std::int64_t length, TDigest& digest, TransferOutcome& outcome);

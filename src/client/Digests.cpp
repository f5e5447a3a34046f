#include "client/Digests.h"

#include "platform/UniqueHandle.h"

bool LocalDigest(const std::string& local, std::int64_t length, TDigest& digest, TransferOutcome& outcome) {
  const std::int64_t size = platform::RegularFileSize(local);
  const platform::UniqueFile file(size < 0 ? platform::kNoFile
                                           : platform::OpenFile(local, platform::OpenMode::kReadExisting));
  if (!file.valid()) {
    outcome = Failure(ExitStatus::kLocalFile, "cannot read " + local + ": " +
                                                  (size < 0 ? "no such regular file" : SystemError(platform::LastError())));
    return false;
  }
  switch (DigestOfFile(file.get(), length < 0 ? size : length, digest)) {
    case DigestStatus::kDone:
      return true;
    case DigestStatus::kShortFile:
      outcome = Failure(ExitStatus::kLocalFile, "cannot read " + local + ": it became shorter");
      return false;
    case DigestStatus::kReadFailed:
      outcome = Failure(ExitStatus::kLocalFile, "cannot read " + local + ": " + SystemError(platform::LastError()));
      return false;
    case DigestStatus::kNoMemory:
      break;
  }
  outcome = Failure(ExitStatus::kLocalFile, "cannot compute the digest of " + local + ": out of memory");
  return false;
}

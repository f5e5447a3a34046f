// Runs one whole connection per input: the input is everything the client
// sends, in order, and then the client closes. The worker serves it as a
// listener's worker would, confined to a root directory that is made anew
// for every input, and the harness checks what any conversation must
// satisfy, whatever the client sends.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <sys/file.h>
#include <system_error>

#include "MemorySockets.h"
#include "base/DailyLog.h"
#include "server/Confinement.h"
#include "server/ProcessThread.h"
#include "server/ProxyHeader.h"
#include "server/Reports.h"
#include "server/ServerConfig.h"
#include "transfer/CommandBody.h"

namespace {

namespace fs = std::filesystem;

// Fixed, so that seeds can name the files by their full path; in memory,
// because on a disk the flushes of an upload and the truncation of a changed
// file would make most of a run's time.
const fs::path kBase = "/dev/shm/vardex-fuzz-conversation";
const fs::path kRoot = kBase / "root";
const fs::path kLogs = kBase / "log";

struct SeedFile {
  const char* name;
  std::size_t size;
};
// One file smaller than a transfer block, one of several blocks, one empty.
constexpr SeedFile kSeedFiles[] = {{"small.txt", 1000}, {"sub/large.bin", 40000}, {"empty.dat", 0}};

void Check(bool condition) {
  if (!condition) std::abort();
}

// Byte i of every seeded file, so that a served range can be checked.
char ContentByte(std::size_t i) { return static_cast<char>('A' + (i * 7 + i / 251) % 26); }

std::string Content(std::size_t size) {
  std::string text(size, '\0');
  for (std::size_t i = 0; i < size; ++i) text[i] = ContentByte(i);
  return text;
}

bool IsSeeded(const fs::path& path) {
  if (path == kRoot / "sub") return true;
  for (const SeedFile& file : kSeedFiles)
    if (path == kRoot / file.name) return true;
  return false;
}

// Whatever a previous input uploaded, created or overwrote goes away. The
// seeded directories stay, and a seeded file is written again only when an
// input changed it: most inputs change nothing.
void ResetRoot() {
  std::error_code ignored;
  for (const fs::path& directory : {kRoot, kRoot / "sub", kLogs}) {
    for (fs::directory_iterator it(directory, ignored), end; it != end; it.increment(ignored))
      if (!IsSeeded(it->path())) fs::remove_all(it->path(), ignored);
  }
  fs::create_directories(kRoot / "sub");
  for (const SeedFile& file : kSeedFiles) {
    const std::string content = Content(file.size);
    std::ifstream in(kRoot / file.name, std::ios::binary);
    const std::string now((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (!in.is_open() || now != content) std::ofstream(kRoot / file.name, std::ios::binary) << content;
  }
}

std::int32_t ResultAt(const std::string& sent, std::size_t at) {
  std::uint32_t value = 0;
  for (int i = 0; i < 4; ++i) value |= static_cast<std::uint32_t>(static_cast<unsigned char>(sent[at + 4 + i])) << (8 * i);
  return static_cast<std::int32_t>(value);
}

// The first reply echoes the client's four letters with 0 for "DNLD",
// "UPLD" and "DGST" and 18 for anything else; a client that did not send a whole
// header gets no reply at all.
void CheckHandshake(const std::uint8_t* data, std::size_t size, const std::string& sent) {
  if (size < 8) {
    Check(sent.empty());
    return;
  }
  Check(sent.size() >= 8 && std::memcmp(sent.data(), data, 4) == 0);
  const std::string letters(reinterpret_cast<const char*>(data), strnlen(reinterpret_cast<const char*>(data), 4));
  Check(ResultAt(sent, 0) == (letters == "DNLD" || letters == "UPLD" || letters == "DGST" ? 0 : 18));
}

// A download of a seeded file that was accepted sends exactly the file's
// bytes from the requested position to its end, or one error header.
void CheckDownload(const std::uint8_t* data, std::size_t size, const std::string& sent) {
  if (size < 16 || std::memcmp(data, "DNLD", 4) != 0 || std::memcmp(data + 8, "DL01", 4) != 0) return;
  if (sent.size() < 16 || ResultAt(sent, 8) != 0 || sent.size() != memory_sockets::SentCount()) return;
  const std::int32_t length = ResultAt(std::string(reinterpret_cast<const char*>(data), 16), 8);
  if (length < 0 || static_cast<std::size_t>(length) > size - 16) return;
  const std::string raw(reinterpret_cast<const char*>(data) + 16, static_cast<std::size_t>(length));
  const std::string text = raw.substr(0, raw.find('\0'));
  const TCommandBody body(text.data(), text.size());
  const std::string name = body.Value("REMOTEFILENAME");
  const std::int64_t position = body.Int64("FILEPOS"), declared = body.Int64("FILESIZE");
  for (const SeedFile& file : kSeedFiles) {
    if (name != (kRoot / file.name).string()) continue;
    const std::string tail = sent.substr(16);
    if (position == declared) {
      Check(tail.empty());
    } else if (position < 0 || position > declared) {
      Check(tail.size() == 8);
    } else {
      // A position past the end of a file that is shorter than declared
      // gets nothing: the file may still be growing.
      const std::string content = Content(file.size);
      Check(tail == content.substr(std::min(static_cast<std::size_t>(position), content.size())));
    }
  }
}

// Nothing beside the root and the log directory appears in the base: a
// name outside the root is never created.
void CheckConfinement() {
  for (const fs::directory_entry& entry : fs::directory_iterator(kBase))
    Check(entry.path() == kRoot || entry.path() == kLogs);
}

// The directory is the same for every process, and a second one would empty
// it under the first; so the second stops at once. The lock lasts as long
// as the process.
void HoldDirectory() {
  const int lock = ::open((kBase.string() + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (lock < 0 || ::flock(lock, LOCK_EX | LOCK_NB) != 0) {
    std::fprintf(stderr, "ConversationFuzz: %s is in use by another process\n", kBase.c_str());
    std::exit(1);
  }
}

// Confined to the root, logging below the base, without reports; `proxyFrom`
// lists the trusted balancers.
TServerConfigPtr Config(const char* proxyFrom) {
  auto config = std::make_shared<TServerConfig>();
  config->Roots = {kRoot.string()};
  config->LogPath = (kLogs / "conversation-").string();
  Check(config->ProxyFrom.Parse(proxyFrom));
  return config;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  HoldDirectory();
  std::error_code ignored;
  fs::remove_all(kBase, ignored);
  fs::create_directories(kRoot);
  fs::create_directories(kLogs);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  ResetRoot();
  // An input that starts like a PROXY header comes from a listed balancer
  // (the in-memory peer is 127.0.0.1); any other from an unlisted client.
  const bool fromBalancer = size > 0 && (data[0] == 'P' || data[0] == '\r');
  static const TServerConfigPtr direct = Config(""), balanced = Config("127.0.0.1");
  {
    const TServerConfigPtr& config = fromBalancer ? balanced : direct;
    TProcessThread worker(memory_sockets::Connect(data, size), config, std::make_shared<TWorkerSet>(), TSharedRates(),
                          std::make_shared<TLiveAccess>(config->Access));
    Check(worker.InitializeResult() == 0);
    worker.Serve();
  }

  Check(memory_sockets::CloseCount() == 1);
  const std::string& sent = memory_sockets::Sent();
  if (fromBalancer) {
    // The worker reads the header piece by piece; it must end where the
    // whole input parsed at once says, and without one nothing is answered.
    const TProxyHeader header = ParseProxyHeader(data, size);
    if (header.State != TProxyHeader::kComplete) {
      Check(sent.empty());
      CheckConfinement();
      return 0;
    }
    Check(header.Length <= size);
    data += header.Length;
    size -= header.Length;
  }
  CheckHandshake(data, size, sent);
  CheckDownload(data, size, sent);
  CheckConfinement();
  return 0;
}

// The benchmark's own client: drives this server, nginx, vsftpd and the bare
// reference server the same way, measures each case a few times and prints
// one tab-separated result row; bench/run collects the rows into the table.
//
//   driver serve PORT ROOT                         bare sendfile HTTP server
//   driver makefiles SIZE FILE...                  pseudo-random files, on disk
//   driver freeport                                prints an unused loopback port
//   driver wait PORT                               until PORT accepts
//   driver download OPTIONS FILE...                one concurrent download per file
//   driver upload OPTIONS --size B --count N --dir D
//   driver disk   OPTIONS --size B --count N --dir D --block B [--flush]
//   driver idle   OPTIONS --count N [--sources S] FILE
//                                                  idle sessions (from S loopback
//                                                  addresses), then each served
//   driver rate   OPTIONS --count N --clients C FILE   N downloads, each on a fresh connection
//   driver paced  OPTIONS --limit KIB [--direction upload --size B --count N --dir D] [FILE...]
//                                                  transfers under a rate limit, sampled
//   driver table RESULTS.tsv OUT.md TITLE           also draws OUT.svg
//
// OPTIONS: --case NAME --system NAME --kind self|peer|ref|info --proto
// vardex|vardex-tls|http|https|ftp --port N --pid SERVER_PID --root DIR --runs N [--offset B]

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "driver/Chart.h"
#include "driver/Net.h"
#include "driver/Probe.h"
#include "driver/ReferenceServer.h"
#include "driver/Results.h"
#include "driver/Sessions.h"

namespace {

using bench::Row;
using Clock = std::chrono::steady_clock;

double SecondsSince(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

struct Options {
  std::map<std::string, std::string> values;
  std::vector<std::string> files;

  std::string Text(const std::string& key, const std::string& fallback = "") const {
    auto it = values.find(key);
    return it == values.end() ? fallback : it->second;
  }
  long long Number(const std::string& key, long long fallback = 0) const {
    auto it = values.find(key);
    return it == values.end() ? fallback : std::atoll(it->second.c_str());
  }
  bool Flag(const std::string& key) const { return values.count(key) != 0; }
};

Options Parse(int argc, char** argv, int first) {
  Options options;
  for (int i = first; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--flush")
      options.values[arg] = "1";
    else if (arg.compare(0, 2, "--") == 0 && i + 1 < argc)
      options.values[arg] = argv[++i];
    else
      options.files.push_back(arg);
  }
  return options;
}

Row StartRow(const Options& options) {
  Row row;
  row.caseName = options.Text("--case");
  row.system = options.Text("--system");
  row.kind = options.Text("--kind", "peer");
  return row;
}

int Emit(const Row& row) {
  std::printf("%s\n", bench::ToLine(row).c_str());
  return 0;
}

int Fail(Row row, const std::string& why) {
  std::fprintf(stderr, "%s / %s: %s\n", row.caseName.c_str(), row.system.c_str(), why.c_str());
  row.rates.clear();
  row.note = "failed: " + why;
  return Emit(row);
}

std::int64_t FileSize(const std::string& name) {
  struct stat st{};
  return ::stat(name.c_str(), &st) == 0 ? st.st_size : -1;
}

std::string Head(const std::string& name, std::int64_t offset, std::size_t length) {
  std::string bytes(length, '\0');
  const int fd = ::open(name.c_str(), O_RDONLY);
  const ssize_t n = fd < 0 ? -1 : ::pread(fd, bytes.data(), length, offset);
  if (fd >= 0) ::close(fd);
  bytes.resize(n < 0 ? 0 : static_cast<std::size_t>(n));
  return bytes;
}

// The name a server knows a file under.
std::string ServerName(const bench::Session& session, const std::string& file, const std::string& root) {
  if (session.WantsFullPath() || file.compare(0, root.size() + 1, root + "/") != 0) return file;
  return file.substr(root.size() + 1);
}

// Sessions are opened one after the other: a listener with a short backlog
// never sees more than one connection waiting.
bool OpenAll(std::vector<std::unique_ptr<bench::Session>>& sessions, const std::string& protocol, bool upload,
             std::size_t count, int port) {
  sessions.clear();
  for (std::size_t i = 0; i < count; ++i) {
    sessions.push_back(bench::MakeSession(protocol, upload));
    if (!sessions.back() || !sessions.back()->Open(port)) return false;
  }
  return true;
}

// The server's cost and the wall time of `work`, which runs one thread per
// session.
struct Measured {
  double seconds = 0, cpu = 0;
  std::int64_t peakKiB = 0;
};
Measured RunConcurrently(int serverPid, std::size_t count, const std::function<void(std::size_t)>& work) {
  Measured m;
  const double cpuBefore = bench::TreeCpuSeconds(serverPid);
  bench::PeakSampler sampler(serverPid);
  const Clock::time_point start = Clock::now();
  std::vector<std::thread> threads;
  for (std::size_t i = 0; i < count; ++i) threads.emplace_back(work, i);
  for (std::thread& t : threads) t.join();
  m.seconds = SecondsSince(start);
  m.peakKiB = sampler.Stop();
  m.cpu = bench::TreeCpuSeconds(serverPid) - cpuBefore;
  return m;
}

int Download(const Options& options) {
  Row row = StartRow(options);
  const std::string protocol = options.Text("--proto"), root = options.Text("--root");
  const int port = static_cast<int>(options.Number("--port"));
  const int pid = static_cast<int>(options.Number("--pid"));
  const std::int64_t offset = options.Number("--offset");
  const std::vector<std::string>& files = options.files;
  if (files.empty()) return Fail(row, "no files");

  std::int64_t total = 0;
  for (const std::string& file : files) total += FileSize(file) - offset;
  row.bytesPerRun = static_cast<double>(total);
  for (long long run = 0; run < options.Number("--runs", 3); ++run) {
    std::vector<std::unique_ptr<bench::Session>> sessions;
    if (!OpenAll(sessions, protocol, false, files.size(), port)) return Fail(row, "session setup");
    std::vector<bench::Received> received(files.size());
    std::atomic<int> failures{0};
    const Measured m = RunConcurrently(pid, files.size(), [&](std::size_t i) {
      const std::string name = ServerName(*sessions[i], files[i], root);
      if (!sessions[i]->Download(name, offset, FileSize(files[i]) - offset, received[i])) ++failures;
    });
    for (std::size_t i = 0; i < files.size(); ++i)
      if (received[i].bytes != FileSize(files[i]) - offset || received[i].head != Head(files[i], offset, 64))
        ++failures;
    if (failures > 0) return Fail(row, std::to_string(failures.load()) + " downloads short or wrong");
    row.rates.push_back(static_cast<double>(total) / 1e6 / m.seconds);
    row.cpuSeconds.push_back(m.cpu);
    row.peakKiB = std::max(row.peakKiB, m.peakKiB);
    std::fprintf(stderr, "  %s / %s run %lld: %.0f MB/s\n", row.caseName.c_str(), row.system.c_str(), run + 1,
                 row.rates.back());
  }
  return Emit(row);
}

int Upload(const Options& options) {
  Row row = StartRow(options);
  const std::string protocol = options.Text("--proto"), root = options.Text("--root"), dir = options.Text("--dir");
  const int port = static_cast<int>(options.Number("--port"));
  const int pid = static_cast<int>(options.Number("--pid"));
  const std::int64_t size = options.Number("--size");
  const std::size_t count = static_cast<std::size_t>(options.Number("--count", 1));
  std::vector<std::string> files;
  for (std::size_t i = 0; i < count; ++i) files.push_back(dir + "/upload-" + std::to_string(i) + ".bin");
  row.bytesPerRun = static_cast<double>(size) * static_cast<double>(count);

  for (long long run = 0; run < options.Number("--runs", 3); ++run) {
    for (const std::string& file : files) ::unlink(file.c_str());
    std::vector<std::unique_ptr<bench::Session>> sessions;
    if (!OpenAll(sessions, protocol, true, count, port)) return Fail(row, "session setup");
    std::atomic<int> failures{0};
    const Measured m = RunConcurrently(pid, count, [&](std::size_t i) {
      if (!sessions[i]->Upload(ServerName(*sessions[i], files[i], root), size)) ++failures;
    });
    const std::string expectedHead(bench::PatternData(), 64);
    for (const std::string& file : files) {
      if (FileSize(file) != size || Head(file, 0, 64) != expectedHead) ++failures;
      ::unlink(file.c_str());
    }
    if (failures > 0) return Fail(row, std::to_string(failures.load()) + " uploads short or wrong");
    row.rates.push_back(static_cast<double>(size) * static_cast<double>(count) / 1e6 / m.seconds);
    row.cpuSeconds.push_back(m.cpu);
    row.peakKiB = std::max(row.peakKiB, m.peakKiB);
    std::fprintf(stderr, "  %s / %s run %lld: %.0f MB/s\n", row.caseName.c_str(), row.system.c_str(), run + 1,
                 row.rates.back());
  }
  return Emit(row);
}

double OwnCpuSeconds() {
  rusage usage{};
  ::getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// The disk's own rate: the same bytes written in blocks, with or without a
// flush to the disk after each block, by as many writers as the upload case
// has clients.
int Disk(const Options& options) {
  Row row = StartRow(options);
  const std::string dir = options.Text("--dir");
  const std::int64_t size = options.Number("--size");
  const std::size_t block = static_cast<std::size_t>(options.Number("--block", 1 << 20));
  const std::size_t count = static_cast<std::size_t>(options.Number("--count", 1));
  const bool flush = options.Flag("--flush");
  if (block > bench::PatternSize()) return Fail(row, "block larger than the pattern");

  for (long long run = 0; run < options.Number("--runs", 3); ++run) {
    std::atomic<int> failures{0};
    const double cpuBefore = OwnCpuSeconds();
    const Clock::time_point start = Clock::now();
    std::vector<std::thread> writers;
    for (std::size_t i = 0; i < count; ++i)
      writers.emplace_back([&, i] {
        const std::string name = dir + "/disk-" + std::to_string(i) + ".bin";
        const int fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (fd < 0) {
          ++failures;
          return;
        }
        for (std::int64_t done = 0; done < size;) {
          const std::size_t n = static_cast<std::size_t>(std::min<std::int64_t>(block, size - done));
          if (::write(fd, bench::PatternData(), n) != static_cast<ssize_t>(n)) {
            ++failures;
            break;
          }
          if (flush) ::fdatasync(fd);
          done += static_cast<std::int64_t>(n);
        }
        ::close(fd);
      });
    for (std::thread& t : writers) t.join();
    const double seconds = SecondsSince(start);
    const double cpu = OwnCpuSeconds() - cpuBefore;
    for (std::size_t i = 0; i < count; ++i) ::unlink((dir + "/disk-" + std::to_string(i) + ".bin").c_str());
    if (failures > 0) return Fail(row, "write failed");
    row.rates.push_back(static_cast<double>(size) * static_cast<double>(count) / 1e6 / seconds);
    row.cpuSeconds.push_back(cpu);
    std::fprintf(stderr, "  %s / %s run %lld: %.0f MB/s\n", row.caseName.c_str(), row.system.c_str(), run + 1,
                 row.rates.back());
  }
  return Emit(row);
}

// Many sessions set up and left idle, the server's memory per session
// measured, then every session served one small download by a pool of
// clients. A session that waits too long is closed by some servers; the
// count served tells.
int Idle(const Options& options) {
  Row row = StartRow(options);
  const std::string protocol = options.Text("--proto"), root = options.Text("--root");
  const int port = static_cast<int>(options.Number("--port"));
  const int pid = static_cast<int>(options.Number("--pid"));
  const std::size_t count = static_cast<std::size_t>(options.Number("--count", 2000));
  bench::UseLoopbackSources(static_cast<int>(options.Number("--sources", 1)));
  if (options.files.size() != 1) return Fail(row, "one file expected");
  const std::string file = options.files[0];
  const std::int64_t size = FileSize(file);

  const std::int64_t before = bench::TreePssKiB(pid);
  const Clock::time_point openStart = Clock::now();
  std::vector<std::unique_ptr<bench::Session>> sessions;
  for (std::size_t i = 0; i < count; ++i) {
    sessions.push_back(bench::MakeSession(protocol, false));
    if (!sessions.back() || !sessions.back()->Open(port)) {
      sessions.pop_back();
      break;
    }
  }
  const double openSeconds = SecondsSince(openStart);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  const std::int64_t idle = bench::TreePssKiB(pid);
  const double perSession = sessions.empty() ? 0 : static_cast<double>(idle - before) / static_cast<double>(sessions.size());

  constexpr std::size_t kClients = 16;
  std::atomic<std::size_t> next{0}, served{0};
  const std::string expectedHead = Head(file, 0, 64);
  const Measured m = RunConcurrently(pid, kClients, [&](std::size_t) {
    for (std::size_t i; (i = next++) < sessions.size();) {
      bench::Received received;
      if (sessions[i]->Download(ServerName(*sessions[i], file, root), 0, size, received) && received.bytes == size &&
          received.head == expectedHead)
        ++served;
      sessions[i]->Shut();
    }
  });
  row.rates.push_back(static_cast<double>(served.load()) * static_cast<double>(size) / 1e6 / m.seconds);
  row.bytesPerRun = static_cast<double>(served.load()) * static_cast<double>(size);
  row.cpuSeconds.push_back(m.cpu);
  row.peakKiB = std::max(idle, m.peakKiB);
  char note[160];
  std::snprintf(note, sizeof note, "%.1f KiB/session idle; %zu of %zu opened in %.1f s, %zu served", perSession,
                sessions.size(), count, openSeconds, served.load());
  row.note = note;
  std::fprintf(stderr, "  %s / %s: %s\n", row.caseName.c_str(), row.system.c_str(), note);
  return Emit(row);
}

// The cost of a whole conversation: every download on a connection of its
// own, from the connect (and the login, where the protocol has one) to the
// close, by `--clients` clients at a time. The rate is downloads per second.
int Rate(const Options& options) {
  Row row = StartRow(options);
  row.unit = "downloads/s";
  const std::string protocol = options.Text("--proto"), root = options.Text("--root");
  const int port = static_cast<int>(options.Number("--port"));
  const int pid = static_cast<int>(options.Number("--pid"));
  const std::size_t count = static_cast<std::size_t>(options.Number("--count", 20000));
  const std::size_t clients = static_cast<std::size_t>(options.Number("--clients", 64));
  if (options.files.size() != 1) return Fail(row, "one file expected");
  const std::string file = options.files[0];
  const std::int64_t size = FileSize(file);
  const std::string expectedHead = Head(file, 0, 64);
  row.bytesPerRun = static_cast<double>(count) * static_cast<double>(size);

  for (long long run = 0; run < options.Number("--runs", 3); ++run) {
    std::atomic<std::size_t> next{0}, failures{0};
    const Measured m = RunConcurrently(pid, clients, [&](std::size_t) {
      while (next++ < count) {
        const std::unique_ptr<bench::Session> session = bench::MakeSession(protocol, false);
        bench::Received received;
        if (!session || !session->Open(port) ||
            !session->Download(ServerName(*session, file, root), 0, size, received) || received.bytes != size ||
            received.head != expectedHead)
          ++failures;
      }
    });
    // A server that loses connections in a burst is slower by the time its
    // clients wait for them; the rate counts the downloads that arrived.
    if (failures == count) return Fail(row, "every download failed");
    if (failures > 0) row.note = std::to_string(failures.load()) + " of " + std::to_string(count) + " downloads failed";
    row.rates.push_back(static_cast<double>(count - failures) / m.seconds);
    row.cpuSeconds.push_back(m.cpu);
    row.peakKiB = std::max(row.peakKiB, m.peakKiB);
    std::fprintf(stderr, "  %s / %s run %lld: %.0f downloads/s\n", row.caseName.c_str(), row.system.c_str(), run + 1,
                 row.rates.back());
  }
  return Emit(row);
}

// Files of pseudo-random bytes, flushed to the disk so that no write-back
// competes with the measurements, and left in the page cache.
int MakeFiles(std::int64_t size, const std::vector<std::string>& files) {
  for (const std::string& name : files) {
    const int fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
      std::perror(name.c_str());
      return 1;
    }
    // Each file starts elsewhere in the pattern, so no two files are alike.
    std::size_t at = (std::hash<std::string>{}(name) % (bench::PatternSize() / 4096)) * 4096;
    for (std::int64_t done = 0; done < size;) {
      const std::size_t n = static_cast<std::size_t>(
          std::min<std::int64_t>(static_cast<std::int64_t>(bench::PatternSize() - at), size - done));
      if (::write(fd, bench::PatternData() + at, n) != static_cast<ssize_t>(n)) {
        std::perror(name.c_str());
        return 1;
      }
      done += static_cast<std::int64_t>(n);
      at = 0;
    }
    ::fdatasync(fd);
    ::close(fd);
  }
  return 0;
}

int Wait(int port) {
  for (int i = 0; i < 200; ++i) {
    const int s = bench::ConnectLoopback(port);
    if (s >= 0) {
      bench::Close(s);
      return 0;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  std::fprintf(stderr, "nothing listens on port %d\n", port);
  return 1;
}

// A port that nothing on loopback uses right now.
int FreePort() {
  const int s = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (s < 0 || ::bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::getsockname(s, reinterpret_cast<sockaddr*>(&address), &length) != 0)
    return 1;
  std::printf("%d\n", ntohs(address.sin_port));
  ::close(s);
  return 0;
}

// Transfers under a rate limit: downloads of the FILEs, or `--count`
// uploads of `--size` bytes into `--dir`, all at once, with the bytes moved
// sampled every 100 ms (for uploads, the files' sizes on disk, which the
// server flushes block by block). `--limit` is what the server allows all of
// them together, in KiB/s. The row's rate is the whole run's; its note
// holds the least and the most that any 10 seconds moved against the limit,
// and each transfer's rate against an equal share over the first two thirds
// of the run, while all of them still move.
int Paced(const Options& options) {
  Row row = StartRow(options);
  const std::string protocol = options.Text("--proto"), root = options.Text("--root");
  const int port = static_cast<int>(options.Number("--port"));
  const int pid = static_cast<int>(options.Number("--pid"));
  const double limit = static_cast<double>(options.Number("--limit")) * 1024;
  const bool upload = options.Text("--direction") == "upload";
  std::vector<std::string> files = options.files;
  const std::int64_t size = options.Number("--size");
  // Every upload starts a new file, which the case removes again.
  if (upload)
    for (long long i = 0; i < options.Number("--count", 1); ++i) {
      files.push_back(options.Text("--dir") + "/paced-up-" + std::to_string(i) + ".bin");
      ::unlink(files.back().c_str());
    }
  if (files.empty() || limit <= 0) return Fail(row, "no transfers or no limit");
  for (const std::string& file : files) row.bytesPerRun += static_cast<double>(upload ? size : FileSize(file));

  std::vector<std::unique_ptr<bench::Session>> sessions;
  if (!OpenAll(sessions, protocol, upload, files.size(), port)) return Fail(row, "session setup");
  std::vector<std::atomic<std::int64_t>> progress(files.size());
  std::vector<bench::Received> received(files.size());
  for (std::size_t i = 0; i < files.size(); ++i) received[i].progress = &progress[i];
  auto moved = [&](std::size_t i) {
    return upload ? std::max<std::int64_t>(FileSize(files[i]), 0) : progress[i].load(std::memory_order_relaxed);
  };
  // One sample: the time, then the bytes of each transfer.
  std::vector<std::pair<double, std::vector<std::int64_t>>> samples;
  std::atomic<bool> done{false};
  const Clock::time_point start = Clock::now();
  std::thread sampler([&] {
    for (;;) {
      const bool last = done.load();
      std::vector<std::int64_t> bytes;
      for (std::size_t i = 0; i < files.size(); ++i) bytes.push_back(moved(i));
      samples.emplace_back(SecondsSince(start), std::move(bytes));
      if (last) return;
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
  });
  std::atomic<int> failures{0};
  const Measured m = RunConcurrently(pid, files.size(), [&](std::size_t i) {
    const std::string name = ServerName(*sessions[i], files[i], root);
    const bool ok = upload ? sessions[i]->Upload(name, size) : sessions[i]->Download(name, 0, FileSize(files[i]), received[i]);
    if (!ok || (!upload && received[i].bytes != FileSize(files[i]))) ++failures;
  });
  done = true;
  sampler.join();
  for (const std::string& file : files)
    if (upload && FileSize(file) != size) ++failures;
  if (upload)
    for (const std::string& file : files) ::unlink(file.c_str());
  if (failures > 0) return Fail(row, std::to_string(failures.load()) + " transfers short or wrong");

  auto total = [](const std::vector<std::int64_t>& bytes) {
    std::int64_t sum = 0;
    for (std::int64_t b : bytes) sum += b;
    return static_cast<double>(sum);
  };
  double least = 1e300, most = 0;
  for (std::size_t from = 0, to = 0; from < samples.size(); ++from) {
    while (to < samples.size() && samples[to].first < samples[from].first + 10) ++to;
    if (to == samples.size()) break;
    const double rate =
        (total(samples[to].second) - total(samples[from].second)) / (samples[to].first - samples[from].first);
    least = std::min(least, rate / limit);
    most = std::max(most, rate / limit);
  }
  if (most == 0) return Fail(row, "ran for less than 10 seconds");
  const auto& middle = *std::lower_bound(samples.begin(), samples.end(), m.seconds * 2 / 3,
                                         [](const auto& sample, double t) { return sample.first < t; });
  double slowest = 1e300, fastest = 0;
  for (std::int64_t bytes : middle.second) {
    const double share = static_cast<double>(bytes) / middle.first / (limit / static_cast<double>(files.size()));
    slowest = std::min(slowest, share);
    fastest = std::max(fastest, share);
  }
  row.rates.push_back(row.bytesPerRun / 1e6 / m.seconds);
  row.cpuSeconds.push_back(m.cpu);
  row.peakKiB = m.peakKiB;
  char note[200];
  std::snprintf(note, sizeof note, "limit %.0f KiB/s, %.0f s: whole run %.3f x limit, any 10 s %.3f-%.3f x; each %.3f-%.3f x its share",
                limit / 1024, m.seconds, row.bytesPerRun / m.seconds / limit, least, most, slowest, fastest);
  row.note = note;
  std::fprintf(stderr, "  %s / %s: %s\n", row.caseName.c_str(), row.system.c_str(), note);
  return Emit(row);
}

int Usage() {
  std::fprintf(stderr, "usage: driver serve|makefiles|wait|download|upload|disk|idle|rate|paced|table ... (see bench/driver/Main.cpp)\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return Usage();
  const std::string mode = argv[1];
  if (mode == "serve" && argc == 4) return bench::ServeBySendfile(std::atoi(argv[2]), argv[3]);
  if (mode == "makefiles" && argc >= 4)
    return MakeFiles(std::atoll(argv[2]), std::vector<std::string>(argv + 3, argv + argc));
  if (mode == "freeport") return FreePort();
  if (mode == "wait" && argc == 3) return Wait(std::atoi(argv[2]));
  if (mode == "table" && argc == 5) {
    const std::string markdown = argv[3];
    const std::string svg = markdown.substr(0, markdown.rfind('.')) + ".svg";
    if (!bench::WriteChart(bench::LoadRows(argv[2]), svg, argv[4])) return 1;
    return bench::PrintTable(argv[2], argv[3], argv[4]);
  }
  const Options options = Parse(argc, argv, 2);
  if (mode == "download") return Download(options);
  if (mode == "upload") return Upload(options);
  if (mode == "disk") return Disk(options);
  if (mode == "idle") return Idle(options);
  if (mode == "rate") return Rate(options);
  if (mode == "paced") return Paced(options);
  return Usage();
}

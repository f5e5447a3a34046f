#pragma once
// What a server costs while it serves: the CPU time and the memory of its
// process and every process below it, read from /proc.

#include <atomic>
#include <cstdint>
#include <thread>
#include <vector>

namespace bench {

// `root` and all its descendants that are alive now.
std::vector<int> ProcessTree(int root);
// User and system time of the tree, the reaped children of each process
// included, so processes that came and went in between are counted too.
double TreeCpuSeconds(int root);
// The sum of the proportional set sizes (Pss) of the tree, in KiB: shared
// pages are split among the processes that map them, so a server that
// forks per connection is not charged its libraries once per process.
std::int64_t TreePssKiB(int root);

// Samples TreePssKiB every 20 ms on a thread of its own and keeps the
// highest value.
class PeakSampler {
 public:
  explicit PeakSampler(int root);
  ~PeakSampler();
  std::int64_t Stop();

 private:
  int FRoot;
  std::atomic<bool> FStop{false};
  std::atomic<std::int64_t> FPeak{0};
  std::thread FThread;
};

}  // namespace bench

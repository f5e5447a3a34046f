#include "driver/Probe.h"

#include <dirent.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <string>

namespace bench {

namespace {

// The fields of /proc/PID/stat after the command name, which may hold
// blanks and parentheses of its own.
bool StatFields(int pid, std::vector<std::string>& fields) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string text;
  if (!std::getline(in, text)) return false;
  const std::size_t close = text.rfind(')');
  if (close == std::string::npos) return false;
  std::istringstream rest(text.substr(close + 2));
  fields.clear();
  for (std::string field; rest >> field;) fields.push_back(field);
  return fields.size() > 15;
}

std::multimap<int, int> ChildrenByParent() {
  std::multimap<int, int> children;
  DIR* proc = ::opendir("/proc");
  if (!proc) return children;
  std::vector<std::string> fields;
  while (dirent* entry = ::readdir(proc)) {
    const int pid = std::atoi(entry->d_name);
    if (pid > 0 && StatFields(pid, fields)) children.emplace(std::atoi(fields[1].c_str()), pid);
  }
  ::closedir(proc);
  return children;
}

std::int64_t PssKiB(int pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/smaps_rollup");
  for (std::string line; std::getline(in, line);)
    if (line.compare(0, 4, "Pss:") == 0) return std::atoll(line.c_str() + 4);
  return 0;
}

}  // namespace

std::vector<int> ProcessTree(int root) {
  const std::multimap<int, int> children = ChildrenByParent();
  std::vector<int> tree{root};
  for (std::size_t i = 0; i < tree.size(); ++i) {
    auto [first, last] = children.equal_range(tree[i]);
    for (auto it = first; it != last; ++it) tree.push_back(it->second);
  }
  return tree;
}

double TreeCpuSeconds(int root) {
  static const double ticks = static_cast<double>(::sysconf(_SC_CLK_TCK));
  double total = 0;
  std::vector<std::string> fields;
  for (int pid : ProcessTree(root)) {
    // utime, stime, cutime, cstime: fields 14 to 17 of the whole line.
    if (!StatFields(pid, fields)) continue;
    for (int i = 11; i <= 14; ++i) total += std::atof(fields[static_cast<std::size_t>(i)].c_str());
  }
  return total / ticks;
}

std::int64_t TreePssKiB(int root) {
  std::int64_t total = 0;
  for (int pid : ProcessTree(root)) total += PssKiB(pid);
  return total;
}

PeakSampler::PeakSampler(int root) : FRoot(root) {
  FThread = std::thread([this] {
    while (!FStop) {
      const std::int64_t now = TreePssKiB(FRoot);
      if (now > FPeak) FPeak = now;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  });
}

PeakSampler::~PeakSampler() { Stop(); }

std::int64_t PeakSampler::Stop() {
  FStop = true;
  if (FThread.joinable()) FThread.join();
  const std::int64_t last = TreePssKiB(FRoot);
  return last > FPeak ? last : FPeak.load();
}

}  // namespace bench

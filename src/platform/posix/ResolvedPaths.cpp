#include "platform/ResolvedPaths.h"

#include <climits>
#include <deque>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/UniqueHandle.h"

namespace platform {
namespace {

constexpr int kMaxLinks = 40;  // as the kernel's own limit

void SplitInto(const std::string& path, std::deque<std::string>& components, bool front) {
  std::deque<std::string> parts;
  std::size_t start = 0;
  while (start <= path.size()) {
    std::size_t slash = path.find('/', start);
    if (slash == std::string::npos) slash = path.size();
    if (slash > start) parts.push_back(path.substr(start, slash - start));
    start = slash + 1;
  }
  if (front)
    components.insert(components.begin(), parts.begin(), parts.end());
  else
    components.insert(components.end(), parts.begin(), parts.end());
}

void DropLast(std::string& path) {
  std::size_t slash = path.rfind('/');
  path.erase(slash == 0 ? 1 : slash);
}

// Where an existing name leads, as the kernel itself resolved it while
// opening it: three system calls however deep the name, where the walk
// below takes one per component. False when the name does not lead to an
// existing object (a file to be created, a dangling link, a file where a
// directory is named) or when the system does not say (no /proc); the walk
// decides then.
bool ResolveExisting(const std::string& name, std::string& resolved) {
  const int fd = ::open(name.c_str(), O_PATH | O_CLOEXEC);
  if (fd < 0) return false;
  const UniqueFile held(fd);
  char target[PATH_MAX];
  const ssize_t n = ::readlink(("/proc/self/fd/" + std::to_string(fd)).c_str(), target, sizeof target);
  if (n <= 0 || static_cast<std::size_t>(n) == sizeof target || target[0] != '/') return false;
  const std::string path(target, static_cast<std::size_t>(n));
  // Removed since it was opened: the kernel marks the name, which is no
  // longer a path; the walk tells where the name leads now.
  static const std::string kDeleted = " (deleted)";
  if (path.size() > kDeleted.size() && path.compare(path.size() - kDeleted.size(), kDeleted.size(), kDeleted) == 0)
    return false;
  resolved = path;
  return true;
}

}  // namespace

bool ResolvePath(const std::string& name, std::string& resolved) {
  if (!name.empty() && ResolveExisting(name, resolved)) return true;
  std::deque<std::string> pending;
  std::string current = "/";
  if (name.empty() || name[0] != '/') {
    char cwd[PATH_MAX];
    if (::getcwd(cwd, sizeof cwd) == nullptr) return false;
    SplitInto(cwd, pending, false);
  }
  SplitInto(name, pending, false);

  // Component by component, left to right: a link is replaced by its target
  // before anything after it is looked at, and ".." climbs from where the
  // links led, exactly as path lookup does.
  int links = 0;
  bool existing = true;
  while (!pending.empty()) {
    std::string component = pending.front();
    pending.pop_front();
    if (component == ".") continue;
    if (component == "..") {
      DropLast(current);
      continue;
    }
    std::string next = current == "/" ? "/" + component : current + "/" + component;
    struct stat st{};
    const bool found = existing && ::lstat(next.c_str(), &st) == 0;
    if (found && S_ISLNK(st.st_mode)) {
      if (++links > kMaxLinks) return false;
      char target[PATH_MAX];
      ssize_t n = ::readlink(next.c_str(), target, sizeof target - 1);
      if (n < 0) return false;
      std::string link(target, static_cast<std::size_t>(n));
      if (!link.empty() && link[0] == '/') current = "/";
      SplitInto(link, pending, true);
      continue;
    }
    // Below a name that does not exist nothing can be a link yet; what
    // follows is created as written.
    if (!found) existing = false;
    current = next;
  }
  resolved = current;
  return true;
}

bool PathIsWithin(const std::string& path, const std::string& root) {
  std::string base = root;
  while (base.size() > 1 && base.back() == '/') base.pop_back();
  if (path.compare(0, base.size(), base) != 0) return false;
  return path.size() == base.size() || base == "/" || path[base.size()] == '/';
}

}  // namespace platform

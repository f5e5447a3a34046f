#include "platform/ResolvedPaths.h"

#include <climits>
#include <deque>
#include <sys/stat.h>
#include <unistd.h>

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

}  // namespace

bool ResolvePath(const std::string& name, std::string& resolved) {
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
    if (existing && ::lstat(next.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
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
    if (existing && ::lstat(next.c_str(), &st) != 0) existing = false;
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

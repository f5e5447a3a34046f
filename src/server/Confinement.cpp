#include "server/Confinement.h"

#include "server/DigestRecord.h"

#include "platform/ResolvedPaths.h"

std::vector<std::string> SplitRoots(const std::string& text) {
  std::vector<std::string> roots;
  std::size_t start = 0;
  while (start <= text.size()) {
    std::size_t end = text.find(';', start);
    if (end == std::string::npos) end = text.size();
    std::string root = text.substr(start, end - start);
    std::size_t first = root.find_first_not_of(" \t");
    if (first != std::string::npos) roots.push_back(root.substr(first, root.find_last_not_of(" \t") - first + 1));
    start = end + 1;
  }
  return roots;
}

bool IsInsideRoots(const std::vector<std::string>& roots, const std::string& name) {
  // A file's digest record is the server's own, never a client's to read
  // or write, under its own name or through a link.
  if (IsDigestRecordName(name)) return false;
  std::string resolved;
  if (platform::ResolvePath(name, resolved) && IsDigestRecordName(resolved)) return false;
  if (roots.empty()) return true;
  if (resolved.empty()) return false;
  // Roots are resolved at each check: a root may be created or relinked
  // while the service runs.
  for (const std::string& root : roots) {
    std::string resolvedRoot;
    if (platform::ResolvePath(root, resolvedRoot) && platform::PathIsWithin(resolved, resolvedRoot)) return true;
  }
  return false;
}

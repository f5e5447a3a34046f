#pragma once
// Where a name really leads: the absolute path with "." and ".." gone and
// every symbolic link (and, on Windows, junction) of its existing part
// followed, as the system itself would follow them when the name is opened
// or created.

#include <string>

namespace platform {

// False when the name cannot be resolved at all (too many links, no
// working directory), or, on Windows, when its text does not tell where it
// leads: "\\?\" and "\\.\" prefixes, alternate data streams, device names
// (CON, NUL, COM1, ...) as any component, and "." or ".." components left
// after normalisation.
bool ResolvePath(const std::string& name, std::string& resolved);

// True when the resolved `path` is `root` itself or lies below it; whole
// components only, so "/srv/data2" is not below "/srv/data". Letter case is
// ignored on Windows.
bool PathIsWithin(const std::string& path, const std::string& root);

}  // namespace platform

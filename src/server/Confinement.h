#pragma once
// Confinement of client paths to the operator's root directories. Clients
// name files by their full server path; with roots set, a name whose real
// location lies outside every root is refused with result 3.

#include <string>
#include <vector>

// The roots from [Server] Root; empty serves every path the service can
// reach. Set at service start, before any worker exists.
extern std::vector<std::string>& ServerRoots;

// "a;b; c" into its trimmed, non-empty parts.
std::vector<std::string> SplitRoots(const std::string& text);

// True when no roots are set, or when `name` resolves to a place inside one
// of them.
bool IsInsideRoots(const std::string& name);

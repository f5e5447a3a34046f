#pragma once
// Confinement of client paths to the operator's root directories. Clients
// name files by their full server path; with roots set, a name whose real
// location lies outside every root is refused with result 3.

#include <string>
#include <vector>

// "a;b; c" into its trimmed, non-empty parts.
std::vector<std::string> SplitRoots(const std::string& text);

// True when `name` is no file's digest record (DigestRecord.h), by name or
// where it resolves to, and `roots` is empty or `name` resolves to a place
// inside one of them.
bool IsInsideRoots(const std::vector<std::string>& roots, const std::string& name);

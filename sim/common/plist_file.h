// Property-list files from images and backups, read through the structural input checks.
#pragma once

#include <cstddef>
#include <string>

#include "common/plist_tree.h"

namespace bw::sim {

// The tree in the regular file at `path` (XML or binary); null when the file is missing, not a
// regular file (links are not followed), larger than `limit`, or not a property list.
PlistTree ReadPlistFile(const std::string& path, size_t limit);

// The text of a string node (NULs included), or empty for anything else.
std::string StringValue(plist_t node);

}  // namespace bw::sim

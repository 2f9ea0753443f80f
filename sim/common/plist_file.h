// Files from images and backups: plain bytes, and property lists read through the structural
// input checks.
#pragma once

#include <cstddef>
#include <optional>
#include <string>

#include "common/plist_tree.h"

namespace bw::sim {

// The bytes of the regular file at `path`: nothing when it is missing, not a regular file (links
// are not followed, a FIFO is not waited on) or larger than `limit`. A file that shrinks while it
// is read gives the bytes that were there.
std::optional<std::string> ReadRegularFile(const std::string& path, size_t limit);

// The tree in the regular file at `path` (XML or binary); null when the file is missing, not a
// regular file (links are not followed), larger than `limit`, or not a property list.
PlistTree ReadPlistFile(const std::string& path, size_t limit);

// The text of a string node (NULs included), or empty for anything else.
std::string StringValue(plist_t node);

}  // namespace bw::sim

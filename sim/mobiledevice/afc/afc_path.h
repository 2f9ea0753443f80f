// Paths inside an AFC service's root. A path never leaves the root: "." and ".." are resolved
// against the root before anything is looked up (".." at the root stays there), and the host
// folders are then walked one entry at a time from the root's descriptor, never following a link
// by name, so that no link (nor a link swapped in meanwhile) leads outside. Links are followed by
// reading their targets: an absolute target, or a relative one that climbs above the root, ends
// the walk with "not found".
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <string>
#include <string_view>
#include <vector>

#include "platform/unique_fd.h"

namespace bw::sim::md {

using platform::UniqueFd;

// iOS paths are at most 1024 bytes (its PATH_MAX); longer ones are refused.
inline constexpr size_t kLongestAfcPath = 1024;

struct ResolvedPath {
    UniqueFd parent;   // the folder that holds the entry
    std::string name;  // the entry's name there; empty when `parent` is the entry itself
};

enum class LastLink {
    Keep,    // a link at the end of the path is the entry (information, removal, renaming)
    Follow,  // a link at the end is followed to its target (opening files and folders)
};

// The parts of `path` after resolving "." and ".." against the root.
std::vector<std::string> LexicalParts(std::string_view path);

// Resolves `path` below the folder `root` (a descriptor). Links on the way are always followed
// (within the root). The last part need not exist; a missing folder before it fails with 8,
// unless `createFolders` makes it (as AFC's folder creation does). An AFC status.
int ResolvePath(int root, std::string_view path, LastLink last, bool createFolders,
                ResolvedPath& out);

// The AFC status for an errno value.
int AfcStatusFromErrno(int error);

}  // namespace bw::sim::md

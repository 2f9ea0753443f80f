// Opening a folder of a device image without following links on the way. An image is a folder
// the user (or a test) names, but everything below it is device data that a backup, a restore or
// a hand-made image may have turned into links; a service root or a backup domain reached through
// such a link would let the simulated phone read and write the host's own files.
#pragma once

#include <string>
#include <string_view>

namespace bw::sim {

// Opens `top` (followed as given: the caller named it) and then each part of `below` ("a/b/c")
// with O_NOFOLLOW | O_DIRECTORY, one at a time from the folder before, so that no link (nor one
// swapped in meanwhile) is entered. With `create`, missing parts are made (0755). Returns a
// descriptor (O_PATH, close-on-exec) the caller owns, or -1 with errno set (ELOOP or ENOTDIR
// for a part that is a link or no folder).
int OpenRealFolder(const std::string& top, std::string_view below, bool create = false);

// The path through which the kernel reaches exactly the folder behind `fd`, whatever becomes of
// the names that led there: paths below it never leave that folder by its name.
std::string PinnedFolderPath(int fd);

}  // namespace bw::sim

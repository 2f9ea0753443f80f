// Files the user names as output (plist convert -o, apps --icons): replaced whole or not at all,
// and only when they are regular files.
#pragma once

#include <string>
#include <string_view>

namespace cli {

// Writes through a temporary file created exclusively beside the target (so no link or
// neighbouring file is followed or lost), gives it the mode of the file it replaces (or that of a
// new file), and renames it over the target. A target that exists and is not a regular file (a
// device node, a FIFO, a socket, a link, a folder) is refused. On failure `error` says why.
bool WriteOutputFile(const std::string& path, std::string_view bytes, std::string& error);

}  // namespace cli

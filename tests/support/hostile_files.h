// Files that a reader of outside data must refuse without waiting or filling memory: a named
// pipe that nobody writes to, a link to an endless device, and a file just past a size limit
// (sparse, so that making it costs nothing).
#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <string>
#include <vector>

#include "platform/files.h"

namespace bw::testing {

// Made at `path`; the empty string when the file system refused.
inline std::string MakeFifo(const std::string& path) {
    return ::mkfifo(path.c_str(), 0600) == 0 ? path : std::string();
}

inline std::string MakeLinkToEndlessDevice(const std::string& path) {
    return ::symlink("/dev/zero", path.c_str()) == 0 ? path : std::string();
}

// `head` followed by zero bytes up to `size` in all; no disk blocks for the zeros.
inline bool MakeSparseFile(const std::string& path, std::string_view head, uint64_t size) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) return false;
    const bool ok = ::write(fd, head.data(), head.size()) == static_cast<ssize_t>(head.size()) &&
                    ::ftruncate(fd, static_cast<off_t>(size)) == 0;
    return ::close(fd) == 0 && ok;
}

// A named pipe and a link to /dev/zero below `folder`, for a reader that must refuse both.
inline std::vector<std::string> EndlessFiles(const std::string& folder) {
    return {MakeFifo(platform::JoinPath(folder, "fifo")),
            MakeLinkToEndlessDevice(platform::JoinPath(folder, "zero"))};
}

}  // namespace bw::testing

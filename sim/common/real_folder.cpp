#include "common/real_folder.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace bw::sim {

int OpenRealFolder(const std::string& top, std::string_view below, bool create) {
    int current = ::open(top.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (current < 0) return -1;
    size_t start = 0;
    while (start < below.size()) {
        size_t end = below.find('/', start);
        if (end == std::string_view::npos) end = below.size();
        const std::string name(below.substr(start, end - start));
        start = end + 1;
        if (name.empty() || name == ".") continue;
        if (name == "..") {  // never: the parts name folders below `top`
            ::close(current);
            errno = EINVAL;
            return -1;
        }
        int next = ::openat(current, name.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (next < 0 && errno == ENOENT && create) {
            if (::mkdirat(current, name.c_str(), 0755) == 0 || errno == EEXIST)
                next =
                    ::openat(current, name.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        }
        const int saved = errno;
        ::close(current);
        if (next < 0) {
            errno = saved;
            return -1;
        }
        current = next;
    }
    return current;
}

std::string PinnedFolderPath(int fd) {
    return "/proc/self/fd/" + std::to_string(fd);
}

}  // namespace bw::sim

#include "platform/unique_fd.h"

#include <unistd.h>

namespace bw::platform {

void UniqueFd::reset(int fd) {
    const int old = std::exchange(fd_, fd);
    if (old >= 0 && old != fd) ::close(old);
}

bool UniqueFd::Close() {
    const int old = release();
    return old < 0 || ::close(old) == 0;
}

}  // namespace bw::platform

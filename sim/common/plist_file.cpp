#include "common/plist_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "common/plist_input_check.h"

namespace bw::sim {

std::optional<std::string> ReadRegularFile(const std::string& path, size_t limit) {
    // Not blocking: a FIFO in an image must not hang the device.
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0) return std::nullopt;
    struct stat info {};
    bool ok = ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) &&
              static_cast<uint64_t>(info.st_size) <= limit;
    std::string bytes;
    if (ok) bytes.resize(static_cast<size_t>(info.st_size));
    size_t done = 0;
    while (ok && done < bytes.size()) {
        const ssize_t got = ::read(fd, bytes.data() + done, bytes.size() - done);
        if (got < 0 && errno == EINTR) continue;
        ok = got >= 0;
        if (got <= 0) {
            bytes.resize(done);  // the file shrank while it was read
            break;
        }
        done += static_cast<size_t>(got);
    }
    ::close(fd);
    if (!ok) return std::nullopt;
    return bytes;
}

PlistTree ReadPlistFile(const std::string& path, size_t limit) {
    const std::optional<std::string> bytes = ReadRegularFile(path, limit);
    if (!bytes || bytes->empty()) return nullptr;
    return ParseCheckedPlist(*bytes);
}

// Not plist_get_string_val: libplist asserts that a string holds no NUL, and a hostile list can
// hold one.
std::string StringValue(plist_t node) {
    if (node == nullptr || plist_get_node_type(node) != PLIST_STRING) return {};
    uint64_t length = 0;
    const char* text = plist_get_string_ptr(node, &length);
    return text != nullptr ? std::string(text, static_cast<size_t>(length)) : std::string();
}

}  // namespace bw::sim

#include "device_plist.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string_view>

#include "common/plist_input_check.h"

namespace bw::sim {
namespace {

// device.plist is a few kilobytes; anything this large is not one of ours.
constexpr off_t kLargestDevicePlist = 16 * 1024 * 1024;

std::string PlistPath(const std::string& folder) {
    return folder + "/" + kDevicePlistName;
}

bool ReadSmallFile(const std::string& path, std::string& bytes, std::string& error) {
    // Not blocking: a FIFO in a user's folder must not hang the check.
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        error = "cannot read " + path + ": " + std::strerror(errno);
        return false;
    }
    struct stat info {};
    bool ok =
        ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_size <= kLargestDevicePlist;
    if (!ok) error = path + " is not a device image's property list";
    if (ok) {
        bytes.resize(static_cast<size_t>(info.st_size));
        size_t done = 0;
        while (ok && done < bytes.size()) {
            const ssize_t got = ::read(fd, bytes.data() + done, bytes.size() - done);
            if (got < 0 && errno == EINTR) continue;
            if (got <= 0) {
                ok = false;
                error = "cannot read " + path;
            } else {
                done += static_cast<size_t>(got);
            }
        }
    }
    ::close(fd);
    return ok;
}

}  // namespace

PlistTree ReadDevicePlist(const std::string& folder, std::string& error) {
    const std::string path = PlistPath(folder);
    std::string bytes;
    if (!ReadSmallFile(path, bytes, error)) return nullptr;
    // An image folder may hold anything a user put there; libplist trusts what it parses.
    PlistTree owned = ParseCheckedPlist(bytes);
    if (owned == nullptr || plist_get_node_type(owned.get()) != PLIST_DICT) {
        error = path + " is not a property list dictionary";
        return nullptr;
    }
    return owned;
}

bool WriteDevicePlist(const std::string& folder, plist_t tree, std::optional<int64_t> time,
                      std::string& error) {
    const std::string path = PlistPath(folder);
    const std::string xml = PlistXml(tree);
    std::string temporary = path + ".new-XXXXXX";
    const int fd = ::mkstemp(temporary.data());
    if (fd < 0) {
        error = "cannot write " + path + ": " + std::strerror(errno);
        return false;
    }
    std::string_view rest = xml;
    bool ok = !xml.empty();
    while (ok && !rest.empty()) {
        const ssize_t written = ::write(fd, rest.data(), rest.size());
        if (written < 0 && errno == EINTR) continue;
        ok = written > 0;
        if (ok) rest.remove_prefix(static_cast<size_t>(written));
    }
    ok = ok && ::fchmod(fd, 0644) == 0 && ::fsync(fd) == 0;
    if (ok && time) {
        const timespec times[2] = {{static_cast<time_t>(*time), 0},
                                   {static_cast<time_t>(*time), 0}};
        ok = ::futimens(fd, times) == 0;
    }
    ok = ::close(fd) == 0 && ok;
    if (!ok || ::rename(temporary.c_str(), path.c_str()) != 0) {
        error = "cannot write " + path + ": " + std::strerror(errno);
        ::unlink(temporary.c_str());
        return false;
    }
    return true;
}

}  // namespace bw::sim

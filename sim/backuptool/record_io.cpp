#include "record_io.h"

#include <unistd.h>

#include <cerrno>
#include <memory>

namespace bw::sim::backuptool {
namespace {

// Times beyond what 32 bits hold are clamped rather than wrapped.
uint32_t RecordTime(time_t seconds) {
    if (seconds < 0) return 0;
    return seconds > 0xFFFFFFFFll ? 0xFFFFFFFFu : static_cast<uint32_t>(seconds);
}

}  // namespace

ManifestRecord MakeRecord(const RecordFields& fields) {
    ManifestRecord record;
    record.domain = fields.domain;
    record.path = fields.path;
    record.linkTarget = fields.linkTarget;
    if (fields.digest) record.dataHash = DigestBytes(*fields.digest);
    record.mode = static_cast<uint16_t>(fields.info.st_mode & 0xFFFF);
    record.inode = static_cast<uint64_t>(fields.info.st_ino);
    record.userId = static_cast<uint32_t>(fields.info.st_uid);
    record.groupId = static_cast<uint32_t>(fields.info.st_gid);
    record.modifiedTime = RecordTime(fields.info.st_mtime);
    record.accessedTime = RecordTime(fields.info.st_atime);
    record.createdTime = RecordTime(fields.info.st_ctime);
    record.size = S_ISREG(fields.info.st_mode) ? fields.size : 0;
    record.protectionClass = fields.protectionClass;
    return record;
}

bool ReadLinkTarget(const std::string& path, std::string& target) {
    target.assign(4096, '\0');
    const ssize_t n = ::readlink(path.c_str(), target.data(), target.size());
    if (n <= 0 || static_cast<size_t>(n) >= target.size()) return false;
    target.resize(static_cast<size_t>(n));
    return true;
}

bool WriteAll(int fd, const char* bytes, size_t size) {
    while (size > 0) {
        const ssize_t written = ::write(fd, bytes, size);
        if (written < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        bytes += written;
        size -= static_cast<size_t>(written);
    }
    return true;
}

std::span<char> CopyBuffer() {
    constexpr size_t kSize = 1 << 20;
    static const std::unique_ptr<char[]> buffer(new char[kSize]);
    return {buffer.get(), kSize};
}

}  // namespace bw::sim::backuptool

#include "record_io.h"

#include <unistd.h>

#include <cerrno>

namespace bw::sim::backuptool {
namespace {

template <typename T>
void PutBigEndian(uint8_t* out, T value) {
    for (size_t i = 0; i < sizeof(T); ++i)
        out[i] = static_cast<uint8_t>(static_cast<uint64_t>(value) >> (8 * (sizeof(T) - 1 - i)));
}

MbdbText Text(const std::string& value) {
    MbdbText text;
    text.storedLength = static_cast<uint16_t>(std::min<size_t>(value.size(), kMbdbNoValue - 1));
    text.raw = value.substr(0, text.storedLength);
    text.text = text.raw;
    return text;
}

// Times beyond what 32 bits hold are clamped rather than wrapped.
uint32_t RecordTime(time_t seconds) {
    if (seconds < 0) return 0;
    return seconds > 0xFFFFFFFFll ? 0xFFFFFFFFu : static_cast<uint32_t>(seconds);
}

}  // namespace

MbdbRecord MakeRecord(const RecordFields& fields) {
    MbdbRecord record;
    record.domain = Text(fields.domain);
    record.path = Text(fields.path);
    if (fields.linkTarget) record.linkTarget = Text(*fields.linkTarget);
    if (fields.digest) {
        const std::string raw(reinterpret_cast<const char*>(fields.digest->data()),
                              fields.digest->size());
        record.dataHash.storedLength = static_cast<uint16_t>(raw.size());
        record.dataHash.raw = raw;
        record.dataHash.text = HexUpper(*fields.digest);
        record.dataHash.storedAsText = false;
    }
    record.mode = static_cast<uint16_t>(fields.info.st_mode & 0xFFFF);
    record.inode = static_cast<uint64_t>(fields.info.st_ino);
    record.userId = static_cast<uint32_t>(fields.info.st_uid);
    record.groupId = static_cast<uint32_t>(fields.info.st_gid);
    record.modifiedTime = RecordTime(fields.info.st_mtime);
    record.accessedTime = RecordTime(fields.info.st_atime);
    record.createdTime = RecordTime(fields.info.st_ctime);
    record.modifiedUtc = MbdbUtcTimeFromUnix(record.modifiedTime);
    record.accessedUtc = MbdbUtcTimeFromUnix(record.accessedTime);
    record.createdUtc = MbdbUtcTimeFromUnix(record.createdTime);
    uint8_t* fixed = record.fixedBytes.data();
    PutBigEndian(fixed, record.mode);
    PutBigEndian(fixed + 2, record.inode);
    PutBigEndian(fixed + 10, record.userId);
    PutBigEndian(fixed + 14, record.groupId);
    PutBigEndian(fixed + 18, record.modifiedTime);
    PutBigEndian(fixed + 22, record.accessedTime);
    PutBigEndian(fixed + 26, record.createdTime);
    record.size = S_ISREG(fields.info.st_mode) ? fields.size : 0;
    PutBigEndian(record.sizeBytes.data(), record.size);
    record.protectionClass = fields.protectionClass;
    record.backupFileName = MbdbBackupFileName(record.domain.text, record.path.text);
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

}  // namespace bw::sim::backuptool

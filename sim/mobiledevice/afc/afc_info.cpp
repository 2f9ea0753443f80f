// File information, device information, and the key-value iterators that carry them.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>

#include <cerrno>
#include <charconv>
#include <string>
#include <string_view>

#include "afc/afc_connection.h"
#include "afc/afc_path.h"
#include "common/plist_file.h"
#include "counters.h"
#include "device.h"
#include "failures.h"
#include "status.h"

using namespace bw::sim::md;
using bw::sim::StringValue;

namespace {

// iOS 5-7 format their data partition with 4096-byte blocks.
constexpr uint64_t kDeviceBlockSize = 4096;

const char* FileTypeName(mode_t mode) {
    switch (mode & S_IFMT) {
        case S_IFREG:
            return "S_IFREG";
        case S_IFDIR:
            return "S_IFDIR";
        case S_IFLNK:
            return "S_IFLNK";
        case S_IFBLK:
            return "S_IFBLK";
        case S_IFCHR:
            return "S_IFCHR";
        case S_IFIFO:
            return "S_IFIFO";
        case S_IFSOCK:
            return "S_IFSOCK";
        default:
            return "S_IFMT";
    }
}

uint64_t Nanoseconds(const statx_timestamp& at) {
    return static_cast<uint64_t>(at.tv_sec) * 1'000'000'000u + at.tv_nsec;
}

std::string LinkTarget(int folder, const std::string& name) {
    std::string target(4096, '\0');
    const ssize_t length = ::readlinkat(folder, name.c_str(), target.data(), target.size());
    target.resize(length > 0 ? static_cast<size_t>(length) : 0);
    return target;
}

void AppendText(std::string& out, std::string_view text) {
    out.append(text);
    out.push_back('\0');
}

void AppendNumber(std::string& out, uint64_t number) {
    char digits[24];
    const auto end = std::to_chars(digits, digits + sizeof digits, number).ptr;
    AppendText(out, std::string_view(digits, static_cast<size_t>(end - digits)));
}

}  // namespace

namespace bw::sim::md {

int AppendFileInformation(int folder, const std::string& name, std::string& out) {
    struct statx info {};
    const int flags = name.empty() ? AT_EMPTY_PATH : AT_SYMLINK_NOFOLLOW;
    if (::statx(folder, name.c_str(), flags, STATX_BASIC_STATS | STATX_BTIME, &info) != 0)
        return AfcStatusFromErrno(errno);
    // A file system that keeps no birth time reports the modification time instead.
    const statx_timestamp& born =
        (info.stx_mask & STATX_BTIME) != 0 ? info.stx_btime : info.stx_mtime;
    AppendText(out, "st_size");
    AppendNumber(out, info.stx_size);
    AppendText(out, "st_blocks");
    AppendNumber(out, info.stx_blocks);
    AppendText(out, "st_nlink");
    AppendNumber(out, info.stx_nlink);
    AppendText(out, "st_ifmt");
    AppendText(out, FileTypeName(info.stx_mode));
    AppendText(out, "st_mtime");
    AppendNumber(out, Nanoseconds(info.stx_mtime));
    AppendText(out, "st_birthtime");
    AppendNumber(out, Nanoseconds(born));
    if (S_ISLNK(info.stx_mode)) {
        AppendText(out, "LinkTarget");
        AppendText(out, LinkTarget(folder, name));
    }
    out.push_back('\0');
    return kAfcSuccess;
}

}  // namespace bw::sim::md

namespace {

int FileInformation(const ResolvedPath& entry,
                    std::vector<std::pair<std::string, std::string>>& pairs) {
    std::string text;
    if (const int status = AppendFileInformation(entry.parent.get(), entry.name, text);
        status != kAfcSuccess)
        return status;
    std::string_view rest = text;
    while (!rest.empty() && rest.front() != '\0') {
        const std::string_view key = rest.data();
        rest.remove_prefix(key.size() + 1);
        const std::string_view value = rest.data();
        rest.remove_prefix(value.size() + 1);
        pairs.emplace_back(key, value);
    }
    return kAfcSuccess;
}

std::string ProductType(const Device& device) {
    std::lock_guard<std::mutex> lock(DeviceMutex());
    return StringValue(plist_dict_get_item(device.values.get(), "ProductType"));
}

}  // namespace

extern "C" {

int AFCFileInfoOpen(AFCConnectionRef connection, const char* path, AFCKeyValueRef* outInfo) {
    if (const auto failure = TakeFailure(__func__, path)) return *failure;
    if (path == nullptr || outInfo == nullptr) return kAfcInvalidArgument;
    std::shared_ptr<AfcConnection> found;
    if (const int status = UsableConnection(connection, found); status != kAfcSuccess)
        return status;
    ResolvedPath entry;
    if (const int status = ResolvePath(found->root(), path, LastLink::Keep, false, entry);
        status != kAfcSuccess)
        return status;
    std::vector<std::pair<std::string, std::string>> pairs;
    if (const int status = FileInformation(entry, pairs); status != kAfcSuccess) return status;
    *outInfo = NewKeyValues(std::move(pairs));
    return kAfcSuccess;
}

// The byte counts come from the image's switches, else from the host folder's file system.
int AFCDeviceInfoOpen(AFCConnectionRef connection, AFCKeyValueRef* outInfo) {
    if (const auto failure = TakeFailure(__func__)) return *failure;
    if (outInfo == nullptr) return kAfcInvalidArgument;
    std::shared_ptr<AfcConnection> found;
    if (const int status = UsableConnection(connection, found); status != kAfcSuccess)
        return status;
    const Device& device = found->channel().device();
    uint64_t total = device.switches.fsTotalBytes.value_or(0);
    uint64_t free = device.switches.fsFreeBytes.value_or(0);
    if (!device.switches.fsTotalBytes || !device.switches.fsFreeBytes) {
        struct statvfs space {};
        if (::fstatvfs(found->root(), &space) != 0) return AfcStatusFromErrno(errno);
        if (!device.switches.fsTotalBytes) total = uint64_t{space.f_blocks} * space.f_frsize;
        if (!device.switches.fsFreeBytes) free = uint64_t{space.f_bavail} * space.f_frsize;
    }
    *outInfo = NewKeyValues({
        {"Model", ProductType(device)},
        {"FSTotalBytes", std::to_string(total)},
        {"FSFreeBytes", std::to_string(free)},
        {"FSBlockSize", std::to_string(kDeviceBlockSize)},
    });
    return kAfcSuccess;
}

int AFCKeyValueRead(AFCKeyValueRef info, char** outKey, char** outValue) {
    if (const auto failure = TakeFailure(__func__)) return *failure;
    if (outKey == nullptr || outValue == nullptr) return kAfcInvalidArgument;
    *outKey = nullptr;
    *outValue = nullptr;
    const std::shared_ptr<KeyValues> values = KeyValueIterators().Find(info);
    if (values == nullptr) return kAfcInvalidArgument;
    std::lock_guard<std::mutex> lock(values->mutex);
    if (values->next < values->pairs.size()) {
        auto& [key, value] = values->pairs[values->next++];
        *outKey = key.data();
        *outValue = value.data();
    }
    return kAfcSuccess;
}

int AFCKeyValueClose(AFCKeyValueRef info) {
    if (const auto failure = TakeFailure(__func__)) return *failure;
    if (KeyValueIterators().Remove(info) == nullptr) return kAfcInvalidArgument;
    --GlobalCounters().keyValueIterators;
    return kAfcSuccess;
}

}  // extern "C"

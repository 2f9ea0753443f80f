// The device's files: ls, pull, push, rm and mkdir on the media area (or, with --afc2, the whole
// file system).
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <string>

#include "cli.h"
#include "device_session.h"
#include "text.h"

namespace cli {

namespace {

namespace fs = std::filesystem;

struct Listing {
    bool longForm = false;
    std::vector<std::pair<std::string, BwDeviceFileInfo>> entries;
};

char TypeLetter(int32_t fileType) {
    switch (fileType) {
        case 1:
            return '-';
        case 2:
            return 'd';
        case 6:
            return 'l';
        default:
            return '?';
    }
}

std::string LongLine(const std::string& name, const BwDeviceFileInfo& info) {
    const std::time_t seconds = static_cast<std::time_t>(info.modifiedTime / 1000000000ULL);
    std::tm utc{};
    ::gmtime_r(&seconds, &utc);
    char when[32];
    std::strftime(when, sizeof when, "%Y-%m-%d %H:%M", &utc);
    char head[96];
    std::snprintf(head, sizeof head, "%c %12llu %s ", TypeLetter(info.fileType),
                  static_cast<unsigned long long>(info.size), when);
    return head + name;
}

bool IsDeviceFolder(CIPhone* device, const std::u16string& path) {
    BwDeviceFileInfo info{};
    return BrackwaterDeviceFileInfo(device, path.c_str(), &info) && info.fileType == 2;
}

std::string BaseName(const std::string& path) {
    std::string trimmed = path;
    while (trimmed.size() > 1 && trimmed.back() == '/')
        trimmed.pop_back();
    const size_t slash = trimmed.rfind('/');
    return slash == std::string::npos ? trimmed : trimmed.substr(slash + 1);
}

// Whether the path names the root of the file service once "." and ".." parts and repeated
// separators are resolved, as the device resolves them ("/", "//", "/./", "a/..", "\\").
bool IsFileServiceRoot(std::string_view path) {
    int depth = 0;
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = path.find_first_of("/\\", start);
        if (end == std::string_view::npos) end = path.size();
        const std::string_view part = path.substr(start, end - start);
        if (part == "..") {
            depth = std::max(depth - 1, 0);
        } else if (!part.empty() && part != ".") {
            ++depth;
        }
        start = end + 1;
    }
    return depth == 0;
}

// The first argument that is not UTF-8 text, as a message; empty when all are.
std::string NotUtf8(std::initializer_list<std::pair<std::string_view, std::string_view>> named) {
    for (const auto& [argument, text] : named) {
        if (std::string message = NotUtf8Message(argument, text); !message.empty()) return message;
    }
    return {};
}

// Why a copy to the host cannot replace `target`, or empty: only a regular file is replaced (the
// library refuses anything else too; this says which). A name that does not exist yet is fine.
std::string HostTargetProblem(const std::string& target) {
    struct stat existing {};
    if (::lstat(target.c_str(), &existing) != 0) {
        return errno == ENOENT ? std::string() : std::string(std::strerror(errno));
    }
    if (S_ISREG(existing.st_mode)) return {};
    const char* kind = S_ISLNK(existing.st_mode)    ? "a symbolic link"
                       : S_ISDIR(existing.st_mode)  ? "a folder"
                       : S_ISFIFO(existing.st_mode) ? "a named pipe"
                       : S_ISSOCK(existing.st_mode) ? "a socket"
                       : S_ISCHR(existing.st_mode)  ? "a character device"
                       : S_ISBLK(existing.st_mode)  ? "a block device"
                                                    : "not a regular file";
    return std::string("is ") + kind + "; only a regular file is replaced";
}

}  // namespace

int RunList(Arguments& args) {
    constexpr const char* kUsage = "brackwater [--sim[=IMAGE]] [--afc2] ls DEVICE_PATH [-l]";
    Listing listing;
    listing.longForm = TakeFlag(args.words, "-l");
    if (const std::string unknown = UnknownOption(args.words); !unknown.empty()) {
        return UsageError("unknown option " + unknown, kUsage);
    }
    if (args.words.size() > 1) return UsageError("give one DEVICE_PATH", kUsage);
    const std::string path = args.words.empty() ? "/" : args.words[0];
    if (const std::string bad = NotUtf8Message("DEVICE_PATH", path); !bad.empty()) return Fail(bad);

    DeviceSession session;
    std::string error;
    CIPhone* device = session.Open(args, error);
    if (device == nullptr) return Fail(error);
    const std::u16string wide = ToWide(path);
    BwDeviceFileInfo info{};
    if (!BrackwaterDeviceFileInfo(device, wide.c_str(), &info)) {
        return Fail(path + ": no such file or folder on the device");
    }
    if (info.fileType != 2) {
        const std::string name = Printable(BaseName(path));
        std::printf("%s\n", listing.longForm ? LongLine(name, info).c_str() : name.c_str());
        return 0;
    }
    auto collect = [](void* context, const BwChar* name, const BwDeviceFileInfo* entryInfo) {
        auto* out = static_cast<Listing*>(context);
        out->entries.emplace_back(ToUtf8(name), entryInfo ? *entryInfo : BwDeviceFileInfo{});
    };
    if (!BrackwaterDeviceListDirectory(device, wide.c_str(), listing.longForm ? 1 : 0, collect,
                                       &listing)) {
        return Fail(path + ": cannot list the folder");
    }
    std::sort(listing.entries.begin(), listing.entries.end(),
              [](const auto& a, const auto& b) { return a.first < b.first; });
    for (const auto& [name, entryInfo] : listing.entries) {
        const std::string shown = Printable(name);
        std::printf("%s\n", listing.longForm ? LongLine(shown, entryInfo).c_str() : shown.c_str());
    }
    return 0;
}

int RunPull(Arguments& args) {
    constexpr const char* kUsage = "brackwater [--sim[=IMAGE]] [--afc2] pull DEVICE_PATH HOST_PATH";
    if (args.words.size() != 2) return UsageError("give DEVICE_PATH and HOST_PATH", kUsage);
    const std::string& source = args.words[0];
    std::string target = args.words[1];
    if (const std::string bad = NotUtf8({{"DEVICE_PATH", source}, {"HOST_PATH", target}});
        !bad.empty()) {
        return Fail(bad);
    }
    DeviceSession session;
    std::string error;
    CIPhone* device = session.Open(args, error);
    if (device == nullptr) return Fail(error);
    const std::u16string wideSource = ToWide(source);
    BwDeviceFileInfo info{};
    if (!BrackwaterDeviceFileInfo(device, wideSource.c_str(), &info)) {
        return Fail(source + ": no such file on the device");
    }
    if (info.fileType == 2) return Fail(source + ": is a folder; pull copies files");
    std::error_code failed;
    if (fs::is_directory(target, failed)) target = (fs::path(target) / BaseName(source)).string();
    if (const std::string problem = HostTargetProblem(target); !problem.empty()) {
        return Fail(target + ": " + problem);
    }
    const std::u16string wideTarget = ToWide(target);
    if (!BrackwaterDeviceCopyFromDevice(device, wideSource.c_str(), wideTarget.c_str())) {
        // The name may have changed kind while the bytes came over.
        const std::string problem = HostTargetProblem(target);
        return Fail(source + ": cannot copy to " + target +
                    (problem.empty() ? "" : " (" + problem + ")"));
    }
    return 0;
}

int RunPush(Arguments& args) {
    constexpr const char* kUsage = "brackwater [--sim[=IMAGE]] [--afc2] push HOST_PATH DEVICE_PATH";
    if (args.words.size() != 2) return UsageError("give HOST_PATH and DEVICE_PATH", kUsage);
    const std::string& source = args.words[0];
    if (const std::string bad = NotUtf8({{"HOST_PATH", source}, {"DEVICE_PATH", args.words[1]}});
        !bad.empty()) {
        return Fail(bad);
    }
    std::error_code failed;
    if (!fs::is_regular_file(source, failed)) return Fail(source + ": no such file");
    DeviceSession session;
    std::string error;
    CIPhone* device = session.Open(args, error);
    if (device == nullptr) return Fail(error);
    std::string target = args.words[1];
    if (IsDeviceFolder(device, ToWide(target))) {
        target = (target.ends_with("/") ? target : target + "/") + BaseName(source);
    }
    const std::u16string wideSource = ToWide(source), wideTarget = ToWide(target);
    if (!BrackwaterDeviceCopyToDevice(device, wideSource.c_str(), wideTarget.c_str())) {
        return Fail(target + ": cannot write the file on the device");
    }
    return 0;
}

int RunRemove(Arguments& args) {
    constexpr const char* kUsage = "brackwater [--sim[=IMAGE]] [--afc2] rm [-r] DEVICE_PATH";
    const bool recursive = TakeFlag(args.words, "-r");
    if (const std::string unknown = UnknownOption(args.words); !unknown.empty()) {
        return UsageError("unknown option " + unknown, kUsage);
    }
    if (args.words.size() != 1) return UsageError("give one DEVICE_PATH", kUsage);
    const std::string& path = args.words[0];
    if (const std::string bad = NotUtf8Message("DEVICE_PATH", path); !bad.empty()) return Fail(bad);
    // The root itself cannot be removed, so a recursive removal would empty the whole file
    // service and then report failure.
    if (IsFileServiceRoot(path)) {
        return Fail(path + ": is the root of the device's file service; refusing to remove it");
    }
    DeviceSession session;
    std::string error;
    CIPhone* device = session.Open(args, error);
    if (device == nullptr) return Fail(error);
    const std::u16string wide = ToWide(path);
    BwDeviceFileInfo info{};
    if (!BrackwaterDeviceFileInfo(device, wide.c_str(), &info)) {
        return Fail(path + ": no such file or folder on the device");
    }
    if (info.fileType == 2 && !recursive) {
        bool empty = true;
        BrackwaterDeviceListDirectory(
            device, wide.c_str(), 0,
            [](void* context, const BwChar*, const BwDeviceFileInfo*) {
                *static_cast<bool*>(context) = false;
            },
            &empty);
        if (!empty) return Fail(path + ": the folder is not empty (use rm -r)");
    }
    if (!BrackwaterDeviceRemove(device, wide.c_str(), recursive ? 1 : 0)) {
        return Fail(path + ": cannot remove it");
    }
    return 0;
}

int RunMakeDirectory(Arguments& args) {
    constexpr const char* kUsage = "brackwater [--sim[=IMAGE]] [--afc2] mkdir DEVICE_PATH";
    if (args.words.size() != 1) return UsageError("give one DEVICE_PATH", kUsage);
    if (const std::string bad = NotUtf8Message("DEVICE_PATH", args.words[0]); !bad.empty()) {
        return Fail(bad);
    }
    DeviceSession session;
    std::string error;
    CIPhone* device = session.Open(args, error);
    if (device == nullptr) return Fail(error);
    const std::u16string wide = ToWide(args.words[0]);
    if (!BrackwaterDeviceMakeDirectory(device, wide.c_str())) {
        return Fail(args.words[0] + ": cannot make the folder");
    }
    return 0;
}

}  // namespace cli

// The device's files: ls, pull, push, rm and mkdir on the media area (or, with --afc2, the whole
// file system).
#include <algorithm>
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
    DeviceSession session;
    std::string error;
    CIPhone* device = session.Open(args, error);
    if (device == nullptr) return Fail(error);
    const std::string& source = args.words[0];
    std::string target = args.words[1];
    const std::u16string wideSource = ToWide(source);
    BwDeviceFileInfo info{};
    if (!BrackwaterDeviceFileInfo(device, wideSource.c_str(), &info)) {
        return Fail(source + ": no such file on the device");
    }
    if (info.fileType == 2) return Fail(source + ": is a folder; pull copies files");
    std::error_code failed;
    if (fs::is_directory(target, failed)) target = (fs::path(target) / BaseName(source)).string();
    const std::u16string wideTarget = ToWide(target);
    if (!BrackwaterDeviceCopyFromDevice(device, wideSource.c_str(), wideTarget.c_str())) {
        return Fail(source + ": cannot copy to " + target);
    }
    return 0;
}

int RunPush(Arguments& args) {
    constexpr const char* kUsage = "brackwater [--sim[=IMAGE]] [--afc2] push HOST_PATH DEVICE_PATH";
    if (args.words.size() != 2) return UsageError("give HOST_PATH and DEVICE_PATH", kUsage);
    const std::string& source = args.words[0];
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
    DeviceSession session;
    std::string error;
    CIPhone* device = session.Open(args, error);
    if (device == nullptr) return Fail(error);
    const std::string& path = args.words[0];
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

#include "app_catalog.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "common/plist_file.h"
#include "device.h"

namespace bw::sim::md {
namespace {

constexpr size_t kLargestInfoPlist = 4 * 1024 * 1024;
constexpr size_t kLargestIcon = 16 * 1024 * 1024;
// An image with more bundles than this is broken; listing stops there rather than letting a
// browse grow without bound.
constexpr size_t kMostApps = 10000;

bool IsRealFolder(const std::string& path) {
    struct stat info {};
    return ::lstat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

// Sorted, so that every listing of the same image comes out the same.
std::vector<std::string> SortedNames(const std::string& path) {
    std::vector<std::string> names;
    DIR* folder = ::opendir(path.c_str());
    if (folder == nullptr) return names;
    while (const dirent* entry = ::readdir(folder)) {
        const std::string name = entry->d_name;
        if (name != "." && name != "..") names.push_back(name);
    }
    ::closedir(folder);
    std::sort(names.begin(), names.end());
    return names;
}

bool IsBundleName(const std::string& name) {
    return name.size() > 4 && name.ends_with(".app");
}

std::optional<InstalledApp> ReadBundle(const std::string& bundleHost) {
    if (!IsRealFolder(bundleHost)) return std::nullopt;
    PlistTree info = ReadPlistFile(bundleHost + "/Info.plist", kLargestInfoPlist);
    if (info == nullptr || plist_get_node_type(info.get()) != PLIST_DICT) return std::nullopt;
    std::string bundleId = StringValue(plist_dict_get_item(info.get(), "CFBundleIdentifier"));
    if (bundleId.empty() || bundleId.find('\0') != std::string::npos) return std::nullopt;
    InstalledApp app;
    app.bundleId = std::move(bundleId);
    app.bundleHost = bundleHost;
    app.info = std::move(info);
    return app;
}

void AddUserApps(const Device& device, std::vector<InstalledApp>& apps) {
    const std::string root = device.HostPath("/var/mobile/Applications");
    for (const std::string& uuid : SortedNames(root)) {
        const std::string container = root + "/" + uuid;
        if (!IsRealFolder(container)) continue;
        for (const std::string& name : SortedNames(container)) {
            if (!IsBundleName(name) || apps.size() >= kMostApps) continue;
            std::optional<InstalledApp> app = ReadBundle(container + "/" + name);
            if (!app) continue;
            // The device names its data partition by its real path.
            app->containerDevice = "/private/var/mobile/Applications/" + uuid;
            app->bundleDevice = app->containerDevice + "/" + name;
            app->containerHost = container;
            apps.push_back(std::move(*app));
            break;  // one bundle per container
        }
    }
}

void AddSystemApps(const Device& device, std::vector<InstalledApp>& apps) {
    const std::string root = device.HostPath("/Applications");
    for (const std::string& name : SortedNames(root)) {
        if (!IsBundleName(name) || apps.size() >= kMostApps) continue;
        std::optional<InstalledApp> app = ReadBundle(root + "/" + name);
        if (!app) continue;
        app->system = true;
        app->bundleDevice = "/Applications/" + name;
        apps.push_back(std::move(*app));
    }
}

// The icon names an Info.plist gives: iOS 7 bundles list them under CFBundleIcons, older ones
// under CFBundleIconFiles or the single CFBundleIconFile.
std::vector<std::string> IconNames(plist_t info) {
    std::vector<std::string> names;
    const auto addArray = [&names](plist_t array) {
        if (array == nullptr || plist_get_node_type(array) != PLIST_ARRAY) return;
        const uint32_t count = std::min<uint32_t>(plist_array_get_size(array), 64);
        for (uint32_t i = 0; i < count; ++i)
            names.push_back(StringValue(plist_array_get_item(array, i)));
    };
    plist_t icons = plist_dict_get_item(info, "CFBundleIcons");
    if (icons != nullptr && plist_get_node_type(icons) == PLIST_DICT) {
        plist_t primary = plist_dict_get_item(icons, "CFBundlePrimaryIcon");
        if (primary != nullptr && plist_get_node_type(primary) == PLIST_DICT)
            addArray(plist_dict_get_item(primary, "CFBundleIconFiles"));
    }
    addArray(plist_dict_get_item(info, "CFBundleIconFiles"));
    names.push_back(StringValue(plist_dict_get_item(info, "CFBundleIconFile")));
    return names;
}

// A name from an Info.plist is a file of the bundle itself: anything that could reach out of
// the bundle folder is ignored.
bool IsPlainFileName(const std::string& name) {
    return !name.empty() && name != "." && name != ".." &&
           name.find_first_of(std::string_view("/\0", 2)) == std::string::npos;
}

}  // namespace

std::vector<InstalledApp> ListInstalledApps(const Device& device) {
    std::vector<InstalledApp> apps;
    AddUserApps(device, apps);
    AddSystemApps(device, apps);
    // Stable: of two bundles with one identifier the one found first stays first.
    std::stable_sort(apps.begin(), apps.end(), [](const InstalledApp& a, const InstalledApp& b) {
        return a.bundleId < b.bundleId;
    });
    apps.erase(std::unique(apps.begin(), apps.end(),
                           [](const InstalledApp& a, const InstalledApp& b) {
                               return a.bundleId == b.bundleId;
                           }),
               apps.end());
    return apps;
}

std::optional<InstalledApp> FindInstalledApp(const Device& device, std::string_view bundleId) {
    if (bundleId.empty()) return std::nullopt;
    for (InstalledApp& app : ListInstalledApps(device))
        if (app.bundleId == bundleId) return std::move(app);
    return std::nullopt;
}

std::string AppDisplayName(const InstalledApp& app) {
    for (const char* key : {"CFBundleDisplayName", "CFBundleName"}) {
        std::string name = StringValue(plist_dict_get_item(app.info.get(), key));
        if (!name.empty()) return name;
    }
    return app.bundleId;
}

std::optional<std::string> ReadAppIcon(const InstalledApp& app) {
    std::vector<std::string> candidates;
    for (const std::string& name : IconNames(app.info.get())) {
        if (!IsPlainFileName(name)) continue;
        const std::string base = name.ends_with(".png") ? name.substr(0, name.size() - 4) : name;
        candidates.push_back(base + "@2x.png");
        candidates.push_back(base + ".png");
        candidates.push_back(name);
    }
    // Bundles that name no icon get the file names iOS looks for by default.
    candidates.push_back("Icon@2x.png");
    candidates.push_back("Icon.png");
    for (const std::string& name : candidates) {
        if (!IsPlainFileName(name)) continue;
        std::optional<std::string> bytes =
            ReadRegularFile(app.bundleHost + "/" + name, kLargestIcon);
        if (bytes && !bytes->empty()) return bytes;
    }
    return std::nullopt;
}

uint64_t FolderBytes(const std::string& hostFolder) {
    uint64_t total = 0;
    std::vector<std::string> pending{hostFolder};
    while (!pending.empty()) {
        const std::string folder = std::move(pending.back());
        pending.pop_back();
        DIR* listing = ::opendir(folder.c_str());
        if (listing == nullptr) continue;
        while (const dirent* entry = ::readdir(listing)) {
            const std::string name = entry->d_name;
            if (name == "." || name == "..") continue;
            const std::string path = folder + "/" + name;
            struct stat info {};
            if (::lstat(path.c_str(), &info) != 0) continue;
            if (S_ISDIR(info.st_mode)) {
                pending.push_back(path);
            } else if (S_ISREG(info.st_mode)) {
                total += static_cast<uint64_t>(info.st_size);
            }
        }
        ::closedir(listing);
    }
    return total;
}

}  // namespace bw::sim::md

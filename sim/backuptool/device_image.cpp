#include "device_image.h"

#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cerrno>

#include "common/plist_file.h"
#include "common/real_folder.h"
#include "platform/environment.h"
#include "platform/files.h"

namespace bw::sim::backuptool {
namespace {

constexpr char kSafariId[] = "com.apple.mobilesafari";

bool EqualIgnoringCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) ==
                      std::tolower(static_cast<unsigned char>(y));
           });
}

// "a/b" is at or below "a" and at or below "a/b", never below "a/bc".
bool AtOrBelow(std::string_view path, std::string_view top) {
    return path == top ||
           (path.size() > top.size() && path.starts_with(top) && path[top.size()] == '/');
}

bool IsRealFolder(const std::string& path) {
    struct stat info {};
    return ::lstat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

// Small files only: a bundle's Info.plist or the container's metadata.
constexpr size_t kLargestSmallPlist = 4 * 1024 * 1024;
// device.plist of a large image stays far below this.
constexpr size_t kLargestDevicePlist = 16 * 1024 * 1024;

PlistTree ReadDictionary(const std::string& path, size_t limit) {
    PlistTree tree = ReadPlistFile(path, limit);
    if (tree == nullptr || plist_get_node_type(tree.get()) != PLIST_DICT) return nullptr;
    return tree;
}

bool DescribeContainer(const std::string& container, AppContainer& app) {
    std::vector<platform::FolderEntry> entries;
    if (!platform::ListFolder(container, entries)) return false;
    std::sort(entries.begin(), entries.end(),
              [](const auto& a, const auto& b) { return a.name < b.name; });
    for (const platform::FolderEntry& entry : entries) {
        if (!entry.isFolder || entry.isLink || entry.name.size() <= 4 ||
            !entry.name.ends_with(".app"))
            continue;
        const PlistTree info =
            ReadDictionary(container + "/" + entry.name + "/Info.plist", kLargestSmallPlist);
        if (info == nullptr) continue;
        app.bundleId = StringValue(DictItem(info.get(), "CFBundleIdentifier"));
        if (app.bundleId.empty()) continue;
        app.bundleVersion = StringValue(DictItem(info.get(), "CFBundleVersion"));
        app.bundleName = entry.name;
        app.hostPath = container;
        return true;
    }
    const PlistTree metadata = ReadDictionary(
        container + "/.com.apple.mobile_container_manager.metadata.plist", kLargestSmallPlist);
    if (metadata != nullptr) {
        app.bundleId = StringValue(DictItem(metadata.get(), "MCMMetadataIdentifier"));
        app.hostPath = container;
        return !app.bundleId.empty();
    }
    return false;
}

bool HasContainerFor(const std::vector<AppContainer>& apps, std::string_view bundleId) {
    return std::any_of(apps.begin(), apps.end(),
                       [&](const AppContainer& app) { return app.bundleId == bundleId; });
}

// A folder name that can be a bundle identifier: letters, digits, '.', '-' and '_', not only dots.
bool IsBundleIdName(std::string_view name) {
    if (name.empty() || name.find_first_not_of('.') == std::string_view::npos) return false;
    return std::all_of(name.begin(), name.end(), [](char c) {
        return std::isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '-' || c == '_';
    });
}

// The removed applications' folders, by name; links and names no bundle has are left out.
std::vector<std::string> ListRemovedApps(const DeviceImage& image) {
    std::vector<std::string> ids;
    const std::string folder = platform::JoinPath(image.folder, kRemovedAppsFolder);
    std::vector<platform::FolderEntry> entries;
    if (!IsRealFolder(folder) || !platform::ListFolder(folder, entries)) return ids;
    for (const platform::FolderEntry& entry : entries) {
        if (entry.isFolder && !entry.isLink && IsBundleIdName(entry.name))
            ids.push_back(entry.name);
    }
    std::sort(ids.begin(), ids.end());
    return ids;
}

}  // namespace

plist_t DictItem(plist_t dict, std::string_view key) {
    if (dict == nullptr || plist_get_node_type(dict) != PLIST_DICT) return nullptr;
    return plist_dict_get_item(dict, std::string(key).c_str());
}

std::optional<bool> BoolValue(plist_t node) {
    if (node == nullptr || plist_get_node_type(node) != PLIST_BOOLEAN) return std::nullopt;
    uint8_t value = 0;
    plist_get_bool_val(node, &value);
    return value != 0;
}

plist_t DeviceImage::Value(std::string_view key) const {
    return DictItem(values.get(), key);
}

std::string DeviceImage::Text(std::string_view key) const {
    return StringValue(Value(key));
}

plist_t DeviceImage::DomainValue(std::string_view domain, std::string_view key) const {
    return DictItem(Value(domain), key);
}

int DeviceImage::MajorVersion() const {
    const std::string version = Text("ProductVersion");
    int major = 0;
    for (const char c : version) {
        if (!std::isdigit(static_cast<unsigned char>(c)) || major > 1000) break;
        major = major * 10 + (c - '0');
    }
    return major;
}

bool DeviceImage::WillEncrypt() const {
    const plist_t value = DomainValue("com.apple.mobile.backup", "WillEncrypt");
    if (const std::optional<bool> flag = BoolValue(value)) return *flag;
    if (value == nullptr || plist_get_node_type(value) != PLIST_UINT) return false;
    uint64_t number = 0;
    plist_get_uint_val(value, &number);
    return number == 1;
}

std::optional<DeviceImage> FindDeviceImage(std::string_view udid) {
    const std::string list = platform::GetEnv("BRACKWATER_SIM_IMAGES").value_or("");
    if (udid.empty()) return std::nullopt;
    size_t start = 0;
    while (start <= list.size()) {
        size_t end = list.find(platform::kPathListSeparator, start);
        if (end == std::string::npos) end = list.size();
        const std::string folder = list.substr(start, end - start);
        start = end + 1;
        if (folder.empty()) continue;
        DeviceImage image;
        image.folder = folder;
        image.fsRoot = platform::JoinPath(folder, "fs");
        image.values =
            ReadDictionary(platform::JoinPath(folder, "device.plist"), kLargestDevicePlist);
        if (image.values == nullptr || !IsRealFolder(image.fsRoot)) continue;
        if (EqualIgnoringCase(image.Udid(), udid)) return image;
    }
    return std::nullopt;
}

std::vector<AppContainer> ListAppContainers(const DeviceImage& image) {
    std::vector<AppContainer> apps;
    const std::string applications = platform::JoinPath(image.fsRoot, "var/mobile/Applications");
    std::vector<platform::FolderEntry> entries;
    if (!IsRealFolder(applications) || !platform::ListFolder(applications, entries)) return apps;
    std::sort(entries.begin(), entries.end(),
              [](const auto& a, const auto& b) { return a.name < b.name; });
    for (const platform::FolderEntry& entry : entries) {
        if (!entry.isFolder || entry.isLink) continue;
        AppContainer app;
        // Two containers of one application cannot both be its domain; the first one wins.
        if (DescribeContainer(applications + "/" + entry.name, app) &&
            !HasContainerFor(apps, app.bundleId)) {
            apps.push_back(std::move(app));
        }
    }
    return apps;
}

bool Domain::Holds(std::string_view path) const {
    const bool included = includes.empty() ||
                          std::any_of(includes.begin(), includes.end(),
                                      [&](const std::string& top) { return AtOrBelow(path, top); });
    return included && std::none_of(excludes.begin(), excludes.end(),
                                    [&](const std::string& top) { return AtOrBelow(path, top); });
}

bool Domain::LeadsInto(std::string_view path) const {
    return std::any_of(includes.begin(), includes.end(), [&](const std::string& top) {
        return top.size() > path.size() && AtOrBelow(top, path);
    });
}

std::vector<Domain> BackupDomains(const DeviceImage& image) {
    const std::string mobile = platform::JoinPath(image.fsRoot, "var/mobile");
    const std::vector<AppContainer> apps = ListAppContainers(image);
    // iOS 7 backs Safari's files up as the domain of the Safari application, although they lie
    // in the home folder; a data container of its own, where an image has one, takes precedence.
    const bool safariFromHome = image.MajorVersion() >= 7 && !HasContainerFor(apps, kSafariId);

    std::vector<Domain> domains;
    Domain home{"HomeDomain", mobile, {}, {"Media", "Applications", "Library/SMS/Attachments"}};
    if (safariFromHome) {
        home.excludes.push_back("Library/Safari");
        home.excludes.push_back("Library/WebKit");
    }
    domains.push_back(std::move(home));
    domains.push_back({"MediaDomain",
                       mobile,
                       {"Media", "Library/SMS/Attachments"},
                       {"Media/DCIM", "Media/PhotoData"}});
    domains.push_back({"CameraRollDomain", mobile, {"Media/DCIM", "Media/PhotoData"}, {}});
    domains.push_back({"WirelessDomain", platform::JoinPath(image.fsRoot, "var/wireless"), {}, {}});
    if (safariFromHome) {
        domains.push_back({std::string("AppDomain-") + kSafariId,
                           mobile,
                           {"Library/Safari", "Library/WebKit"},
                           {}});
    }
    for (const AppContainer& app : apps) {
        Domain domain{"AppDomain-" + app.bundleId, app.hostPath, {}, {}};
        // The application itself is installed, not backed up.
        if (!app.bundleName.empty()) domain.excludes.push_back(app.bundleName);
        domains.push_back(std::move(domain));
    }
    for (const std::string& id : ListRemovedApps(image)) {
        if (HasContainerFor(apps, id)) continue;
        Domain domain{"AppDomain-" + id,
                      platform::JoinPath(platform::JoinPath(image.folder, kRemovedAppsFolder), id),
                      {},
                      {}};
        domain.backupOnly = true;
        domains.push_back(std::move(domain));
    }
    return domains;
}

std::optional<Domain> FindDomain(const DeviceImage& image, std::string_view name) {
    for (Domain& domain : BackupDomains(image)) {
        if (domain.name == name) return std::move(domain);
    }
    return std::nullopt;
}

bool PinDomainBase(const DeviceImage& image, Domain& domain, bool create, platform::UniqueFd& pin) {
    // Every base is fs/, lies below it, or is a removed application's folder (BackupDomains
    // makes them so).
    const std::string_view base = domain.hostBase;
    const std::string removed = platform::JoinPath(image.folder, kRemovedAppsFolder);
    std::string below;
    if (AtOrBelow(base, image.fsRoot)) {
        below = "fs" + std::string(base.substr(image.fsRoot.size()));
    } else if (domain.backupOnly && AtOrBelow(base, removed) && base.size() > removed.size()) {
        below = std::string(kRemovedAppsFolder) + std::string(base.substr(removed.size()));
    } else {
        errno = EINVAL;
        return false;
    }
    pin.reset(OpenRealFolder(image.folder, below, create));
    if (!pin.valid()) return false;
    domain.hostBase = PinnedFolderPath(pin.get());
    return true;
}

bool IsSafeRelativePath(std::string_view path) {
    if (path.empty() || path.front() == '/' || path.find('\0') != std::string_view::npos)
        return false;
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = path.find('/', start);
        if (end == std::string_view::npos) end = path.size();
        const std::string_view part = path.substr(start, end - start);
        if (part.empty() || part == "." || part == "..") return false;
        start = end + 1;
    }
    return true;
}

}  // namespace bw::sim::backuptool

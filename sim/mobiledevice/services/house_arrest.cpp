#include "services/house_arrest.h"

#include <dirent.h>
#include <sys/stat.h>

#include <memory>

#include "common/plist_file.h"
#include "device.h"
#include "status.h"
#include "text.h"

namespace bw::sim::md {
namespace {

constexpr size_t kLargestInfoPlist = 4 * 1024 * 1024;

bool IsRealFolder(const std::string& path) {
    struct stat info {};
    return ::lstat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

std::vector<std::string> FolderNames(const std::string& path) {
    std::vector<std::string> names;
    DIR* folder = ::opendir(path.c_str());
    if (folder == nullptr) return names;
    while (const dirent* entry = ::readdir(folder)) {
        const std::string name = entry->d_name;
        if (name != "." && name != "..") names.push_back(name);
    }
    ::closedir(folder);
    return names;
}

// The bundle of an iOS 5-7 application lies in its container as <Name>.app, and its Info.plist
// names the bundle identifier.
bool ContainerHoldsApp(const std::string& container, std::string_view bundleId) {
    for (const std::string& name : FolderNames(container)) {
        if (name.size() <= 4 || !name.ends_with(".app")) continue;
        const PlistTree info =
            ReadPlistFile(container + "/" + name + "/Info.plist", kLargestInfoPlist);
        if (info != nullptr && plist_get_node_type(info.get()) == PLIST_DICT &&
            StringValue(plist_dict_get_item(info.get(), "CFBundleIdentifier")) == bundleId)
            return true;
    }
    return false;
}

}  // namespace

std::optional<HouseArrestCommand> ReadHouseArrestCommand(CFDictionaryRef options) {
    if (options == nullptr) return HouseArrestCommand::VendContainer;
    if (CFGetTypeID(options) != CFDictionaryGetTypeID()) return std::nullopt;
    const CFStringRef key = NewCFString("Command");
    const auto command = static_cast<CFStringRef>(CFDictionaryGetValue(options, key));
    CFRelease(key);
    if (command == nullptr) return HouseArrestCommand::VendContainer;
    const std::optional<std::string> text = Utf8Text(command);
    if (text == "VendContainer") return HouseArrestCommand::VendContainer;
    if (text == "VendDocuments") return HouseArrestCommand::VendDocuments;
    return std::nullopt;
}

std::string FindAppContainer(const Device& device, std::string_view bundleId) {
    if (bundleId.empty()) return {};
    const std::string applications = device.HostPath("/var/mobile/Applications");
    for (const std::string& name : FolderNames(applications)) {
        const std::string container = applications + "/" + name;
        // A container that is a link could lead anywhere on the host.
        if (IsRealFolder(container) && ContainerHoldsApp(container, bundleId)) return container;
    }
    return {};
}

ServiceStart StartHouseArrest(Device& device, const std::string& bundleId,
                              HouseArrestCommand command) {
    std::string root = FindAppContainer(device, bundleId);
    if (root.empty()) return {kAmdNotFound, nullptr};
    if (command == HouseArrestCommand::VendDocuments) {
        root += "/Documents";
        if (!IsRealFolder(root)) return {kAmdNotFound, nullptr};
    }
    // The container lies below the image folder, whose own path the service keeps apart.
    return {kAmdSuccess, std::make_unique<AfcService>(device.imageFolder,
                                                      root.substr(device.imageFolder.size() + 1))};
}

}  // namespace bw::sim::md

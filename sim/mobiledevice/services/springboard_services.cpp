// "com.apple.springboardservices": application icons and the home-screen layout. Its requests
// name their command under a lower-case "command", and it answers in binary property lists
// whatever form the request had, as phones do.
//
// The layout comes from /var/mobile/Library/SpringBoard/IconState.plist, where iOS keeps it:
// {"buttonBar": [identifiers], "iconLists": [[identifier or folder, ...], ...]}, a folder being
// {"displayName": text, "listType": "folder", "iconLists": [[identifiers]]}. "getIconState"
// answers the dock first, then one array per page, each icon as a dictionary; identifiers that
// are not installed are left out, and installed applications the file does not place follow on
// pages of their own, as springboard files new applications after the last page.
#include <sys/stat.h>

#include <map>
#include <memory>
#include <set>

#include "app_catalog.h"
#include "channel.h"
#include "common/plist_file.h"
#include "device.h"
#include "service.h"
#include "status.h"

namespace bw::sim::md {
namespace {

constexpr char kIconStatePath[] = "/var/mobile/Library/SpringBoard/IconState.plist";
constexpr size_t kLargestIconState = 4 * 1024 * 1024;
constexpr size_t kIconsPerPage = 20;                 // four columns, five rows on a 4-inch phone
constexpr int64_t kUnixToReferenceDate = 978307200;  // 1970 to 2001, in seconds

using AppIndex = std::map<std::string, const InstalledApp*, std::less<>>;

PlistTree ErrorReply(const std::string& description) {
    PlistTree reply(plist_new_dict());
    plist_dict_set_item(reply.get(), "Error", plist_new_string("UnknownCommand"));
    plist_dict_set_item(reply.get(), "ErrorDescription", plist_new_string(description.c_str()));
    return reply;
}

plist_t IconItem(const InstalledApp& app) {
    PlistTree item(plist_new_dict());
    plist_dict_set_item(item.get(), "bundleIdentifier", plist_new_string(app.bundleId.c_str()));
    const std::string version = StringValue(plist_dict_get_item(app.info.get(), "CFBundleVersion"));
    plist_dict_set_item(item.get(), "bundleVersion", plist_new_string(version.c_str()));
    plist_dict_set_item(item.get(), "displayIdentifier", plist_new_string(app.bundleId.c_str()));
    plist_dict_set_item(item.get(), "displayName", plist_new_string(AppDisplayName(app).c_str()));
    // The icon's date is the bundle's: an update of the application changes both.
    struct stat info {};
    int64_t modified = 0;
    if (::lstat((app.bundleHost + "/Info.plist").c_str(), &info) == 0) modified = info.st_mtime;
    plist_dict_set_item(item.get(), "iconModDate",
                        plist_new_date(static_cast<int32_t>(modified - kUnixToReferenceDate), 0));
    return item.release();
}

class LayoutBuilder {
  public:
    explicit LayoutBuilder(const std::vector<InstalledApp>& apps) {
        for (const InstalledApp& app : apps)
            index_.emplace(app.bundleId, &app);
    }

    // One list of icons; folders only at the top level, as springboard nests no deeper.
    plist_t List(plist_t source, bool allowFolders) {
        plist_t out = plist_new_array();
        if (source == nullptr || plist_get_node_type(source) != PLIST_ARRAY) return out;
        const uint32_t count = plist_array_get_size(source);
        for (uint32_t i = 0; i < count; ++i) {
            plist_t entry = plist_array_get_item(source, i);
            if (plist_get_node_type(entry) == PLIST_STRING) {
                if (plist_t item = Place(StringValue(entry))) plist_array_append_item(out, item);
            } else if (allowFolders && plist_get_node_type(entry) == PLIST_DICT) {
                if (plist_t folder = Folder(entry)) plist_array_append_item(out, folder);
            }
        }
        return out;
    }

    // Pages of the applications no list placed.
    void AppendUnplaced(plist_t pages, const std::vector<InstalledApp>& apps) {
        plist_t page = nullptr;
        for (const InstalledApp& app : apps) {
            if (placed_.count(app.bundleId) != 0) continue;
            if (page == nullptr || plist_array_get_size(page) == kIconsPerPage) {
                page = plist_new_array();
                plist_array_append_item(pages, page);
            }
            plist_array_append_item(page, Place(app.bundleId));
        }
    }

  private:
    // The icon of an installed application not shown yet; null otherwise.
    plist_t Place(const std::string& bundleId) {
        const auto found = index_.find(bundleId);
        if (found == index_.end() || !placed_.insert(bundleId).second) return nullptr;
        return IconItem(*found->second);
    }

    // A folder with its pages; null when it holds no installed application, since springboard
    // removes empty folders.
    plist_t Folder(plist_t source) {
        if (StringValue(plist_dict_get_item(source, "listType")) != "folder") return nullptr;
        plist_t lists = plist_dict_get_item(source, "iconLists");
        if (lists == nullptr || plist_get_node_type(lists) != PLIST_ARRAY) return nullptr;
        PlistTree pages(plist_new_array());
        size_t icons = 0;
        const uint32_t count = plist_array_get_size(lists);
        for (uint32_t i = 0; i < count; ++i) {
            PlistTree page(List(plist_array_get_item(lists, i), false));
            const uint32_t size = plist_array_get_size(page.get());
            icons += size;
            if (size > 0) plist_array_append_item(pages.get(), page.release());
        }
        if (icons == 0) return nullptr;
        const std::string name = StringValue(plist_dict_get_item(source, "displayName"));
        PlistTree folder(plist_new_dict());
        plist_dict_set_item(folder.get(), "displayName", plist_new_string(name.c_str()));
        plist_dict_set_item(folder.get(), "iconLists", pages.release());
        plist_dict_set_item(folder.get(), "listType", plist_new_string("folder"));
        return folder.release();
    }

    AppIndex index_;
    std::set<std::string, std::less<>> placed_;
};

PlistTree IconState(const Device& device) {
    const std::vector<InstalledApp> apps = ListInstalledApps(device);
    const PlistTree saved = ReadPlistFile(device.HostPath(kIconStatePath), kLargestIconState);
    plist_t root =
        saved != nullptr && plist_get_node_type(saved.get()) == PLIST_DICT ? saved.get() : nullptr;
    LayoutBuilder builder(apps);
    PlistTree pages(plist_new_array());
    plist_array_append_item(
        pages.get(),
        builder.List(root != nullptr ? plist_dict_get_item(root, "buttonBar") : nullptr, false));
    plist_t lists = root != nullptr ? plist_dict_get_item(root, "iconLists") : nullptr;
    if (lists != nullptr && plist_get_node_type(lists) == PLIST_ARRAY) {
        const uint32_t count = plist_array_get_size(lists);
        for (uint32_t i = 0; i < count; ++i)
            plist_array_append_item(pages.get(),
                                    builder.List(plist_array_get_item(lists, i), true));
    }
    builder.AppendUnplaced(pages.get(), apps);
    return pages;
}

PlistTree IconPngData(const Device& device, const std::string& bundleId) {
    PlistTree reply(plist_new_dict());
    const std::optional<InstalledApp> app = FindInstalledApp(device, bundleId);
    // An application without an icon file answers empty data; an unknown one, no data at all.
    if (!app) return reply;
    const std::string png = ReadAppIcon(*app).value_or(std::string());
    plist_dict_set_item(reply.get(), "pngData", plist_new_data(png.data(), png.size()));
    return reply;
}

class SpringboardServices : public Service {
  public:
    explicit SpringboardServices(Device& device) : device_(device) {}

    void OnMessage(Channel& channel, plist_t request, bool) override {
        constexpr bool kBinary = true;
        const std::string command = plist_get_node_type(request) == PLIST_DICT
                                        ? StringValue(plist_dict_get_item(request, "command"))
                                        : std::string();
        if (command == "getIconPNGData") {
            const std::string bundleId = StringValue(plist_dict_get_item(request, "bundleId"));
            channel.Reply(IconPngData(device_, bundleId).get(), kBinary);
        } else if (command == "getIconState") {
            // Format versions 1 and 2 differ only in how older systems spelled folders; every
            // system the simulator models speaks version 2, so any version gets that answer.
            channel.Reply(IconState(device_).get(), kBinary);
        } else if (command == "getInterfaceOrientation") {
            PlistTree reply(plist_new_dict());
            plist_dict_set_item(reply.get(), "interfaceOrientation", plist_new_uint(1));
            channel.Reply(reply.get(), kBinary);
        } else {
            channel.Reply(ErrorReply("The command \"" + command + "\" is not supported").get(),
                          kBinary);
        }
    }

  private:
    Device& device_;
};

ServiceStart StartSpringboardServices(Device& device) {
    return {kAmdSuccess, std::make_unique<SpringboardServices>(device)};
}

[[maybe_unused]] const bool kRegistered =
    RegisterService("com.apple.springboardservices", &StartSpringboardServices);

}  // namespace
}  // namespace bw::sim::md

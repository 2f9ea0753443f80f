// The simulated device the backup tool works on: its image folder, found by unique identifier
// among the images the simulator attaches (BRACKWATER_SIM_IMAGES), its lockdown values, and the
// backup domains of its file system.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/plist_tree.h"
#include "platform/unique_fd.h"

namespace bw::sim::backuptool {

struct DeviceImage {
    std::string folder;  // the image
    std::string fsRoot;  // folder + "/fs"
    PlistTree values;    // device.plist, a dictionary

    // A top-level lockdown value as text ("" when absent or not a string).
    std::string Text(std::string_view key) const;
    // A top-level value, or null.
    plist_t Value(std::string_view key) const;
    // A value of a lockdown domain ("com.apple.mobile.backup"), or null.
    plist_t DomainValue(std::string_view domain, std::string_view key) const;
    std::string Udid() const { return Text("UniqueDeviceID"); }
    int MajorVersion() const;
    bool WillEncrypt() const;
};

// The attached image whose "UniqueDeviceID" equals udid (letter case ignored); nullopt when none.
std::optional<DeviceImage> FindDeviceImage(std::string_view udid);

// One application container and the bundle it holds.
struct AppContainer {
    std::string bundleId;
    std::string bundleVersion;
    std::string bundleName;  // "<Name>.app" in the container, empty for a data-only container
    std::string hostPath;    // the container folder
};

// The containers below /var/mobile/Applications. A container names its application through the
// Info.plist of the bundle inside it, or, for a data-only container, through the container
// manager's metadata file; containers without either, and containers that are links, are left out.
std::vector<AppContainer> ListAppContainers(const DeviceImage& image);

// A backup domain: where its relative paths start on the device, and which of them it holds.
struct Domain {
    std::string name;      // "HomeDomain", "AppDomain-com.example.app", ...
    std::string hostBase;  // host folder its relative paths are taken from
    // The relative paths (and everything below them) the domain consists of; empty: all of base.
    std::vector<std::string> includes;
    // Relative paths (and everything below them) left out of the domain.
    std::vector<std::string> excludes;
    // Data of an application no longer installed, kept for backups only: backed up, never
    // restored (the device cannot take an application's data without the application).
    bool backupOnly = false;

    // True when the relative path belongs to the domain. Paths are "a/b/c", without "." or "..".
    bool Holds(std::string_view relativePath) const;
    // True when a folder lies on the way to an included path without being included itself
    // ("Library" on the way to "Library/SMS/Attachments"): walked through, never recorded.
    bool LeadsInto(std::string_view relativePath) const;
};

// The folder of an image that holds the data of removed applications, one folder per bundle
// identifier laid out as a container: removed-apps/<bundle id>/Documents, Library, ...
inline constexpr char kRemovedAppsFolder[] = "removed-apps";

// Every domain the device's backup consists of, in the order a backup writes them; the removed
// applications' data last, as backup-only domains "AppDomain-<bundle id>" (an identifier that an
// installed container also has is the installed application's).
std::vector<Domain> BackupDomains(const DeviceImage& image);

// The domain of that name on the device, or nullopt when the device has no such domain (an
// application domain of an application that is not installed).
std::optional<Domain> FindDomain(const DeviceImage& image, std::string_view name);

// The value of `key` in a dictionary node, or null (also when the node is no dictionary).
plist_t DictItem(plist_t dict, std::string_view key);
// A boolean node's value; nullopt for other nodes.
std::optional<bool> BoolValue(plist_t node);

// Opens the domain's base folder (below fs/, or a removed application's folder) from the image
// folder on without following a link (with
// `create`, missing folders are made), keeps it open in `pin`, and points `domain.hostBase` at
// that open folder, so that every path below the base stays inside the image even when a folder
// on the way is a link or becomes one. False with errno set (ENOENT: the device has no such
// folder; ELOOP or ENOTDIR: a link or a file stands where a folder belongs).
bool PinDomainBase(const DeviceImage& image, Domain& domain, bool create, platform::UniqueFd& pin);

// A relative path a backup may name: not empty, not absolute, no empty, "." or ".." parts, no NUL.
bool IsSafeRelativePath(std::string_view path);

}  // namespace bw::sim::backuptool

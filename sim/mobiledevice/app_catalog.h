// The applications installed on a device image, as the installation proxy, springboard and
// AMDeviceLookupApplications see them: user applications in their containers below
// /var/mobile/Applications, system applications below /Applications, each known by the
// CFBundleIdentifier of its Info.plist.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/plist_tree.h"

namespace bw::sim::md {

class Device;

struct InstalledApp {
    std::string bundleId;
    bool system = false;
    std::string bundleHost;       // host folder of <Name>.app
    std::string bundleDevice;     // the bundle's path as the device reports it
    std::string containerHost;    // empty for system applications
    std::string containerDevice;  // empty for system applications
    PlistTree info;               // the Info.plist dictionary
};

// Every bundle with a readable Info.plist naming a bundle identifier, ordered by identifier.
// When two bundles claim one identifier the first by path wins, as an install replaces the
// older bundle on a device. Links are never followed.
std::vector<InstalledApp> ListInstalledApps(const Device& device);

// The application `bundleId`, or nothing.
std::optional<InstalledApp> FindInstalledApp(const Device& device, std::string_view bundleId);

// "CFBundleDisplayName" when it is text, else "CFBundleName", else the identifier.
std::string AppDisplayName(const InstalledApp& app);

// The PNG bytes of the home-screen icon file of the bundle (the retina file first, as the
// simulated phones have retina screens); nothing when the bundle has none.
std::optional<std::string> ReadAppIcon(const InstalledApp& app);

// Sum of the sizes of the regular files below `hostFolder`; links are not followed.
uint64_t FolderBytes(const std::string& hostFolder);

}  // namespace bw::sim::md

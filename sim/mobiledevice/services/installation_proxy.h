// "com.apple.mobile.installation_proxy": the device's list of installed applications. What a
// browse returns is shared with AMDeviceLookupApplications, which answers the same question
// in one dictionary.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "app_catalog.h"
#include "common/plist_tree.h"

namespace bw::sim::md {

struct BrowseOptions {
    std::optional<bool> system;  // "ApplicationType": "User" false, "System" true, "Any" none
    std::optional<std::vector<std::string>> attributes;  // "ReturnAttributes"; none: all
};

// The "ClientOptions" of a request (null: the defaults). False with the error name the device
// answers when they are malformed.
bool ReadBrowseOptions(plist_t clientOptions, BrowseOptions& out, std::string& error);

// Whether the application passes the "ApplicationType" filter.
bool Selects(const BrowseOptions& options, const InstalledApp& app);

// The attribute dictionary of one application: its Info.plist with "ApplicationType", "Path",
// "Container" (user applications) and the disk usages, cut down to "ReturnAttributes".
PlistTree AppAttributes(const InstalledApp& app, const BrowseOptions& options);

}  // namespace bw::sim::md

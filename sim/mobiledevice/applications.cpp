// Application management. AMDeviceLookupApplications answers from the same list the installation
// proxy browses; installing, removing and archiving are not simulated and answer "unsupported",
// changing nothing.
#include <mutex>

#include "MobileDevice.h"
#include "app_catalog.h"
#include "cf/cf_plist.h"
#include "failures.h"
#include "lockdown.h"
#include "services/installation_proxy.h"
#include "status.h"

using namespace bw::sim::md;

extern "C" {

// Options are the "ClientOptions" of a browse: "ApplicationType" and "ReturnAttributes".
int AMDeviceLookupApplications(AMDeviceRef device, CFDictionaryRef options,
                               CFDictionaryRef* outApplications) {
    if (const auto failure = TakeFailure(__func__)) return *failure;
    if (outApplications == nullptr) return kAmdInvalidArgument;
    *outApplications = nullptr;
    BrowseOptions browse;
    std::string error;
    if (options != nullptr) {
        if (CFGetTypeID(options) != CFDictionaryGetTypeID()) return kAmdInvalidArgument;
        const bw::sim::PlistTree tree(BwSimCFToPlist(options));
        if (tree == nullptr || !ReadBrowseOptions(tree.get(), browse, error))
            return kAmdInvalidArgument;
    }
    Device* found = nullptr;
    const int status = WithDevice(device, [&found](Device& known) {
        found = &known;
        return SessionStatus(known);
    });
    if (status != kAmdSuccess) return status;
    // Devices are never freed, so the listing may run without the registry lock.
    bw::sim::PlistTree result(plist_new_dict());
    for (const InstalledApp& app : ListInstalledApps(*found)) {
        if (Selects(browse, app))
            plist_dict_set_item(result.get(), app.bundleId.c_str(),
                                AppAttributes(app, browse).release());
    }
    *outApplications = static_cast<CFDictionaryRef>(BwSimCFFromPlist(result.get()));
    return *outApplications != nullptr ? kAmdSuccess : kAmdUndefined;
}

int AMDeviceInstallApplication(const void*, CFStringRef path, CFDictionaryRef, am_install_callback,
                               void*) {
    if (const auto failure = TakeFailure(__func__, path)) return *failure;
    return kAmdUnsupported;
}

int AMDeviceUninstallApplication(const void*, CFStringRef bundleId, CFDictionaryRef,
                                 am_install_callback, void*) {
    if (const auto failure = TakeFailure(__func__, bundleId)) return *failure;
    return kAmdUnsupported;
}

int AMDeviceArchiveApplication(const void*, CFStringRef bundleId, CFDictionaryRef,
                               am_install_callback, void*) {
    if (const auto failure = TakeFailure(__func__, bundleId)) return *failure;
    return kAmdUnsupported;
}

int AMDeviceRemoveApplicationArchive(const void*, CFStringRef bundleId, CFDictionaryRef,
                                     am_install_callback, void*) {
    if (const auto failure = TakeFailure(__func__, bundleId)) return *failure;
    return kAmdUnsupported;
}

}  // extern "C"

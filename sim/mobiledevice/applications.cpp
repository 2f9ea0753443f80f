// Application management. The installation proxy is not simulated yet, so these calls, which the
// library looks up but never makes, answer "unsupported" and change nothing.
#include "MobileDevice.h"
#include "failures.h"
#include "status.h"

using namespace bw::sim::md;

extern "C" {

int AMDeviceLookupApplications(AMDeviceRef, CFDictionaryRef, CFDictionaryRef* outApplications) {
    if (const auto failure = TakeFailure(__func__)) return *failure;
    if (outApplications != nullptr) *outApplications = nullptr;
    return kAmdUnsupported;
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

// The AFC services a device offers by name: the media area, the whole file system (jailbroken
// devices only) and the crash-report area.
#include <memory>

#include "common/real_folder.h"
#include "device.h"
#include "service.h"
#include "status.h"

namespace bw::sim::md {

int AfcService::OpenAfcRoot() const {
    return OpenRealFolder(imageFolder_, below_);
}

namespace {

ServiceStart StartMedia(Device& device) {
    return {kAmdSuccess, std::make_unique<AfcService>(device.imageFolder, "fs/var/mobile/Media")};
}

// Lockdown only offers "com.apple.afc2" on a jailbroken device; elsewhere it is unknown.
ServiceStart StartFileSystem(Device& device) {
    if (!device.switches.hasAfc2) return {kAmdInvalidService, nullptr};
    return {kAmdSuccess, std::make_unique<AfcService>(device.imageFolder, "fs")};
}

ServiceStart StartCrashReports(Device& device) {
    return {kAmdSuccess, std::make_unique<AfcService>(device.imageFolder,
                                                      "fs/var/mobile/Library/Logs/CrashReporter")};
}

[[maybe_unused]] const bool kMediaRegistered = RegisterService("com.apple.afc", &StartMedia);
[[maybe_unused]] const bool kFileSystemRegistered =
    RegisterService("com.apple.afc2", &StartFileSystem);
[[maybe_unused]] const bool kCrashReportsRegistered =
    RegisterService("com.apple.crashreportcopymobile", &StartCrashReports);

}  // namespace
}  // namespace bw::sim::md

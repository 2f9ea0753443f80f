// The lockdown side of a phone: connecting, pairing, sessions and values.
#include <libimobiledevice/lockdown.h>
#include <usbmuxd.h>

#include <cstdlib>

#include "cf_bridge.h"
#include "devices.h"
#include "mapping.h"
#include "status.h"

namespace bw::imd {
namespace {

constexpr const char* kClientLabel = "brackwater";

// A domain or key: null stands for "none"; anything else must be a string of sane length.
bool NameArgument(CFStringRef name, std::optional<std::string>& text) {
    if (name == nullptr) return true;
    text = TextOf(name, 256);
    return text.has_value();
}

const char* OrNull(const std::optional<std::string>& text) {
    return text ? text->c_str() : nullptr;
}

// The major version of the phone's system, or 0 when it cannot be read.
int ProductMajorVersion(lockdownd_client_t lockdown) {
    plist_t node = nullptr;
    if (lockdownd_get_value(lockdown, nullptr, "ProductVersion", &node) != LOCKDOWN_E_SUCCESS) {
        return 0;
    }
    PlistOwner owner(node);
    const std::optional<std::string> text = PlistText(node);
    return text ? std::atoi(text->c_str()) : 0;
}

}  // namespace
}  // namespace bw::imd

using namespace bw::imd;

BW_IMD_EXPORT int AMDeviceConnect(AMDeviceRef reference) {
    Device* device = FindDevice(reference);
    if (device == nullptr) return kAmdInvalidArgument;
    std::lock_guard<std::mutex> lock(device->mutex);
    const IdeviceHandle idevice = device->OpenIdevice();
    if (!idevice) return kAmdNotConnected;
    if (device->lockdown != nullptr) return kAmdSuccess;
    lockdownd_client_t client = nullptr;
    const int status = AmdFromLockdown(lockdownd_client_new(idevice.get(), &client, kClientLabel));
    if (status != kAmdSuccess) return status;
    device->lockdown = client;
    return kAmdSuccess;
}

BW_IMD_EXPORT int AMDeviceDisconnect(AMDeviceRef reference) {
    Device* device = FindDevice(reference);
    if (device == nullptr) return kAmdInvalidArgument;
    std::lock_guard<std::mutex> lock(device->mutex);
    device->CloseLockdown();
    return kAmdSuccess;
}

BW_IMD_EXPORT int AMDeviceIsPaired(AMDeviceRef reference) {
    const Device* device = FindDevice(reference);
    if (device == nullptr) return 0;
    return PairRecordHostId(device->udid).empty() ? 0 : 1;
}

BW_IMD_EXPORT int AMDevicePair(AMDeviceRef reference) {
    Device* device = FindDevice(reference);
    if (device == nullptr) return kAmdInvalidArgument;
    std::lock_guard<std::mutex> lock(device->mutex);
    if (device->lockdown == nullptr) return kAmdNotConnected;
    return AmdFromLockdown(lockdownd_pair(device->lockdown, nullptr));
}

BW_IMD_EXPORT int AMDeviceValidatePairing(AMDeviceRef reference) {
    Device* device = FindDevice(reference);
    if (device == nullptr) return kAmdInvalidArgument;
    std::lock_guard<std::mutex> lock(device->mutex);
    if (device->lockdown == nullptr) return kAmdNotConnected;
    if (PairRecordHostId(device->udid).empty()) return kAmdMissingPairRecord;
    // From iOS 7 on a phone no longer answers the validation request; the session start that
    // follows proves the record instead.
    if (ProductMajorVersion(device->lockdown) >= 7) return kAmdSuccess;
    return AmdFromLockdown(lockdownd_validate_pair(device->lockdown, nullptr));
}

BW_IMD_EXPORT int AMDeviceStartSession(AMDeviceRef reference) {
    Device* device = FindDevice(reference);
    if (device == nullptr) return kAmdInvalidArgument;
    std::lock_guard<std::mutex> lock(device->mutex);
    if (device->lockdown == nullptr) return kAmdNotConnected;
    if (device->session) return kAmdSessionActive;
    const std::string hostId = PairRecordHostId(device->udid);
    if (hostId.empty()) return kAmdMissingPairRecord;
    char* sessionId = nullptr;
    int sslEnabled = 0;
    const int status = AmdFromLockdown(
        lockdownd_start_session(device->lockdown, hostId.c_str(), &sessionId, &sslEnabled));
    if (status == kAmdSuccess) {
        device->session = true;
        device->sessionId = sessionId != nullptr ? sessionId : "";
    }
    std::free(sessionId);
    return status;
}

BW_IMD_EXPORT int AMDeviceStopSession(AMDeviceRef reference) {
    Device* device = FindDevice(reference);
    if (device == nullptr) return kAmdInvalidArgument;
    std::lock_guard<std::mutex> lock(device->mutex);
    if (device->lockdown == nullptr || !device->session) return kAmdSessionInactive;
    const lockdownd_error_t error =
        lockdownd_stop_session(device->lockdown, device->sessionId.c_str());
    device->session = false;
    device->sessionId.clear();
    return AmdFromLockdown(error);
}

BW_IMD_EXPORT CFTypeRef AMDeviceCopyValue(AMDeviceRef reference, CFStringRef domain,
                                          CFStringRef key) {
    Device* device = FindDevice(reference);
    if (device == nullptr) return nullptr;
    std::optional<std::string> domainText;
    std::optional<std::string> keyText;
    if (!NameArgument(domain, domainText) || !NameArgument(key, keyText)) return nullptr;
    std::lock_guard<std::mutex> lock(device->mutex);
    if (device->lockdown == nullptr) return nullptr;
    plist_t node = nullptr;
    if (lockdownd_get_value(device->lockdown, OrNull(domainText), OrNull(keyText), &node) !=
        LOCKDOWN_E_SUCCESS) {
        return nullptr;
    }
    PlistOwner owner(node);
    return CFFromPlist(node);
}

BW_IMD_EXPORT int AMDeviceSetValue(AMDeviceRef reference, CFStringRef domain, CFStringRef key,
                                   CFTypeRef value) {
    Device* device = FindDevice(reference);
    if (device == nullptr || key == nullptr || value == nullptr) return kAmdInvalidArgument;
    std::optional<std::string> domainText;
    std::optional<std::string> keyText;
    if (!NameArgument(domain, domainText) || !NameArgument(key, keyText)) {
        return kAmdInvalidArgument;
    }
    PlistOwner node(PlistFromCF(value));
    if (node.node == nullptr) return kAmdInvalidArgument;
    std::lock_guard<std::mutex> lock(device->mutex);
    if (device->lockdown == nullptr) return kAmdNotConnected;
    // The request takes the value over.
    return AmdFromLockdown(
        lockdownd_set_value(device->lockdown, OrNull(domainText), OrNull(keyText), node.release()));
}

BW_IMD_EXPORT int AMDeviceGetWirelessBuddyFlags(AMDeviceRef reference, long* flags) {
    Device* device = FindDevice(reference);
    if (device == nullptr || flags == nullptr) return kAmdInvalidArgument;
    std::lock_guard<std::mutex> lock(device->mutex);
    if (device->lockdown == nullptr) return kAmdNotConnected;
    plist_t node = nullptr;
    const int status = AmdFromLockdown(lockdownd_get_value(
        device->lockdown, "com.apple.mobile.wireless_lockdown", "EnableWifiConnections", &node));
    PlistOwner owner(node);
    if (status != kAmdSuccess) return status;
    uint8_t enabled = 0;
    if (plist_get_node_type(node) == PLIST_BOOLEAN) plist_get_bool_val(node, &enabled);
    // Bit 2: the phone syncs over Wi-Fi.
    *flags = enabled != 0 ? 2 : 0;
    return kAmdSuccess;
}

// Lockdown values, served from and written back to the image's device.plist.
#include <cstring>
#include <string>

#include "MobileDevice.h"
#include "cf/cf_plist.h"
#include "failures.h"
#include "image/device_plist.h"
#include "lockdown.h"
#include "text.h"

using namespace bw::sim::md;
using bw::sim::PlistTree;

namespace {

constexpr char kSimulatorKey[] = "Simulator";
constexpr char kDomainPrefix[] = "com.apple.";
constexpr char kWirelessDomain[] = "com.apple.mobile.wireless_lockdown";

// What a device tells a host that has not started a session: the default domain's identity
// values only. Everything else needs a session, as on a real device.
bool IsPublicValue(std::string_view key) {
    static constexpr const char* kPublic[] = {
        "BuildVersion",    "DeviceClass",  "DeviceColor",    "DeviceName",
        "HardwareModel",   "ProductName",  "ProductType",    "ProductVersion",
        "ProtocolVersion", "UniqueChipID", "UniqueDeviceID", "PasswordProtected",
    };
    for (const char* name : kPublic)
        if (key == name) return true;
    return false;
}

bool IsDomainName(std::string_view name) {
    return name.size() > std::strlen(kDomainPrefix) && name.starts_with(kDomainPrefix);
}

bool IsDictionary(plist_t node) {
    return node != nullptr && plist_get_node_type(node) == PLIST_DICT;
}

// The default domain as a dictionary of its own: every top-level value that is neither a domain
// nor the simulator's switches.
PlistTree DefaultDomain(plist_t values, bool publicOnly) {
    PlistTree domain(plist_new_dict());
    plist_dict_iter iter = nullptr;
    plist_dict_new_iter(values, &iter);
    for (;;) {
        char* key = nullptr;
        plist_t node = nullptr;
        plist_dict_next_item(values, iter, &key, &node);
        if (key == nullptr) break;
        const std::string name = key;
        std::free(key);
        if (name == kSimulatorKey || IsDictionary(node) || (publicOnly && !IsPublicValue(name)))
            continue;
        plist_dict_set_item(domain.get(), name.c_str(), plist_copy(node));
    }
    std::free(iter);
    return domain;
}

CFTypeRef CopyValue(const Device& device, const std::optional<std::string>& domain,
                    const std::optional<std::string>& key) {
    if (ConnectedStatus(device) != kAmdSuccess) return nullptr;
    const bool session = device.sessionActive;
    plist_t values = device.values.get();
    if (!domain) {
        if (!key) return BwSimCFFromPlist(DefaultDomain(values, !session).get());
        if (*key == kSimulatorKey || (!session && !IsPublicValue(*key))) return nullptr;
        const plist_t node = plist_dict_get_item(values, key->c_str());
        return node != nullptr && !IsDictionary(node) ? BwSimCFFromPlist(node) : nullptr;
    }
    if (!session || !IsDomainName(*domain)) return nullptr;
    const plist_t domainNode = plist_dict_get_item(values, domain->c_str());
    if (!IsDictionary(domainNode)) return nullptr;
    if (!key) return BwSimCFFromPlist(domainNode);
    const plist_t node = plist_dict_get_item(domainNode, key->c_str());
    return node != nullptr ? BwSimCFFromPlist(node) : nullptr;
}

// A NULL CF string stands for "none"; anything else must be readable text.
bool OptionalText(CFStringRef text, std::optional<std::string>& out) {
    out.reset();
    if (text == nullptr) return true;
    out = Utf8Text(text);
    return out.has_value();
}

int SetValue(Device& device, const std::optional<std::string>& domain, const std::string& key,
             PlistTree value) {
    if (const int status = SessionStatus(device); status != kAmdSuccess) return status;
    if (key == kSimulatorKey || (domain && !IsDomainName(*domain))) return kAmdSetProhibited;
    PlistTree values(plist_copy(device.values.get()));
    plist_t target = values.get();
    if (domain) {
        target = plist_dict_get_item(values.get(), domain->c_str());
        if (target != nullptr && !IsDictionary(target)) return kAmdSetProhibited;
        if (target == nullptr) {
            plist_dict_set_item(values.get(), domain->c_str(), plist_new_dict());
            target = plist_dict_get_item(values.get(), domain->c_str());
        }
    } else {
        // In device.plist a dictionary at the top level is a domain, so the default domain can
        // hold no dictionaries, and a domain cannot be replaced by a value.
        if (IsDictionary(value.get())) return kAmdInvalidArgument;
        if (IsDictionary(plist_dict_get_item(values.get(), key.c_str()))) return kAmdSetProhibited;
    }
    plist_dict_set_item(target, key.c_str(), value.release());
    std::string error;
    if (!bw::sim::WriteDevicePlist(device.imageFolder, values.get(), std::nullopt, error))
        return kAmdWriteError;
    device.values = std::move(values);
    return kAmdSuccess;
}

bool FlagValue(plist_t node) {
    uint8_t flag = 0;
    if (node != nullptr && plist_get_node_type(node) == PLIST_BOOLEAN)
        plist_get_bool_val(node, &flag);
    return flag != 0;
}

}  // namespace

extern "C" {

CFTypeRef AMDeviceCopyValue(AMDeviceRef device, CFStringRef domain, CFStringRef key) {
    if (TakeFailure(__func__, key)) return nullptr;
    std::optional<std::string> domainText;
    std::optional<std::string> keyText;
    if (!OptionalText(domain, domainText) || !OptionalText(key, keyText)) return nullptr;
    std::lock_guard<std::mutex> lock(DeviceMutex());
    const Device* found = FindDevice(device);
    return found != nullptr ? CopyValue(*found, domainText, keyText) : nullptr;
}

int AMDeviceSetValue(AMDeviceRef device, CFStringRef domain, CFStringRef key, CFTypeRef value) {
    if (const auto failure = TakeFailure(__func__, key)) return *failure;
    std::optional<std::string> domainText;
    std::optional<std::string> keyText;
    if (!OptionalText(domain, domainText) || !OptionalText(key, keyText) || !keyText ||
        value == nullptr)
        return kAmdInvalidArgument;
    PlistTree node(BwSimCFToPlist(value));
    if (node == nullptr) return kAmdInvalidArgument;
    return WithDevice(device, [&](Device& found) {
        return SetValue(found, domainText, *keyText, std::move(node));
    });
}

// Bit 0x1: the device has a Wi-Fi buddy; bit 0x2: it accepts connections over Wi-Fi.
int AMDeviceGetWirelessBuddyFlags(AMDeviceRef device, long* outFlags) {
    if (const auto failure = TakeFailure(__func__)) return *failure;
    if (outFlags == nullptr) return kAmdInvalidArgument;
    return WithDevice(device, [&](Device& found) {
        if (const int status = SessionStatus(found); status != kAmdSuccess) return status;
        const plist_t domain = plist_dict_get_item(found.values.get(), kWirelessDomain);
        long flags = 0;
        if (IsDictionary(domain)) {
            if (plist_dict_get_item(domain, "WirelessBuddyID") != nullptr) flags |= 0x1;
            if (FlagValue(plist_dict_get_item(domain, "EnableWifiConnections"))) flags |= 0x2;
        }
        *outFlags = flags;
        return kAmdSuccess;
    });
}

}  // extern "C"

// The property-list services callers drive through the runtime: the notification proxy, the
// installation proxy and house arrest; and what a Linux host cannot offer.
#include <libimobiledevice/house_arrest.h>

#include <cstdlib>

#include "cf_bridge.h"
#include "links.h"
#include "mapping.h"
#include "status.h"

namespace bw::imd {
namespace {

// How long a service may stay silent before a request is given up: an installation unpacks for
// a while between two progress reports; a folder of applications is listed at once.
constexpr unsigned int kInstallIdleMs = 300000;
constexpr unsigned int kBrowseIdleMs = 60000;
// A reply stream that never completes is cut off.
constexpr int kMaxStatusMessages = 100000;
constexpr size_t kMaxApplications = 100000;

std::shared_ptr<Link> LinkOfHandle(ServiceHandle handle) {
    if (handle == nullptr) return nullptr;
    if (std::shared_ptr<Link> link = LinkOfConnection(handle)) return link;
    return LinkOfNumber(reinterpret_cast<intptr_t>(handle));
}

plist_t Request(const char* command) {
    plist_t request = plist_new_dict();
    plist_dict_set_item(request, "Command", plist_new_string(command));
    return request;
}

int SendNotificationRequest(ServiceHandle handle, const char* command, CFStringRef name) {
    const std::shared_ptr<Link> link = LinkOfHandle(handle);
    if (!link) return kAmdInvalidArgument;
    const std::optional<std::string> text = TextOf(name, 1024);
    if (!text || text->empty()) return kAmdInvalidArgument;
    PlistOwner request(Request(command));
    plist_dict_set_item(request.node, "Name", plist_new_string(text->c_str()));
    return link->SendMessage(request.node) ? kAmdSuccess : kAmdWriteError;
}

// What a status message of the installation proxy says.
enum class Step { Progress, Complete, Failed };

Step StepOf(plist_t message) {
    if (message == nullptr || plist_get_node_type(message) != PLIST_DICT) return Step::Failed;
    if (plist_dict_get_item(message, "Error") != nullptr) return Step::Failed;
    return PlistString(message, "Status") == "Complete" ? Step::Complete : Step::Progress;
}

// Sends `command` with the identifier or package path and the caller's options, and passes every
// status message to the callback until the proxy says it is complete.
int RunInstallCommand(ServiceHandle handle, const char* command, const char* argumentKey,
                      CFStringRef argument, CFDictionaryRef options,
                      InstallProgressCallback callback, void* context) {
    const std::shared_ptr<Link> link = LinkOfHandle(handle);
    if (!link) return kAmdInvalidArgument;
    const std::optional<std::string> text = TextOf(argument, 4096);
    if (!text || text->empty()) return kAmdInvalidArgument;
    PlistOwner request(Request(command));
    plist_dict_set_item(request.node, argumentKey, plist_new_string(text->c_str()));
    if (options != nullptr) {
        plist_t clientOptions = PlistFromCF(options);
        if (clientOptions == nullptr || plist_get_node_type(clientOptions) != PLIST_DICT) {
            if (clientOptions != nullptr) plist_free(clientOptions);
            return kAmdInvalidArgument;
        }
        plist_dict_set_item(request.node, "ClientOptions", clientOptions);
    }
    if (!link->SendMessage(request.node)) return kAmdWriteError;
    for (int count = 0; count < kMaxStatusMessages; ++count) {
        PlistOwner message(link->ReceiveMessage(kInstallIdleMs));
        if (message.node == nullptr) return kAmdReadError;
        const Step step = StepOf(message.node);
        if (step == Step::Failed) return kAmdUndefined;
        if (callback != nullptr) {
            CFOwner status(CFFromPlist(message.node));
            if (status.value != nullptr)
                callback(static_cast<CFDictionaryRef>(status.value), context);
        }
        if (step == Step::Complete) return kAmdSuccess;
    }
    return kAmdInvalidResponse;
}

// Adds the applications of one Browse reply to `found`, keyed by bundle identifier.
bool TakeBrowseList(plist_t message, plist_t found) {
    plist_t list = plist_dict_get_item(message, "CurrentList");
    if (list == nullptr) return true;
    if (plist_get_node_type(list) != PLIST_ARRAY) return false;
    const uint32_t count = plist_array_get_size(list);
    for (uint32_t i = 0; i < count; ++i) {
        plist_t entry = plist_array_get_item(list, i);
        const std::optional<std::string> identifier = PlistString(entry, "CFBundleIdentifier");
        if (!identifier || identifier->empty() || identifier->size() > 1024) continue;
        if (plist_dict_get_size(found) >= kMaxApplications) return false;
        plist_dict_set_item(found, identifier->c_str(), plist_copy(entry));
    }
    return true;
}

}  // namespace
}  // namespace bw::imd

using namespace bw::imd;

BW_IMD_EXPORT int AMSInitialize() {
    return 0;
}

// Restore-mode phones need a kernel driver Linux hosts do not have: the registration is kept and
// never fires.
BW_IMD_EXPORT unsigned int AMRestoreRegisterForDeviceNotifications(RestoreDeviceCallback,
                                                                   RestoreDeviceCallback,
                                                                   RestoreDeviceCallback,
                                                                   RestoreDeviceCallback,
                                                                   unsigned int, void*) {
    return 0;
}

BW_IMD_EXPORT int AMDObserveNotification(ServiceHandle handle, CFStringRef name) {
    return SendNotificationRequest(handle, "ObserveNotification", name);
}

BW_IMD_EXPORT int AMDPostNotification(ServiceHandle handle, CFStringRef name, CFStringRef) {
    return SendNotificationRequest(handle, "PostNotification", name);
}

BW_IMD_EXPORT int AMDListenForNotifications(ServiceHandle handle,
                                            NotificationProxyCallback callback, void* context) {
    const std::shared_ptr<Link> link = LinkOfHandle(handle);
    if (!link || callback == nullptr) return kAmdInvalidArgument;
    return link->StartListening(callback, context) ? kAmdSuccess : kAmdInvalidArgument;
}

BW_IMD_EXPORT int AMDeviceInstallApplication(ServiceHandle handle, CFStringRef path,
                                             CFDictionaryRef options,
                                             InstallProgressCallback callback, void* context) {
    return RunInstallCommand(handle, "Install", "PackagePath", path, options, callback, context);
}

BW_IMD_EXPORT int AMDeviceUninstallApplication(ServiceHandle handle, CFStringRef identifier,
                                               CFDictionaryRef options,
                                               InstallProgressCallback callback, void* context) {
    return RunInstallCommand(handle, "Uninstall", "ApplicationIdentifier", identifier, options,
                             callback, context);
}

BW_IMD_EXPORT int AMDeviceArchiveApplication(ServiceHandle handle, CFStringRef identifier,
                                             CFDictionaryRef options,
                                             InstallProgressCallback callback, void* context) {
    return RunInstallCommand(handle, "Archive", "ApplicationIdentifier", identifier, options,
                             callback, context);
}

BW_IMD_EXPORT int AMDeviceRemoveApplicationArchive(ServiceHandle handle, CFStringRef identifier,
                                                   CFDictionaryRef options,
                                                   InstallProgressCallback callback,
                                                   void* context) {
    return RunInstallCommand(handle, "RemoveArchive", "ApplicationIdentifier", identifier, options,
                             callback, context);
}

BW_IMD_EXPORT int AMDeviceLookupApplications(AMDeviceRef reference, CFDictionaryRef options,
                                             CFDictionaryRef* out) {
    if (out == nullptr) return kAmdInvalidArgument;
    *out = nullptr;
    PlistOwner request(Request("Browse"));
    if (options != nullptr) {
        plist_t clientOptions = PlistFromCF(options);
        if (clientOptions == nullptr || plist_get_node_type(clientOptions) != PLIST_DICT) {
            if (clientOptions != nullptr) plist_free(clientOptions);
            return kAmdInvalidArgument;
        }
        plist_dict_set_item(request.node, "ClientOptions", clientOptions);
    }
    std::shared_ptr<Link> link;
    if (const int status = StartLink(reference, "com.apple.mobile.installation_proxy", link);
        status != kAmdSuccess) {
        return status;
    }
    if (!link->SendMessage(request.node)) return kAmdWriteError;
    PlistOwner found(plist_new_dict());
    for (int count = 0;; ++count) {
        if (count == kMaxStatusMessages) return kAmdInvalidResponse;
        PlistOwner message(link->ReceiveMessage(kBrowseIdleMs));
        if (message.node == nullptr) return kAmdReadError;
        const Step step = StepOf(message.node);
        if (step == Step::Failed) return kAmdUndefined;
        if (!TakeBrowseList(message.node, found.node)) return kAmdInvalidResponse;
        if (step == Step::Complete) break;
    }
    CFTypeRef applications = CFFromPlist(found.node);
    if (applications == nullptr) return kAmdNoResources;
    *out = static_cast<CFDictionaryRef>(applications);
    return kAmdSuccess;
}

// House arrest vends an application's container (or its Documents folder) and then speaks AFC on
// the same connection, rooted there.
BW_IMD_EXPORT int AMDeviceStartHouseArrestService(AMDeviceRef reference, CFStringRef identifier,
                                                  CFDictionaryRef options, ServiceHandle* out,
                                                  unsigned int*) {
    if (out == nullptr) return kAmdInvalidArgument;
    *out = nullptr;
    const std::optional<std::string> bundle = TextOf(identifier, 1024);
    if (!bundle || bundle->empty()) return kAmdInvalidArgument;
    std::string command = "VendContainer";
    if (options != nullptr) {
        const CFOwner key(MakeString("Command"));
        if (key.value == nullptr || CFGetTypeID(options) != CFDictionaryGetTypeID()) {
            return kAmdInvalidArgument;
        }
        const void* value = CFDictionaryGetValue(options, key.value);
        if (value != nullptr) {
            const std::optional<std::string> asked = TextOf(value, 64);
            if (asked != "VendContainer" && asked != "VendDocuments") return kAmdInvalidArgument;
            command = *asked;
        }
    }
    StartedService started;
    if (const int status = StartServicePort(reference, "com.apple.mobile.house_arrest", started);
        status != kAmdSuccess) {
        return status;
    }
    lockdownd_service_descriptor descriptor{started.port, static_cast<uint8_t>(started.ssl ? 1 : 0),
                                            nullptr};
    house_arrest_client_t client = nullptr;
    if (house_arrest_client_new(started.idevice.get(), &descriptor, &client) !=
        HOUSE_ARREST_E_SUCCESS) {
        return kAmdMuxError;
    }
    // The link owns the client from here, and frees it on every path out.
    auto link = std::make_shared<Link>(started.idevice, client);
    if (house_arrest_send_command(client, command.c_str(), bundle->c_str()) !=
        HOUSE_ARREST_E_SUCCESS) {
        return kAmdWriteError;
    }
    plist_t reply = nullptr;
    if (house_arrest_get_result(client, &reply) != HOUSE_ARREST_E_SUCCESS) return kAmdReadError;
    PlistOwner owner(reply);
    if (PlistString(reply, "Status") != "Complete") {
        return PlistString(reply, "Error") == "ApplicationLookupFailed" ? kAmdNotFound
                                                                        : kAmdInvalidResponse;
    }
    AMDServiceConnectionRef connection = MakeServiceConnection(std::move(link));
    if (connection == nullptr) return kAmdNoResources;
    *out = connection;
    return kAmdSuccess;
}

// The control functions of sim_control.h.
#include "sim_control.h"

#include <chrono>
#include <cstring>
#include <string>
#include <vector>

#include "common/plist_file.h"
#include "common/plist_input_check.h"
#include "counters.h"
#include "device.h"
#include "failures.h"
#include "notifications.h"
#include "phone_photos/media_files.h"
#include "services/air_traffic.h"
#include "services/diagnostics_relay.h"
#include "services/notification_proxy.h"
#include "services/photo_sync.h"

using namespace bw::sim::md;

namespace {

thread_local std::string t_lastError;

int Fail(std::string message) {
    t_lastError = std::move(message);
    return -1;
}

const Device* AttachedDevice(const char* udid) {
    if (udid == nullptr) return nullptr;
    std::lock_guard<std::mutex> lock(DeviceMutex());
    return FindAttachedDevice(udid);
}

// The attached device for an AirTraffic control call, or null with the error recorded.
const Device* AirTrafficDevice(const char* udid) {
    t_lastError.clear();
    AttachEnvironmentImages();
    const Device* device = AttachedDevice(udid);
    if (device == nullptr)
        Fail(std::string("no attached device has the identifier ") +
             (udid != nullptr ? udid : "(null)"));
    return device;
}

}  // namespace

extern "C" {

int BwSimAttach(const char* imageFolder, char* udidOut, size_t udidSize) {
    AttachEnvironmentImages();
    t_lastError.clear();
    if (imageFolder == nullptr || *imageFolder == '\0') return Fail("no image folder was given");
    if (udidOut != nullptr && udidSize == 0) return Fail("the identifier buffer has no room");
    Image image;
    std::string error;
    if (!LoadImage(imageFolder, image, error)) return Fail(error);
    const std::string udid = image.udid;
    // Checked before the device arrives, so that a caller never has a device attached whose
    // identifier it could not learn.
    if (udidOut != nullptr && udid.size() >= udidSize)
        return Fail("the identifier " + udid + " does not fit in " + std::to_string(udidSize) +
                    " bytes");
    if (!AttachImage(std::move(image), error)) return Fail(error);
    if (udidOut != nullptr) {
        const size_t length = std::min(udid.size(), udidSize - 1);
        std::memcpy(udidOut, udid.data(), length);
        udidOut[length] = '\0';
    }
    return 0;
}

int BwSimDetach(const char* udid) {
    AttachEnvironmentImages();
    t_lastError.clear();
    if (udid != nullptr) CancelRestarts(std::string(udid));
    const Device* device = AttachedDevice(udid);
    if (device == nullptr || !DetachDevice(udid))
        return Fail(std::string("no attached device has the identifier ") +
                    (udid != nullptr ? udid : "(null)"));
    // A phone that leaves takes its sync agent along: the host's AirTraffic reads end now.
    DropAirTrafficLinks(*device);
    return 0;
}

int BwSimDetachAll(void) {
    AttachEnvironmentImages();
    CancelRestarts(std::nullopt);
    std::vector<Device*> devices;
    {
        std::lock_guard<std::mutex> lock(DeviceMutex());
        devices = AttachedDevices();
    }
    const int detached = DetachAllDevices();
    for (const Device* device : devices)
        DropAirTrafficLinks(*device);
    return detached;
}

void BwSimGetCounters(BwSimCounters* out) {
    if (out == nullptr) return;
    AttachEnvironmentImages();
    const Counters& counters = GlobalCounters();
    out->attachedDevices = counters.attachedDevices;
    out->connectedDevices = counters.connectedDevices;
    out->sessions = counters.sessions;
    out->serviceConnections = counters.serviceConnections;
    out->afcConnections = counters.afcConnections;
    out->afcFiles = counters.afcFiles;
    out->directories = counters.directories;
    out->keyValueIterators = counters.keyValueIterators;
    out->notificationSubscriptions = counters.notificationSubscriptions;
    out->airTrafficConnections = counters.airTrafficConnections;
}

int BwSimInjectFailure(const char* functionName, const char* detail, int status, int count) {
    t_lastError.clear();
    if (functionName == nullptr || count < 1) return Fail("a failure needs a function and a count");
    InjectFailure(functionName,
                  detail != nullptr ? std::optional<std::string>(detail) : std::nullopt, status,
                  count);
    return 0;
}

void BwSimClearFailures(void) {
    ClearFailures();
}

int BwSimBlockCall(const char* functionName, const char* detail, int nth) {
    t_lastError.clear();
    if (functionName == nullptr || nth < 1) return Fail("a hold needs a function and a count");
    if (!HoldCall(functionName,
                  detail != nullptr ? std::optional<std::string>(detail) : std::nullopt, nth))
        return Fail("a call is held already");
    return 0;
}

int BwSimWaitBlocked(int timeoutMs) {
    t_lastError.clear();
    if (!WaitForHeldCall(timeoutMs)) return Fail("no call reached the hold in time");
    return 0;
}

void BwSimRelease(void) {
    ReleaseHeldCall();
}

int BwSimFireRestoreCallback(int index) {
    t_lastError.clear();
    if (!FireRestoreCallback(index))
        return Fail("no restore-mode callback is registered at position " + std::to_string(index));
    return 0;
}

int BwSimWaitForNotifications(int timeoutMs) {
    AttachEnvironmentImages();
    t_lastError.clear();
    if (!WaitUntilDelivered(timeoutMs)) return Fail("notifications are still being delivered");
    return 0;
}

int BwSimPostDeviceNotification(const char* udid, const char* name) {
    AttachEnvironmentImages();
    t_lastError.clear();
    if (udid == nullptr || name == nullptr || *name == '\0')
        return Fail("a notification needs a device and a name");
    Device* device = nullptr;
    {
        std::lock_guard<std::mutex> lock(DeviceMutex());
        device = FindAttachedDevice(udid);
    }
    if (device == nullptr)
        return Fail(std::string("no attached device has the identifier ") + udid);
    return PostOnDevice(*device, name);
}

long BwSimCountHostNotifications(const char* udid, const char* name) {
    AttachEnvironmentImages();
    t_lastError.clear();
    if (udid == nullptr || name == nullptr) return Fail("a count needs a device and a name");
    std::lock_guard<std::mutex> lock(DeviceMutex());
    const Device* device = FindAttachedDevice(udid);
    if (device == nullptr)
        return Fail(std::string("no attached device has the identifier ") + udid);
    const auto found = device->hostNotifications.find(name);
    return found != device->hostNotifications.end() ? found->second : 0;
}

int BwSimSetRestartDelay(const char* udid, int milliseconds) {
    t_lastError.clear();
    if (udid == nullptr || *udid == '\0') return Fail("a restart delay needs a device");
    SetRestartDelay(udid, milliseconds >= 0 ? std::optional(std::chrono::milliseconds(milliseconds))
                                            : std::nullopt);
    return 0;
}

int BwSimWaitForRestart(const char* udid, int timeoutMs) {
    AttachEnvironmentImages();
    t_lastError.clear();
    if (udid == nullptr) return Fail("a restart needs a device");
    const auto start = std::chrono::steady_clock::now();
    std::string error;
    switch (WaitForRestarts(udid, std::chrono::milliseconds(timeoutMs), error)) {
        case RestartOutcome::NoneAsked:
            return Fail(std::string("no restart or shutdown was asked of the device ") + udid);
        case RestartOutcome::TimedOut:
            return Fail(std::string("the device ") + udid + " is still restarting");
        case RestartOutcome::Failed:
            return Fail(error);
        case RestartOutcome::Finished:
            break;
    }
    const auto spent = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - start);
    const auto left = std::max<long>(0, timeoutMs - static_cast<long>(spent.count()));
    if (!WaitUntilDelivered(static_cast<int>(left)))
        return Fail("the notifications of the restart are still being delivered");
    return 0;
}

int BwSimAirTrafficQueueMessage(const char* udid, const char* command, const char* paramsXml) {
    const Device* device = AirTrafficDevice(udid);
    if (device == nullptr) return -1;
    if (command != nullptr && *command == '\0') return Fail("a command name cannot be empty");
    bw::sim::PlistTree params;
    if (paramsXml != nullptr) {
        params = bw::sim::ParseCheckedPlist(paramsXml);
        if (params == nullptr || plist_get_node_type(params.get()) != PLIST_DICT)
            return Fail("the parameters are no XML property list holding a dictionary");
    }
    return QueueAirTrafficMessage(*device, command != nullptr ? command : "", params.get());
}

long BwSimAirTrafficHostInfo(const char* udid, char* xml, size_t size) {
    const Device* device = AirTrafficDevice(udid);
    if (device == nullptr) return -1;
    const std::string text = LastAirTrafficHostInfo(*device);
    if (text.empty()) return Fail("no host sent HostInfo to the device");
    if (xml != nullptr && size > text.size()) std::memcpy(xml, text.c_str(), text.size() + 1);
    return static_cast<long>(text.size());
}

int BwSimAirTrafficSetSilent(const char* udid, int silent) {
    const Device* device = AirTrafficDevice(udid);
    if (device == nullptr) return -1;
    SetAirTrafficSilent(*device, silent != 0);
    return 0;
}

int BwSimAirTrafficSetDelay(const char* udid, int delayMs) {
    const Device* device = AirTrafficDevice(udid);
    if (device == nullptr) return -1;
    if (delayMs < 0 || delayMs > 60000) return Fail("the delay must lie between 0 and 60000 ms");
    SetAirTrafficDelay(*device, delayMs);
    return 0;
}

int BwSimAirTrafficDropLinks(const char* udid) {
    const Device* device = AirTrafficDevice(udid);
    if (device == nullptr) return -1;
    return DropAirTrafficLinks(*device);
}

int BwSimPhotoSyncSetRefuse(const char* udid, int refuse) {
    const Device* device = AirTrafficDevice(udid);
    if (device == nullptr) return -1;
    SetPhotoSyncRefuse(*device, refuse != 0);
    return 0;
}

int BwSimPhotoSyncSetStall(const char* udid, int stage) {
    const Device* device = AirTrafficDevice(udid);
    if (device == nullptr) return -1;
    if (stage < 0 || stage > 4) return Fail("a photo sync stage lies between 0 and 4");
    SetPhotoSyncStall(*device, stage);
    return 0;
}

int BwSimPhotoSyncSetLeave(const char* udid, int stage) {
    const Device* device = AirTrafficDevice(udid);
    if (device == nullptr) return -1;
    if (stage < 0 || stage > 4) return Fail("a photo sync stage lies between 0 and 4");
    SetPhotoSyncLeave(*device, stage);
    return 0;
}

int BwSimPhotoSyncWaitStage(const char* udid, int stage, int timeoutMs) {
    const Device* device = AirTrafficDevice(udid);
    if (device == nullptr) return -1;
    if (stage < 1 || stage > 4 || timeoutMs < 0)
        return Fail("a photo sync wait needs a stage between 1 and 4 and a time");
    if (!WaitPhotoSyncStage(*device, stage, timeoutMs))
        return Fail("the device did not reach photo sync stage " + std::to_string(stage));
    return 0;
}

CFArrayRef BwSimCopyPortableDevices(void) {
    AttachEnvironmentImages();
    struct Camera {
        std::string serial, folder;
    };
    std::vector<Camera> cameras;
    {
        std::lock_guard<std::mutex> lock(DeviceMutex());
        for (const Device* device : AttachedDevices()) {
            cameras.push_back(
                {bw::sim::StringValue(plist_dict_get_item(device->values.get(), "SerialNumber")),
                 device->imageFolder});
        }
    }
    CFMutableArrayRef array = CFArrayCreateMutable(nullptr, 0, &kCFTypeArrayCallBacks);
    if (array == nullptr) return nullptr;
    for (Camera& camera : cameras) {
        camera.folder = MediaFiles(camera.folder).FolderPath("DCIM");
        if (camera.folder.empty()) continue;
        CFMutableDictionaryRef entry = CFDictionaryCreateMutable(
            nullptr, 0, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks);
        for (const auto& [key, value] :
             {std::pair<const char*, std::string>{"FriendlyName", "Apple iPhone"},
              {"SerialNumber", camera.serial},
              {"Folder", camera.folder}}) {
            const CFStringRef name = CFStringCreateWithCString(nullptr, key, kCFStringEncodingUTF8);
            const CFStringRef text =
                CFStringCreateWithCString(nullptr, value.c_str(), kCFStringEncodingUTF8);
            CFDictionarySetValue(entry, name, text);
            CFRelease(name);
            CFRelease(text);
        }
        CFArrayAppendValue(array, entry);
        CFRelease(entry);
    }
    return array;
}

int BwSimTakeFailure(const char* functionName, const char* detail, int* status) {
    if (functionName == nullptr) return 0;
    const std::optional<int> failure = TakeFailure(functionName, detail);
    if (!failure) return 0;
    if (status != nullptr) *status = *failure;
    return 1;
}

void BwSimCountAirTrafficConnection(int delta) {
    GlobalCounters().airTrafficConnections += delta;
}

const char* BwSimLastError(void) {
    return t_lastError.c_str();
}

}  // extern "C"

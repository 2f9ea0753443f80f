// Device references, notifications, pairing and sessions.
#include "lockdown.h"

#include <vector>

#include "counters.h"
#include "failures.h"
#include "notifications.h"
#include "text.h"

using namespace bw::sim::md;

extern "C" {

int AMDeviceNotificationSubscribe(am_device_notification_callback callback, unsigned int,
                                  unsigned int, void* context,
                                  AMDeviceNotificationRef* outNotification) {
    if (const auto failure = TakeFailure(__func__)) return *failure;
    AttachEnvironmentImages();
    std::lock_guard<std::mutex> lock(DeviceMutex());
    return Subscribe(callback, context, AttachedDevices(), outNotification);
}

CFArrayRef AMDCreateDeviceList(void) {
    if (TakeFailure(__func__)) return nullptr;
    AttachEnvironmentImages();
    std::lock_guard<std::mutex> lock(DeviceMutex());
    const std::vector<Device*> attached = AttachedDevices();
    std::vector<const void*> references(attached.begin(), attached.end());
    return CFArrayCreate(nullptr, references.data(), static_cast<CFIndex>(references.size()),
                         nullptr);
}

int AMDeviceNotificationUnsubscribe(AMDeviceNotificationRef notification) {
    if (const auto failure = TakeFailure(__func__)) return *failure;
    return Unsubscribe(notification);
}

unsigned int AMRestoreRegisterForDeviceNotifications(am_restore_device_callback dfuConnect,
                                                     am_restore_device_callback recoveryConnect,
                                                     am_restore_device_callback dfuDisconnect,
                                                     am_restore_device_callback recoveryDisconnect,
                                                     unsigned int, void* userInfo) {
    if (const auto failure = TakeFailure(__func__)) return static_cast<unsigned int>(*failure);
    const am_restore_device_callback callbacks[4] = {dfuConnect, recoveryConnect, dfuDisconnect,
                                                     recoveryDisconnect};
    return RegisterRestoreCallbacks(callbacks, userInfo);
}

// Device references live as long as the process, so retaining and releasing have nothing to do.
void AMDeviceRetain(AMDeviceRef) {}
void AMDeviceRelease(AMDeviceRef) {}

CFStringRef AMDeviceCopyDeviceIdentifier(AMDeviceRef device) {
    if (TakeFailure(__func__)) return nullptr;
    std::lock_guard<std::mutex> lock(DeviceMutex());
    const Device* found = FindDevice(device);
    return found != nullptr ? NewCFString(found->udid) : nullptr;
}

int AMDeviceGetInterfaceType(AMDeviceRef device) {
    if (const auto failure = TakeFailure(__func__)) return *failure;
    std::lock_guard<std::mutex> lock(DeviceMutex());
    const Device* found = FindDevice(device);
    return found != nullptr ? found->switches.interfaceType : 0;
}

int AMDeviceConnect(AMDeviceRef device) {
    if (const auto failure = TakeFailure(__func__)) return *failure;
    return WithDevice(device, [](Device& found) {
        if (!found.attached) return kAmdNotConnected;
        ++found.connections;
        ++GlobalCounters().connectedDevices;
        return kAmdSuccess;
    });
}

// The session runs on the lockdown connection, so it ends with the last one.
int AMDeviceDisconnect(AMDeviceRef device) {
    if (const auto failure = TakeFailure(__func__)) return *failure;
    return WithDevice(device, [](Device& found) {
        if (!found.attached) return kAmdNotConnected;
        if (found.connections == 0) return kAmdSuccess;
        --found.connections;
        --GlobalCounters().connectedDevices;
        if (found.connections == 0 && found.sessionActive) {
            found.sessionActive = false;
            --GlobalCounters().sessions;
        }
        return kAmdSuccess;
    });
}

int AMDeviceIsPaired(AMDeviceRef device) {
    if (TakeFailure(__func__)) return 0;
    return WithDevice(device, [](Device& found) { return HasPairRecord(found) ? 1 : 0; }) == 1 ? 1
                                                                                               : 0;
}

int AMDevicePair(AMDeviceRef device) {
    if (const auto failure = TakeFailure(__func__)) return *failure;
    return WithDevice(device, [](Device& found) {
        if (const int status = ConnectedStatus(found); status != kAmdSuccess) return status;
        if (found.switches.refusesPairing) return kAmdUserDeniedPairing;
        AddPairRecord(found);
        return kAmdSuccess;
    });
}

int AMDeviceValidatePairing(AMDeviceRef device) {
    if (const auto failure = TakeFailure(__func__)) return *failure;
    return WithDevice(device, [](Device& found) {
        if (const int status = ConnectedStatus(found); status != kAmdSuccess) return status;
        return HasPairRecord(found) ? kAmdSuccess : kAmdMissingPairRecord;
    });
}

int AMDeviceStartSession(AMDeviceRef device) {
    if (const auto failure = TakeFailure(__func__)) return *failure;
    return WithDevice(device, [](Device& found) {
        if (const int status = ConnectedStatus(found); status != kAmdSuccess) return status;
        if (!HasPairRecord(found)) return kAmdMissingPairRecord;
        if (found.sessionActive) return kAmdSessionActive;
        found.sessionActive = true;
        ++GlobalCounters().sessions;
        return kAmdSuccess;
    });
}

int AMDeviceStopSession(AMDeviceRef device) {
    if (const auto failure = TakeFailure(__func__)) return *failure;
    return WithDevice(device, [](Device& found) {
        if (!found.attached) return kAmdNotConnected;
        if (!found.sessionActive) return kAmdSessionInactive;
        found.sessionActive = false;
        --GlobalCounters().sessions;
        return kAmdSuccess;
    });
}

// Prepares the backup service of the real runtime; the simulator has nothing to prepare.
int AMSInitialize(void) {
    if (const auto failure = TakeFailure(__func__)) return *failure;
    return kAmdSuccess;
}

}  // extern "C"

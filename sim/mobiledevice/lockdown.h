// What the lockdown parts share: running a call on a device the runtime handed out.
#pragma once

#include <mutex>

#include "device.h"
#include "status.h"

namespace bw::sim::md {

// Runs body(device) with DeviceMutex held; an unknown reference gives kAmdInvalidArgument.
template <class Body>
int WithDevice(const void* reference, Body body) {
    std::lock_guard<std::mutex> lock(DeviceMutex());
    Device* device = FindDevice(reference);
    if (device == nullptr) return kAmdInvalidArgument;
    return body(*device);
}

// 0 when the device is attached and the host holds a lockdown connection to it.
inline int ConnectedStatus(const Device& device) {
    return device.attached && device.connections > 0 ? kAmdSuccess : kAmdNotConnected;
}

// 0 when, in addition, a session is active.
inline int SessionStatus(const Device& device) {
    const int status = ConnectedStatus(device);
    if (status != kAmdSuccess) return status;
    return device.sessionActive ? kAmdSuccess : kAmdSessionInactive;
}

}  // namespace bw::sim::md

// The phones usbmuxd reports, as the AMDeviceRef objects handed to callers, and the lockdown
// connection each one holds while a caller is connected.
#pragma once

#include <libimobiledevice/libimobiledevice.h>
#include <libimobiledevice/lockdown.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "exports.h"

namespace bw::imd {

using IdeviceHandle = std::shared_ptr<struct idevice_private>;

// One phone on one interface. Never freed: callers keep device references after the phone left
// and compare them with later notifications; a phone that comes back on the same interface gets
// the same object again.
struct Device {
    Device(std::string udid, int interfaceType)
        : udid(std::move(udid)), interfaceType(interfaceType) {}

    const std::string udid;
    const int interfaceType;  // 1 USB, 2 network
    AMDeviceRef object = nullptr;
    std::atomic<bool> attached{false};
    std::atomic<uint64_t> arrival{0};  // counts the arrivals

    // Held across every lockdown exchange: one lockdown connection carries one request at a time.
    std::mutex mutex;
    IdeviceHandle idevice;  // opened on the first connect after each arrival
    uint64_t openedArrival = 0;
    lockdownd_client_t lockdown = nullptr;
    std::string sessionId;
    bool session = false;

    // With `mutex` held: the phone's device handle, opened when missing (a lockdown connection
    // of an earlier arrival is closed first); null when it left.
    IdeviceHandle OpenIdevice();
    // With `mutex` held: ends the session and the lockdown connection.
    void CloseLockdown();
};

// The device behind a reference this runtime handed out, or null for any other value (which is
// never dereferenced).
Device* FindDevice(AMDeviceRef reference);

// The HostID of the phone's pair record, or empty when there is no readable record.
std::string PairRecordHostId(const std::string& udid);

}  // namespace bw::imd

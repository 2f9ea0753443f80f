// Exported scan-session functions. The device pointer is checked against the devices this process
// made; nothing is thrown across these functions.
#include "brackwater/scan.h"
#include "device/connect_listener.h"
#include "session/scan_device.h"

extern "C" {

BRACKWATER_API IScanDevice* ScanDeviceNew(CIPhone* device) {
    try {
        bw::CIPhone* phone = bw::FromHost(device);
        if (phone == nullptr) return nullptr;
        return new bw::CScanDevice(phone);
    } catch (...) {
        return nullptr;
    }
}

BRACKWATER_API void ScanDeviceDelete(IScanDevice* session) {
    try {
        delete session;
    } catch (...) {
    }
}

}  // extern "C"

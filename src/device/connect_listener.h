// The device connection listener: one per process, created by ConnectListenerNew. When started
// it subscribes to the runtime's device notifications, opens a CIPhone for each arriving device,
// lists the opened ones and reports arrivals and removals to the host's callback.
//
// Ownership of CIPhone objects (the host only ever borrows them): an object whose open failed,
// and a full-file-system twin that could not open "com.apple.afc2", are destroyed at once. A
// listed device that leaves has its connections closed and is kept, with its twin, in a
// process-wide list of retired devices until the process ends, so that a host that still holds
// the pointer gets clean failures and never touches freed memory. Restore-mode objects are
// retired the same way as soon as they are reported.
#pragma once

#include <atomic>

#include "brackwater/device.h"
#include "device/iphone.h"

namespace bw {

class CIPhoneConnectionListener : public ::IConnectListener {
  public:
    CIPhoneConnectionListener() = default;
    // Does not unsubscribe: devices keep arriving into the process-wide list.
    ~CIPhoneConnectionListener() override = default;

    unsigned char IsListening() override;
    void StartListening() override;
    void StopListening() override;
    void WaitForDevice(int32_t seconds, ::CIPhone** device) override;
    void CopyDeviceList(::DeviceList& list, unsigned char toCaller) override;
    void SetCallback(::DeviceCallback callback, void* context) override;

  private:
    std::atomic<uint8_t> listening_{0};
};

// The listener singleton: made (loading the runtime) on the first call, the flags stored on
// every call.
CIPhoneConnectionListener* NewConnectListener(bool openFullFileSystemTwin,
                                              bool acceptNetworkDevices);
void DeleteConnectListener();

// The host sees CIPhone as an opaque type; these are the only crossings.
inline ::CIPhone* ToHost(CIPhone* phone) {
    return reinterpret_cast<::CIPhone*>(phone);
}
// Null unless the pointer is a device object this process handed out (listed, retired, a twin
// or a restore-mode object), so that a stray host pointer is refused instead of used.
CIPhone* FromHost(::CIPhone* phone);

}  // namespace bw

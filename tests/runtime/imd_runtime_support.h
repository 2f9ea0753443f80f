// Loading the libimobiledevice runtime through the library's loader, with usbmuxd looked for at
// a socket of the test's own.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "device/runtime.h"
#include "support/runtime_registry.h"

namespace bw::testing {

inline std::string ImdLibraryPath() {
    return std::string(BRACKWATER_DEVICE_RUNTIME_DIR) + "/libMobileDevice.so";
}

// Each test starts from an empty table and loads the runtime; usbmuxd is the socket
// `UsbmuxdSocket()` names, which only a test that serves it makes.
class ImdRuntimeTest : public RuntimeTableTest {
  protected:
    void SetUp() override {
        RuntimeTableTest::SetUp();
        ::setenv("USBMUXD_SOCKET_ADDRESS", ("UNIX:" + UsbmuxdSocket()).c_str(), 1);
        UseRegistry(folder_, RuntimeRegistryText(BRACKWATER_SIM_RUNTIME_DIR, ImdLibraryPath()));
        ASSERT_NE(LoadMobileDeviceRuntime(), nullptr);
    }
    std::string UsbmuxdSocket() const { return folder_ / "usbmuxd"; }
};

}  // namespace bw::testing

// Registry files that point the runtime loader at a runtime, and the stub runtimes the tests
// build (tests/fixtures/stub_runtime).
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
#include <string>

#include "device/runtime.h"
#include "platform/environment.h"
#include "platform/registry.h"
#include "support/build_paths.h"
#include "support/temp_folder.h"

namespace bw::testing {

// Registry text naming a runtime: the install folder and the mobile device library's path,
// under the 64-bit keys or only under Wow6432Node.
inline std::string RuntimeRegistryText(const std::string& installDir,
                                       const std::string& libraryPath, bool wow6432Only = false) {
    const std::string software = wow6432Only ? "SOFTWARE\\Wow6432Node\\" : "SOFTWARE\\";
    return "Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\" + software +
           "Apple Inc.\\Apple Application Support]\n\"InstallDir\"=\"" +
           platform::EscapeRegistryString(installDir) + "\"\n\n[HKEY_LOCAL_MACHINE\\" + software +
           "Apple Inc.\\Apple Mobile Device Support\\Shared]\n\"iTunesMobileDeviceDLL\"=\"" +
           platform::EscapeRegistryString(libraryPath) + "\"\n";
}

// Writes the registry file into `folder` and makes this process read it.
inline void UseRegistry(const TempFolder& folder, const std::string& text) {
    const std::string path = folder.Write("registry.reg", text);
    ::setenv("BRACKWATER_REGISTRY", path.c_str(), 1);
}

// Points the registry at one of the test's stub mobile device libraries, with the simulator's
// CoreFoundation in the install folder, and loads the runtime. The stubs do nothing, so value and
// conversion tests run without devices.
inline bool LoadStubRuntime(const TempFolder& folder, bool partial = false) {
#if defined(BW_STUB_MOBILE_DEVICE_PATH) && defined(BW_PARTIAL_MOBILE_DEVICE_PATH)
    UseRegistry(folder, RuntimeRegistryText(
                            BRACKWATER_SIM_RUNTIME_DIR,
                            partial ? BW_PARTIAL_MOBILE_DEVICE_PATH : BW_STUB_MOBILE_DEVICE_PATH));
    return LoadMobileDeviceRuntime() != nullptr;
#else
    (void)folder;
    (void)partial;
    return false;
#endif
}

// A test that loads runtimes: each starts from an empty runtime table and gets its PATH back.
class RuntimeTableTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ResetRuntimeTableForTests();
        savedPath_ = platform::GetEnv("PATH");
    }
    void TearDown() override {
        if (savedPath_) {
            ::setenv("PATH", savedPath_->c_str(), 1);
        } else {
            ::unsetenv("PATH");
        }
        ResetRuntimeTableForTests();
    }

    TempFolder folder_;
    std::optional<std::string> savedPath_;
};

}  // namespace bw::testing

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

#include "cf/CoreFoundation.h"
#include "device/runtime.h"
#include "platform/environment.h"
#include "support/build_paths.h"
#include "support/runtime_registry.h"

namespace bw {
namespace {

using testing::LoadStubRuntime;
using testing::RuntimeRegistryText;
using testing::TempFolder;
using testing::UseRegistry;

class RuntimeLoader : public testing::RuntimeTableTest {};

TEST_F(RuntimeLoader, PathOfTheLibraryAndTheRuntimeFoldersAppendedToPath) {
    UseRegistry(folder_, RuntimeRegistryText("/S", "/M/MD.so"));
    ::setenv("PATH", "/A", 1);
    EXPECT_EQ(GetMobileDeviceDllPath(), "/M/MD.so");
    EXPECT_EQ(platform::GetEnv("PATH"), "/A:/S:/M");
}

TEST_F(RuntimeLoader, OnlyWow6432NodeKeysAreFoundThroughTheSecondKeyOfEachPair) {
    UseRegistry(folder_, RuntimeRegistryText("/S32", "/M32/lib/MD.so", true));
    ::setenv("PATH", "/usr/bin:/bin", 1);
    EXPECT_EQ(GetMobileDeviceDllPath(), "/M32/lib/MD.so");
    EXPECT_EQ(platform::GetEnv("PATH"), "/usr/bin:/bin:/S32:/M32/lib");
}

TEST_F(RuntimeLoader, AFirstKeyWithoutItsValueDoesNotFallBackToWow6432Node) {
    UseRegistry(folder_,
                "REGEDIT4\n"
                "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Apple Inc.\\Apple Application Support]\n"
                "\"Other\"=\"x\"\n"
                "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Wow6432Node\\Apple Inc.\\Apple Application "
                "Support]\n"
                "\"InstallDir\"=\"/S\"\n"
                "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Apple Inc.\\Apple Mobile Device Support\\Shared]\n"
                "\"iTunesMobileDeviceDLL\"=\"/M/MD.so\"\n");
    ::setenv("PATH", "/A", 1);
    EXPECT_EQ(GetMobileDeviceDllPath(), "");
    EXPECT_EQ(platform::GetEnv("PATH"), "/A");
}

TEST_F(RuntimeLoader, MissingEntriesOrAnEmptyPathGiveNoPathAndLeavePathAlone) {
    UseRegistry(folder_, "REGEDIT4\n");
    ::setenv("PATH", "/A", 1);
    EXPECT_EQ(GetMobileDeviceDllPath(), "");
    EXPECT_EQ(platform::GetEnv("PATH"), "/A");

    UseRegistry(folder_, RuntimeRegistryText("/S", "/M/MD.so"));
    ::setenv("PATH", "", 1);
    EXPECT_EQ(GetMobileDeviceDllPath(), "");
    EXPECT_EQ(platform::GetEnv("PATH"), "");
    ::unsetenv("PATH");
    EXPECT_EQ(GetMobileDeviceDllPath(), "");
    EXPECT_FALSE(platform::GetEnv("PATH").has_value());
}

TEST_F(RuntimeLoader, CompleteRuntimeFillsEverySlot) {
    ASSERT_TRUE(LoadStubRuntime(folder_));
    EXPECT_TRUE(RuntimeLoaded());
    const RuntimeTable& runtime = Runtime();
    EXPECT_NE(runtime.mobileDevice, nullptr);
#define BW_EXPECT_FILLED(name, result, parameters) \
    EXPECT_NE(reinterpret_cast<const void*>(runtime.name), nullptr) << #name;
    BW_MOBILE_DEVICE_FUNCTIONS(BW_EXPECT_FILLED)
    BW_CORE_FOUNDATION_FUNCTIONS(BW_EXPECT_FILLED)
#undef BW_EXPECT_FILLED
    EXPECT_NE(runtime.CFPropertyListCreateData, nullptr);
    // The boolean slot holds the object itself, the callback slots the records' addresses.
    EXPECT_EQ(static_cast<const void*>(runtime.kCFBooleanTrue),
              static_cast<const void*>(::kCFBooleanTrue));
    // (The test program holds its own copies of the records, so their members are compared.)
    ASSERT_NE(runtime.kCFTypeDictionaryKeyCallBacks, nullptr);
    ASSERT_NE(runtime.kCFTypeDictionaryValueCallBacks, nullptr);
    ASSERT_NE(runtime.kCFTypeArrayCallBacks, nullptr);
    EXPECT_EQ(
        static_cast<const CFDictionaryKeyCallBacks*>(runtime.kCFTypeDictionaryKeyCallBacks)->hash,
        ::kCFTypeDictionaryKeyCallBacks.hash);
    EXPECT_EQ(
        static_cast<const CFDictionaryValueCallBacks*>(runtime.kCFTypeDictionaryValueCallBacks)
            ->release,
        ::kCFTypeDictionaryValueCallBacks.release);
    EXPECT_EQ(static_cast<const CFArrayCallBacks*>(runtime.kCFTypeArrayCallBacks)->retain,
              ::kCFTypeArrayCallBacks.retain);
    // The stub's own function is what the slot calls.
    EXPECT_EQ(reinterpret_cast<void*>(runtime.AMDeviceSetValue),
              platform::FindSymbol(runtime.mobileDevice, "AMDeviceSetValue"));
}

TEST_F(RuntimeLoader, MissingFunctionStopsLoadingAndLeavesLaterSlotsEmpty) {
    EXPECT_FALSE(LoadStubRuntime(folder_, /*partial=*/true));
    EXPECT_FALSE(RuntimeLoaded());
    const RuntimeTable& runtime = Runtime();
    // The handle stays stored, the names before the missing one are filled, the rest are empty.
    EXPECT_NE(runtime.mobileDevice, nullptr);
    EXPECT_NE(runtime.AMDeviceGetInterfaceType, nullptr);
    EXPECT_NE(runtime.AMDeviceSecureStartService, nullptr);
    EXPECT_EQ(runtime.AMDeviceSetValue, nullptr);
    EXPECT_EQ(runtime.AMRestoreRegisterForDeviceNotifications, nullptr);
    EXPECT_EQ(runtime.AMDPostNotification, nullptr);
    EXPECT_EQ(runtime.CFPropertyListCreateData, nullptr);
}

TEST_F(RuntimeLoader, LibraryWithoutTheMobileDeviceNamesIsUnusable) {
    // CoreFoundation loads, but exports none of the mobile device names.
    UseRegistry(folder_, RuntimeRegistryText(BRACKWATER_SIM_RUNTIME_DIR, BRACKWATER_SIM_CF_PATH));
    EXPECT_EQ(LoadMobileDeviceRuntime(), nullptr);
    EXPECT_FALSE(RuntimeLoaded());
    EXPECT_EQ(Runtime().AMDeviceGetInterfaceType, nullptr);
}

TEST_F(RuntimeLoader, MissingLibraryOrRegistryGivesNoRuntime) {
    UseRegistry(folder_, RuntimeRegistryText(BRACKWATER_SIM_RUNTIME_DIR, folder_ / "none.so"));
    EXPECT_EQ(LoadMobileDeviceRuntime(), nullptr);
    EXPECT_EQ(Runtime().mobileDevice, nullptr);
    UseRegistry(folder_, "REGEDIT4\n");
    EXPECT_EQ(LoadMobileDeviceRuntime(), nullptr);
    EXPECT_FALSE(RuntimeLoaded());
}

TEST_F(RuntimeLoader, LoadsOnceWhileARuntimeIsLoaded) {
    ASSERT_TRUE(LoadStubRuntime(folder_));
    const std::string pathAfterFirstLoad = platform::GetEnv("PATH").value_or("");
    const platform::LibraryHandle first = Runtime().mobileDevice;
    UseRegistry(folder_, "REGEDIT4\n");  // a second load would now fail
    EXPECT_EQ(LoadMobileDeviceRuntime(), first);
    EXPECT_EQ(platform::GetEnv("PATH"), pathAfterFirstLoad);
}

// The runtime's own folders are searched first: a library of that name there that lacks one of
// the names makes the load fail with every slot empty, and the simulator's complete stand-in
// further on PATH is not taken in its place.
TEST_F(RuntimeLoader, AnAirTrafficHostLackingANameGivesNullAndEmptySlots) {
#if defined(BW_STUB_MOBILE_DEVICE_PATH)
    UseRegistry(folder_, RuntimeRegistryText(folder_.path(), BW_STUB_MOBILE_DEVICE_PATH));
    ::setenv("PATH", BRACKWATER_SIM_RUNTIME_DIR, 1);
    ASSERT_NE(LoadMobileDeviceRuntime(), nullptr);
    // Any shared library without the AirTraffic names will do: the stub mobile device library.
    std::error_code failed;
    std::filesystem::copy_file(BW_STUB_MOBILE_DEVICE_PATH, folder_ / "libAirTrafficHost.so",
                               failed);
    ASSERT_FALSE(failed) << failed.message();
    EXPECT_EQ(LoadAirTrafficHost(), nullptr);
    EXPECT_EQ(Runtime().ATHostConnectionCreateWithLibrary, nullptr);
    EXPECT_EQ(Runtime().ATHostConnectionSendAssetCompleted, nullptr);
#else
    GTEST_SKIP() << "the stub runtimes were not built";
#endif
}

TEST_F(RuntimeLoader, TheSimulatorsAirTrafficHostFillsEverySlot) {
    UseRegistry(folder_, RuntimeRegistryText(
                             BRACKWATER_SIM_RUNTIME_DIR,
                             std::string(BRACKWATER_SIM_RUNTIME_DIR) + "/libMobileDevice.so"));
    ASSERT_NE(LoadMobileDeviceRuntime(), nullptr);
    ASSERT_NE(LoadAirTrafficHost(), nullptr);
#define BW_EXPECT_FILLED(name, result, parameters) \
    EXPECT_NE(reinterpret_cast<const void*>(Runtime().name), nullptr) << #name;
    BW_AIR_TRAFFIC_HOST_FUNCTIONS(BW_EXPECT_FILLED)
#undef BW_EXPECT_FILLED
}

}  // namespace
}  // namespace bw

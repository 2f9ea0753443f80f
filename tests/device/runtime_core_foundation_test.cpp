// Which CoreFoundation the runtime loader takes: the runtime's own before any of that name on
// PATH, and only one that has every name the library calls.
#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
#include <string>

#include "device/runtime.h"
#include "platform/environment.h"
#include "platform/files.h"
#include "support/build_paths.h"
#include "support/runtime_registry.h"

namespace bw {
namespace {

using testing::RuntimeRegistryText;
using testing::TempFolder;
using testing::UseRegistry;

std::string FolderOf(const std::string& path) {
    return path.substr(0, path.rfind('/'));
}

class RuntimeCoreFoundation : public testing::RuntimeTableTest {
  protected:
    // Puts `folder` at the head of PATH.
    void PutFirstOnPath(const std::string& folder) {
        ::setenv("PATH", (folder + ":" + savedPath_.value_or("/usr/bin")).c_str(), 1);
    }

    static void ExpectNoCoreFoundationSlot() {
        const RuntimeTable& runtime = Runtime();
#define BW_EXPECT_EMPTY(name, result, parameters) \
    EXPECT_EQ(reinterpret_cast<const void*>(runtime.name), nullptr) << #name;
        BW_CORE_FOUNDATION_FUNCTIONS(BW_EXPECT_EMPTY)
#undef BW_EXPECT_EMPTY
        EXPECT_EQ(runtime.kCFBooleanTrue, nullptr);
        EXPECT_EQ(runtime.kCFTypeArrayCallBacks, nullptr);
    }
};

TEST_F(RuntimeCoreFoundation, TheRuntimesOwnIsTakenBeforeOneOfThatNameOnPath) {
    UseRegistry(folder_,
                RuntimeRegistryText(BRACKWATER_SIM_RUNTIME_DIR, BW_STUB_MOBILE_DEVICE_PATH));
    PutFirstOnPath(FolderOf(BW_PARTIAL_CORE_FOUNDATION_PATH));
    ASSERT_NE(LoadMobileDeviceRuntime(), nullptr);
    EXPECT_TRUE(RuntimeLoaded());

    const platform::LibraryHandle own = platform::LoadLibraryPath(BRACKWATER_SIM_CF_PATH);
    const platform::LibraryHandle impostor =
        platform::LoadLibraryPath(BW_PARTIAL_CORE_FOUNDATION_PATH);
    ASSERT_NE(own, nullptr);
    ASSERT_NE(impostor, nullptr);
    const RuntimeTable& runtime = Runtime();
    EXPECT_EQ(reinterpret_cast<void*>(runtime.CFRelease), platform::FindSymbol(own, "CFRelease"));
    EXPECT_NE(reinterpret_cast<void*>(runtime.CFRelease),
              platform::FindSymbol(impostor, "CFRelease"));
    EXPECT_EQ(reinterpret_cast<void*>(runtime.CFArrayAppendValue),
              platform::FindSymbol(own, "CFArrayAppendValue"));
    EXPECT_EQ(reinterpret_cast<void*>(runtime.CFPropertyListCreateData),
              platform::FindSymbol(own, "CFPropertyListCreateData"));
}

TEST_F(RuntimeCoreFoundation, OwnCopyWithoutOneFunctionMakesLoadingFail) {
    // The partial library's folder stands for the install folder; a complete CoreFoundation is on
    // PATH, and must not be taken in its place either.
    UseRegistry(folder_, RuntimeRegistryText(FolderOf(BW_PARTIAL_CORE_FOUNDATION_PATH),
                                             BW_STUB_MOBILE_DEVICE_PATH));
    PutFirstOnPath(BRACKWATER_SIM_RUNTIME_DIR);
    EXPECT_EQ(LoadMobileDeviceRuntime(), nullptr);
    EXPECT_FALSE(RuntimeLoaded());
    ExpectNoCoreFoundationSlot();
}

TEST_F(RuntimeCoreFoundation, LibraryOnPathWithoutOneFunctionMakesLoadingFail) {
    // The runtime has no copy of its own: the one found on PATH is checked the same way.
    const std::string runtimeFolder = folder_ / "runtime";
    ASSERT_TRUE(platform::CreateFolder(runtimeFolder));
    UseRegistry(folder_, RuntimeRegistryText(runtimeFolder, BW_STUB_MOBILE_DEVICE_PATH));
    PutFirstOnPath(FolderOf(BW_PARTIAL_CORE_FOUNDATION_PATH));
    EXPECT_EQ(LoadMobileDeviceRuntime(), nullptr);
    EXPECT_FALSE(RuntimeLoaded());
    ExpectNoCoreFoundationSlot();
}

TEST_F(RuntimeCoreFoundation, BrokenOwnCopyIsNotReplacedByOneOnPath) {
    const std::string runtimeFolder = folder_ / "runtime";
    folder_.Write("runtime/" + platform::SharedLibraryFileName("CoreFoundation.dll"),
                  "not a shared library");
    UseRegistry(folder_, RuntimeRegistryText(runtimeFolder, BW_STUB_MOBILE_DEVICE_PATH));
    PutFirstOnPath(BRACKWATER_SIM_RUNTIME_DIR);
    EXPECT_EQ(LoadMobileDeviceRuntime(), nullptr);
    EXPECT_FALSE(RuntimeLoaded());
    ExpectNoCoreFoundationSlot();
}

TEST_F(RuntimeCoreFoundation, WithoutAnOwnCopyACompleteOneOnPathIsUsed) {
    const std::string runtimeFolder = folder_ / "runtime";
    ASSERT_TRUE(platform::CreateFolder(runtimeFolder));
    UseRegistry(folder_, RuntimeRegistryText(runtimeFolder, BW_STUB_MOBILE_DEVICE_PATH));
    PutFirstOnPath(BRACKWATER_SIM_RUNTIME_DIR);
    ASSERT_NE(LoadMobileDeviceRuntime(), nullptr);
    EXPECT_EQ(reinterpret_cast<void*>(Runtime().CFRelease),
              platform::FindSymbol(platform::LoadLibraryPath(BRACKWATER_SIM_CF_PATH), "CFRelease"));
}

}  // namespace
}  // namespace bw

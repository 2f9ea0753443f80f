// Where the build put the programs and libraries that the tests run or load. The paths are
// defined in one source file that the build generates, so no other test source depends on where
// the build folder is and a clone in another folder reuses the compiler cache for all of them.
#pragma once

namespace bw::testing::build_paths {

extern const char* const kCli;                    // the command-line host
extern const char* const kLibrary;                // the library a desktop host loads
extern const char* const kSimTool;                // the simulator's image tool
extern const char* const kSimRuntimeDir;          // the simulator's runtime folder
extern const char* const kSimMobileDevice;        // the simulator's mobile device library
extern const char* const kSimCoreFoundation;      // the simulator's CoreFoundation
extern const char* const kStubMobileDevice;       // tests/fixtures/stub_runtime, every function
extern const char* const kPartialMobileDevice;    // the same without AMDeviceSetValue
extern const char* const kPartialCoreFoundation;  // a CoreFoundation without CFArrayAppendValue
extern const char* const kImageCache;             // built simulator images (support/test_images.h)

}  // namespace bw::testing::build_paths

#define BRACKWATER_CLI_PATH ::bw::testing::build_paths::kCli
#define BRACKWATER_LIB_PATH ::bw::testing::build_paths::kLibrary
#define BRACKWATER_SIM_TOOL_PATH ::bw::testing::build_paths::kSimTool
#define BRACKWATER_SIM_RUNTIME_DIR ::bw::testing::build_paths::kSimRuntimeDir
#define BRACKWATER_SIM_MD_PATH ::bw::testing::build_paths::kSimMobileDevice
#define BRACKWATER_SIM_CF_PATH ::bw::testing::build_paths::kSimCoreFoundation
#define BW_STUB_MOBILE_DEVICE_PATH ::bw::testing::build_paths::kStubMobileDevice
#define BW_PARTIAL_MOBILE_DEVICE_PATH ::bw::testing::build_paths::kPartialMobileDevice
#define BW_PARTIAL_CORE_FOUNDATION_PATH ::bw::testing::build_paths::kPartialCoreFoundation

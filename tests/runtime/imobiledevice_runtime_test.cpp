// The libimobiledevice runtime: the library's loader takes it for a mobile device runtime, every
// name resolves inside it (never in the simulator's runtime the test process also holds), calls
// with references it never made fail cleanly, and its translations of phone data and error codes.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "device/runtime.h"
#include "mapping.h"
#include "runtime/imd_runtime_support.h"

namespace bw {
namespace {

const std::string kImdLibrary = testing::ImdLibraryPath();

// The file a function address belongs to.
std::string FileOf(const void* address) {
    Dl_info info{};
    if (address == nullptr || dladdr(address, &info) == 0 || info.dli_fname == nullptr) return {};
    return info.dli_fname;
}

using ImdRuntimeLoad = testing::ImdRuntimeTest;

TEST_F(ImdRuntimeLoad, EveryNameTheLoaderNeedsResolvesInsideThisRuntime) {
    const RuntimeTable& runtime = Runtime();
    EXPECT_TRUE(RuntimeLoaded());
    std::vector<std::string> elsewhere;
#define BW_CHECK_SLOT(name, result, parameters)                             \
    if (FileOf(reinterpret_cast<const void*>(runtime.name)) != kImdLibrary) \
        elsewhere.push_back(#name);
    BW_MOBILE_DEVICE_FUNCTIONS(BW_CHECK_SLOT)
#undef BW_CHECK_SLOT
    EXPECT_EQ(elsewhere, std::vector<std::string>{});
    EXPECT_EQ(FileOf(reinterpret_cast<const void*>(runtime.AFCKeyValueClose)), kImdLibrary);
    // The simulator's extras are not offered: the library takes the paths every runtime has.
    EXPECT_EQ(runtime.BwSimCopyPortableDevices, nullptr);
    EXPECT_EQ(runtime.BwSimDirectoryOpenWithInfo, nullptr);
    EXPECT_EQ(runtime.BwSimDirectoryReadWithInfo, nullptr);
    // One CoreFoundation in the process: the simulator's, which this runtime links.
    EXPECT_EQ(FileOf(reinterpret_cast<const void*>(runtime.CFRelease)),
              std::string(BRACKWATER_SIM_CF_PATH));
}

TEST_F(ImdRuntimeLoad, ReferencesTheRuntimeNeverMadeAreRefusedWithoutBeingRead) {
    const RuntimeTable& runtime = Runtime();
    int notAnObject = 0;
    auto device = reinterpret_cast<rt::AMDeviceRef>(&notAnObject);
    const int invalidArgument = static_cast<int>(0xE8000007u);
    EXPECT_EQ(runtime.AMSInitialize(), 0);
    EXPECT_EQ(runtime.AMDeviceConnect(device), invalidArgument);
    EXPECT_EQ(runtime.AMDeviceStartSession(device), invalidArgument);
    EXPECT_EQ(runtime.AMDeviceIsPaired(device), 0);
    EXPECT_EQ(runtime.AMDeviceGetInterfaceType(device), 0);
    EXPECT_EQ(runtime.AMDeviceCopyDeviceIdentifier(device), nullptr);
    EXPECT_EQ(runtime.AMDeviceCopyValue(device, nullptr, nullptr), nullptr);
    long flags = 7;
    EXPECT_EQ(runtime.AMDeviceGetWirelessBuddyFlags(device, &flags), invalidArgument);
    rt::ServiceHandle handle = &notAnObject;
    EXPECT_EQ(runtime.AMDeviceStartService(device, nullptr, &handle, nullptr), invalidArgument);
    EXPECT_EQ(handle, nullptr);

    auto connection = reinterpret_cast<rt::AMDServiceConnectionRef>(&notAnObject);
    EXPECT_EQ(runtime.AMDServiceConnectionGetSocket(connection), -1);
    EXPECT_EQ(runtime.AMDServiceConnectionGetSecureIOContext(connection), nullptr);
    EXPECT_EQ(runtime.AMDServiceConnectionSend(connection, "x", 1), -1);
    char byte = 0;
    EXPECT_EQ(runtime.AMDServiceConnectionReceive(connection, &byte, 1), -1);
    EXPECT_EQ(runtime.AMDServiceConnectionCreate(3, nullptr, nullptr), nullptr);
    runtime.AMDServiceConnectionInvalidate(connection);

    const int afcInvalidArgument = 7;
    rt::AFCConnectionRef afc = nullptr;
    EXPECT_EQ(runtime.AFCConnectionOpen(&notAnObject, 0, &afc), afcInvalidArgument);
    EXPECT_EQ(runtime.AFCConnectionOpen(reinterpret_cast<rt::ServiceHandle>(intptr_t{5}), 0, &afc),
              afcInvalidArgument);
    EXPECT_EQ(afc, nullptr);
    afc = reinterpret_cast<rt::AFCConnectionRef>(&notAnObject);
    rt::AFCFileRef file = 9;
    EXPECT_EQ(runtime.AFCFileRefOpen(afc, "/a", rt::kAfcModeRead, &file), afcInvalidArgument);
    EXPECT_EQ(runtime.AFCDirectoryCreate(afc, "/a"), afcInvalidArgument);
    EXPECT_EQ(runtime.AFCConnectionClose(afc), afcInvalidArgument);
    char* key = &byte;
    char* value = &byte;
    auto values = reinterpret_cast<rt::AFCKeyValueRef>(&notAnObject);
    EXPECT_EQ(runtime.AFCKeyValueRead(values, &key, &value), afcInvalidArgument);
    EXPECT_EQ(runtime.AFCKeyValueClose(values), afcInvalidArgument);
    EXPECT_EQ(runtime.AMDeviceNotificationUnsubscribe(
                  reinterpret_cast<rt::AMDeviceNotificationRef>(&notAnObject)),
              invalidArgument);
    EXPECT_EQ(runtime.AMDObserveNotification(&notAnObject, nullptr), invalidArgument);
}

TEST_F(ImdRuntimeLoad, RestoreModeRegistrationSucceedsAndSubscribingWithoutUsbmuxdIsNoError) {
    const RuntimeTable& runtime = Runtime();
    int context = 0;
    EXPECT_EQ(runtime.AMRestoreRegisterForDeviceNotifications(nullptr, nullptr, nullptr, nullptr, 0,
                                                              &context),
              0u);
    rt::AMDeviceNotificationRef subscription = nullptr;
    EXPECT_EQ(runtime.AMDeviceNotificationSubscribe([](rt::DeviceNotificationInfo*, void*) {}, 0, 0,
                                                    nullptr, &subscription),
              0);
    ASSERT_NE(subscription, nullptr);
    EXPECT_EQ(runtime.AMDeviceNotificationUnsubscribe(subscription), 0);
    // A second unsubscription names nothing any more.
    EXPECT_NE(runtime.AMDeviceNotificationUnsubscribe(subscription), 0);
}

// Phone data: what a file-information or folder reply may carry into the library.
TEST(ImdPhoneData, KeyValueListsArePairedBoundedAndUtf8) {
    const char* good[] = {"st_size", "12", "st_ifmt", "S_IFREG", nullptr};
    const auto pairs = imd::TakeKeyValueList(good);
    ASSERT_TRUE(pairs.has_value());
    EXPECT_EQ(*pairs, (imd::KeyValueList{{"st_size", "12"}, {"st_ifmt", "S_IFREG"}}));

    const char* unpaired[] = {"st_size", "12", "LinkTarget", nullptr};
    EXPECT_FALSE(imd::TakeKeyValueList(unpaired).has_value());
    const char* emptyKey[] = {"", "x", nullptr};
    EXPECT_FALSE(imd::TakeKeyValueList(emptyKey).has_value());
    const std::string longValue(imd::kMaxKeyValueText + 1, 'a');
    const char* tooLong[] = {"Model", longValue.c_str(), nullptr};
    EXPECT_FALSE(imd::TakeKeyValueList(tooLong).has_value());
    const std::string longestValue(imd::kMaxKeyValueText, 'a');
    const char* longest[] = {"Model", longestValue.c_str(), nullptr};
    EXPECT_TRUE(imd::TakeKeyValueList(longest).has_value());
    const char* notUtf8[] = {"Model", "iPhone\xC0\xAF", nullptr};
    EXPECT_FALSE(imd::TakeKeyValueList(notUtf8).has_value());

    std::vector<std::string> keys;
    std::vector<const char*> many;
    for (size_t i = 0; i <= imd::kMaxKeyValuePairs; ++i)
        keys.push_back(std::string("k").append(std::to_string(i)));
    for (const std::string& k : keys) {
        many.push_back(k.c_str());
        many.push_back("v");
    }
    many.push_back(nullptr);
    EXPECT_FALSE(imd::TakeKeyValueList(many.data()).has_value());
    EXPECT_EQ(imd::TakeKeyValueList(nullptr), imd::KeyValueList{});
}

TEST(ImdPhoneData, FolderNamesThatCannotNameAnEntryAreLeftOut) {
    const std::string longName(imd::kMaxNameBytes + 1, 'n');
    const char* list[] = {
        ".",    "..", "DCIM",          "",     "../../etc", "a/b", longName.c_str(),
        "\xFF", "é",  "x\xED\xA0\x80", nullptr};
    EXPECT_EQ(imd::TakeDirectoryNames(list), (std::vector<std::string>{".", "..", "DCIM", "é"}));
    EXPECT_EQ(imd::TakeDirectoryNames(nullptr), std::vector<std::string>{});
}

TEST(ImdPhoneData, Utf8CheckRejectsOverlongSurrogateAndTruncatedForms) {
    EXPECT_TRUE(imd::IsUtf8("plain"));
    EXPECT_TRUE(imd::IsUtf8("\xF0\x9F\x93\xB7"));   // U+1F4F7
    EXPECT_FALSE(imd::IsUtf8("\xE0\x80\xAF"));      // overlong '/'
    EXPECT_FALSE(imd::IsUtf8("\xED\xB0\x80"));      // lone low surrogate
    EXPECT_FALSE(imd::IsUtf8("\xF4\x90\x80\x80"));  // above U+10FFFF
    EXPECT_FALSE(imd::IsUtf8("\xE2\x82"));          // cut short
}

TEST(ImdPhoneData, MessageFramesCarryABigEndianLengthUpToTheCap) {
    const auto header = imd::FrameHeader(0x01020304u);
    EXPECT_EQ(header, (std::array<unsigned char, 4>{1, 2, 3, 4}));
    EXPECT_EQ(imd::FrameBodyLength(header), 0x01020304u);
    EXPECT_EQ(imd::FrameBodyLength(imd::FrameHeader(imd::kMaxMessageBytes)), imd::kMaxMessageBytes);
    EXPECT_FALSE(imd::FrameBodyLength(imd::FrameHeader(imd::kMaxMessageBytes + 1)).has_value());
    EXPECT_FALSE(imd::FrameBodyLength(imd::FrameHeader(0)).has_value());
    EXPECT_FALSE(imd::FrameBodyLength({0xFF, 0xFF, 0xFF, 0xFF}).has_value());
}

// Caller numbers: callers may pass 32-bit values in 64-bit registers.
TEST(ImdCallerNumbers, ModesAndOriginsAreReadFromTheLowHalf) {
    EXPECT_EQ(imd::AfcModeFromCaller(1), AFC_FOPEN_RDONLY);
    EXPECT_EQ(imd::AfcModeFromCaller(0xDEADBEEF00000003ull), AFC_FOPEN_WRONLY);
    EXPECT_EQ(imd::AfcModeFromCaller(6), AFC_FOPEN_RDAPPEND);
    EXPECT_FALSE(imd::AfcModeFromCaller(0).has_value());
    EXPECT_FALSE(imd::AfcModeFromCaller(7).has_value());
    EXPECT_FALSE(imd::AfcModeFromCaller(0x100000000ull).has_value());
    EXPECT_EQ(imd::SeekOriginFromCaller(0xFFFFFFFF00000002ull), SEEK_END);
    EXPECT_EQ(imd::SeekOriginFromCaller(1), SEEK_CUR);
    EXPECT_FALSE(imd::SeekOriginFromCaller(3).has_value());
}

// Error codes as callers know them from the desktop runtime.
TEST(ImdErrorCodes, LockdownFailuresBecomeTheDocumentedAmdCodes) {
    EXPECT_EQ(imd::AmdFromLockdown(LOCKDOWN_E_SUCCESS), 0);
    EXPECT_EQ(static_cast<uint32_t>(imd::AmdFromLockdown(LOCKDOWN_E_PASSWORD_PROTECTED)),
              0xE800001Au);
    EXPECT_EQ(static_cast<uint32_t>(imd::AmdFromLockdown(LOCKDOWN_E_SESSION_ACTIVE)), 0xE800001Du);
    EXPECT_EQ(static_cast<uint32_t>(imd::AmdFromLockdown(LOCKDOWN_E_INVALID_HOST_ID)), 0xE800001Cu);
    EXPECT_EQ(static_cast<uint32_t>(imd::AmdFromLockdown(LOCKDOWN_E_MISSING_PAIR_RECORD)),
              0xE8000025u);
    EXPECT_EQ(static_cast<uint32_t>(imd::AmdFromLockdown(LOCKDOWN_E_MUX_ERROR)), 0xE8000035u);
    EXPECT_EQ(static_cast<uint32_t>(imd::AmdFromLockdown(LOCKDOWN_E_UNKNOWN_ERROR)), 0xE8000001u);
    // Every failure is a failure: nothing maps to success.
    for (int code = -1; code >= -40; --code)
        EXPECT_NE(imd::AmdFromLockdown(static_cast<lockdownd_error_t>(code)), 0) << code;
}

TEST(ImdErrorCodes, AfcCodesPassThroughAndHostSideOnesBecomeProtocolCodes) {
    EXPECT_EQ(imd::AfcFromClient(AFC_E_SUCCESS), 0);
    EXPECT_EQ(imd::AfcFromClient(AFC_E_OBJECT_NOT_FOUND), 8);
    EXPECT_EQ(imd::AfcFromClient(AFC_E_OBJECT_IS_DIR), 9);
    EXPECT_EQ(imd::AfcFromClient(AFC_E_PERM_DENIED), 10);
    EXPECT_EQ(imd::AfcFromClient(AFC_E_MUX_ERROR), 11);
    EXPECT_EQ(imd::AfcFromClient(AFC_E_NO_MEM), 3);
    for (int code : {30, 31, 32, 33, 34, 99, -1}) {
        const int mapped = imd::AfcFromClient(static_cast<afc_error_t>(code));
        EXPECT_TRUE(mapped >= 1 && mapped <= 23) << code;
    }
}

}  // namespace
}  // namespace bw

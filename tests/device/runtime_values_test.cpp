#include <gtest/gtest.h>

#include "cf/CoreFoundation.h"
#include "device/runtime_values.h"
#include "platform/files.h"
#include "platform/text.h"
#include "support/build_paths.h"
#include "support/runtime_registry.h"

namespace bw {
namespace {

using testing::LoadStubRuntime;
using testing::TempFolder;

// The value bridge over the simulator's CoreFoundation and a mobile device library that answers
// nothing.
class RuntimeValues : public ::testing::Test {
  protected:
    void SetUp() override {
        ResetRuntimeTableForTests();
        ASSERT_TRUE(LoadStubRuntime(folder_));
        liveAtStart_ = BwSimCFLiveObjects();
        misusesAtStart_ = BwSimCFMisuses();
    }
    void TearDown() override {
        EXPECT_EQ(BwSimCFLiveObjects(), liveAtStart_) << "a CoreFoundation object was leaked";
        EXPECT_EQ(BwSimCFMisuses(), misusesAtStart_) << "CoreFoundation was called wrongly";
    }

    TempFolder folder_;
    long liveAtStart_ = 0;
    long misusesAtStart_ = 0;
};

TEST_F(RuntimeValues, StringsRoundTripThroughUtf16) {
    for (const std::string text :
         {"", "DeviceName", "Jürgen’s iPhone", "日本語", "emoji \xF0\x9F\x98\x80"}) {
        const CFString string = MakeCFString(text);
        ASSERT_TRUE(string) << text;
        EXPECT_EQ(CFStringGetLength(reinterpret_cast<::CFStringRef>(string.get())),
                  static_cast<CFIndex>(Utf8ToWide(text).size()));
        EXPECT_EQ(CFStringToWString(string.get()), text);
    }
}

TEST_F(RuntimeValues, StringTextEndsAtTheFirstZeroCharacter) {
    const CFString string = MakeCFString(std::string_view("ab\0cd", 5));
    EXPECT_EQ(CFStringGetLength(reinterpret_cast<::CFStringRef>(string.get())), 5);
    EXPECT_EQ(CFStringToWString(string.get()), "ab");
}

TEST_F(RuntimeValues, NonStringsReadAsEmptyText) {
    EXPECT_EQ(CFStringToWString(nullptr), "");
    const int64_t number = 42;
    const CFOwned<rt::CFTypeRef> value(CFNumberCreate(nullptr, kCFNumberSInt64Type, &number));
    EXPECT_EQ(CFStringToWString(static_cast<rt::CFStringRef>(value.get())), "");
    EXPECT_EQ(DeviceValueText(value.get()), "42");
    EXPECT_EQ(DeviceValueText(::kCFBooleanTrue), "true");
    EXPECT_EQ(DeviceValueText(::kCFBooleanFalse), "false");
    const CFString text = MakeCFString("text");
    EXPECT_EQ(DeviceValueText(text.get()), "text");
    EXPECT_EQ(DeviceValueText(nullptr), "");
}

TEST_F(RuntimeValues, AbsentDeviceValuesReadAsEmptyAndZero) {
    auto* device = reinterpret_cast<rt::AMDeviceRef>(&folder_);  // the stub never looks at it
    EXPECT_EQ(CopyDeviceString(device, "DeviceName"), "");
    EXPECT_EQ(CopyDeviceDomainString(device, "com.apple.mobile.battery", "Level"), "");
    EXPECT_EQ(CopyDeviceInteger(device, "WillEncrypt"), 0);
    EXPECT_EQ(CopyDeviceDomainInteger(device, "", "WillEncrypt"), 0);
    EXPECT_EQ(CopyDeviceInteger(nullptr, "WillEncrypt"), 0);
}

TEST_F(RuntimeValues, KeyValueIteratorPairsKeepTheFirstOfRepeatedKeys) {
    // The stub's iterator walks key, value, key, value, ..., NULL.
    const char* empty[] = {nullptr};
    const char** emptyCursor = empty;
    std::map<std::string, std::string> values;
    ReadAfcKeyValues(reinterpret_cast<rt::AFCKeyValueRef>(&emptyCursor), values);
    EXPECT_TRUE(values.empty());

    const char* pairs[] = {"st_size", "10", "st_ifmt", "S_IFREG", "st_size", "99", nullptr};
    const char** cursor = pairs;
    ReadAfcKeyValues(reinterpret_cast<rt::AFCKeyValueRef>(&cursor), values);
    EXPECT_EQ(values,
              (std::map<std::string, std::string>{{"st_ifmt", "S_IFREG"}, {"st_size", "10"}}));

    // A key without a value ends the reading.
    const char* broken[] = {"a", "1", "b", nullptr, "c", "3", nullptr};
    const char** brokenCursor = broken;
    values.clear();
    ReadAfcKeyValues(reinterpret_cast<rt::AFCKeyValueRef>(&brokenCursor), values);
    EXPECT_EQ(values, (std::map<std::string, std::string>{{"a", "1"}}));
    ReadAfcKeyValues(nullptr, values);
    EXPECT_EQ(values.size(), 1u);
}

TEST_F(RuntimeValues, BytesComeBackWhole) {
    const std::string bytes("\x00\x01\xff\x00z", 5);
    EXPECT_EQ(BytesToByteString(bytes.data(), bytes.size()), bytes);
    EXPECT_EQ(BytesToByteString(nullptr, 0), "");
    EXPECT_EQ(BytesToByteString(nullptr, 5), "");
}

TEST_F(RuntimeValues, ITunesFolderFromTheOpenCommandWhenWritable) {
    const std::string program = folder_ / "iTunes";
    ASSERT_TRUE(platform::CreateFolders(program));
    const auto useCommand = [&](const std::string& command) {
        testing::UseRegistry(
            folder_,
            "REGEDIT4\n[HKEY_CLASSES_ROOT\\applications\\iTunes.exe\\shell\\open\\command]\n"
            "@=\"" +
                platform::EscapeRegistryString(command) + "\"\n");
    };
    // Quoted texts are put together with a std::string first: g++ 12 at -O3 reports a false
    // overlapping copy in "\"" + std::string.
    const auto quoted = [](const std::string& path) { return std::string(1, '"').append(path); };
    useCommand(quoted(program) + "/iTunes.exe\" \"%1\"");
    EXPECT_EQ(GetITunesFolder(), program);
    useCommand(quoted(folder_ / "missing") + "/iTunes.exe\" \"%1\"");
    EXPECT_EQ(GetITunesFolder(), "");
    useCommand(program + "/iTunes.exe");  // no quotes
    EXPECT_EQ(GetITunesFolder(), "");
    useCommand(quoted(program) + "/iTunes.exe");  // unterminated
    EXPECT_EQ(GetITunesFolder(), "");
}

TEST(RuntimeValuesUnloaded, EveryBridgeFunctionFailsQuietly) {
    ResetRuntimeTableForTests();
    EXPECT_FALSE(MakeCFString("x"));
    EXPECT_EQ(CopyDeviceString(nullptr, "DeviceName"), "");
    EXPECT_NE(StartDeviceService(nullptr, "com.apple.afc", nullptr), 0);
    EXPECT_NE(SecureStartDeviceService(nullptr, "com.apple.afc", nullptr, nullptr), 0);
    // The directory functions answer 0 without calling anything.
    EXPECT_EQ(AfcMakeDirectory(nullptr, "/a"), 0);
    EXPECT_EQ(AfcRemovePath(nullptr, "/a"), 0);
    rt::AFCDirectoryRef directory = nullptr;
    EXPECT_EQ(AfcOpenDirectory(nullptr, "/a", &directory), 0);
    EXPECT_EQ(directory, nullptr);
    std::string name = "stale";
    EXPECT_EQ(AfcReadDirectory(nullptr, nullptr, name), 0);
    EXPECT_EQ(name, "");
    EXPECT_EQ(BytesToByteString("ab", 2), "");
}

}  // namespace
}  // namespace bw

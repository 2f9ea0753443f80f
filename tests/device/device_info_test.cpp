// Device information against simulated phones: the values the object keeps and where each comes
// from, storage, rename, applications, and the utility services' failure paths. Expected values
// are read from the image's device.plist with libplist, not through the library.
#include <gtest/gtest.h>
#include <plist/plist.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>

#include "device/device_info.h"
#include "device/device_utilities.h"
#include "device/iphone_file.h"
#include "device/runtime.h"
#include "support/ios_versions.h"
#include "support/sim_device.h"

namespace bw {
namespace {

using testing::kWiredAfc;
using testing::kWiredServices;

// device.plist as the simulator reads it; numbers as decimal text, booleans as "1" and "0".
class DevicePlist {
  public:
    explicit DevicePlist(const std::string& image) {
        std::ifstream in(image + "/device.plist", std::ios::binary);
        const std::string bytes{std::istreambuf_iterator<char>(in), {}};
        plist_t root = nullptr;
        plist_from_memory(bytes.data(), static_cast<uint32_t>(bytes.size()), &root);
        root_.reset(root);
        EXPECT_NE(root, nullptr);
    }

    plist_t Node(const char* domain, const char* key) const {
        plist_t dict = root_.get();
        if (domain != nullptr) dict = plist_dict_get_item(dict, domain);
        return dict == nullptr ? nullptr : plist_dict_get_item(dict, key);
    }

    std::string Text(const char* domain, const char* key) const {
        plist_t node = Node(domain, key);
        if (node == nullptr) return {};
        switch (plist_get_node_type(node)) {
            case PLIST_STRING: {
                char* text = nullptr;
                plist_get_string_val(node, &text);
                std::string out = text != nullptr ? text : "";
                std::free(text);
                return out;
            }
            case PLIST_UINT: {
                uint64_t value = 0;
                plist_get_uint_val(node, &value);
                return std::to_string(static_cast<int64_t>(value));
            }
            case PLIST_REAL: {
                // Numbers are read as whole numbers: a real loses its fraction.
                double value = 0;
                plist_get_real_val(node, &value);
                return std::to_string(static_cast<int64_t>(value));
            }
            case PLIST_BOOLEAN: {
                uint8_t value = 0;
                plist_get_bool_val(node, &value);
                return value != 0 ? "1" : "0";
            }
            default:
                return {};
        }
    }

  private:
    struct Free {
        void operator()(plist_t node) const { plist_free(node); }
    };
    std::unique_ptr<void, Free> root_;
};

std::u16string Wide(const char* text) {
    return std::u16string(text, text + std::char_traits<char>::length(text));
}

// The value the object keeps under `key`, or "<untouched>" when it left the buffer as it was.
std::string Value(IDeviceInfo& info, const char* key) {
    // U+FFFF is no character, so no value begins with it.
    char16_t buffer[512];
    std::fill(std::begin(buffer), std::end(buffer), u'\uFFFF');
    info.GetDeviceValue(Wide(key).c_str(), buffer);
    if (buffer[0] == u'\uFFFF') return "<untouched>";
    std::string out;
    for (const char16_t* unit = buffer; *unit != 0; ++unit)
        out.push_back(static_cast<char>(*unit));  // the compared values are ASCII
    return out;
}

using DeviceInfo = testing::OnePhoneTest;

class DeviceInfoVersions : public DeviceInfo, public ::testing::WithParamInterface<const char*> {};

TEST_P(DeviceInfoVersions, EveryKeptValueComesFromItsDomainAndKey) {
    sim::ImageOptions options;
    options.iosVersion = GetParam();
    CIPhone* phone = ArriveWith(options);
    ASSERT_NE(phone, nullptr);
    CDeviceInfo info(phone);
    const DevicePlist plist(image_);
    struct Source {
        const char* stored;
        const char* domain;
        const char* key;
    };
    const Source sources[] = {
        {"BarreyCharging", "com.apple.mobile.battery", "BatteryIsCharging"},
        {"CurrentCapacity", "com.apple.mobile.battery", "BatteryCurrentCapacity"},
        {"TotalDataAvailable", "com.apple.disk_usage", "TotalDataAvailable"},
        {"TotalDataCapacity", "com.apple.disk_usage", "TotalDataCapacity"},
        {"TotalDiskCapacity", "com.apple.disk_usage", "TotalDiskCapacity"},
        {"TotalSystemAvailable", "com.apple.disk_usage", "TotalSystemAvailable"},
        {"TotalSystemCapacity", "com.apple.disk_usage", "TotalSystemCapacity"},
        {"MobileApplicationUsage", "com.apple.disk_usage", "MobileApplicationUsage"},
        {"UniqueChipID", nullptr, "UniqueChipID"},
        {"DeviceName", nullptr, "DeviceName"},
        {"DeviceColor", nullptr, "DeviceColor"},
        {"DeviceClass", nullptr, "DeviceClass"},
        {"PhoneNumber", nullptr, "PhoneNumber"},
        {"ProductType", nullptr, "ProductType"},
        {"ProductVersion", nullptr, "ProductVersion"},
        {"SerialNumber", nullptr, "SerialNumber"},
        {"TimeZone", nullptr, "TimeZone"},
        {"UniqueDeviceID", nullptr, "UniqueDeviceID"},
        {"TimeZoneOffsetFromUTC", nullptr, "TimeZoneOffsetFromUTC"},
        {"SupportsWifiSyncing", "com.apple.mobile.wireless_lockdown", "SupportsWifiSyncing"},
        {"SupportsAirTraffic", "com.apple.mobile.iTunes", "SupportsAirTraffic"},
    };
    for (const Source& source : sources) {
        const std::string expected = plist.Text(source.domain, source.key);
        EXPECT_FALSE(expected.empty()) << source.stored << ": the image should give it";
        EXPECT_EQ(Value(info, source.stored), expected) << source.stored;
    }
    EXPECT_EQ(Value(info, "UniqueDeviceID"), udid_);
    // Only the stored names answer: the device's own key for charging is not one of them.
    EXPECT_EQ(Value(info, "BatteryIsCharging"), "<untouched>");
    EXPECT_EQ(Value(info, ""), "<untouched>");
    ExpectOpen(kWiredAfc, kWiredServices);
    EndListening();
}

INSTANTIATE_TEST_SUITE_P(Images, DeviceInfoVersions, testing::EachIosVersion(),
                         testing::IosVersionName);

TEST_F(DeviceInfo, ValuesTheDeviceDoesNotGiveAreEmptyTextsOrZero) {
    CIPhone* phone = ArriveWith();
    ASSERT_NE(phone, nullptr);
    ASSERT_TRUE(sim_.InjectFailure("AMDeviceCopyValue", "DeviceColor", 0, 1));
    ASSERT_TRUE(sim_.InjectFailure("AMDeviceCopyValue", "BatteryCurrentCapacity", 0, 1));
    ASSERT_TRUE(sim_.InjectFailure("AMDeviceCopyValue", "UniqueChipID", 0, 1));
    CDeviceInfo info(phone);
    EXPECT_EQ(Value(info, "DeviceColor"), "");
    EXPECT_EQ(Value(info, "CurrentCapacity"), "0");
    EXPECT_EQ(Value(info, "UniqueChipID"), "0");
    EXPECT_EQ(Value(info, "ProductType"), DevicePlist(image_).Text(nullptr, "ProductType"));
    ExpectOpen(kWiredAfc, kWiredServices);
    EndListening();
}

TEST_F(DeviceInfo, NothingIsReadWhenNoSessionStarts) {
    CIPhone* phone = ArriveWith();
    ASSERT_NE(phone, nullptr);
    ASSERT_TRUE(sim_.InjectFailure("AMDeviceStartSession", nullptr, 0xE800001E, 1));
    CDeviceInfo info(phone);
    // The open stored these four; the failed read leaves them and adds nothing.
    EXPECT_EQ(Value(info, "DeviceName"), DevicePlist(image_).Text(nullptr, "DeviceName"));
    EXPECT_EQ(Value(info, "TotalDataCapacity"), "<untouched>");
    ExpectOpen(kWiredAfc, kWiredServices);
    EndListening();
}

TEST_F(DeviceInfo, DiskInfoComesFromTheFileServiceAndAlsoRefreshesTheValues) {
    CIPhone* phone = ArriveWith();
    ASSERT_NE(phone, nullptr);
    const DevicePlist plist(image_);
    DiskInfo disk;
    EXPECT_TRUE(phone->ReadDiskInfo(disk));
    EXPECT_EQ(disk.model, plist.Text(nullptr, "ProductType"));
    EXPECT_EQ(std::to_string(disk.totalBytes), plist.Text("Simulator", "FSTotalBytes"));
    EXPECT_EQ(std::to_string(disk.freeBytes), plist.Text("Simulator", "FSFreeBytes"));
    EXPECT_EQ(disk.blockSize, 4096u);

    // Without the file service's answer the record keeps what it held, and the values are still
    // read again.
    ASSERT_TRUE(phone->SetDeviceValue("DeviceName", "Second Name"));
    ASSERT_TRUE(sim_.InjectFailure("AFCDeviceInfoOpen", nullptr, 8));
    DiskInfo kept;
    kept.model = "kept";
    kept.totalBytes = 7;
    EXPECT_FALSE(phone->ReadDiskInfo(kept));
    EXPECT_EQ(kept.model, "kept");
    EXPECT_EQ(kept.totalBytes, 7u);
    EXPECT_EQ(phone->CachedValue("DeviceName"), "Second Name");
    ExpectOpen(kWiredAfc, kWiredServices);
    EndListening();
}

TEST_F(DeviceInfo, ARenameIsKeptByTheDeviceAndSeenByANewAttach) {
    CIPhone* phone = ArriveWith();
    ASSERT_NE(phone, nullptr);
    {
        CDeviceInfo info(phone);
        EXPECT_EQ(info.SetDeviceName(u"Kitchen iPhone"), 1);
        ASSERT_TRUE(sim_.InjectFailure("AMDeviceSetValue", "DeviceName", 0xE8000017));
        EXPECT_EQ(info.SetDeviceName(u"Refused"), 0);
        EXPECT_EQ(info.SetDeviceName(nullptr), 0);
    }
    EXPECT_EQ(DevicePlist(image_).Text(nullptr, "DeviceName"), "Kitchen iPhone");
    Leave(udid_);
    CIPhone* again = Arrive(image_);
    ASSERT_NE(again, nullptr);
    ASSERT_NE(again, phone);
    CDeviceInfo info(again);
    EXPECT_EQ(Value(info, "DeviceName"), "Kitchen iPhone");
    ExpectOpen(kWiredAfc, kWiredServices);
    EndListening();
}

TEST_F(DeviceInfo, ApplicationsAreTheInstalledUserApplications) {
    CIPhone* phone = ArriveWith();
    ASSERT_NE(phone, nullptr);
    CDeviceInfo info(phone);
    const int32_t count = info.LoadApplications();
    ASSERT_EQ(count, 12);  // the image's user applications; system ones never appear
    EXPECT_EQ(info.GetApplication(-1), nullptr);
    EXPECT_EQ(info.GetApplication(count), nullptr);
    // A second load replaces the records rather than adding to them.
    EXPECT_EQ(info.LoadApplications(), count);
    ::IAppInfo* first = info.GetApplication(0);
    ASSERT_NE(first, nullptr);
    EXPECT_GT(first->GetName(nullptr), 2u);
    ExpectOpen(kWiredAfc, kWiredServices);
    EndListening();
}

TEST_F(DeviceInfo, AnObjectWithoutDeviceDoesNothing) {
    CDeviceInfo info(nullptr);
    char16_t buffer[4] = {u'#', 0, 0, 0};
    info.GetDeviceValue(u"DeviceName", buffer);
    EXPECT_EQ(buffer[0], u'#');
    EXPECT_EQ(info.SetDeviceName(u"x"), 0);
    info.RefreshStorage();
    EXPECT_EQ(info.LoadMediaUsage(), 0);
    BwMediaCategory category;
    std::memset(&category, 0xAB, sizeof category);
    info.GetMediaCategory(&category, 0);
    EXPECT_EQ(category.count, 0);
    EXPECT_EQ(category.category[0], 0);
    EXPECT_EQ(category.physicalSize, 0);
    EXPECT_EQ(info.LoadApplications(), 0);
    BwByteBuffer* picture = nullptr;
    EXPECT_EQ(info.TakeScreenshot(&picture), 0);
    EXPECT_EQ(picture, nullptr);
    info.FreeScreenshot(&picture);
    info.FreeScreenshot(nullptr);
    RestartDevice(nullptr);
}

TEST_F(DeviceInfo, PairingIsCheckedAndRepairedBeforeARestart) {
    sim::ImageOptions options;
    options.paired = false;
    // A phone that still answers the validation of a pairing: from iOS 7 on, phones leave it to
    // the session start.
    options.iosVersion = "6.1.3";
    CIPhone* phone = ArriveWith(options);
    ASSERT_NE(phone, nullptr);
    // Validation fails once: the host pairs again and goes on.
    ASSERT_TRUE(sim_.InjectFailure("AMDeviceValidatePairing", nullptr, 0xE8000025));
    ASSERT_TRUE(phone->ConnectPairAndStartSession());
    phone->CloseSession();
    ExpectOpen(kWiredAfc, kWiredServices);
    // A device that refuses to pair is left disconnected.
    ASSERT_TRUE(sim_.InjectFailure("AMDeviceIsPaired", nullptr, 0));
    ASSERT_TRUE(sim_.InjectFailure("AMDevicePair", nullptr, 0xE8000025));
    EXPECT_FALSE(phone->ConnectPairAndStartSession());
    ExpectOpen(kWiredAfc, kWiredServices);
    // A session that does not start is not stopped, and the device is disconnected.
    ASSERT_TRUE(sim_.InjectFailure("AMDeviceStartSession", nullptr, 0xE800001E));
    EXPECT_FALSE(phone->ConnectPairAndStartSession());
    ExpectOpen(kWiredAfc, kWiredServices);
    EndListening();
}

TEST_F(DeviceInfo, AScreenshotServiceRefusedTwiceAnswersFalseAndLeavesNothingOpen) {
    CIPhone* phone = ArriveWith();
    ASSERT_NE(phone, nullptr);
    ASSERT_TRUE(sim_.InjectFailure("AMDeviceSecureStartService", "com.apple.mobile.screenshotr",
                                   0xE8000022, 2));
    std::string image = "old";
    EXPECT_FALSE(phone->TakeScreenshot(image));
    EXPECT_TRUE(image.empty());
    ExpectOpen(kWiredAfc, kWiredServices);
    EndListening();
}

TEST_F(DeviceInfo, TheEndOfASyncUnlocksAndClosesTheLockFileAndTellsTheDevice) {
    CIPhone* phone = ArriveWith();
    ASSERT_NE(phone, nullptr);
    CiPhoneFile lock(phone->afcConnection, "/com.apple.itunes.lock_sync",
                     static_cast<int32_t>(rt::kAfcModeReadWrite));
    ASSERT_EQ(lock.status, 0);
    ASSERT_EQ(Runtime().AFCFileRefLock(phone->afcConnection, lock.file, 1), 0);
    EXPECT_EQ(sim_.Counters().afcFiles, 1);
    phone->PostSyncDidFinish(lock);
    EXPECT_EQ(lock.file, 0u);
    EXPECT_EQ(sim_.CountHostNotifications(udid_, kSyncDidFinishNotification), 1);
    ExpectOpen(kWiredAfc, kWiredServices);
    EndListening();
}

}  // namespace
}  // namespace bw

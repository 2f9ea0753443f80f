// The device's utility services end to end on simulated phones: the screenshot exchange, the
// restart, and media usage over the AirTraffic sync host with its time limit. The simulator's
// control calls make the device silent, queue its messages and report what it was sent.
#include <gtest/gtest.h>
#include <plist/plist.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <future>
#include <string>
#include <vector>

#include "device/device_info.h"
#include "device/device_utilities.h"
#include "device/sync_host.h"
#include "support/ios_versions.h"
#include "support/sim_device.h"

namespace bw {
namespace {

using testing::kWiredAfc;
using testing::kWiredServices;

uint32_t BigEndian32(const std::string& bytes, size_t at) {
    return static_cast<uint32_t>(static_cast<unsigned char>(bytes[at])) << 24 |
           static_cast<uint32_t>(static_cast<unsigned char>(bytes[at + 1])) << 16 |
           static_cast<uint32_t>(static_cast<unsigned char>(bytes[at + 2])) << 8 |
           static_cast<uint32_t>(static_cast<unsigned char>(bytes[at + 3]));
}

// Width and height of a big-endian TIFF, read from its first directory; 0 when absent.
std::pair<uint32_t, uint32_t> TiffSize(const std::string& tiff) {
    if (tiff.size() < 8 || tiff.compare(0, 4, std::string("MM\0*", 4)) != 0) return {0, 0};
    const uint32_t directory = BigEndian32(tiff, 4);
    if (directory + 2 > tiff.size()) return {0, 0};
    const auto entries = static_cast<uint32_t>(static_cast<unsigned char>(tiff[directory]) << 8 |
                                               static_cast<unsigned char>(tiff[directory + 1]));
    uint32_t width = 0;
    uint32_t height = 0;
    for (uint32_t i = 0; i < entries; ++i) {
        const size_t at = directory + 2 + 12 * i;
        if (at + 12 > tiff.size()) break;
        const auto tag = static_cast<uint32_t>(static_cast<unsigned char>(tiff[at]) << 8 |
                                               static_cast<unsigned char>(tiff[at + 1]));
        const auto type = static_cast<uint32_t>(static_cast<unsigned char>(tiff[at + 2]) << 8 |
                                                static_cast<unsigned char>(tiff[at + 3]));
        // A SHORT value sits in the first two bytes of the value field, a LONG fills it.
        const uint32_t value =
            type == 3 ? BigEndian32(tiff, at + 8) >> 16 : BigEndian32(tiff, at + 8);
        if (tag == 256) width = value;
        if (tag == 257) height = value;
    }
    return {width, height};
}

std::string Name(const BwMediaCategory& category) {
    std::string name;
    for (char16_t unit : category.category) {
        if (unit == 0) break;
        name.push_back(static_cast<char>(unit));
    }
    return name;
}

class DeviceServices : public testing::OnePhoneTest {
  protected:
    void TearDown() override {
        SetSyncHostTimeLimit(kSyncHostTimeLimit);
        OnePhoneTest::TearDown();
    }

    void ExpectNoAirTraffic() { EXPECT_EQ(sim_.Counters().airTrafficConnections, 0); }
};

class DeviceServicesVersions : public DeviceServices,
                               public ::testing::WithParamInterface<const char*> {};

TEST_P(DeviceServicesVersions, AScreenshotIsTheScreenAsATiffOfTheScreensSize) {
    sim::ImageOptions options;
    options.iosVersion = GetParam();
    CIPhone* phone = ArriveWith(options);
    ASSERT_NE(phone, nullptr);
    std::string image;
    ASSERT_TRUE(phone->TakeScreenshot(image));
    const auto [width, height] = TiffSize(image);
    EXPECT_EQ(std::to_string(width), phone->ReadDeviceValueText("com.apple.iTunes", "ScreenWidth"));
    EXPECT_EQ(std::to_string(height),
              phone->ReadDeviceValueText("com.apple.iTunes", "ScreenHeight"));
    ExpectOpen(kWiredAfc, kWiredServices);
    EndListening();
}

INSTANTIATE_TEST_SUITE_P(Images, DeviceServicesVersions, testing::EachIosVersion(),
                         testing::IosVersionName);

TEST_F(DeviceServices, AScreenshotServiceRefusedOnceIsStartedAgain) {
    CIPhone* phone = ArriveWith();
    ASSERT_NE(phone, nullptr);
    ASSERT_TRUE(sim_.InjectFailure("AMDeviceSecureStartService", "com.apple.mobile.screenshotr",
                                   0xE8000022, 1));
    CDeviceInfo info(phone);
    BwByteBuffer* picture = nullptr;
    ASSERT_EQ(info.TakeScreenshot(&picture), 1);
    ASSERT_NE(picture, nullptr);
    EXPECT_GT(picture->length, 8u);
    EXPECT_EQ(std::memcmp(picture->bytes, "MM\0*", 4), 0);
    info.FreeScreenshot(&picture);
    EXPECT_EQ(picture, nullptr);
    ExpectOpen(kWiredAfc, kWiredServices);
    EndListening();
}

TEST_F(DeviceServices, AnExchangeThatFailsAfterTheStartAnswersTrueWithNoPicture) {
    CIPhone* phone = ArriveWith();
    ASSERT_NE(phone, nullptr);
    // The device's greeting never arrives: the first receive on the new connection fails (over
    // the wire the phone drops the connection there).
    ASSERT_TRUE(
        sim_.InjectFailure("AMDServiceConnectionReceive", "com.apple.mobile.screenshotr", -1, 1));
    CDeviceInfo info(phone);
    BwByteBuffer* picture = nullptr;
    EXPECT_EQ(info.TakeScreenshot(&picture), 1);
    EXPECT_EQ(picture, nullptr);
    ExpectOpen(kWiredAfc, kWiredServices);
    EndListening();
}

TEST_F(DeviceServices, ARestartMakesTheDeviceLeaveAndComeBackAndTheOldObjectFailsCleanly) {
    CIPhone* phone = ArriveWith();
    ASSERT_NE(phone, nullptr);
    ASSERT_EQ(BwSimSetRestartDelay(udid_.c_str(), 0), 0);
    const std::string name = phone->ReadDeviceValueText("", "DeviceName");
    RestartDevice(phone);
    // Over the wire the request may still be on its way when the call returns; the phone
    // leaving shows that it arrived.
    if (testing::kOverWire) testing::WaitUntil([&] { return log_.Count(kDeviceRemoved) > 0; });
    ASSERT_EQ(BwSimWaitForRestart(udid_.c_str(), 20000), 0) << BwSimLastError();
    ASSERT_TRUE(SettleUntilArrived(2));
    EXPECT_EQ(log_.Device(kDeviceRemoved), phone);
    CIPhone* again = log_.Device(kDeviceArrived, 1);
    ASSERT_NE(again, nullptr);
    EXPECT_NE(again, phone);
    EXPECT_EQ(again->udid, udid_);
    EXPECT_EQ(again->ReadDeviceValueText("", "DeviceName"), name);
    // Every operation of the old object fails without touching the device.
    std::vector<std::string> names;
    EXPECT_FALSE(phone->ListDirectory("/", names));
    EXPECT_FALSE(phone->FileExists("/DCIM"));
    std::string picture;
    EXPECT_FALSE(phone->TakeScreenshot(picture));
    RestartDevice(phone);
    EXPECT_TRUE(again->FileExists("/DCIM"));
    ExpectOpen(kWiredAfc, kWiredServices);
    EndListening();
}

TEST_F(DeviceServices, ADeviceThatCannotBePairedIsNotRestarted) {
    // A phone of its own: the simulator remembers the restarts of a phone by its identifier.
    sim::ImageOptions options;
    options.seed = 57;
    CIPhone* phone = ArriveWith(options);
    ASSERT_NE(phone, nullptr);
    ASSERT_TRUE(sim_.InjectFailure("AMDeviceIsPaired", nullptr, 0));
    ASSERT_TRUE(sim_.InjectFailure("AMDevicePair", nullptr, 0xE8000025));
    RestartDevice(phone);
    // No restart was asked for: the wait answers at once that there is none.
    EXPECT_NE(BwSimWaitForRestart(udid_.c_str(), 0), 0);
    EXPECT_TRUE(phone->FileExists("/DCIM"));
    EXPECT_EQ(log_.Count(kDeviceRemoved), 0u);
    ExpectOpen(kWiredAfc, kWiredServices);
    EndListening();
}

TEST_F(DeviceServices, MediaUsageGivesTheDevicesCategoriesAndClosesItsConnection) {
    CIPhone* phone = ArriveWith();
    ASSERT_NE(phone, nullptr);
    CDeviceInfo info(phone);
    const int32_t count = info.LoadMediaUsage();
    ASSERT_GT(count, 0);
    std::vector<std::string> names;
    for (int32_t i = 0; i < count; ++i) {
        BwMediaCategory category;
        info.GetMediaCategory(&category, i);
        names.push_back(Name(category));
        EXPECT_GE(category.count, 0);
        EXPECT_GE(category.physicalSize, 0);
    }
    // Audio and video come in the order of the kinds in the device's message, the rest after.
    ASSERT_EQ(names.size(), 6u);
    std::sort(names.begin(), names.begin() + 2);
    EXPECT_EQ(names, (std::vector<std::string>{"audio", "video", "photo", "application", "book",
                                               "userdata"}));
    BwMediaCategory past;
    std::memset(&past, 0x5A, sizeof past);
    info.GetMediaCategory(&past, count);
    EXPECT_EQ(past.count, 0);
    EXPECT_EQ(past.category[0], 0);
    EXPECT_EQ(past.physicalSize, 0);
    ExpectNoAirTraffic();
    ExpectOpen(kWiredAfc, kWiredServices);
    EndListening();
}

TEST_F(DeviceServices, OnlyTheMetricsMessageIsReadAndItsFiguresArriveAsSent) {
    CIPhone* phone = ArriveWith();
    ASSERT_NE(phone, nullptr);
    CDeviceInfo info(phone);
    ASSERT_EQ(BwSimAirTrafficSetSilent(udid_.c_str(), 1), 0);
    // Queued before the host connects, so they go out on its link once it is open.
    ASSERT_EQ(BwSimAirTrafficSetDelay(udid_.c_str(), 0), 0);
    std::promise<int32_t> loaded;
    std::thread load([&] { loaded.set_value(info.LoadMediaUsage()); });
    ASSERT_TRUE(testing::WaitUntil([&] { return sim_.Counters().airTrafficConnections == 1; }));
    ASSERT_EQ(BwSimAirTrafficQueueMessage(udid_.c_str(), "Progress", nullptr), 1);
    // A message without "Command" is skipped, even with figures in it.
    ASSERT_EQ(BwSimAirTrafficQueueMessage(
                  udid_.c_str(), nullptr,
                  "<plist><dict><key>Photo</key><dict><key>_Count</key><integer>1</integer>"
                  "</dict></dict></plist>"),
              1);
    ASSERT_EQ(BwSimAirTrafficQueueMessage(
                  udid_.c_str(), "AssetMetrics",
                  "<plist><dict><key>Media</key><dict><key>Song</key><dict><key>_Count</key>"
                  "<integer>3</integer><key>_PhysicalSize</key><integer>3000</integer></dict>"
                  "</dict><key>VoiceMemo</key><dict><key>_Count</key><integer>1</integer>"
                  "<key>_PhysicalSize</key><integer>50</integer></dict></dict></plist>"),
              1);
    load.join();
    ASSERT_EQ(loaded.get_future().get(), 1);
    BwMediaCategory audio;
    info.GetMediaCategory(&audio, 0);
    EXPECT_EQ(Name(audio), "audio");
    EXPECT_EQ(audio.count, 4);
    EXPECT_EQ(audio.physicalSize, 3050);
    ExpectNoAirTraffic();
    EndListening();
}

TEST_F(DeviceServices, TheHostAnnouncesItselfWithTheFallbackVersionAndItsName) {
    CIPhone* phone = ArriveWith();
    ASSERT_NE(phone, nullptr);
    CDeviceInfo info(phone);
    ASSERT_GT(info.LoadMediaUsage(), 0);
    std::string xml(4096, '\0');
    const long length = BwSimAirTrafficHostInfo(udid_.c_str(), xml.data(), xml.size());
    ASSERT_GT(length, 0) << BwSimLastError();
    xml.resize(static_cast<size_t>(length));
    plist_t root = nullptr;
    plist_from_xml(xml.data(), static_cast<uint32_t>(xml.size()), &root);
    ASSERT_NE(root, nullptr);
    const auto text = [&](const char* key) {
        char* value = nullptr;
        if (plist_t node = plist_dict_get_item(root, key)) plist_get_string_val(node, &value);
        std::string out = value != nullptr ? value : "<none>";
        std::free(value);
        return out;
    };
    // No music application on this host: the version falls back.
    EXPECT_EQ(text("LibraryID"), "11.0.5.5");
    EXPECT_EQ(text("Version"), "11.0.5.5");
    const std::string name = text("SyncHostName");
    EXPECT_FALSE(name.empty());
    EXPECT_LE(name.size(), 15u);
    EXPECT_EQ(name.find('.'), std::string::npos);
    plist_t dataclasses = plist_dict_get_item(root, "SyncedDataclasses");
    ASSERT_NE(dataclasses, nullptr);
    EXPECT_EQ(plist_get_node_type(dataclasses), PLIST_ARRAY);
    EXPECT_EQ(plist_array_get_size(dataclasses), 0u);
    EXPECT_EQ(plist_dict_get_size(root), 4u);
    plist_free(root);
    ExpectNoAirTraffic();
    EndListening();
}

TEST_F(DeviceServices, ASilentDeviceEndsTheLoadAtTheTimeLimitWithNothingLeftOpen) {
    CIPhone* phone = ArriveWith();
    ASSERT_NE(phone, nullptr);
    CDeviceInfo info(phone);
    ASSERT_EQ(BwSimAirTrafficSetSilent(udid_.c_str(), 1), 0);
    SetSyncHostTimeLimit(std::chrono::milliseconds(300));
    EXPECT_EQ(info.LoadMediaUsage(), 0);
    EXPECT_EQ(phone->syncHost.load(), nullptr);
    ExpectNoAirTraffic();
    // Storage is refreshed only after a load that got its figures.
    ASSERT_TRUE(phone->SetDeviceValue("DeviceName", "After Timeout"));
    info.RefreshStorage();
    EXPECT_NE(phone->CachedValue("DeviceName"), "After Timeout");
    ExpectOpen(kWiredAfc, kWiredServices);
    EndListening();
}

TEST_F(DeviceServices, ADeviceThatDropsTheLinkEndsTheLoad) {
    CIPhone* phone = ArriveWith();
    ASSERT_NE(phone, nullptr);
    CDeviceInfo info(phone);
    ASSERT_EQ(BwSimAirTrafficSetSilent(udid_.c_str(), 1), 0);
    std::promise<int32_t> loaded;
    std::thread load([&] { loaded.set_value(info.LoadMediaUsage()); });
    ASSERT_TRUE(testing::WaitUntil([&] { return sim_.Counters().airTrafficConnections == 1; }));
    EXPECT_EQ(BwSimAirTrafficDropLinks(udid_.c_str()), 1);
    load.join();
    EXPECT_EQ(loaded.get_future().get(), 0);
    ExpectNoAirTraffic();
    ExpectOpen(kWiredAfc, kWiredServices);
    EndListening();
}

TEST_F(DeviceServices, StorageIsReadAgainAfterALoadThatGotItsFigures) {
    CIPhone* phone = ArriveWith();
    ASSERT_NE(phone, nullptr);
    CDeviceInfo info(phone);
    ASSERT_TRUE(phone->SetDeviceValue("DeviceName", "Renamed Later"));
    ASSERT_GT(info.LoadMediaUsage(), 0);
    info.RefreshStorage();
    EXPECT_EQ(phone->CachedValue("DeviceName"), "Renamed Later");
    ExpectNoAirTraffic();
    ExpectOpen(kWiredAfc, kWiredServices);
    EndListening();
}

TEST_F(DeviceServices, WithoutTheAirTrafficLibraryTheLoadAnswersNothingAtOnce) {
    CIPhone* phone = ArriveWith();
    ASSERT_NE(phone, nullptr);
    ASSERT_TRUE(sim_.InjectFailure("ATHostConnectionCreateWithLibrary", nullptr, 0, 1));
    CDeviceInfo info(phone);
    EXPECT_EQ(info.LoadMediaUsage(), 0);
    ExpectNoAirTraffic();
    ExpectOpen(kWiredAfc, kWiredServices);
    EndListening();
}

}  // namespace
}  // namespace bw

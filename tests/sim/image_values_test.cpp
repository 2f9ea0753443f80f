// device.plist holds every value the library reads, with the type it reads it as, for each iOS
// version, and disk figures that add up. The options that change values (SIM card, encryption,
// Find My Phone, pairing, interface) are checked where the library reads them: IPhoneSession,
// IPhoneOpen and SimMdLockdown.
#include <plist/plist.h>

#include <gtest/gtest.h>

#include <cstdlib>

#include <cctype>
#include <memory>
#include <string>

#include "image/image_builder.h"
#include "support/temp_folder.h"

namespace bw::sim {
namespace {

struct FreePlist {
    void operator()(plist_t node) const { plist_free(node); }
};
using Plist = std::unique_ptr<void, FreePlist>;

Plist BuildAndRead(const testing::TempFolder& folder, const ImageOptions& options) {
    const std::string image = folder / ("image-" + std::to_string(options.seed));
    std::string error;
    EXPECT_TRUE(CreateImage(image, options, error)) << error;
    const std::string xml = testing::ReadFileBytes(image + "/device.plist");
    plist_t root = nullptr;
    plist_from_xml(xml.data(), static_cast<uint32_t>(xml.size()), &root);
    return Plist(root);
}

plist_t Domain(const Plist& values, const char* domain) {
    return domain == nullptr ? values.get() : plist_dict_get_item(values.get(), domain);
}

plist_t Value(const Plist& values, const char* domain, const char* key) {
    plist_t dict = Domain(values, domain);
    return dict != nullptr ? plist_dict_get_item(dict, key) : nullptr;
}

std::string Text(const Plist& values, const char* domain, const char* key) {
    plist_t node = Value(values, domain, key);
    if (node == nullptr || plist_get_node_type(node) != PLIST_STRING) return "<not text>";
    char* text = nullptr;
    plist_get_string_val(node, &text);
    std::string result = text;
    std::free(text);
    return result;
}

// The library reads numbers with CFNumberGetValue: integers and reals qualify, booleans do not.
bool IsNumber(plist_t node) {
    return node != nullptr &&
           (plist_get_node_type(node) == PLIST_UINT || plist_get_node_type(node) == PLIST_REAL);
}

uint64_t Integer(const Plist& values, const char* domain, const char* key) {
    plist_t node = Value(values, domain, key);
    uint64_t number = 0;
    if (node != nullptr && plist_get_node_type(node) == PLIST_UINT)
        plist_get_uint_val(node, &number);
    return number;
}

struct Expected {
    const char* version;
    const char* productType;
    const char* build;
};

void PrintTo(const Expected& expected, std::ostream* out) {
    *out << expected.version;
}

class SimImageValues : public ::testing::TestWithParam<Expected> {
  protected:
    ImageOptions Options() const {
        ImageOptions options;
        options.iosVersion = GetParam().version;
        options.seed = 7;
        return options;
    }

    testing::TempFolder folder;
};

TEST_P(SimImageValues, HoldsEveryValueTheLibraryReadsWithItsType) {
    const Plist values = BuildAndRead(folder, Options());
    ASSERT_NE(values, nullptr);
    // Read as text, no domain.
    for (const char* key :
         {"DeviceName", "DeviceColor", "DeviceClass", "PhoneNumber", "ProductType",
          "ProductVersion", "SerialNumber", "TimeZone", "UniqueDeviceID", "FirmwareVersion",
          "BuildVersion", "IntegratedCircuitCardIdentity",
          "InternationalMobileEquipmentIdentity"}) {
        const std::string text = Text(values, nullptr, key);
        EXPECT_NE(text, "<not text>") << key;
        EXPECT_FALSE(text.empty()) << key;
    }
    // Read as numbers.
    const struct {
        const char* domain;
        const char* key;
    } numbers[] = {
        {nullptr, "UniqueChipID"},
        {nullptr, "TimeZoneOffsetFromUTC"},
        {"com.apple.mobile.battery", "BatteryIsCharging"},
        {"com.apple.mobile.battery", "BatteryCurrentCapacity"},
        {"com.apple.disk_usage", "TotalDataAvailable"},
        {"com.apple.disk_usage", "TotalDataCapacity"},
        {"com.apple.disk_usage", "TotalDiskCapacity"},
        {"com.apple.disk_usage", "TotalSystemAvailable"},
        {"com.apple.disk_usage", "TotalSystemCapacity"},
        {"com.apple.disk_usage", "MobileApplicationUsage"},
        {"com.apple.mobile.wireless_lockdown", "SupportsWifiSyncing"},
        {"com.apple.mobile.iTunes", "SupportsAirTraffic"},
        {"com.apple.fmip", "IsAssociated"},
        {"Simulator", "FSTotalBytes"},
        {"Simulator", "FSFreeBytes"},
    };
    for (const auto& number : numbers)
        EXPECT_TRUE(IsNumber(Value(values, number.domain, number.key)))
            << (number.domain ? number.domain : "") << " " << number.key;
    EXPECT_EQ(Text(values, "com.apple.disk_usage", "CalculateDiskUsage"), "OkilyDokily");
    // The iTunes domain is read whole; it must be a non-empty dictionary.
    plist_t itunes = Domain(values, "com.apple.iTunes");
    ASSERT_NE(itunes, nullptr);
    ASSERT_EQ(plist_get_node_type(itunes), PLIST_DICT);
    EXPECT_GT(plist_dict_get_size(itunes), 10u);
    ASSERT_NE(Domain(values, "com.apple.mobile.backup"), nullptr);
    EXPECT_EQ(Value(values, "com.apple.mobile.backup", "WillEncrypt"), nullptr);
    for (const char* flag : {"Paired", "RefusesPairing", "HasAFC2", "PasscodeLocked"}) {
        plist_t node = Value(values, "Simulator", flag);
        ASSERT_NE(node, nullptr) << flag;
        EXPECT_EQ(plist_get_node_type(node), PLIST_BOOLEAN) << flag;
    }
    EXPECT_EQ(Text(values, "Simulator", "InterfaceType"), "USB");
    EXPECT_EQ(Text(values, nullptr, "ProductVersion"), GetParam().version);
    EXPECT_EQ(Text(values, nullptr, "ProductType"), GetParam().productType);
    EXPECT_EQ(Text(values, nullptr, "BuildVersion"), GetParam().build);
    EXPECT_EQ(Text(values, nullptr, "UniqueDeviceID").size(), 40u);
}

TEST_P(SimImageValues, DiskFiguresAddUpAndMatchTheMediaArea) {
    const Plist values = BuildAndRead(folder, Options());
    const char* disk = "com.apple.disk_usage";
    const uint64_t total = Integer(values, disk, "TotalDiskCapacity");
    const uint64_t data = Integer(values, disk, "TotalDataCapacity");
    const uint64_t system = Integer(values, disk, "TotalSystemCapacity");
    EXPECT_GT(total, 10'000'000'000u);
    EXPECT_EQ(total, data + system);
    EXPECT_LT(Integer(values, disk, "TotalDataAvailable"), data);
    EXPECT_LT(Integer(values, disk, "TotalSystemAvailable"), system);
    EXPECT_LT(Integer(values, disk, "MobileApplicationUsage"),
              data - Integer(values, disk, "TotalDataAvailable"));
    EXPECT_EQ(Integer(values, "Simulator", "FSTotalBytes"), data);
    EXPECT_EQ(Integer(values, "Simulator", "FSFreeBytes"),
              Integer(values, disk, "TotalDataAvailable"));
    const uint64_t battery = Integer(values, "com.apple.mobile.battery", "BatteryCurrentCapacity");
    EXPECT_GE(battery, 1u);
    EXPECT_LE(battery, 100u);
}

INSTANTIATE_TEST_SUITE_P(Versions, SimImageValues,
                         ::testing::Values(Expected{"5.1.1", "iPhone4,1", "9B206"},
                                           Expected{"6.1.3", "iPhone5,1", "10B329"},
                                           Expected{"7.1.2", "iPhone6,1", "11D257"}),
                         [](const auto& info) {
                             return std::string("iOS") + info.param.version[0];
                         });

}  // namespace
}  // namespace bw::sim

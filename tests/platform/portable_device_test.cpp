#include "platform/portable_device.h"

#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <map>

#include "support/temp_folder.h"

namespace bw::platform {
namespace {

// The tree of a device as "name/" for containers and "name" for files, one path per object,
// with the identifiers of the files so a test can delete one by its listed identifier.
struct Walked {
    std::vector<std::string> paths;
    std::map<std::string, std::string> fileIds;  // path -> identifier
};

void Walk(PortableDevice& device, const std::string& id, const std::string& prefix,
          Walked& walked) {
    std::vector<PortableObject> children;
    ASSERT_TRUE(device.ListChildren(id, children)) << id;
    for (const PortableObject& child : children) {
        const std::string label = child.id.starts_with("s") ? child.name : child.originalFileName;
        const std::string path = prefix + label + (child.container ? "/" : "");
        walked.paths.push_back(path);
        if (child.container) {
            Walk(device, child.id, path, walked);
        } else {
            walked.fileIds[path] = child.id;
        }
    }
}

Walked WalkAll(PortableDevice& device) {
    Walked walked;
    Walk(device, std::string(kPortableRootObject), "", walked);
    return walked;
}

class PortableFolderDevice : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_FALSE(dcim_.path().empty());
        dcim_.Write("100APPLE/IMG_0001.JPG", "first");
        dcim_.Write("100APPLE/IMG_0002.PNG", "second");
        dcim_.Write("101APPLE/IMG_0001.JPG", "same name, other folder");
        dcim_.Write("101APPLE/IMG_0003.MOV", "video");
    }

    std::unique_ptr<PortableDevice> OpenOnly(const std::string& folder) {
        PortableDeviceList list =
            ListPortableDevices({PortableFolder{"Apple iPhone", "SERIAL-1", folder}}, false);
        EXPECT_TRUE(list.ok);
        if (list.devices.size() != 1) {
            ADD_FAILURE() << "devices listed: " << list.devices.size();
            return nullptr;
        }
        return std::move(list.devices.front());
    }

    testing::TempFolder dcim_;
};

TEST_F(PortableFolderDevice, ShowsTheFolderBelowOneInternalStorageWithItsNamesAndContainers) {
    auto device = OpenOnly(dcim_.path());
    ASSERT_NE(device, nullptr);
    EXPECT_EQ(device->FriendlyName(), "Apple iPhone");
    EXPECT_EQ(device->SerialNumber(), "SERIAL-1");

    std::vector<PortableObject> top;
    ASSERT_TRUE(device->ListChildren(kPortableRootObject, top));
    ASSERT_EQ(top.size(), 1u);
    EXPECT_EQ(top[0].id, "s10001");
    EXPECT_EQ(top[0].name, "Internal Storage");
    EXPECT_TRUE(top[0].container);

    Walked walked = WalkAll(*device);
    std::vector<std::string> sorted = walked.paths;
    std::sort(sorted.begin(), sorted.end());
    EXPECT_EQ(sorted, (std::vector<std::string>{"Internal Storage/", "Internal Storage/100APPLE/",
                                                "Internal Storage/100APPLE/IMG_0001.JPG",
                                                "Internal Storage/100APPLE/IMG_0002.PNG",
                                                "Internal Storage/101APPLE/",
                                                "Internal Storage/101APPLE/IMG_0001.JPG",
                                                "Internal Storage/101APPLE/IMG_0003.MOV"}));
    // Two files of one name stay two objects.
    EXPECT_NE(walked.fileIds.at("Internal Storage/100APPLE/IMG_0001.JPG"),
              walked.fileIds.at("Internal Storage/101APPLE/IMG_0001.JPG"));
}

TEST_F(PortableFolderDevice, DeletingAFileObjectRemovesThatFileOnlyAndTheListingFollows) {
    auto device = OpenOnly(dcim_.path());
    ASSERT_NE(device, nullptr);
    const std::string id = WalkAll(*device).fileIds.at("Internal Storage/101APPLE/IMG_0001.JPG");

    ASSERT_TRUE(device->DeleteObject(id));
    EXPECT_FALSE(PathExists(dcim_ / "101APPLE/IMG_0001.JPG"));
    EXPECT_EQ(testing::ReadFileBytes(dcim_ / "100APPLE/IMG_0001.JPG"), "first");
    EXPECT_EQ(testing::ReadFileBytes(dcim_ / "101APPLE/IMG_0003.MOV"), "video");
    EXPECT_EQ(WalkAll(*device).fileIds.count("Internal Storage/101APPLE/IMG_0001.JPG"), 0u);
    // Deleted once is gone: a second delete of it fails.
    EXPECT_FALSE(device->DeleteObject(id));
}

TEST_F(PortableFolderDevice, IdentifiersThatLeaveTheTreeOrNameNoFileDeleteNothing) {
    const std::string outside =
        dcim_.Write(std::string("../outside-") + std::to_string(::getpid()), "keep");
    auto device = OpenOnly(dcim_.path());
    ASSERT_NE(device, nullptr);
    const std::string escape = std::string("/100APPLE/../../outside-") + std::to_string(::getpid());

    EXPECT_FALSE(device->DeleteObject(escape));
    EXPECT_FALSE(device->DeleteObject("s10001"));
    EXPECT_FALSE(device->DeleteObject(kPortableRootObject));
    EXPECT_FALSE(device->DeleteObject("/100APPLE"));
    EXPECT_FALSE(device->DeleteObject("100APPLE/IMG_0001.JPG"));
    EXPECT_FALSE(device->DeleteObject("//100APPLE/IMG_0001.JPG"));
    std::vector<PortableObject> children;
    EXPECT_FALSE(device->ListChildren("/100APPLE/..", children));
    EXPECT_FALSE(device->ListChildren("unknown", children));

    EXPECT_EQ(testing::ReadFileBytes(outside), "keep");
    EXPECT_EQ(testing::ReadFileBytes(dcim_ / "100APPLE/IMG_0001.JPG"), "first");
    RemoveFile(outside);
}

TEST_F(PortableFolderDevice, LinksInTheFolderAreNeitherListedNorDeletedThrough) {
    testing::TempFolder elsewhere;
    const std::string precious = elsewhere.Write("IMG_0001.JPG", "not the phone's");
    ASSERT_EQ(::symlink(elsewhere.path().c_str(), (dcim_ / "102APPLE").c_str()), 0);
    ASSERT_EQ(::symlink(precious.c_str(), (dcim_ / "100APPLE/IMG_0009.JPG").c_str()), 0);
    auto device = OpenOnly(dcim_.path());
    ASSERT_NE(device, nullptr);

    const Walked walked = WalkAll(*device);
    for (const std::string& path : walked.paths) {
        EXPECT_EQ(path.find("102APPLE"), std::string::npos) << path;
        EXPECT_EQ(path.find("IMG_0009"), std::string::npos) << path;
    }
    EXPECT_FALSE(device->DeleteObject("/102APPLE/IMG_0001.JPG"));
    std::vector<PortableObject> children;
    EXPECT_FALSE(device->ListChildren("/102APPLE", children));
    EXPECT_EQ(testing::ReadFileBytes(precious), "not the phone's");
}

TEST(PortableDeviceList, FoldersComeInTheirOrderAndMissingOnesAreLeftOut) {
    testing::TempFolder first, second;
    first.Write("100APPLE/A.JPG", "a");
    second.Write("100APPLE/B.JPG", "b");
    const PortableDeviceList list =
        ListPortableDevices({PortableFolder{"Apple iPhone", "ONE", first.path()},
                             PortableFolder{"Apple iPhone", "GONE", first / "missing"},
                             PortableFolder{"Apple iPhone", "RELATIVE", "relative/folder"},
                             PortableFolder{"Apple iPad", "TWO", second.path()}},
                            false);
    EXPECT_TRUE(list.ok);
    ASSERT_EQ(list.devices.size(), 2u);
    EXPECT_EQ(list.devices[0]->SerialNumber(), "ONE");
    EXPECT_EQ(list.devices[1]->SerialNumber(), "TWO");
    EXPECT_EQ(list.devices[1]->FriendlyName(), "Apple iPad");
    EXPECT_EQ(WalkAll(*list.devices[1]).paths.back(), "Internal Storage/100APPLE/B.JPG");
}

TEST(PortableDeviceList, NoFoldersAndNoCamerasListNothing) {
    const PortableDeviceList list = ListPortableDevices({}, false);
    EXPECT_TRUE(list.ok);
    EXPECT_TRUE(list.devices.empty());
}

// A summary as a PTP phone gives it: the device section first, then storages that repeat words.
TEST(CameraSummary, TakesTheDeviceSectionsFirstValuesAndNamesTheMaker) {
    const CameraIdentity identity = ParseCameraSummary(
        "Manufacturer: Apple Inc.\n"
        "Model: iPhone\n"
        "  Version: 7.1.2\n"
        "  Serial Number: 0123456789abcdef0123456789abcdef01234567\r\n"
        "Vendor Extension ID: 0x6 (1.0)\n"
        "\n"
        "Storage Devices Summary:\n"
        "store_00010001:\n"
        "\tModel: Internal Storage\n"
        "\tSerial Number: none\n");
    EXPECT_EQ(identity.manufacturer, "Apple Inc.");
    EXPECT_EQ(identity.model, "iPhone");
    EXPECT_EQ(identity.serialNumber, "0123456789abcdef0123456789abcdef01234567");

    EXPECT_EQ(CameraFriendlyName("Apple iPhone", identity), "Apple iPhone");
    EXPECT_EQ(CameraFriendlyName("USB PTP Class Camera", identity),
              "Apple Inc. USB PTP Class Camera");
    EXPECT_EQ(CameraFriendlyName("", identity), "Apple Inc. iPhone");
    EXPECT_EQ(CameraFriendlyName("Canon EOS", ParseCameraSummary("Model: EOS\n")), "Canon EOS");
    EXPECT_EQ(ParseCameraSummary("no fields here\nSerial Number").serialNumber, "");
}

}  // namespace
}  // namespace bw::platform

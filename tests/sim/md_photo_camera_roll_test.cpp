// The camera roll from the outside: deleted files the photo daemon notices when the store is
// next opened through the file service, and the camera rolls offered as portable devices.
#include <plist/plist.h>

#include <filesystem>

#include "common/plist_file.h"
#include "sim/md_support.h"
#include "sim/sqlite_rows.h"

namespace bw::sim::mdtest {
namespace {

namespace fs = std::filesystem;

class CameraRollTest : public SimMdTest, public ::testing::WithParamInterface<const char*> {
  protected:
    void TearDown() override {
        const BwSimCounters counters = Counters();
        EXPECT_EQ(counters.afcConnections, 0);
        EXPECT_EQ(counters.afcFiles, 0);
        EXPECT_EQ(counters.sessions, 0);
        SimMdTest::TearDown();
    }

    std::string Media(const std::string& image, const std::string& relative) {
        return image + "/fs/var/mobile/Media/" + relative;
    }

    // Reads the store's files through the file service, as a host copies them, into a folder.
    std::string CopyThroughAfc(AMDeviceRef device, const std::string& into) {
        AFCConnectionRef afc = OpenAfc(device);
        EXPECT_NE(afc, nullptr);
        fs::create_directories(into);
        for (const char* suffix : {"", "-wal", "-shm"}) {
            const std::string path = std::string("PhotoData/Photos.sqlite") + suffix;
            if (const auto bytes = ReadDeviceFile(afc, path.c_str()))
                std::ofstream(into + "/Photos.sqlite" + suffix, std::ios::binary) << *bytes;
        }
        EXPECT_EQ(AFCConnectionClose(afc), 0);
        return into + "/Photos.sqlite";
    }
};

TEST_P(CameraRollTest, DeletedCameraRollFileLosesItsRowsWhenTheStoreIsNextOpened) {
    ImageOptions options;
    options.iosVersion = GetParam();
    const std::string image = MakeImage(options);
    AMDeviceRef device = Device(Attach(image));
    const PlistTree manifest = ReadPlistFile(image + "/photos.plist", 1 << 24);
    ASSERT_NE(manifest, nullptr);
    // IMG_0002 has a thumbnail (and on iOS 5 and 6 the sized one); IMG_0008 never had a file.
    std::string thumbnail, sized;
    uint64_t key = 0;
    plist_t photos = plist_dict_get_item(manifest.get(), "Photos");
    for (uint32_t i = 0; i < plist_array_get_size(photos); ++i) {
        plist_t entry = plist_array_get_item(photos, i);
        if (StringValue(plist_dict_get_item(entry, "Path")) != "DCIM/100APPLE/IMG_0002.JPG")
            continue;
        thumbnail = StringValue(plist_dict_get_item(entry, "Thumbnail"));
        sized = StringValue(plist_dict_get_item(entry, "SizedThumbnail"));
        plist_get_uint_val(plist_dict_get_item(entry, "Key"), &key);
    }
    ASSERT_NE(key, 0u);
    ASSERT_TRUE(fs::exists(Media(image, thumbnail)));

    SqliteFile before(CopyThroughAfc(device, folder_ / "before"));
    const auto count = [](SqliteFile& store, const std::string& where) {
        return store.Column("SELECT count(*) FROM ZGENERICASSET WHERE " + where).front();
    };
    const std::string total = count(before, "1");
    const std::string rollCount =
        before.Column("SELECT ZCACHEDCOUNT FROM ZGENERICALBUM WHERE ZKIND = 1000").front();
    ASSERT_EQ(count(before, "ZFILENAME = 'IMG_0008.JPG'"), "1");

    ASSERT_TRUE(fs::remove(Media(image, "DCIM/100APPLE/IMG_0002.JPG")));
    SqliteFile after(CopyThroughAfc(device, folder_ / "after"));
    ASSERT_TRUE(after.ok());
    EXPECT_EQ(after.Column("PRAGMA integrity_check"), std::vector<std::string>{"ok"});
    EXPECT_EQ(count(after, "Z_PK = " + std::to_string(key)), "0");
    EXPECT_EQ(count(after, "1"), std::to_string(std::stoll(total) - 1));
    // A row whose file was already missing when the image was made is the host's to find.
    EXPECT_EQ(count(after, "ZFILENAME = 'IMG_0008.JPG'"), "1");
    EXPECT_EQ(after.Column("SELECT count(*) FROM ZADDITIONALASSETATTRIBUTES WHERE ZASSET = " +
                           std::to_string(key)),
              std::vector<std::string>{"0"});
    EXPECT_EQ(after.Column("SELECT ZCACHEDCOUNT FROM ZGENERICALBUM WHERE ZKIND = 1000"),
              std::vector<std::string>{std::to_string(std::stoll(rollCount) - 1)});
    EXPECT_EQ(after.Column("SELECT ZCACHEDCOUNT FROM ZGENERICALBUM WHERE ZTITLE = 'Best of'"),
              std::vector<std::string>{"2"});
    EXPECT_FALSE(fs::exists(Media(image, thumbnail)));
    if (!sized.empty()) {
        EXPECT_FALSE(fs::exists(Media(image, sized)));
    }
    EXPECT_TRUE(fs::exists(Media(image, "DCIM/100APPLE/IMG_0001.JPG")));
}

INSTANTIATE_TEST_SUITE_P(EachVersion, CameraRollTest, ::testing::Values("5.1.1", "7.1.2"),
                         [](const auto& info) {
                             return std::string(info.param[0] == '5' ? "iOS5" : "iOS7");
                         });

class PortableDeviceTest : public SimMdTest {};

std::string CameraField(CFTypeRef dictionary, const char* key) {
    const CFStringRef name = Text(key);
    const CFTypeRef value = CFDictionaryGetValue(static_cast<CFDictionaryRef>(dictionary), name);
    CFRelease(name);
    return value != nullptr ? TakeText(CFRetain(value)) : "<missing>";
}

TEST_F(PortableDeviceTest, EachAttachedDeviceOffersItsCameraRollFolder) {
    const std::string first = MakeImage(WithUdid('a'));
    const std::string second = MakeImage(WithUdid('b'));
    const std::string firstUdid = Attach(first);
    Attach(second);
    const auto serialOf = [](const std::string& image) {
        const PlistTree values = ReadPlistFile(image + "/device.plist", 1 << 24);
        return StringValue(plist_dict_get_item(values.get(), "SerialNumber"));
    };

    CFArrayRef cameras = BwSimCopyPortableDevices();
    ASSERT_NE(cameras, nullptr);
    ASSERT_EQ(CFArrayGetCount(cameras), 2);
    for (const auto& [index, image] : {std::pair{0, first}, std::pair{1, second}}) {
        const CFTypeRef camera = CFArrayGetValueAtIndex(cameras, index);
        EXPECT_EQ(CameraField(camera, "FriendlyName"), "Apple iPhone");
        EXPECT_EQ(CameraField(camera, "SerialNumber"), serialOf(image));
        EXPECT_NE(serialOf(image), "");
        EXPECT_EQ(CameraField(camera, "Folder"),
                  fs::canonical(image + "/fs/var/mobile/Media/DCIM").string());
    }
    CFRelease(cameras);

    ASSERT_EQ(BwSimDetach(firstUdid.c_str()), 0);
    cameras = BwSimCopyPortableDevices();
    ASSERT_NE(cameras, nullptr);
    ASSERT_EQ(CFArrayGetCount(cameras), 1);
    EXPECT_EQ(CameraField(CFArrayGetValueAtIndex(cameras, 0), "SerialNumber"), serialOf(second));
    CFRelease(cameras);
}

TEST_F(PortableDeviceTest, CameraRollReachedThroughALinkIsNotOffered) {
    const std::string image = MakeImage();
    const std::string dcim = image + "/fs/var/mobile/Media/DCIM";
    fs::rename(dcim, image + "/elsewhere");
    fs::create_directory_symlink(image + "/elsewhere", dcim);
    Attach(image);
    CFArrayRef cameras = BwSimCopyPortableDevices();
    ASSERT_NE(cameras, nullptr);
    EXPECT_EQ(CFArrayGetCount(cameras), 0);
    CFRelease(cameras);
}

}  // namespace
}  // namespace bw::sim::mdtest

// The photo manager end to end on a simulated phone whose library database and pictures the test
// writes into the image before the phone arrives: albums and the photo list, exports, file reads,
// display thumbnails made, stored on the device and found there again, versions without a
// reader, hostile serial numbers and hostile databases. Every test ends with nothing left open.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "device/iphone.h"
#include "formats/plist_library.h"
#include "image/image_builder.h"
#include "photo/mobile_sync.h"
#include "photo/photo.h"
#include "photo/photo_library_fixture.h"
#include "photo/photo_manager.h"
#include "platform/environment.h"
#include "platform/files.h"
#include "support/sim_device.h"
#include "support/temp_folder.h"

namespace bw::testing {
namespace photo_manager_test {

using photo::Asset;
using photo::PhotoLibrary;
using photo::Q;

class PhotoManagerTest : public OnePhoneTest {
  protected:
    void SetUp() override {
        OnePhoneTest::SetUp();
        // The manager's local folder lives in the platform temporary folder: this test's own.
        ASSERT_TRUE(platform::SetEnv("TMPDIR", folder_.path()));
    }

    void TearDown() override {
        manager_.reset();
        // The phone keeps its own connections; the manager and its photos left nothing open.
        if (arrived_) ExpectOpen(kWiredAfc, kWiredServices);
        EndListening();
    }

    // Makes the image, writes the library and the device files into it, lets `edit` change the
    // device values, and lets the phone arrive.
    CIPhone* Arrive(const std::string& version, const PhotoLibrary& library,
                    const std::map<std::string, std::string>& files,
                    const std::function<void(CDicValueObj&)>& edit = nullptr) {
        Listen();
        sim::ImageOptions options;
        options.iosVersion = version.starts_with('4') ? "6.1.3" : version;
        image_ = MakeImage("phone", options);
        for (const char* name : {"Photos.sqlite", "Photos.sqlite-wal", "Photos.sqlite-shm"}) {
            platform::RemoveFile(Media(std::string("PhotoData/") + name));
        }
        platform::CreateFolders(Media("PhotoData"));
        library.Write(Media("PhotoData/Photos.sqlite"));
        for (const auto& [path, bytes] : files) {
            const std::string host = Media(path);
            platform::CreateFolders(host.substr(0, host.rfind('/')));
            EXPECT_TRUE(platform::WriteFileAtomic(host, bytes)) << path;
        }
        if (edit) {
            const std::string plist = platform::JoinPath(image_, "device.plist");
            CDicValueObj values;
            readPlistFromFile(plist, values);
            edit(values);
            writeXmlFile(values, plist);
        }
        CIPhone* phone = SimDeviceTest::Arrive(image_, &udid_);
        EXPECT_NE(phone, nullptr);
        arrived_ = phone != nullptr;
        return phone;
    }

    std::string Media(const std::string& devicePath) const {
        return sim::ImagePath(image_, devicePath, sim::ImageRoot::Media);
    }

    CPhotoManager& Manager(CIPhone* phone) {
        manager_ = std::make_unique<CPhotoManager>(phone);
        return *manager_;
    }

    static std::string Serial(CIPhone* phone) { return phone->serialNumber; }

    static std::string ThumbnailOf(IPhoto* photo) {
        std::string bytes(photo->GetThumbnail(nullptr), '\0');
        EXPECT_EQ(photo->GetThumbnail(reinterpret_cast<unsigned char*>(bytes.data())),
                  bytes.size());
        return bytes;
    }

    std::unique_ptr<CPhotoManager> manager_;
    bool arrived_ = false;
};

// A camera roll of two stills and a video, an album sharing one still, and their files.
struct SmallLibrary {
    explicit SmallLibrary(const std::string& version) : library(version) {
        Asset first;
        first.key = 1;
        first.fileName = "'IMG_0101.JPG'";
        Asset video;
        video.key = 2;
        video.fileName = "'IMG_0102.MOV'";
        video.kind = "1";
        video.uti = "'com.apple.quicktime-movie'";
        video.title = "'IMG_0102'";
        Asset second;
        second.key = 3;
        second.fileName = "'IMG_0103.JPG'";
        second.created = "400000049.5";
        library.Album(1, 1000, "'Camera Roll'")
            .Album(2, 2, "'Trip'")
            .Add(first)
            .Add(video)
            .Add(second)
            .Member(1, 1)
            .Member(1, 2)
            .Member(1, 3)
            .Member(2, 3);
        files = {{"DCIM/100APPLE/IMG_0101.JPG", photo::JpegBytes(64, 48)},
                 {"DCIM/100APPLE/IMG_0102.MOV", std::string(300, 'm')},
                 {"PhotoData/100APPLE/IMG_0102.THM", photo::JpegBytes(40, 30, 10, 10, 200)},
                 {"DCIM/100APPLE/IMG_0103.JPG", photo::JpegBytes(30, 90, 20, 200, 20)}};
    }
    PhotoLibrary library;
    std::map<std::string, std::string> files;
};

class PhotoManagerEachVersion : public PhotoManagerTest,
                                public ::testing::WithParamInterface<const char*> {};

TEST_P(PhotoManagerEachVersion, AlbumsPhotosExportsAndFileReads) {
    const SmallLibrary small(GetParam());
    CIPhone* phone = Arrive(GetParam(), small.library, small.files);
    ASSERT_NE(phone, nullptr);
    CPhotoManager& manager = Manager(phone);

    const std::string local =
        platform::JoinPath(platform::JoinPath(platform::TempFolder(), "PhotoSync"), Serial(phone));
    EXPECT_EQ(manager.localFolder(), local);
    EXPECT_TRUE(platform::IsPrivateFolder(local));
    EXPECT_TRUE(platform::SameFileContent(platform::JoinPath(local, "Photos.sqlite"),
                                          Media("PhotoData/Photos.sqlite")));

    ASSERT_EQ(manager.LoadAlbums(), 5);
    EXPECT_EQ(manager.GetAlbum(-1), nullptr);
    EXPECT_EQ(manager.GetAlbum(5), nullptr);
    EXPECT_EQ(manager.GetAlbum(0)->GetKind(), 1000);
    EXPECT_EQ(manager.GetAlbum(4)->GetAlbumType(), 5);

    // Camera roll stills 1 and 3, then the album's 3 beside it: merged.
    ASSERT_EQ(manager.LoadPhotos(), 2);
    EXPECT_EQ(manager.GetPhoto(0)->GetAssetKey(), 1);
    EXPECT_EQ(manager.GetPhoto(1)->GetAssetKey(), 3);
    EXPECT_EQ(manager.GetPhoto(2), nullptr);
    EXPECT_EQ(manager.GetPhoto(-1), nullptr);
    EXPECT_EQ(manager.LoadPhotos(), 4);

    const std::string exports = folder_ / "exports";
    ASSERT_TRUE(platform::CreateFolders(exports));
    EXPECT_EQ(manager.ExportPhoto(1, (exports + "/").c_str()), 1);
    EXPECT_EQ(ReadFileBytes(exports + "/IMG_0103.JPG"),
              small.files.at("DCIM/100APPLE/IMG_0103.JPG"));
    platform::RemoveFile(exports + "/IMG_0103.JPG");
    EXPECT_EQ(manager.ExportPhoto(1, exports.c_str()), 1);
    EXPECT_EQ(ReadFileBytes(exports + "/IMG_0103.JPG"),
              small.files.at("DCIM/100APPLE/IMG_0103.JPG"));
    EXPECT_EQ(manager.ExportPhoto(9, exports.c_str()), 1);
    EXPECT_EQ(manager.ExportPhoto(0, nullptr), 1);

    IPhoto* second = manager.GetPhoto(1);
    EXPECT_EQ(second->GetAlbumKey(), 1);
    EXPECT_EQ(second->GetFileSize(), 1234);
    EXPECT_DOUBLE_EQ(second->GetCreationTime(), 400000049.5);
    EXPECT_EQ(second->GetWidth(), 640);
    EXPECT_EQ(second->GetHeight(), 480);
    char path[64] = {};
    ASSERT_EQ(second->GetDevicePath(path), 28u);
    EXPECT_STREQ(path, "/DCIM/100APPLE/IMG_0103.JPG");

    IPhoto* photo = manager.GetPhoto(0);
    const std::string& expected = small.files.at("DCIM/100APPLE/IMG_0101.JPG");
    ASSERT_EQ(photo->ReadPhotoFile(nullptr), expected.size());
    std::string read(expected.size(), '\0');
    EXPECT_EQ(photo->ReadPhotoFile(reinterpret_cast<unsigned char*>(read.data())), expected.size());
    EXPECT_EQ(read, expected);
    // The file grows between the two calls: the buffer sized by the first is never overrun.
    const std::string grown = expected + std::string(4096, 'g');
    ASSERT_TRUE(platform::WriteFileAtomic(Media("DCIM/100APPLE/IMG_0101.JPG"), grown));
    std::string guarded(expected.size() + 16, '\x5a');
    EXPECT_EQ(photo->ReadPhotoFile(reinterpret_cast<unsigned char*>(guarded.data())), grown.size());
    EXPECT_EQ(guarded, expected + std::string(16, '\x5a'));

    // An export never writes through a link planted under the photo's name.
    const std::string victim = folder_ / "victim";
    ASSERT_TRUE(platform::WriteFileAtomic(victim, "keep"));
    const std::string trap = folder_ / "trap";
    ASSERT_TRUE(platform::CreateFolders(trap));
    ASSERT_EQ(::symlink(victim.c_str(), (trap + "/IMG_0101.JPG").c_str()), 0);
    EXPECT_EQ(manager.ExportPhoto(0, trap.c_str()), 1);
    EXPECT_EQ(ReadFileBytes(victim), "keep");

    EXPECT_EQ(manager.Reserved9(1, 2), 0);
    EXPECT_EQ(manager.Reserved10(1, 2), 0);
    EXPECT_EQ(manager.Reserved11(1, 2), 0);
}

TEST_P(PhotoManagerEachVersion, MissingThumbnailIsMadeAndFoundNextTime) {
    const SmallLibrary small(GetParam());
    CIPhone* phone = Arrive(GetParam(), small.library, small.files);
    ASSERT_NE(phone, nullptr);
    CPhotoManager& manager = Manager(phone);
    manager.LoadAlbums();
    ASSERT_EQ(manager.LoadPhotos(), 2);
    IPhoto* photo = manager.GetPhoto(1);

    ASSERT_EQ(photo->LoadThumbnail(), 1);
    std::string thumbnail(photo->GetThumbnail(nullptr), '\0');
    ASSERT_FALSE(thumbnail.empty());
    EXPECT_EQ(photo->GetThumbnail(reinterpret_cast<unsigned char*>(thumbnail.data())),
              thumbnail.size());
    EXPECT_EQ(photo::PictureSize(thumbnail), (std::pair<int, int>{98, 98}));

    const bool ios7 = std::string(GetParam()).starts_with('7');
    const std::string cached = Media("DCIM/.THMB/50/100APPLE___IMG_0103.JPG.1378307249");
    if (ios7) {
        // The phone's own thumbnail store is read, never written.
        EXPECT_FALSE(platform::PathExists(cached));
        EXPECT_FALSE(
            platform::PathExists(Media("PhotoData/Thumbnails/V2/DCIM/100APPLE/IMG_0103.JPG")));
        const std::string store = Media("PhotoData/Thumbnails/V2/DCIM/100APPLE/IMG_0103.JPG");
        ASSERT_TRUE(platform::CreateFolders(store));
        const std::string marker = photo::JpegBytes(98, 98, 1, 2, 3);
        ASSERT_TRUE(platform::WriteFileAtomic(store + "/0001.JPG", marker));
        ASSERT_EQ(photo->LoadThumbnail(), 1);
        EXPECT_EQ(ThumbnailOf(photo), marker);
        ASSERT_TRUE(platform::WriteFileAtomic(store + "/5005.JPG", thumbnail));
        ASSERT_EQ(photo->LoadThumbnail(), 1);
        EXPECT_EQ(ThumbnailOf(photo), thumbnail);
        return;
    }
    // Stored on the device at the cache path, and read from there the next time.
    EXPECT_EQ(ReadFileBytes(cached), thumbnail);
    const std::string marker = photo::JpegBytes(98, 98, 1, 2, 3);
    ASSERT_TRUE(platform::WriteFileAtomic(cached, marker));
    ASSERT_EQ(photo->LoadThumbnail(), 1);
    EXPECT_EQ(ThumbnailOf(photo), marker);

    // A box of the caller's size has its own cache file.
    ASSERT_EQ(photo->LoadThumbnailSized(120, 80), 1);
    const std::string sized = ThumbnailOf(photo);
    EXPECT_EQ(photo::PictureSize(sized), (std::pair<int, int>{120, 80}));
    EXPECT_EQ(ReadFileBytes(cached + "_a"), sized);
    // Nothing is left in the local folder but the database copy.
    std::vector<platform::FolderEntry> entries;
    ASSERT_TRUE(platform::ListFolder(manager.localFolder(), entries));
    for (const auto& entry : entries)
        EXPECT_TRUE(entry.name.starts_with("Photos.sqlite")) << entry.name;

    // The video's thumbnail is its ".THM" picture.
    BwPhotoList videos;
    ASSERT_EQ(manager.GetAlbum(0)->GetVideos(&videos), 1);
    ASSERT_EQ(videos.front()->LoadThumbnail(), 1);
    EXPECT_EQ(ThumbnailOf(videos.front()), small.files.at("PhotoData/100APPLE/IMG_0102.THM"));
}

INSTANTIATE_TEST_SUITE_P(Versions, PhotoManagerEachVersion,
                         ::testing::Values("5.1.1", "6.1.3", "7.1.2"), [](const auto& info) {
                             std::string name = std::string("iOS") + info.param;
                             std::replace(name.begin(), name.end(), '.', '_');
                             return name;
                         });

TEST_F(PhotoManagerTest, Version4HasNoReader) {
    const SmallLibrary small("6.1.3");
    CIPhone* phone = Arrive("4.3.5", small.library, small.files, [](CDicValueObj& values) {
        values.Set("ProductVersion", CDicValueObj::MakeString("4.3.5"));
    });
    ASSERT_NE(phone, nullptr);
    CPhotoManager& manager = Manager(phone);
    EXPECT_EQ(manager.productVersion(), "4.3.5");
    EXPECT_FALSE(manager.hasReader());
    EXPECT_EQ(manager.LoadAlbums(), 0);
    EXPECT_EQ(manager.LoadPhotos(), 0);
    EXPECT_EQ(manager.ReloadLibrary(), 1);
    EXPECT_EQ(manager.GetAlbum(0), nullptr);
}

TEST_F(PhotoManagerTest, HostileSerialNumbersGetNoFolder) {
    const SmallLibrary small("6.1.3");
    CIPhone* phone = Arrive("6.1.3", small.library, small.files, [](CDicValueObj& values) {
        values.Set("SerialNumber", CDicValueObj::MakeString("../../escape"));
    });
    ASSERT_NE(phone, nullptr);
    CPhotoManager& manager = Manager(phone);
    EXPECT_EQ(manager.localFolder(), "");
    EXPECT_EQ(manager.LoadAlbums(), 0);
    EXPECT_FALSE(platform::PathExists(platform::JoinPath(platform::TempFolder(), "PhotoSync")));
    EXPECT_FALSE(platform::PathExists(folder_ / "escape"));

    for (const std::string& serial : {std::string(""), std::string(65, 'A'), std::string("a b"),
                                      std::string("a/b"), std::string("..")}) {
        EXPECT_FALSE(IsUsableSerialNumber(serial)) << serial;
    }
    EXPECT_TRUE(IsUsableSerialNumber(std::string(64, 'z')));
    EXPECT_TRUE(IsUsableSerialNumber("DNPK-1234abc"));
}

TEST_F(PhotoManagerTest, HostileLibraryNeverWritesOutsideItsFolders) {
    PhotoLibrary library("6.1.3");
    const std::vector<std::pair<std::string, std::string>> places = {
        {"'../../../../../../tmp'", "'climb.JPG'"},
        {"'DCIM/100APPLE'", "'../../../climb2.JPG'"},
        {"'/etc'", "'passwd'"},
        {"'DCIM/100APPLE'", "'NOTAPICTURE.JPG'"}};
    library.Album(1, 1000);
    for (size_t i = 0; i < places.size(); ++i) {
        Asset asset;
        asset.key = static_cast<int>(i + 1);
        asset.directory = places[i].first;
        asset.fileName = places[i].second;
        library.Add(asset).Member(1, asset.key);
    }
    CIPhone* phone =
        Arrive("6.1.3", library, {{"DCIM/100APPLE/NOTAPICTURE.JPG", std::string(500, 'n')}});
    ASSERT_NE(phone, nullptr);
    CPhotoManager& manager = Manager(phone);
    EXPECT_EQ(manager.LoadAlbums(), 4);
    ASSERT_EQ(manager.LoadPhotos(), 4);

    const std::string exports = folder_ / "a/b/exports";
    ASSERT_TRUE(platform::CreateFolders(exports));
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ(manager.ExportPhoto(i, exports.c_str()), 1);
    // Only the plain name was copied (the absolute directory stays inside the media area, where
    // the device has no such file); nothing climbed out of the export folder.
    std::vector<platform::FolderEntry> entries;
    ASSERT_TRUE(platform::ListFolder(exports, entries));
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].name, "NOTAPICTURE.JPG");
    EXPECT_FALSE(platform::PathExists(folder_ / "a/climb2.JPG"));
    EXPECT_FALSE(platform::PathExists(folder_ / "climb2.JPG"));

    // A file that is not a picture gives no thumbnail and leaves no cache file.
    IPhoto* notPicture = manager.GetPhoto(3);
    EXPECT_EQ(notPicture->LoadThumbnail(), 0);
    EXPECT_EQ(notPicture->GetThumbnail(nullptr), 0u);
    EXPECT_FALSE(platform::PathExists(Media("DCIM/.THMB/0/100APPLE___NOTAPICTURE.JPG.1378307200")));
    EXPECT_EQ(manager.GetPhoto(0)->LoadThumbnail(), 0);
    EXPECT_EQ(manager.GetPhoto(0)->ReadPhotoFile(nullptr), 0u);
}

TEST_F(PhotoManagerTest, CameraRollDeletionsReachTheDeviceAndReloadShowsItsNewLibrary) {
    const SmallLibrary small("7.1.2");
    CIPhone* phone = Arrive("7.1.2", small.library, small.files);
    ASSERT_NE(phone, nullptr);
    CPhotoManager& manager = Manager(phone);
    manager.LoadAlbums();
    manager.LoadPhotos();
    IPhoto* photos[] = {manager.GetPhoto(0), manager.GetPhoto(1), nullptr};
    const auto groups = CPhotoManager::GroupByAlbum(photos, 3);
    ASSERT_EQ(groups.size(), 1u);
    EXPECT_EQ(groups.begin()->first, 1);
    EXPECT_EQ(groups.begin()->second.size(), 2u);
    // The adds run a sync each (their own tests are in photo_sync_test); a path that is no
    // picture adds nothing, and the wait is bounded.
    SetPhotoSyncTimeLimit(std::chrono::milliseconds(300));
    const char* paths[] = {"/nowhere/a.jpg"};
    EXPECT_EQ(manager.AddPhotos(paths, 1), 1);
    EXPECT_EQ(manager.AddPhotos(nullptr, 0), 0);
    // Deleting them again by key finds nothing more to delete.
    EXPECT_EQ(manager.DeletePhotos(photos, 2), 0);
    const int32_t keys[] = {1, 3, 99};
    EXPECT_EQ(manager.DeletePhotosByKey(keys, 3), 0);
    SetPhotoSyncTimeLimit(kPhotoSyncTimeLimit);
    // The two camera-roll stills left the device through its portable-device face; the
    // video and every other file stayed.
    for (const auto& [path, bytes] : small.files) {
        const bool deleted = path.ends_with("/IMG_0101.JPG") || path.ends_with("/IMG_0103.JPG");
        EXPECT_EQ(platform::PathExists(Media(path)), !deleted) << path;
        if (!deleted) {
            EXPECT_EQ(ReadFileBytes(Media(path)), bytes) << path;
        }
    }

    // The device's library changes; a reload shows the new album and a fresh photo list.
    PhotoLibrary changed = small.library;
    changed.Album(5, 1550, "'Synced'").Member(5, 1);
    changed.Write(Media("PhotoData/Photos.sqlite"));
    EXPECT_EQ(manager.ReloadLibrary(), 1);
    EXPECT_EQ(manager.GetAlbum(1)->GetAlbumKey(), -10);
    EXPECT_EQ(manager.GetAlbum(5)->GetAlbumKey(), -2);
    EXPECT_EQ(manager.GetAlbum(4)->GetAlbumKey(), 5);
    EXPECT_EQ(manager.GetPhoto(3), nullptr);
    EXPECT_EQ(manager.GetPhoto(2)->GetAssetKey(), 1);
}

}  // namespace photo_manager_test
}  // namespace bw::testing

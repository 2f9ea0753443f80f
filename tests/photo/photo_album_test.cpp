// Albums and photos on their own: every album slot, the ownership of shared photos (run under
// AddressSanitizer in CI, where a double free or a leak fails the test), the device path and
// thumbnail path rules, and the exported text and number fields.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "brackwater/photo.h"
#include "photo/photo.h"
#include "photo/photo_album.h"
#include "photo/photo_fields.h"

namespace bw::testing {
namespace photo_album_test {

PhotoRef MakePhoto(int32_t key, int32_t videoFlag = 0, std::string version = "6.1.3") {
    auto photo = std::make_shared<CPhoto>(key, PhotoContext{nullptr, std::move(version), ""});
    photo->videoFlag = videoFlag;
    return photo;
}

// A photo the host made itself: listed by albums, never owned or filtered by them.
class HostPhoto : public IPhoto {
  public:
    int32_t GetAssetKey() override { return 77; }
    int32_t GetAlbumKey() override { return 0; }
    unsigned char LoadThumbnailSized(int32_t, int32_t) override { return 0; }
    unsigned char LoadThumbnail() override { return 0; }
    uint32_t GetThumbnail(unsigned char*) override { return 0; }
    int64_t GetFileSize() override { return 0; }
    double GetCreationTime() override { return 0; }
    int32_t GetWidth() override { return 0; }
    int32_t GetHeight() override { return 0; }
    uint32_t GetDevicePath(char*) override { return 0; }
    unsigned char ExportTo(const char*) override { return 0; }
    uint64_t ReadPhotoFile(unsigned char*) override { return 0; }
    unsigned char IsSamePhoto(IPhoto*) override { return 0; }
};

TEST(PhotoAlbum, ListsFiltersAndCounts) {
    CPhotoAlbum album("Roll", 1, kAlbumTypeCameraRoll);
    PhotoRef still1 = MakePhoto(1), video = MakePhoto(2, 1), still2 = MakePhoto(3);
    HostPhoto foreign;
    album.Append(still1);
    album.AddPhoto(video.get());
    album.AddPhoto(&foreign);
    album.AddPhoto(still2.get());
    EXPECT_EQ(album.GetFirstPhoto(), still1.get());
    EXPECT_EQ(still1->IsSamePhoto(MakePhoto(1).get()), 1);
    EXPECT_EQ(still1->IsSamePhoto(still2.get()), 0);
    EXPECT_EQ(still1->IsSamePhoto(nullptr), 0);

    BwPhotoList list{still2.get()};
    EXPECT_EQ(album.GetStills(&list), 2);
    EXPECT_EQ(list, (BwPhotoList{still1.get(), still2.get()}));
    EXPECT_EQ(album.GetVideos(&list), 1);
    EXPECT_EQ(list, (BwPhotoList{video.get()}));
    EXPECT_EQ(album.CopyPhotosTo(&list), 4);
    EXPECT_EQ(list, (BwPhotoList{still1.get(), video.get(), &foreign, still2.get()}));
    // The host's own photo is neither a still nor a video.
    EXPECT_EQ(album.CountStills(), 2);
    EXPECT_EQ(album.CountVideos(), 1);
    EXPECT_EQ(album.CountPhotos(), 4);

    album.AddPhoto(still1.get());
    album.RemovePhoto(still1.get());
    EXPECT_EQ(album.CopyPhotosTo(&list), 3);
    EXPECT_EQ(list, (BwPhotoList{video.get(), &foreign, still2.get()}));
    album.RemovePhoto(nullptr);
    EXPECT_EQ(album.CountPhotos(), 3);
}

TEST(PhotoAlbum, ReplacingTheListKeepsSharedPhotosAlive) {
    auto roll = std::make_unique<CPhotoAlbum>("Roll", 1);
    roll->Append(MakePhoto(1));
    roll->Append(MakePhoto(2, 1));
    BwPhotoList fromRoll;
    roll->CopyPhotosTo(&fromRoll);
    IPhoto* removed = roll->GetFirstPhoto();
    roll->RemovePhoto(removed);
    // Taken out of the list but not destroyed while the album lives.
    EXPECT_EQ(removed->GetAssetKey(), 1);

    CPhotoAlbum other("Other", 2);
    HostPhoto foreign;
    fromRoll.push_back(&foreign);
    fromRoll.push_back(fromRoll.front());
    EXPECT_EQ(other.SetPhotos(&fromRoll), 4);
    roll.reset();
    // The roll is gone; the other album still holds its photos.
    BwPhotoList held;
    other.CopyPhotosTo(&held);
    EXPECT_EQ(held.front()->GetAssetKey(), 1);
    EXPECT_EQ(other.CountVideos(), 1);

    // Its own list handed back in, through both assignment slots and a null list.
    other.AssignPhotos(&held);
    EXPECT_EQ(other.CountPhotos(), 4);
    BwPhotoList one{held.back()};
    other.AssignPhotosSame(&one);
    EXPECT_EQ(other.CountPhotos(), 1);
    EXPECT_EQ(other.SetPhotos(nullptr), 1);
    EXPECT_EQ(other.GetFirstPhoto()->GetAssetKey(), 1);
    // A photo no shared reference holds is listed, not adopted.
    CPhoto loose(9, PhotoContext{});
    other.AddPhoto(&loose);
    EXPECT_EQ(other.CountStills(), 2);
}

TEST(PhotoPaths, DevicePathJoinsDirectoryAndNameOnce) {
    PhotoRef photo = MakePhoto(1);
    photo->directory = "DCIM/100APPLE";
    photo->fileName = "IMG_0001.JPG";
    EXPECT_EQ(photo->DevicePath(), "/DCIM/100APPLE/IMG_0001.JPG");
    photo->directory = "/PhotoData/Sync/100SYNCD";
    EXPECT_EQ(photo->DevicePath(), "/PhotoData/Sync/100SYNCD/IMG_0001.JPG");
    photo->directory = "DCIM/100APPLE/";
    EXPECT_EQ(photo->DevicePath(), "/DCIM/100APPLE/IMG_0001.JPG");

    char buffer[64];
    IPhoto& host = *photo;
    ASSERT_EQ(host.GetDevicePath(nullptr), 28u);
    EXPECT_EQ(host.GetDevicePath(buffer), 28u);
    EXPECT_STREQ(buffer, "/DCIM/100APPLE/IMG_0001.JPG");
}

TEST(PhotoPaths, NamesThatLeaveTheirFolderGiveNoPath) {
    const std::vector<std::pair<std::string, std::string>> hostile = {
        {"DCIM/../../etc", "IMG.JPG"},
        {"..", "IMG.JPG"},
        {"DCIM\\..\\x", "IMG.JPG"},
        {"DCIM/100APPLE", "../IMG.JPG"},
        {"DCIM/100APPLE", "a/b.JPG"},
        {"DCIM/100APPLE", "a\\b"},
        {"DCIM/100APPLE", ".."},
        {"DCIM/100APPLE", ""},
        {"DCIM/100APPLE", std::string("a\0b", 3)}};
    for (const auto& [directory, name] : hostile) {
        PhotoRef photo = MakePhoto(1);
        photo->directory = directory;
        photo->fileName = name;
        EXPECT_EQ(photo->DevicePath(), "") << directory << " " << name;
        EXPECT_EQ(photo->ThumbnailPath(false), "") << directory << " " << name;
        EXPECT_EQ(photo->GetDevicePath(nullptr), 0u);
        EXPECT_EQ(photo->ExportTo("/tmp"), 1);
        EXPECT_EQ(photo->ExportTo(nullptr), 0);
    }
}

TEST(PhotoPaths, ThumbnailCacheOfIos5And6) {
    PhotoRef photo = MakePhoto(1, 0, "6.1.3");
    photo->directory = "DCIM/101APPLE";
    photo->fileName = "IMG_0002.JPG";
    photo->creationTime = 400000000.4;
    EXPECT_EQ(photo->ThumbnailPath(false), "DCIM/.THMB/0/101APPLE___IMG_0002.JPG.1378307200");
    EXPECT_EQ(photo->ThumbnailPath(true), "DCIM/.THMB/0/101APPLE___IMG_0002.JPG.1378307200_a");
    // The folder rounds halves away from zero; the name truncates.
    photo->creationTime = 400000049.5;
    photo->directory = "PhotoData/Sync/100SYNCD";
    EXPECT_EQ(photo->ThumbnailPath(false), "DCIM/.THMB/50/100SYNCD___IMG_0002.JPG.1378307249");
    photo->directory = "PhotoStreamsData/1234/100APPLE";
    EXPECT_EQ(CPhoto::CacheDirectoryName(photo->directory), "100APPLE");
    EXPECT_EQ(CPhoto::CacheDirectoryName("DCIM/Other"), "DCIM/Other");

    PhotoRef video = MakePhoto(2, 1, "5.1.1");
    video->directory = "DCIM/100APPLE";
    video->fileName = "IMG_0003.MOV";
    video->title = "IMG_0003";
    EXPECT_EQ(video->ThumbnailPath(false), "PhotoData/100APPLE/IMG_0003.THM");
    EXPECT_EQ(video->ThumbnailPath(true), "PhotoData/100APPLE/IMG_0003.THM_a");
    video->title = "../x";
    EXPECT_EQ(video->ThumbnailPath(false), "");
}

TEST(PhotoPaths, ThumbnailFolderOfIos7) {
    PhotoRef photo = MakePhoto(1, 0, "7.1.2");
    photo->directory = "DCIM/100APPLE";
    photo->fileName = "IMG_0001.JPG";
    EXPECT_EQ(photo->ThumbnailPath(false), "/PhotoData/Thumbnails/V2/DCIM/100APPLE/IMG_0001.JPG");
    EXPECT_EQ(photo->ThumbnailPath(true), "/PhotoData/Thumbnails/V2/DCIM/100APPLE/IMG_0001.JPG");
    photo->directory = "";
    EXPECT_EQ(photo->ThumbnailPath(false), "");
}

TEST(PhotoExports, TextAndNumberFields) {
    PhotoRef photo = MakePhoto(4, 1, "7.1.2");
    photo->fileName = "IMG_0004.MOV";
    photo->directory = "DCIM/100APPLE";
    photo->title = "clip.mov";
    photo->albumName = "Photo Library";
    photo->orientation = 8;
    photo->albumType = 1;
    photo->kindSubtype = 2;
    const auto text = [&](IPhoto* p, int32_t field) {
        const size_t size = PhotoTextField(p, field, nullptr);
        std::u16string value(size, u'\0');
        if (size == 0) return std::string("<none>");
        EXPECT_EQ(PhotoTextField(p, field, value.data()), size);
        EXPECT_EQ(value[size - 2], u'\0');
        return std::string(value.begin(), value.begin() + static_cast<long>(size - 2));
    };
    EXPECT_EQ(text(photo.get(), BW_PHOTO_FILE_NAME), "IMG_0004.MOV");
    EXPECT_EQ(text(photo.get(), BW_PHOTO_DIRECTORY), "DCIM/100APPLE");
    EXPECT_EQ(text(photo.get(), BW_PHOTO_UUID), "00000000-0000-0000-0000-000000000000");
    EXPECT_EQ(text(photo.get(), BW_PHOTO_TITLE), "clip.mov");
    EXPECT_EQ(text(photo.get(), BW_PHOTO_ALBUM_NAME), "Photo Library");
    EXPECT_EQ(text(photo.get(), 5), "<none>");
    HostPhoto foreign;
    EXPECT_EQ(text(&foreign, BW_PHOTO_FILE_NAME), "<none>");
    EXPECT_EQ(text(nullptr, BW_PHOTO_FILE_NAME), "<none>");

    EXPECT_EQ(PhotoNumberField(photo.get(), BW_PHOTO_ORIENTATION), 8);
    EXPECT_EQ(PhotoNumberField(photo.get(), BW_PHOTO_IS_VIDEO), 1);
    EXPECT_EQ(PhotoNumberField(photo.get(), BW_PHOTO_ALBUM_TYPE), 1);
    EXPECT_EQ(PhotoNumberField(photo.get(), BW_PHOTO_KIND_SUBTYPE), 2);
    EXPECT_EQ(PhotoNumberField(photo.get(), 4), 0);
    EXPECT_EQ(PhotoNumberField(&foreign, BW_PHOTO_ORIENTATION), 0);

    CPhotoAlbum album("Trip", 2);
    album.uuid = "00010203-0405-0607-0809-0A0B0C0D0E0F";
    char16_t buffer[64];
    ASSERT_EQ(AlbumTextField(&album, BW_ALBUM_TITLE, nullptr), 6u);
    EXPECT_EQ(AlbumTextField(&album, BW_ALBUM_TITLE, buffer), 6u);
    EXPECT_EQ(std::u16string(buffer), u"Trip");
    EXPECT_EQ(AlbumTextField(&album, BW_ALBUM_UUID, buffer), 38u);
    EXPECT_EQ(std::u16string(buffer), u"00010203-0405-0607-0809-0A0B0C0D0E0F");
    EXPECT_EQ(AlbumTextField(&album, 2, buffer), 0u);
    EXPECT_EQ(AlbumTextField(nullptr, BW_ALBUM_TITLE, buffer), 0u);
}

}  // namespace photo_album_test
}  // namespace bw::testing

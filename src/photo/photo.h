// CPhoto: one photo or video of the device library as the database readers fill it, with its
// device path, its copy to the computer, its file read over the file service and its display
// thumbnail.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "brackwater/photo.h"

namespace bw {

class CIPhone;

// What every photo of one library shares: the device (not owned), its product version and the
// manager's local folder. A photo without a device answers from its fields alone.
struct PhotoContext {
    CIPhone* device = nullptr;
    std::string productVersion;
    std::string localFolder;
};

// The album keys and types of the photos the library reader makes up.
inline constexpr int32_t kLibraryAlbumKey = -10;
inline constexpr int32_t kVideoAlbumKey = -2;
inline constexpr int32_t kAlbumTypeCameraRoll = 0;
inline constexpr int32_t kAlbumTypeAllPhotos = 1;
inline constexpr int32_t kAlbumTypePhotoStream = 2;
inline constexpr int32_t kAlbumTypeOrdinary = 3;
inline constexpr int32_t kAlbumTypeVideos = 5;

// The largest photo file read whole into memory for a thumbnail (a hostile device may claim any
// size).
inline constexpr uint64_t kMaxPhotoFileBytes = 256ull * 1024 * 1024;

// Photos are shared: an album keeps every library photo listed in it alive through a shared
// reference (see CPhotoAlbum), so a photo made by a reader is always held by a shared_ptr.
class CPhoto : public IPhoto, public std::enable_shared_from_this<CPhoto> {
  public:
    CPhoto(int32_t assetKey, PhotoContext context);

    int32_t GetAssetKey() override { return assetKey; }
    int32_t GetAlbumKey() override { return albumKey; }
    unsigned char LoadThumbnailSized(int32_t width, int32_t height) override;
    unsigned char LoadThumbnail() override;
    uint32_t GetThumbnail(unsigned char* buffer) override;
    int64_t GetFileSize() override { return fileSize; }
    double GetCreationTime() override { return creationTime; }
    int32_t GetWidth() override { return width; }
    int32_t GetHeight() override { return height; }
    uint32_t GetDevicePath(char* buffer) override;
    unsigned char ExportTo(const char* folder) override;
    uint64_t ReadPhotoFile(unsigned char* buffer) override;
    unsigned char IsSamePhoto(IPhoto* other) override;

    // "/" (left out when the directory begins with one), directory, "/", file name; empty when
    // the file name is not one plain name or the directory climbs with "..", so that nothing the
    // database says can name a file outside the photo folders.
    std::string DevicePath() const;
    // The display thumbnail's place on the device: the cache file on iOS 5 and 6 (with "_a" for
    // a box of the caller's size), the thumbnail folder on iOS 7; empty when there is none.
    std::string ThumbnailPath(bool sized) const;
    // True for devices that keep the display thumbnail cache of iOS 5 and 6.
    bool UsesThumbnailCache() const;
    // The standard thumbnail cache names "DCIM/100APPLE" as "100APPLE".
    static std::string CacheDirectoryName(const std::string& directory);

    // Fields the readers fill, in the order the library describes them.
    std::string uuid = "00000000-0000-0000-0000-000000000000";
    double creationTime = 0.0;
    int32_t boxWidth = 98;
    int32_t boxHeight = 98;
    std::string directory;
    std::string fileName;
    int64_t fileSize = 0;
    int32_t height = 0;
    int32_t width = 0;
    uint8_t movieFlag = 0;
    int32_t kindSubtype = 0;
    int32_t orientation = 1;
    std::string thumbnail;
    double modificationTime = 0.0;
    int32_t savedAssetType = 0;
    std::string creationTimeText;  // two characters; nothing reads it
    int32_t thumbnailIndex = 0;
    int32_t embeddedThumbnailHeight = 0;
    int32_t embeddedThumbnailLength = 0;
    int32_t embeddedThumbnailOffset = 0;
    int32_t embeddedThumbnailWidth = 0;
    std::string title;  // the title, or on iOS 7 the source file name
    int32_t videoFlag = 0;
    std::string albumName;
    int32_t assetKey = 0;
    int32_t albumKey = 0;
    int32_t albumType = kAlbumTypeOrdinary;

  private:
    bool LoadThumbnailFromDevice(bool sized);
    bool LoadCachedIos7Thumbnail(const std::string& folder);
    bool MakeThumbnail(const std::string& sourcePath, std::string& jpeg) const;
    void StoreInCache(const std::string& cachePath, std::string jpeg);

    PhotoContext context_;
    std::string devicePath_;  // made on first use
    // The size a first ReadPhotoFile without a buffer reported: a later read into the caller's
    // buffer never writes more, even when the file grew in between.
    uint64_t reportedSize_ = 0;
    bool sizeReported_ = false;
};

using PhotoRef = std::shared_ptr<CPhoto>;

}  // namespace bw

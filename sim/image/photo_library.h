// The photo library of an image: the camera roll, synced photos, the photo stream and albums in
// the media area, the library database "PhotoData/Photos.sqlite" that lists them, the thumbnail
// caches of the version, and "photos.plist" beside device.plist, a manifest of what was
// written for tests (see sim/README.md). Paths here are relative to /var/mobile/Media, the root
// of "com.apple.afc", as the database writes them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "image/image_builder.h"
#include "image_writer.h"

namespace bw::sim {

inline constexpr char kPhotoManifestName[] = "photos.plist";
inline constexpr char kPhotoDatabase[] = "PhotoData/Photos.sqlite";
// A camera-roll folder holds at most this many files; the next one starts 101APPLE, 102APPLE...
inline constexpr int kFilesPerDcimFolder = 999;
// Camera-roll photos each --scale step above 1 adds.
inline constexpr int kPhotosPerScaleStep = 10;
// Seconds from 1970-01-01 to 2001-01-01, the epoch of the database's dates.
inline constexpr int64_t kCoreDataEpoch = 978307200;

enum class AssetKind { Photo, Screenshot, Video };
enum class AssetCache { None, Standard, StandardAndSized };

struct LibraryAsset {
    int64_t key = 0;  // Z_PK of ZGENERICASSET and of its ZADDITIONALASSETATTRIBUTES row
    AssetKind kind = AssetKind::Photo;
    std::string directory;        // "DCIM/100APPLE"
    std::string fileName;         // "IMG_0001.JPG"
    std::string title;            // ZTITLE: the file name without its extension
    std::string originalName;     // ZORIGINALFILENAME
    int width = 0, height = 0;    // of the file's pixels (ZORIGINALWIDTH, ZORIGINALHEIGHT)
    int orientation = 1;          // EXIF
    bool zeroDimensions = false;  // ZWIDTH and ZHEIGHT 0, as for a photo not yet measured
    bool fileMissing = false;     // a row whose file is gone
    bool inWriteAheadLog = false;
    int64_t taken = 0;      // Unix seconds
    double created = 0.0;   // ZDATECREATED: seconds since 2001, fraction below one half
    double modified = 0.0;  // ZMODIFICATIONDATE
    double duration = 0.0;  // videos
    int savedType = 0;      // ZSAVEDASSETTYPE
    int64_t thumbnailIndex = 0;
    std::string uuid;  // 16 bytes
    AssetCache cache = AssetCache::None;
    int drawing = 0;  // which drawing of the seed the file shows
    // Known once the file is made.
    uint64_t size = 0;
    std::string thumbnail;       // device cache path of the thumbnail, empty when none
    std::string sizedThumbnail;  // iOS 5/6: the "_a" thumbnail, empty when none

    std::string Path() const { return directory + "/" + fileName; }
    // ZWIDTH, ZHEIGHT: as the photo is viewed, turned by its orientation.
    int ViewedWidth() const;
    int ViewedHeight() const;
};

struct LibraryAlbum {
    int64_t key = 0;  // Z_PK of ZGENERICALBUM
    int kind = 0;     // 1000 camera roll, 2 user album, 1550 synced album, 1500 photo stream
    std::string title;
    std::string uuid;             // 16 bytes
    std::vector<int64_t> assets;  // keys, in the album's order
    bool inWriteAheadLog = false;
};

struct PhotoLibrary {
    int major = 0;
    std::vector<LibraryAsset> assets;  // key order
    std::vector<LibraryAlbum> albums;  // key order
    bool writeAheadLog = false;        // iOS 7 keeps the store in WAL mode
};

// What the library of an image holds, before any file is written (sizes and cache paths are
// filled in as the files are made).
PhotoLibrary PlanPhotoLibrary(const DeviceIdentity& identity, const ImageOptions& options);

// The folder of the camera-roll file with this 0-based ordinal.
std::string CameraRollFolder(int ordinal);

// Where the phone caches the thumbnail of an asset ("" when the version keeps none there):
// iOS 5/6 "DCIM/.THMB/<n>/<folder>___<file>.<seconds since 1970>" for pictures and
// "PhotoData/<folder>/<title>.THM" for videos; iOS 7
// "PhotoData/Thumbnails/V2/<dir>/<file>/5005.JPG".
std::string ThumbnailCachePath(int major, const LibraryAsset& asset);

// The database bytes: the main file, and in WAL mode the log that holds the last save and a
// shared-memory file of zeros. False with `error` when SQLite fails.
struct PhotoDatabaseFiles {
    std::string main, wal, shm;
};
bool BuildPhotoDatabase(const PhotoLibrary& library, uint64_t seed, PhotoDatabaseFiles& files,
                        std::string& error);

// The content step: files, thumbnails, database and manifest.
bool AddPhotoLibrary(ImageWriter& writer, const ImageOptions& options);

}  // namespace bw::sim

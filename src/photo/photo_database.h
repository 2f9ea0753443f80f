// The readers of the copied photo library database ("Photos.sqlite"): the operations every reader
// has, in slot order, and the two schemas (iOS 5 and 6, iOS 7).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "formats/sqlite_table.h"
#include "photo/photo.h"
#include "photo/photo_album.h"

namespace bw {

using AlbumList = std::vector<std::unique_ptr<CPhotoAlbum>>;

inline constexpr int32_t kKindCameraRoll = 1000;
inline constexpr int32_t kKindUserAlbum = 2;
inline constexpr int32_t kKindSyncedAlbum = 1550;
inline constexpr char kZeroUuid[] = "00000000-0000-0000-0000-000000000000";

class AbstractPhotoSqliteDB {
  public:
    // `context` names the device, its product version (only the first character counts) and the
    // local folder; `databasePath` is the local copy of "Photos.sqlite".
    AbstractPhotoSqliteDB(PhotoContext context, std::string databasePath);
    virtual ~AbstractPhotoSqliteDB() = default;
    AbstractPhotoSqliteDB(const AbstractPhotoSqliteDB&) = delete;
    AbstractPhotoSqliteDB& operator=(const AbstractPhotoSqliteDB&) = delete;

    // The album-with-photos query text (not run); empty on iOS 7.
    virtual std::string GetAlbumJoinSql() = 0;
    // Appends the full album list, made-up albums included; nothing when the database cannot be
    // opened.
    virtual void GetAllAlbums(AlbumList& albums) = 0;
    // Gives the album the key, UUID and photos of the album of the newest asset (iOS 5/6 only).
    virtual void ResolveNewestAssetAlbum(CPhotoAlbum& album) = 0;
    // The photos of albums whose asset key is above `key`.
    virtual std::vector<PhotoRef> GetPhotosAfter(int32_t key) = 0;
    // The albums of kinds 1550 and 2 (and 1000 with the flag), with their photos.
    virtual void GetAlbums(AlbumList& albums, bool includeCameraRoll) = 0;
    // As GetAlbums on a database the caller opened; `reserved` is not used.
    virtual void GetAlbumsOnOpenDatabase(AlbumList& albums, bool includeCameraRoll,
                                         int32_t reserved) = 0;
    // Fills the album with the assets of neither the camera roll nor the photo stream (the
    // caller opened the database).
    virtual void GetLibraryPhotos(CPhotoAlbum& album) = 0;
    virtual void ReloadAlbumPhotos(CPhotoAlbum& album) = 0;
    // The photos of the photo-stream album.
    virtual void GetPhotoStreamPhotos(std::vector<PhotoRef>& photos) = 0;
    // `reserved` is not used.
    virtual void RefreshNewestAsset(int32_t reserved) = 0;

    int32_t newestAssetKey() const { return newestAssetKey_; }
    const std::string& newestAssetUuid() const { return newestAssetUuid_; }
    const std::string& lastSyncedListPath() const { return lastSyncedListPath_; }

  protected:
    PhotoContext context_;
    std::string databasePath_;
    std::string lastSyncedListPath_;
    int32_t newestAssetKey_ = 0;
    std::string newestAssetUuid_;
};

// The names that differ between the schemas.
struct PhotoSchema {
    const char* joinTable;    // "Z_8ASSETS"
    const char* albumColumn;  // "Z_8ALBUMS"
    const char* assetColumn;  // "Z_14ASSETS"
    bool ios7;
};

// The readers share their algorithms; only names, a few columns and the video test differ.
class PhotoSqliteReader : public AbstractPhotoSqliteDB {
  public:
    PhotoSqliteReader(PhotoContext context, std::string databasePath, PhotoSchema schema);

    void GetAllAlbums(AlbumList& albums) override;
    std::vector<PhotoRef> GetPhotosAfter(int32_t key) override;
    void GetAlbums(AlbumList& albums, bool includeCameraRoll) override;
    void GetAlbumsOnOpenDatabase(AlbumList& albums, bool includeCameraRoll,
                                 int32_t reserved) override;
    void GetLibraryPhotos(CPhotoAlbum& album) override;
    void ReloadAlbumPhotos(CPhotoAlbum& album) override;
    void GetPhotoStreamPhotos(std::vector<PhotoRef>& photos) override;
    void RefreshNewestAsset(int32_t reserved) override;

    // Fills a photo from a row of a photo query (19 columns; fewer leave fields at defaults).
    void FillPhoto(CPhoto& photo, const TableRow& row) const;

  protected:
    // Opens the local copy; false (nothing to close) when it is missing or does not open.
    bool OpenExisting() const;
    PhotoRef NewPhoto(int32_t assetKey) const;
    std::string QueryHead(bool upperCase) const;
    // "b.ZORIGINALFILESIZE,...,a.Z_PK,a.ZUUID," and the schema's column 18.
    std::string FullColumnTail() const;
    void RefreshNewestAssetOnOpenDatabase();
    int32_t PhotoStreamKey() const;
    std::unique_ptr<CPhotoAlbum> BuildPhotoStreamAlbum();
    void FillLibraryPhotos(CPhotoAlbum& album, int32_t cameraRollKey, int32_t photoStreamKey);

    PhotoSchema schema_;
};

// iOS 5 and 6 (the first character of the product version tells the join table).
class Ios6PhotoSqliteDB final : public PhotoSqliteReader {
  public:
    Ios6PhotoSqliteDB(PhotoContext context, std::string databasePath);
    std::string GetAlbumJoinSql() override;
    void ResolveNewestAssetAlbum(CPhotoAlbum& album) override;
};

class Ios7PhotoSqliteDB final : public PhotoSqliteReader {
  public:
    Ios7PhotoSqliteDB(PhotoContext context, std::string databasePath);
    std::string GetAlbumJoinSql() override { return {}; }
    void ResolveNewestAssetAlbum(CPhotoAlbum&) override {}
};

// The reader for the context's product version: none for "4...", the iOS 5/6 reader for "5..."
// and "6...", else the iOS 7 reader.
std::unique_ptr<AbstractPhotoSqliteDB> MakePhotoReader(PhotoContext context,
                                                       std::string databasePath);

// A UUID cell as text: a blob's bytes in upper-case hex cut into groups of 8, 4, 4, 4 and the
// rest joined by "-"; the zero UUID for anything shorter than 11 hex digits.
std::string UuidFromCell(const TableCell& cell);

}  // namespace bw

// The photo-sync property list "PhotoLibrary.plist": the host's description of the synced photo
// library, built from a fresh copy of the device's library database, to which a sync run adds the
// pictures it uploads or from which it drops the photos it removes. The device compares the list
// with its library and requests what is new and removes what is gone.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "formats/plist_codec.h"

namespace bw {

class CIPhone;

// The album of loose synced photos, which the device keeps in no database album.
inline constexpr char kLooseAlbumName[] = "My Pictures";
inline constexpr char kLooseAlbumUuid[] = "00000000-0000-0000-0000-000000000064";
inline constexpr int64_t kLooseAlbumSubclass = 5;
// "albumKey" of an album that has no database record: the loose photos, and a synced album an
// addition makes. Database keys start at 1, so 0 never names a record.
inline constexpr int64_t kUnrecordedAlbumKey = 0;
// Where identifiers are counted from when the library holds no synced asset.
inline constexpr char kNoSyncedAssetUuid[] = "00000000-0000-0000-0000-000000000066";
// Seconds from 1904-01-01 to 2001-01-01: "modificationDate" counts from 1904.
inline constexpr int64_t kSeconds1904To2001 = 3061152000;
// The album name of an addition that goes to the loose photos.
inline constexpr char kPhotoLibraryAlbumName[] = "PhotoLibrary";

// The identifier after `previous`: its last 8 hex digits (dashes ignored) read as a number, plus
// one, written in lower-case hex over the end of "00000000-0000-0000-0000-000000000000".
std::string NextSyncIdentifier(std::string_view previous);

// Upper-case hex without dashes: the form in which the list and the device compare identifiers.
std::string NormalizedSyncIdentifier(std::string_view identifier);

class CreatePhotoSyncPlist {
  public:
    // `localFolder` is the run's private folder (the database and "CurrentLibraryUUID.plist" are
    // copied there); `productVersion` picks the schema.
    CreatePhotoSyncPlist(CIPhone* device, std::string localFolder, std::string productVersion);
    virtual ~CreatePhotoSyncPlist();
    CreatePhotoSyncPlist(const CreatePhotoSyncPlist&) = delete;
    CreatePhotoSyncPlist& operator=(const CreatePhotoSyncPlist&) = delete;

    // The top dictionary ("libraryKind", "libraryUUID", "updates") describing the device's synced
    // library now. Never fails: what cannot be read contributes nothing.
    PlistValue Build();

    // Valid after Build: the newest synced asset identifier (or kNoSyncedAssetUuid) and the
    // library UUID that was used.
    const std::string& newestSyncedUuid() const { return newestSyncedUuid_; }
    const std::string& libraryUuid() const { return libraryUuid_; }
    // Valid after Build: whether the database copy was read. A list built without it names no
    // synced photo, which the device would take as "remove them all"; a run should not send it.
    bool databaseRead() const { return databaseRead_; }

  private:
    // "CurrentLibraryUUID.plist" of the device, else Z_METADATA of the open database.
    std::string ReadLibraryUuid(bool databaseOpen);
    void ReadNewestSyncedUuid();
    // Appends each synced album's assets and then the album; returns the albums' keys, nullopt
    // when the albums could not be read.
    std::optional<std::vector<int64_t>> AppendSyncedAlbums(PlistValue::Array& updates);
    // Appends the loose synced photos and "My Pictures"; false when their query failed.
    bool AppendLoosePhotos(const std::vector<int64_t>& syncedAlbumKeys, PlistValue::Array& updates);

    CIPhone* device_ = nullptr;
    std::string localFolder_;
    std::string productVersion_;
    std::string newestSyncedUuid_ = kNoSyncedAssetUuid;
    std::string libraryUuid_;
    bool databaseRead_ = false;
};

// One picture of an addition run, as the list describes it.
struct SyncPictureEntry {
    std::string path;              // on the computer
    std::string identifier;        // assigned by AddPictureEntries
    std::string originalFileName;  // the file name part of `path`
    int64_t modificationDate = 0;  // seconds since 1904, from the file's modification time
};

// Appends an asset dictionary per readable picture file of `paths` (in order) to "updates" with
// identifiers counted on from `newestUuid` (skipping any already in the list), and adds them to
// the album `albumName`: the loose photos ("My Pictures") for kPhotoLibraryAlbumName, else the
// synced album of that name, made when the list has none (kind 1550 as its "subclass",
// kUnrecordedAlbumKey, and the identifier after the pictures' as its "uuid"). "originalFileName"
// only when `productVersion` begins with "7". Returns the entries made, in order; unreadable
// files are left out, and nothing at all changes when none is readable.
std::vector<SyncPictureEntry> AddPictureEntries(PlistValue& library,
                                                const std::vector<std::string>& paths,
                                                const std::string& albumName,
                                                std::string_view newestUuid,
                                                std::string_view productVersion);

// Drops the assets whose identifiers (any spelling: dashes and case ignored) are in `identifiers`
// from "updates" and from every album's "assetUUIDs". Returns how many asset dictionaries went.
size_t RemoveAssetEntries(PlistValue& library, const std::vector<std::string>& identifiers);

}  // namespace bw

// Writes go through SQLite, so that the store stays what the phone's Core Data would leave: keys
// from Z_PRIMARYKEY, rows of the version's entities, join rows in spaced order numbers. iOS 7
// keeps its store in WAL mode and the daemon never closes it, so nothing is checkpointed on
// close: the changes stay in the log, where a copy of the three files finds them.
#include "phone_photos/photo_store.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>

#include <cerrno>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <random>

#include "common/plist_file.h"
#include "device.h"
#include "image/junk_sqlite.h"
#include "image/photo_library.h"
#include "image/photo_schemas.h"
#include "image/photos.h"
#include "phone_photos/media_files.h"
#include "phone_photos/store_database.h"

namespace bw::sim::md {
namespace {

constexpr char kSyncFolder[] = "PhotoData/Sync/100SYNCD";
constexpr char kAirlock[] = "Airlock/Photo";
constexpr char kUploadThumbs[] = "Photos/Thumbs";
constexpr int64_t kSince1904 = 3061152000;  // seconds from 1904-01-01 to 2001-01-01
constexpr int kSyncedAlbumKind = 1550;
constexpr int kSavedBySync = 2;
constexpr size_t kLargestPicture = size_t{256} << 20;
constexpr size_t kLargestManifest = size_t{64} << 20;

// One writer at a time per process: the sync and the reconciliation share the stores.
std::mutex& StoreMutex() {
    static std::mutex mutex;
    return mutex;
}

std::string Hex(const void* bytes, int length) {
    std::string hex;
    char digits[3];
    for (int i = 0; i < length; ++i) {
        std::snprintf(digits, sizeof digits, "%02X", static_cast<const unsigned char*>(bytes)[i]);
        hex += digits;
    }
    return hex;
}

std::string BytesOfHex(const std::string& hex) {
    std::string bytes;
    for (size_t i = 0; i + 1 < hex.size(); i += 2)
        bytes += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
    return bytes;
}

struct StoredAsset {
    int64_t key = 0;
    int64_t attributes = 0;
    std::string uuidKey;
    std::string directory, fileName, title;
    double created = 0;
    int kind = 0;
};

// The library as the store holds it, and the changes made to it in one transaction.
class Store {
  public:
    explicit Store(const PhotoStoreContext& context)
        : context_(context), schema_(PhotoSchemaFor(context.major)), files_(context.imageFolder) {}

    bool Open(std::string& error) {
        const std::string folder = files_.FolderPath("PhotoData");
        if (folder.empty()) return (error = "the image has no PhotoData folder", false);
        return db_.Open(folder + "/Photos.sqlite", context_.major >= 7, error) &&
               db_.Exec("BEGIN IMMEDIATE", error) && LoadAssets(error);
    }

    bool Commit(std::string& error) {
        for (const int64_t album : touchedAlbums_)
            if (!Recount(album, error)) return false;
        return PrimaryKeys(error) && db_.Exec("COMMIT", error);
    }

    const std::map<int64_t, StoredAsset>& assets() const { return assets_; }
    const MediaFiles& files() const { return files_; }

    int64_t KeyOf(const std::string& uuidKey) const {
        for (const auto& [key, asset] : assets_)
            if (asset.uuidKey == uuidKey) return key;
        return 0;
    }

    // Adds the picture uploaded for `asset`; false (nothing changed) when there is none usable.
    bool AddUploaded(const SyncListAsset& asset, std::string& error) {
        const std::string upload = std::string(kAirlock) + "/" + asset.id;
        const std::vector<std::string> names = files_.RegularFiles(upload);
        if (names.empty()) return false;
        const std::string source = upload + "/" + names.front();
        const std::optional<std::string> bytes = files_.Read(source, kLargestPicture);
        if (!bytes) return false;
        const bool png = bytes->rfind("\x89PNG", 0) == 0;
        const bool jpeg = bytes->rfind("\xFF\xD8", 0) == 0;
        PictureInfo info;
        std::string ignored;
        if ((!png && !jpeg) || !ReadPictureInfo(*bytes, info, ignored)) return false;

        StoredAsset stored;
        stored.key = NextAssetKey();
        stored.attributes = stored.key;
        stored.uuidKey = asset.key;
        stored.directory = kSyncFolder;
        stored.fileName = NextSyncedName(png ? "PNG" : "JPG");
        stored.title = stored.fileName.substr(0, stored.fileName.rfind('.'));
        const double modified = asset.modificationDate
                                    ? static_cast<double>(*asset.modificationDate - kSince1904)
                                    : static_cast<double>(std::time(nullptr) - kCoreDataEpoch);
        stored.created = CreatedFromExif(info.takenLocal).value_or(modified);
        if (!files_.Move(source, stored.directory + "/" + stored.fileName))
            return (error = "the upload " + source + " could not be moved", false);
        const std::string originalName = context_.major >= 7 && !asset.originalFileName.empty()
                                             ? asset.originalFileName
                                             : names.front();
        if (!InsertAsset(stored, info, png, modified, originalName, bytes->size(), error))
            return false;
        assets_[stored.key] = stored;
        std::string thumbnail;
        if (EncodePictureThumbnail(*bytes, info.orientation, thumbnail, ignored))
            files_.Write(ThumbnailPath(stored), thumbnail);
        return true;
    }

    bool RemoveAsset(int64_t key, std::string& error) {
        const auto found = assets_.find(key);
        if (found == assets_.end()) return true;
        const StoredAsset asset = found->second;
        const std::string join = schema_.JoinTable();
        const std::string assetColumn = schema_.JoinAssetColumn();
        if (!db_.Run("SELECT " + schema_.JoinAlbumColumn() + " FROM " + join + " WHERE " +
                         assetColumn + " = ?",
                     {SqlValue::Int(key)}, error,
                     [&](sqlite3_stmt* s) { touchedAlbums_.insert(sqlite3_column_int64(s, 0)); }) ||
            !db_.Run("SELECT Z_PK FROM ZGENERICALBUM WHERE ZKEYASSET = ?", {SqlValue::Int(key)},
                     error,
                     [&](sqlite3_stmt* s) { touchedAlbums_.insert(sqlite3_column_int64(s, 0)); }) ||
            !db_.Run("DELETE FROM " + join + " WHERE " + assetColumn + " = ?", {SqlValue::Int(key)},
                     error) ||
            !db_.Run("DELETE FROM ZADDITIONALASSETATTRIBUTES WHERE Z_PK = ? OR ZASSET = ?",
                     {SqlValue::Int(asset.attributes), SqlValue::Int(key)}, error) ||
            !db_.Run("DELETE FROM ZGENERICASSET WHERE Z_PK = ?", {SqlValue::Int(key)}, error))
            return false;
        assets_.erase(found);
        removedFiles_.push_back(asset);
        return true;
    }

    // Removes the files of the assets removed; after the commit, so a failed one keeps them.
    void RemoveFilesOfRemoved(bool withThumbnails) {
        for (const StoredAsset& asset : removedFiles_) {
            files_.Remove(asset.directory + "/" + asset.fileName);
            if (!withThumbnails) continue;
            const std::string thumbnail = ThumbnailPath(asset);
            files_.Remove(thumbnail);
            if (context_.major >= 7) {
                files_.RemoveEmptyFolder(SplitPath(thumbnail).first);
            } else {
                files_.Remove(thumbnail + "_a");
            }
        }
    }

    // The kind-1550 albums: key by compared uuid.
    bool SyncedAlbums(std::map<std::string, int64_t>& albums, std::string& error) {
        return db_.Run("SELECT Z_PK, ZUUID FROM ZGENERICALBUM WHERE ZKIND = ?",
                       {SqlValue::Int(kSyncedAlbumKind)}, error, [&](sqlite3_stmt* s) {
                           const int length = sqlite3_column_bytes(s, 1);
                           albums[Hex(sqlite3_column_blob(s, 1), length)] =
                               sqlite3_column_int64(s, 0);
                       });
    }

    bool AddAlbum(const SyncListAlbum& album, int64_t& key, std::string& error) {
        key = NextAlbumKey();
        std::string uuid = IsHexIdentifier(album.key) ? BytesOfHex(album.key) : FreshUuid();
        touchedAlbums_.insert(key);
        return db_.Run(
            "INSERT INTO ZGENERICALBUM (Z_PK, Z_ENT, Z_OPT, ZCACHEDCOUNT, ZCACHEDPHOTOSCOUNT, "
            "ZCACHEDVIDEOSCOUNT, ZKIND, ZPENDINGITEMSCOUNT, ZPENDINGITEMSTYPE, ZTITLE, ZUUID) "
            "VALUES (?, ?, 1, 0, 0, 0, ?, 0, 0, ?, ?)",
            {SqlValue::Int(key), SqlValue::Int(schema_.albumEntity),
             SqlValue::Int(kSyncedAlbumKind), SqlValue::Text(album.name), SqlValue::Blob(uuid)},
            error);
    }

    bool RemoveAlbum(int64_t key, std::string& error) {
        touchedAlbums_.erase(key);
        return db_.Run("DELETE FROM " + schema_.JoinTable() + " WHERE " +
                           schema_.JoinAlbumColumn() + " = ?",
                       {SqlValue::Int(key)}, error) &&
               db_.Run("DELETE FROM ZGENERICALBUM WHERE Z_PK = ?", {SqlValue::Int(key)}, error);
    }

    // The album holds exactly `members`, in that order.
    bool SetMembers(int64_t album, const std::vector<int64_t>& members, std::string& error) {
        touchedAlbums_.insert(album);
        if (!db_.Run("DELETE FROM " + schema_.JoinTable() + " WHERE " + schema_.JoinAlbumColumn() +
                         " = ?",
                     {SqlValue::Int(album)}, error))
            return false;
        int64_t order = 0;
        for (const int64_t member : members) {
            order += 1024;
            if (!db_.Run("INSERT OR IGNORE INTO " + schema_.JoinTable() + " (" +
                             schema_.JoinAlbumColumn() + ", " + schema_.JoinAssetColumn() + ", " +
                             schema_.JoinOrderColumn() + ") VALUES (?, ?, ?)",
                         {SqlValue::Int(album), SqlValue::Int(member), SqlValue::Int(order)},
                         error))
                return false;
        }
        return true;
    }

  private:
    bool LoadAssets(std::string& error) {
        return db_.Run(
            "SELECT Z_PK, ZADDITIONALATTRIBUTES, ZUUID, ZDIRECTORY, ZFILENAME, ZTITLE, "
            "ZDATECREATED, ZKIND FROM ZGENERICASSET",
            {}, error, [&](sqlite3_stmt* s) {
                StoredAsset asset;
                asset.key = sqlite3_column_int64(s, 0);
                asset.attributes = sqlite3_column_int64(s, 1);
                asset.uuidKey = Hex(sqlite3_column_blob(s, 2), sqlite3_column_bytes(s, 2));
                asset.directory = ColumnText(s, 3);
                asset.fileName = ColumnText(s, 4);
                asset.title = ColumnText(s, 5);
                asset.created = sqlite3_column_double(s, 6);
                asset.kind = sqlite3_column_int(s, 7);
                assets_[asset.key] = asset;
                maxAssetKey_ = std::max(maxAssetKey_, asset.key);
            });
    }

    int64_t NextAssetKey() {
        if (!keysRead_) ReadKeys();
        return ++maxAssetKey_;
    }

    int64_t NextAlbumKey() {
        if (!keysRead_) ReadKeys();
        return ++maxAlbumKey_;
    }

    void ReadKeys() {
        std::string ignored;
        bool ok = false;
        const auto max = [&](const std::string& sql, int64_t& into) {
            into = std::max(into, db_.Integer(sql, ignored, ok));
        };
        max("SELECT Z_MAX FROM Z_PRIMARYKEY WHERE Z_ENT = " +
                std::to_string(schema_.genericAssetEntity),
            maxAssetKey_);
        max("SELECT max(Z_PK) FROM ZADDITIONALASSETATTRIBUTES", maxAssetKey_);
        max("SELECT Z_MAX FROM Z_PRIMARYKEY WHERE Z_ENT = " +
                std::to_string(schema_.genericAlbumEntity),
            maxAlbumKey_);
        max("SELECT max(Z_PK) FROM ZGENERICALBUM", maxAlbumKey_);
        nextThumbnailIndex_ =
            db_.Integer("SELECT max(ZTHUMBNAILINDEX) FROM ZGENERICASSET", ignored, ok) + 1;
        keysRead_ = true;
    }

    // IMG_nnnn continues after the highest number in the synced folder, in the store or on disk.
    std::string NextSyncedName(const char* extension) {
        if (nextSyncedNumber_ == 0) {
            std::vector<std::string> names = files_.RegularFiles(kSyncFolder);
            for (const auto& [key, asset] : assets_)
                if (asset.directory == kSyncFolder) names.push_back(asset.fileName);
            for (const std::string& name : names) {
                int number = 0;
                if (std::sscanf(name.c_str(), "IMG_%4d", &number) == 1)
                    nextSyncedNumber_ = std::max(nextSyncedNumber_, number);
            }
            ++nextSyncedNumber_;
        }
        char name[32];
        std::snprintf(name, sizeof name, "IMG_%04d.%s", nextSyncedNumber_++, extension);
        return name;
    }

    std::optional<double> CreatedFromExif(const std::string& local) const {
        std::tm parts{};
        if (local.size() != 19 ||
            std::sscanf(local.c_str(), "%4d:%2d:%2d %2d:%2d:%2d", &parts.tm_year, &parts.tm_mon,
                        &parts.tm_mday, &parts.tm_hour, &parts.tm_min, &parts.tm_sec) != 6)
            return std::nullopt;
        parts.tm_year -= 1900;
        parts.tm_mon -= 1;
        const time_t utc = timegm(&parts);
        return static_cast<double>(utc - context_.offsetFromUtc - kCoreDataEpoch);
    }

    std::string FreshUuid() {
        std::random_device device;
        std::string bytes;
        for (int i = 0; i < 16; ++i)
            bytes += static_cast<char>(device() & 0xFF);
        return bytes;
    }

    std::string ThumbnailPath(const StoredAsset& stored) const {
        LibraryAsset asset;
        asset.kind = stored.kind == 1 ? AssetKind::Video : AssetKind::Photo;
        asset.directory = stored.directory;
        asset.fileName = stored.fileName;
        asset.title = stored.title;
        asset.created = stored.created;
        return ThumbnailCachePath(context_.major, asset);
    }

    bool InsertAsset(const StoredAsset& asset, const PictureInfo& info, bool png, double modified,
                     const std::string& originalName, size_t size, std::string& error) {
        const bool turned = info.orientation >= 5;
        const int viewedWidth = turned ? info.height : info.width;
        const int viewedHeight = turned ? info.width : info.height;
        std::string sql =
            "INSERT INTO ZGENERICASSET (Z_PK, Z_ENT, Z_OPT, ZCOMPLETE, ZFLAGGED, ZHEIGHT, ZKIND, "
            "ZORIENTATION, ZSAVEDASSETTYPE, ZTHUMBNAILINDEX, ZWIDTH, ZADDITIONALATTRIBUTES, "
            "ZDATECREATED, ZMODIFICATIONDATE, ZSORTTOKEN, ZDIRECTORY, ZFILENAME, ZTITLE, "
            "ZUNIFORMTYPEIDENTIFIER, ZUUID";
        sql += schema_.hasKindSubtype ? ", ZKINDSUBTYPE) VALUES (" : ") VALUES (";
        sql += "?, ?, 1, 1, 0, ?, 0, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?";
        sql += schema_.hasKindSubtype ? ", 0)" : ")";
        if (!db_.Run(sql,
                     {SqlValue::Int(asset.key), SqlValue::Int(schema_.assetEntity),
                      SqlValue::Int(viewedHeight), SqlValue::Int(info.orientation),
                      SqlValue::Int(kSavedBySync), SqlValue::Int(nextThumbnailIndex_++),
                      SqlValue::Int(viewedWidth), SqlValue::Int(asset.attributes),
                      SqlValue::Real(asset.created), SqlValue::Real(modified),
                      SqlValue::Real(asset.created), SqlValue::Text(asset.directory),
                      SqlValue::Text(asset.fileName), SqlValue::Text(asset.title),
                      SqlValue::Text(png ? "public.png" : "public.jpeg"),
                      SqlValue::Blob(BytesOfHex(asset.uuidKey))},
                     error))
            return false;
        return db_.Run(
            "INSERT INTO ZADDITIONALASSETATTRIBUTES (Z_PK, Z_ENT, Z_OPT, "
            "ZEMBEDDEDTHUMBNAILHEIGHT, ZEMBEDDEDTHUMBNAILLENGTH, ZEMBEDDEDTHUMBNAILOFFSET, "
            "ZEMBEDDEDTHUMBNAILWIDTH, ZORIGINALFILESIZE, ZORIGINALHEIGHT, ZORIGINALORIENTATION, "
            "ZORIGINALWIDTH, ZASSET, " +
                schema_.AssetReferenceColumn() +
                ", ZDURATION, ZORIGINALFILENAME) VALUES (?, ?, 1, 0, 0, 0, 0, ?, ?, ?, ?, ?, ?, "
                "0.0, ?)",
            {SqlValue::Int(asset.attributes), SqlValue::Int(schema_.attributesEntity),
             SqlValue::Int(static_cast<int64_t>(size)), SqlValue::Int(info.height),
             SqlValue::Int(info.orientation), SqlValue::Int(info.width), SqlValue::Int(asset.key),
             SqlValue::Int(schema_.assetEntity), SqlValue::Text(originalName)},
            error);
    }

    // The cached counts and the key asset (its first member) of an album.
    bool Recount(int64_t album, std::string& error) {
        const std::string join = schema_.JoinTable();
        const std::string albumColumn = schema_.JoinAlbumColumn();
        const std::string assetColumn = schema_.JoinAssetColumn();
        int64_t count = 0, videos = 0, first = 0;
        if (!db_.Run("SELECT j." + assetColumn + ", a.ZKIND FROM " + join +
                         " j LEFT JOIN ZGENERICASSET a ON a.Z_PK = j." + assetColumn + " WHERE j." +
                         albumColumn + " = ? ORDER BY j." + schema_.JoinOrderColumn(),
                     {SqlValue::Int(album)}, error, [&](sqlite3_stmt* s) {
                         if (count++ == 0) first = sqlite3_column_int64(s, 0);
                         videos += sqlite3_column_int(s, 1) == 1;
                     }))
            return false;
        return db_.Run(
            "UPDATE ZGENERICALBUM SET ZCACHEDCOUNT = ?, ZCACHEDPHOTOSCOUNT = ?, "
            "ZCACHEDVIDEOSCOUNT = ?, ZKEYASSET = ?, " +
                schema_.KeyAssetReferenceColumn() + " = ? WHERE Z_PK = ?",
            {SqlValue::Int(count), SqlValue::Int(count - videos), SqlValue::Int(videos),
             count > 0 ? SqlValue::Int(first) : SqlValue::Null(),
             count > 0 ? SqlValue::Int(schema_.assetEntity) : SqlValue::Null(),
             SqlValue::Int(album)},
            error);
    }

    // Core Data hands out keys from the root entity's Z_MAX: it never goes down.
    bool PrimaryKeys(std::string& error) {
        if (!keysRead_) return true;
        for (const auto& [entity, max] : {std::pair{schema_.genericAssetEntity, maxAssetKey_},
                                          std::pair{schema_.attributesEntity, maxAssetKey_},
                                          std::pair{schema_.genericAlbumEntity, maxAlbumKey_}}) {
            if (!db_.Run("UPDATE Z_PRIMARYKEY SET Z_MAX = max(Z_MAX, ?) WHERE Z_ENT = ?",
                         {SqlValue::Int(max), SqlValue::Int(entity)}, error))
                return false;
        }
        return true;
    }

    const PhotoStoreContext& context_;
    const PhotoSchema& schema_;
    MediaFiles files_;
    StoreDatabase db_;
    std::map<int64_t, StoredAsset> assets_;
    std::set<int64_t> touchedAlbums_;
    std::vector<StoredAsset> removedFiles_;
    bool keysRead_ = false;
    int64_t maxAssetKey_ = 0;
    int64_t maxAlbumKey_ = 0;
    int64_t nextThumbnailIndex_ = 0;
    int nextSyncedNumber_ = 0;
};

bool IsSynced(const StoredAsset& asset) {
    // As the phone asks its store: ZDIRECTORY LIKE '%Sync%' (LIKE ignores ASCII case).
    std::string lower = asset.directory;
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return lower.find("sync") != std::string::npos;
}

bool ApplyAlbums(Store& store, const SyncList& list, std::string& error) {
    std::map<std::string, int64_t> existing;
    if (!store.SyncedAlbums(existing, error)) return false;
    std::set<int64_t> named;
    for (const SyncListAlbum& album : list.albums) {
        if (album.key == kLoosePhotosAlbum) continue;
        int64_t key = 0;
        if (const auto found = existing.find(album.key); found != existing.end()) {
            key = found->second;
        } else if (!store.AddAlbum(album, key, error)) {
            return false;
        }
        if (!named.insert(key).second) continue;
        std::vector<int64_t> members;
        for (const std::string& member : album.assetKeys)
            if (const int64_t asset = store.KeyOf(member); asset != 0) members.push_back(asset);
        if (!store.SetMembers(key, members, error)) return false;
    }
    for (const auto& [uuid, key] : existing)
        if (named.count(key) == 0 && !store.RemoveAlbum(key, error)) return false;
    return true;
}

// A camera-roll file photos.plist says the builder wrote.
struct BuiltFile {
    int64_t key = 0;
    std::string path;
    std::string thumbnails[2];
};

std::vector<BuiltFile> ReadBuiltCameraRoll(const std::string& manifestPath) {
    std::vector<BuiltFile> built;
    const PlistTree manifest = ReadPlistFile(manifestPath, kLargestManifest);
    plist_t photos = manifest != nullptr ? plist_dict_get_item(manifest.get(), "Photos") : nullptr;
    if (photos == nullptr || plist_get_node_type(photos) != PLIST_ARRAY) return built;
    for (uint32_t i = 0; i < plist_array_get_size(photos); ++i) {
        plist_t entry = plist_array_get_item(photos, i);
        if (plist_get_node_type(entry) != PLIST_DICT) continue;
        uint8_t existed = 0;
        plist_t exists = plist_dict_get_item(entry, "Exists");
        plist_t key = plist_dict_get_item(entry, "Key");
        const std::string path = StringValue(plist_dict_get_item(entry, "Path"));
        if (exists == nullptr || plist_get_node_type(exists) != PLIST_BOOLEAN || key == nullptr ||
            plist_get_node_type(key) != PLIST_UINT || path.rfind("DCIM/", 0) != 0)
            continue;
        plist_get_bool_val(exists, &existed);
        if (!existed) continue;
        uint64_t number = 0;
        plist_get_uint_val(key, &number);
        built.push_back({static_cast<int64_t>(number),
                         path,
                         {StringValue(plist_dict_get_item(entry, "Thumbnail")),
                          StringValue(plist_dict_get_item(entry, "SizedThumbnail"))}});
    }
    return built;
}

// photos.plist is read again only when it changed: the store is opened often, and a scaled
// image's list takes a while to parse.
std::shared_ptr<const std::vector<BuiltFile>> BuiltCameraRoll(const std::string& imageFolder) {
    static std::mutex mutex;
    static std::map<std::string,
                    std::pair<std::string, std::shared_ptr<const std::vector<BuiltFile>>>>
        cache;
    const std::string path = imageFolder + "/" + kPhotoManifestName;
    struct stat info {};
    if (::lstat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode))
        return std::make_shared<const std::vector<BuiltFile>>();
    const std::string stamp = std::to_string(info.st_ino) + ":" + std::to_string(info.st_size) +
                              ":" + std::to_string(info.st_mtim.tv_sec) + "." +
                              std::to_string(info.st_mtim.tv_nsec);
    std::lock_guard<std::mutex> lock(mutex);
    auto& entry = cache[imageFolder];
    if (entry.second == nullptr || entry.first != stamp) {
        entry.first = stamp;
        entry.second = std::make_shared<const std::vector<BuiltFile>>(ReadBuiltCameraRoll(path));
    }
    return entry.second;
}

}  // namespace

PhotoStoreContext PhotoStoreContextOf(const Device& device) {
    PhotoStoreContext context;
    context.imageFolder = device.imageFolder;
    std::lock_guard<std::mutex> lock(DeviceMutex());
    const std::string version =
        StringValue(plist_dict_get_item(device.values.get(), "ProductVersion"));
    if (!version.empty() && version[0] >= '5' && version[0] <= '7')
        context.major = version[0] - '0';
    plist_t zone = plist_dict_get_item(device.values.get(), "TimeZoneOffsetFromUTC");
    if (zone != nullptr && plist_get_node_type(zone) == PLIST_REAL) {
        double offset = 0;
        plist_get_real_val(zone, &offset);
        context.offsetFromUtc = std::llround(offset);
    }
    return context;
}

bool StoredAssetKeys(const PhotoStoreContext& context, std::set<std::string>& keys,
                     std::string& error) {
    std::lock_guard<std::mutex> lock(StoreMutex());
    Store store(context);
    if (!store.Open(error)) return false;
    for (const auto& [key, asset] : store.assets())
        keys.insert(asset.uuidKey);
    return true;  // the transaction ends unchanged when the store closes
}

bool ApplySyncList(const PhotoStoreContext& context, const SyncList& list,
                   const std::vector<std::string>& uploaded,
                   const std::vector<std::string>& consumed, std::string& error) {
    std::lock_guard<std::mutex> lock(StoreMutex());
    Store store(context);
    if (!store.Open(error)) return false;
    std::set<std::string> named;
    for (const SyncListAsset& asset : list.assets)
        named.insert(asset.key);
    for (const SyncListAlbum& album : list.albums)
        named.insert(album.assetKeys.begin(), album.assetKeys.end());

    const std::set<std::string> arrived(uploaded.begin(), uploaded.end());
    for (const SyncListAsset& asset : list.assets) {
        if (arrived.count(asset.id) == 0 || store.KeyOf(asset.key) != 0) continue;
        if (!store.AddUploaded(asset, error) && !error.empty()) return false;
    }
    std::vector<int64_t> dropped;
    for (const auto& [key, asset] : store.assets())
        if (IsSynced(asset) && named.count(asset.uuidKey) == 0) dropped.push_back(key);
    for (const int64_t key : dropped)
        if (!store.RemoveAsset(key, error)) return false;
    if (!ApplyAlbums(store, list, error) || !store.Commit(error)) return false;
    store.RemoveFilesOfRemoved(true);
    for (const std::string& id : consumed) {
        store.files().RemoveTree(std::string(kAirlock) + "/" + id);
        store.files().Remove(std::string(kUploadThumbs) + "/" + id + ".mthmb");
    }
    return true;
}

bool ReconcileCameraRoll(const PhotoStoreContext& context, std::string& error) {
    const MediaFiles files(context.imageFolder);
    const std::shared_ptr<const std::vector<BuiltFile>> built =
        BuiltCameraRoll(context.imageFolder);
    // One folder descriptor per folder: a scaled image's camera roll has thousands of files.
    std::map<std::string, std::vector<const BuiltFile*>> byFolder;
    for (const BuiltFile& file : *built)
        byFolder[SplitPath(file.path).first].push_back(&file);
    std::vector<BuiltFile> gone;
    for (const auto& [folderPath, inFolder] : byFolder) {
        const platform::UniqueFd folder = files.Folder(folderPath);
        const bool folderGone = !folder.valid() && errno == ENOENT;
        if (!folder.valid() && !folderGone) continue;
        for (const BuiltFile* file : inFolder) {
            struct stat info {};
            if (folderGone || (::fstatat(folder.get(), SplitPath(file->path).second.c_str(), &info,
                                         AT_SYMLINK_NOFOLLOW) != 0 &&
                               errno == ENOENT))
                gone.push_back(*file);
        }
    }
    if (gone.empty()) return true;

    std::lock_guard<std::mutex> lock(StoreMutex());
    Store store(context);
    if (!store.Open(error)) return false;
    std::vector<const BuiltFile*> removed;
    for (const BuiltFile& photo : gone) {
        const auto found = store.assets().find(photo.key);
        // Only the row the builder wrote for that file: the key may have been reused since.
        if (found == store.assets().end() ||
            found->second.directory + "/" + found->second.fileName != photo.path)
            continue;
        if (!store.RemoveAsset(photo.key, error)) return false;
        removed.push_back(&photo);
    }
    if (!store.Commit(error)) return false;
    for (const BuiltFile* photo : removed) {
        for (const std::string& thumbnail : photo->thumbnails) {
            if (thumbnail.empty()) continue;
            files.Remove(thumbnail);
            if (context.major >= 7) files.RemoveEmptyFolder(SplitPath(thumbnail).first);
        }
    }
    return true;
}

}  // namespace bw::sim::md

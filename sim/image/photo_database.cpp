// The library database, written by SQLite itself in memory in the version's schema. A phone's
// store is a Core Data store: keys come from the root entity's Z_MAX in Z_PRIMARYKEY, albums and
// assets carry the Z_ENT of their entity, and Z_METADATA holds the store's identity. iOS 7 keeps
// the store in WAL mode: its last save (the photo stream) is only in the log.
#include <plist/plist.h>

#include <algorithm>
#include <cstdio>
#include <map>

#include "common/plist_tree.h"
#include "junk_sqlite.h"
#include "photo_library.h"
#include "photo_schemas.h"
#include "seeded_random.h"
#include "sqlite_build.h"

namespace bw::sim {
namespace {

constexpr char kPhotoUti[] = "public.jpeg";
constexpr char kScreenshotUti[] = "public.png";
constexpr char kVideoUti[] = "com.apple.quicktime-movie";
constexpr int kScreenshotSubtype = 10;  // iOS 7: how a screenshot differs from a photo
constexpr size_t kShmSize = 32768;

SqlValue IntOrNull(bool present, int64_t value) {
    return present ? SqlValue::Int(value) : SqlValue::Null();
}

// "XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX" of 16 bytes.
std::string UuidText(const std::string& bytes) {
    std::string hex;
    char digits[3];
    for (const char byte : bytes) {
        std::snprintf(digits, sizeof digits, "%02X", static_cast<unsigned char>(byte));
        hex += digits;
    }
    return hex.substr(0, 8) + "-" + hex.substr(8, 4) + "-" + hex.substr(12, 4) + "-" +
           hex.substr(16, 4) + "-" + hex.substr(20);
}

// The statements, made once per schema; SqliteBuild keeps prepared statements by text address.
struct Statements {
    explicit Statements(const PhotoSchema& schema) {
        asset = std::string(
                    "INSERT INTO ZGENERICASSET (Z_PK, Z_ENT, Z_OPT, ZCOMPLETE, ZFLAGGED, "
                    "ZHEIGHT, ZKIND, ZORIENTATION, ZSAVEDASSETTYPE, ZTHUMBNAILINDEX, "
                    "ZWIDTH, ZADDITIONALATTRIBUTES, ZDATECREATED, ZMODIFICATIONDATE, "
                    "ZSORTTOKEN, ZDIRECTORY, ZFILENAME, ZTITLE, ZUNIFORMTYPEIDENTIFIER, "
                    "ZUUID") +
                (schema.hasKindSubtype ? ", ZKINDSUBTYPE) VALUES (" : ") VALUES (") +
                std::string("?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?") +
                (schema.hasKindSubtype ? ", ?)" : ")");
        attributes =
            "INSERT INTO ZADDITIONALASSETATTRIBUTES (Z_PK, Z_ENT, Z_OPT, "
            "ZEMBEDDEDTHUMBNAILHEIGHT, ZEMBEDDEDTHUMBNAILLENGTH, "
            "ZEMBEDDEDTHUMBNAILOFFSET, ZEMBEDDEDTHUMBNAILWIDTH, ZORIGINALFILESIZE, "
            "ZORIGINALHEIGHT, ZORIGINALORIENTATION, ZORIGINALWIDTH, ZASSET, " +
            schema.AssetReferenceColumn() +
            ", ZDURATION, ZORIGINALFILENAME) VALUES "
            "(?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)";
        album =
            "INSERT INTO ZGENERICALBUM (Z_PK, Z_ENT, Z_OPT, ZCACHEDCOUNT, "
            "ZCACHEDPHOTOSCOUNT, ZCACHEDVIDEOSCOUNT, ZKIND, ZPENDINGITEMSCOUNT, "
            "ZPENDINGITEMSTYPE, ZKEYASSET, " +
            schema.KeyAssetReferenceColumn() +
            ", ZTITLE, ZUUID) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)";
        member = std::string("INSERT INTO ") + schema.JoinTable() + " (" +
                 schema.JoinAlbumColumn() + ", " + schema.JoinAssetColumn() + ", " +
                 schema.JoinOrderColumn() + ") VALUES (?, ?, ?)";
        entity =
            "INSERT OR REPLACE INTO Z_PRIMARYKEY (Z_ENT, Z_NAME, Z_SUPER, Z_MAX) "
            "VALUES (?, ?, ?, ?)";
        metadata = "INSERT INTO Z_METADATA (Z_VERSION, Z_UUID, Z_PLIST) VALUES (?, ?, ?)";
    }
    std::string asset, attributes, album, member, entity, metadata;
};

class DatabaseWriter {
  public:
    DatabaseWriter(const PhotoLibrary& library, uint64_t seed)
        : library_(library),
          schema_(PhotoSchemaFor(library.major)),
          sql_(schema_),
          random_(seed, "photo-database") {
        for (const LibraryAsset& asset : library.assets)
            byKey_[asset.key] = &asset;
    }

    bool Schema() {
        return db_.Exec("PRAGMA page_size = 4096;") && db_.Exec(schema_.sql) && Metadata();
    }

    // One save: the assets and albums of one side of the log, then the keys handed out so far.
    bool Save(bool logged) {
        if (!db_.Exec("BEGIN;")) return false;
        for (const LibraryAsset& asset : library_.assets) {
            if (asset.inWriteAheadLog == logged && !Asset(asset)) return false;
        }
        for (const LibraryAlbum& album : library_.albums) {
            if (album.inWriteAheadLog == logged && !Album(album)) return false;
        }
        return PrimaryKeys(logged) && db_.Exec("COMMIT;");
    }

    bool Bytes(std::string& bytes) { return db_.Bytes(bytes); }
    const std::string& error() const { return db_.error(); }

  private:
    bool Metadata() {
        std::string uuidBytes;
        for (int i = 0; i < 16; ++i)
            uuidBytes += static_cast<char>(random_.Below(256));
        const std::string uuid = UuidText(uuidBytes);
        // The model's version hashes, one per entity, as Core Data checks them on open.
        plist_t hashes = plist_new_dict();
        for (const PhotoEntity& entity : schema_.entities) {
            std::string hash;
            for (int i = 0; i < 32; ++i)
                hash += static_cast<char>(random_.Below(256));
            plist_dict_set_item(hashes, entity.name,
                                plist_new_data(hash.data(), static_cast<uint64_t>(hash.size())));
        }
        DictBuilder metadata;
        metadata.Real("NSPersistenceFrameworkVersion", schema_.frameworkVersion)
            .Value("NSStoreModelVersionHashes", hashes)
            .Integer("NSStoreModelVersionHashesVersion", 3)
            .Texts("NSStoreModelVersionIdentifiers", {""})
            .Text("NSStoreType", "SQLite")
            .Text("NSStoreUUID", uuid)
            .Text("_NSAutoVacuumLevel", "2");
        const PlistTree tree = metadata.Take();
        char* binary = nullptr;
        uint32_t length = 0;
        plist_to_bin(tree.get(), &binary, &length);
        const std::string plist = binary != nullptr ? std::string(binary, length) : "";
        if (binary != nullptr) plist_to_bin_free(binary);
        return db_.Run(sql_.metadata.c_str(),
                       {SqlValue::Int(1), SqlValue::Text(uuid), SqlValue::Blob(plist)});
    }

    int64_t Opt() { return 1 + static_cast<int64_t>(random_.Below(3)); }

    bool Asset(const LibraryAsset& asset) {
        const bool video = asset.kind == AssetKind::Video;
        const char* uti = video                                 ? kVideoUti
                          : asset.kind == AssetKind::Screenshot ? kScreenshotUti
                                                                : kPhotoUti;
        const int width = asset.zeroDimensions ? 0 : asset.ViewedWidth();
        const int height = asset.zeroDimensions ? 0 : asset.ViewedHeight();
        const int64_t subtype = asset.kind == AssetKind::Screenshot ? kScreenshotSubtype : 0;
        std::vector<SqlValue> values = {SqlValue::Int(asset.key),
                                        SqlValue::Int(schema_.assetEntity),
                                        SqlValue::Int(Opt()),
                                        SqlValue::Int(1),
                                        SqlValue::Int(0),
                                        SqlValue::Int(height),
                                        SqlValue::Int(video ? 1 : 0),
                                        SqlValue::Int(asset.orientation),
                                        SqlValue::Int(asset.savedType),
                                        SqlValue::Int(asset.thumbnailIndex),
                                        SqlValue::Int(width),
                                        SqlValue::Int(asset.key),
                                        SqlValue::Real(asset.created),
                                        SqlValue::Real(asset.modified),
                                        SqlValue::Real(asset.created),
                                        SqlValue::Text(asset.directory),
                                        SqlValue::Text(asset.fileName),
                                        SqlValue::Text(asset.title),
                                        SqlValue::Text(uti),
                                        SqlValue::Blob(asset.uuid)};
        if (schema_.hasKindSubtype) values.push_back(SqlValue::Int(subtype));
        const bool ok = db_.Run(sql_.asset.c_str(), values);
        // The phone records no embedded thumbnail for the pictures it writes: the numbers are 0.
        return ok &&
               db_.Run(sql_.attributes.c_str(),
                       {SqlValue::Int(asset.key), SqlValue::Int(schema_.attributesEntity),
                        SqlValue::Int(1), SqlValue::Int(0), SqlValue::Int(0), SqlValue::Int(0),
                        SqlValue::Int(0), SqlValue::Int(static_cast<int64_t>(asset.size)),
                        SqlValue::Int(asset.height), SqlValue::Int(asset.orientation),
                        SqlValue::Int(asset.width), SqlValue::Int(asset.key),
                        SqlValue::Int(schema_.assetEntity),
                        video ? SqlValue::Real(asset.duration) : SqlValue::Real(0.0),
                        SqlValue::Text(asset.originalName)});
    }

    bool Album(const LibraryAlbum& album) {
        int64_t videos = 0;
        for (const int64_t key : album.assets)
            videos += byKey_.at(key)->kind == AssetKind::Video;
        const int64_t count = static_cast<int64_t>(album.assets.size());
        const bool keyed = !album.assets.empty();
        const int entity = album.kind == 1500 ? schema_.photoStreamEntity : schema_.albumEntity;
        if (!db_.Run(sql_.album.c_str(),
                     {SqlValue::Int(album.key), SqlValue::Int(entity), SqlValue::Int(Opt()),
                      SqlValue::Int(count), SqlValue::Int(count - videos), SqlValue::Int(videos),
                      SqlValue::Int(album.kind), SqlValue::Int(0), SqlValue::Int(0),
                      IntOrNull(keyed, keyed ? album.assets.front() : 0),
                      IntOrNull(keyed, schema_.assetEntity), SqlValue::Text(album.title),
                      SqlValue::Blob(album.uuid)}))
            return false;
        // Ordered relationships keep their order in spaced numbers, so one insertion renumbers
        // nothing.
        int64_t order = 0;
        for (const int64_t key : album.assets) {
            order += 1024;
            if (!db_.Run(sql_.member.c_str(),
                         {SqlValue::Int(album.key), SqlValue::Int(key), SqlValue::Int(order)}))
                return false;
        }
        return true;
    }

    // Sub-entities share their root's keys, so only a root's Z_MAX counts up.
    bool PrimaryKeys(bool logged) {
        int64_t assets = 0, albums = 0;
        for (const LibraryAsset& asset : library_.assets) {
            if (!asset.inWriteAheadLog || logged) assets = std::max(assets, asset.key);
        }
        for (const LibraryAlbum& album : library_.albums) {
            if (!album.inWriteAheadLog || logged) albums = std::max(albums, album.key);
        }
        for (const PhotoEntity& entity : schema_.entities) {
            int64_t max = 0;
            if (entity.number == schema_.genericAssetEntity ||
                entity.number == schema_.attributesEntity)
                max = assets;
            if (entity.number == schema_.genericAlbumEntity) max = albums;
            if (!db_.Run(sql_.entity.c_str(),
                         {SqlValue::Int(entity.number), SqlValue::Text(entity.name),
                          SqlValue::Int(entity.super), SqlValue::Int(max)}))
                return false;
        }
        return true;
    }

    const PhotoLibrary& library_;
    const PhotoSchema& schema_;
    Statements sql_;
    SeededRandom random_;
    std::map<int64_t, const LibraryAsset*> byKey_;
    SqliteBuild db_;
};

// Bytes 18 and 19 of the header: the file format versions, 2 for a database in WAL mode.
void MarkWalMode(std::string& bytes) {
    if (bytes.size() > 19) bytes[18] = bytes[19] = 2;
}

}  // namespace

bool BuildPhotoDatabase(const PhotoLibrary& library, uint64_t seed, PhotoDatabaseFiles& files,
                        std::string& error) {
    DatabaseWriter writer(library, seed);
    // Without a log both saves land in the main file.
    std::string checkpointed, current;
    const bool built = writer.Schema() && writer.Save(false) &&
                       (!library.writeAheadLog || writer.Bytes(checkpointed)) &&
                       writer.Save(true) && writer.Bytes(current);
    if (!built) {
        error = std::string("Photos.sqlite: ") + writer.error();
        return false;
    }
    files = {};
    if (!library.writeAheadLog) {
        files.main = std::move(current);
        return true;
    }
    MarkWalMode(checkpointed);
    MarkWalMode(current);
    SeededRandom salts(seed, "photo-database-wal");
    files.wal = BuildSqliteWal(checkpointed, current, static_cast<uint32_t>(salts.Next()),
                               static_cast<uint32_t>(salts.Next()));
    files.main = std::move(checkpointed);
    files.shm.assign(kShmSize, '\0');
    return true;
}

}  // namespace bw::sim

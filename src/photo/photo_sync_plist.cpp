#include "photo/photo_sync_plist.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <limits>
#include <optional>
#include <set>

#include "device/iphone.h"
#include "formats/sqlite_table.h"
#include "photo/photo_database.h"
#include "photo/photo_database_copy.h"
#include "platform/files.h"

namespace bw {

namespace {

constexpr char kDeviceLibraryUuidPath[] = "Photos/Sync/CurrentLibraryUUID.plist";
constexpr char kLocalLibraryUuidName[] = "CurrentLibraryUUID.plist";
constexpr int64_t kUnixSecondsAt2001 = 978307200;
constexpr int64_t kSeconds1904To1970 = kSeconds1904To2001 - kUnixSecondsAt2001;
// Dates beyond this are no real dates; the bound keeps the 1904 offset from overflowing.
constexpr int64_t kMaxWholeSeconds = int64_t{1} << 62;

// The join table of albums and assets and its columns, by the first character of the version.
struct JoinNames {
    const char* assetColumn;
    const char* joinTable;
    const char* albumColumn;
};

std::optional<JoinNames> JoinNamesFor(std::string_view productVersion) {
    if (productVersion.starts_with('5')) return JoinNames{"Z_11ASSETS", "Z_6ASSETS", "Z_6ALBUMS"};
    if (productVersion.starts_with('6')) return JoinNames{"Z_14ASSETS", "Z_8ASSETS", "Z_8ALBUMS"};
    if (productVersion.starts_with('7')) {
        return JoinNames{"Z_17ASSETS", "Z_11ASSETS", "Z_11ALBUMS"};
    }
    return std::nullopt;
}

bool KeepsOriginalFileName(std::string_view productVersion) {
    return productVersion.starts_with('7');
}

// The rows of a query that ran to its end; nothing for one that failed part way, so that a
// broken database contributes no half list.
std::optional<std::vector<TableRow>> Rows(std::string_view sql) {
    if (!QueryToTable(sql)) return std::nullopt;
    return TakeResultTable().rows;
}

const TableCell* CellOf(const TableRow& row, size_t index) {
    return index < row.size() ? &row[index] : nullptr;
}

int64_t KeyOf(const TableRow& row, size_t index) {
    const TableCell* cell = CellOf(row, index);
    return cell != nullptr && cell->type == kCellInteger ? cell->int64Value : 0;
}

std::string TextOf(const TableRow& row, size_t index) {
    std::string text;
    if (const TableCell* cell = CellOf(row, index)) GetCellText(*cell, text);
    return text;
}

// A UUID blob as upper-case hex, every byte of it. Blobs of another length than 16 are written
// whole rather than refused: the device spells the same bytes the same way, so the asset is
// still recognised and not taken for a new one or for one that is gone. Anything but a blob
// (NULL, text) gives an empty text.
std::string HexOfBlob(const TableRow& row, size_t index) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    const TableCell* cell = CellOf(row, index);
    std::string hex;
    if (cell == nullptr || cell->type != kCellBlob) return hex;
    for (unsigned char byte : cell->text) {
        hex += kHex[byte >> 4];
        hex += kHex[byte & 15];
    }
    return hex;
}

// ZMODIFICATIONDATE in whole seconds (the fraction cut off towards zero) from 1904.
int64_t ModificationDate1904(const TableRow& row, size_t index) {
    const TableCell* cell = CellOf(row, index);
    int64_t seconds = 0;
    if (cell != nullptr && cell->type == kCellInteger) {
        seconds = std::clamp(cell->int64Value, -kMaxWholeSeconds, kMaxWholeSeconds);
    } else if (cell != nullptr && cell->type == kCellFloat && std::isfinite(cell->floatValue)) {
        const double limit = static_cast<double>(kMaxWholeSeconds);
        seconds = static_cast<int64_t>(std::clamp(cell->floatValue, -limit, limit));
    }
    return seconds + kSeconds1904To2001;
}

PlistValue AssetEntry(std::string uuid, int64_t modificationDate,
                      const std::optional<std::string>& originalFileName) {
    PlistValue::Dictionary entry;
    entry["itemType"] = "Asset";
    entry["caption"] = "";
    entry["modificationDate"] = modificationDate;
    entry["isVideo"] = false;
    // No place is known for a synced picture; infinity is how the list says so.
    entry["latitude"] = std::numeric_limits<double>::infinity();
    entry["longitude"] = std::numeric_limits<double>::infinity();
    if (originalFileName.has_value()) entry["originalFileName"] = *originalFileName;
    entry["uuid"] = std::move(uuid);
    return entry;
}

PlistValue AlbumEntry(std::string name, int64_t subclass, std::string uuid, int64_t albumKey,
                      PlistValue::Array assetUuids) {
    PlistValue::Dictionary entry;
    entry["albumName"] = std::move(name);
    entry["itemType"] = "Album";
    entry["subclass"] = subclass;
    entry["uuid"] = std::move(uuid);
    entry["albumKey"] = albumKey;
    entry["assetUUIDs"] = std::move(assetUuids);
    return entry;
}

// An asset row of the given columns as an asset dictionary; nullopt when the row has no UUID,
// since an identifier the device cannot match would be requested as a new picture.
std::optional<PlistValue> AssetFromRow(const TableRow& row, size_t uuidColumn, size_t dateColumn,
                                       std::optional<size_t> originalNameColumn) {
    std::string uuid = HexOfBlob(row, uuidColumn);
    if (uuid.empty()) return std::nullopt;
    std::optional<std::string> originalFileName;
    if (originalNameColumn.has_value()) originalFileName = TextOf(row, *originalNameColumn);
    return AssetEntry(std::move(uuid), ModificationDate1904(row, dateColumn), originalFileName);
}

const std::string* StringAt(const PlistValue& dictionary, std::string_view key) {
    const PlistValue* value = dictionary.Find(key);
    return value != nullptr ? value->AsString() : nullptr;
}

bool IsItem(const PlistValue& entry, std::string_view itemType) {
    const std::string* type = StringAt(entry, "itemType");
    return type != nullptr && *type == itemType;
}

bool IsLooseAlbum(const PlistValue& entry) {
    const std::string* uuid = StringAt(entry, "uuid");
    return IsItem(entry, "Album") && uuid != nullptr &&
           NormalizedSyncIdentifier(*uuid) == NormalizedSyncIdentifier(kLooseAlbumUuid);
}

PlistValue::Array& UpdatesOf(PlistValue& library) {
    if (library.AsDictionary() == nullptr) library.EmplaceDictionary();
    PlistValue& updates = (*library.AsDictionary())["updates"];
    if (updates.AsArray() == nullptr) updates.EmplaceArray();
    return *updates.AsArray();
}

// Every identifier the list uses, assets and albums alike, in the compared form.
std::set<std::string> IdentifiersInUse(const PlistValue::Array& updates) {
    std::set<std::string> used;
    for (const PlistValue& entry : updates) {
        if (const std::string* uuid = StringAt(entry, "uuid")) {
            used.insert(NormalizedSyncIdentifier(*uuid));
        }
        const PlistValue* members = entry.Find("assetUUIDs");
        if (members == nullptr || members->AsArray() == nullptr) continue;
        for (const PlistValue& member : *members->AsArray()) {
            if (const std::string* uuid = member.AsString()) {
                used.insert(NormalizedSyncIdentifier(*uuid));
            }
        }
    }
    return used;
}

PlistValue::Array& MembersOf(PlistValue& album) {
    PlistValue& members = (*album.AsDictionary())["assetUUIDs"];
    if (members.AsArray() == nullptr) members.EmplaceArray();
    return *members.AsArray();
}

std::string FileNameOf(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace

std::string NextSyncIdentifier(std::string_view previous) {
    std::string digits;
    for (char c : previous) {
        if (c != '-') digits += c;
    }
    // The number is the last 8 hex digits: the identifiers this host makes keep it in the last
    // group, and 8 digits are what a 32-bit counter holds. Reading stops at the first character
    // that is not a hex digit, as "%x" reads; a counter at ffffffff wraps to 0.
    const std::string_view number =
        std::string_view(digits).substr(digits.size() > 8 ? digits.size() - 8 : 0);
    uint32_t value = 0;
    std::from_chars(number.data(), number.data() + number.size(), value, 16);
    char written[16];
    const auto end = std::to_chars(written, written + sizeof written, value + 1U, 16).ptr;
    std::string identifier = kZeroUuid;
    const size_t length = static_cast<size_t>(end - written);
    identifier.replace(identifier.size() - length, length, written, length);
    return identifier;
}

std::string NormalizedSyncIdentifier(std::string_view identifier) {
    std::string normalized;
    for (char c : identifier) {
        if (c == '-') continue;
        normalized += (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
    }
    return normalized;
}

CreatePhotoSyncPlist::CreatePhotoSyncPlist(CIPhone* device, std::string localFolder,
                                           std::string productVersion)
    : device_(device),
      localFolder_(std::move(localFolder)),
      productVersion_(std::move(productVersion)) {}

CreatePhotoSyncPlist::~CreatePhotoSyncPlist() = default;

PlistValue CreatePhotoSyncPlist::Build() {
    newestSyncedUuid_ = kNoSyncedAssetUuid;
    libraryUuid_.clear();
    databaseRead_ = false;
    PlistValue::Array updates;

    // 1. A fresh copy of the database; a missing file is never opened (SQLite would make one).
    const bool copied = CopyPhotoDatabase(device_, localFolder_);
    const bool open = copied && OpenDatabase(platform::JoinPath(localFolder_, "Photos.sqlite"));
    libraryUuid_ = ReadLibraryUuid(open);
    if (open) {
        ReadNewestSyncedUuid();
        const std::vector<int64_t> syncedAlbumKeys = AppendSyncedAlbums(updates);
        databaseRead_ = AppendLoosePhotos(syncedAlbumKeys, updates) && syncedAlbumsRead_;
        // 7.
        CloseDatabase();
    }

    PlistValue::Dictionary top;
    top["libraryKind"] = "Folder";
    top["libraryUUID"] = libraryUuid_;
    top["updates"] = std::move(updates);
    return top;
}

std::string CreatePhotoSyncPlist::ReadLibraryUuid(bool databaseOpen) {
    // The device's own record of the library wins; the local copy is made again each run and a
    // folder that is not this user's own is not written to.
    if (device_ != nullptr && platform::IsPrivateFolder(localFolder_)) {
        const std::string local = platform::JoinPath(localFolder_, kLocalLibraryUuidName);
        platform::RemoveFile(local);
        PlistValue record;
        if (device_->FileExists(kDeviceLibraryUuidPath) &&
            device_->CopyFileFromDevice(kDeviceLibraryUuidPath, local, false) &&
            ReadPlist(local, record)) {
            // A record without the key (or with another type under it) tells nothing: the
            // database's identifier is used as when the file is missing.
            if (const std::string* uuid = StringAt(record, "libraryUUID")) return *uuid;
        }
    }
    if (!databaseOpen) return {};
    const auto rows = Rows("SELECT Z_UUID FROM Z_METADATA");
    return rows.has_value() && !rows->empty() ? TextOf(rows->front(), 0) : std::string();
}

void CreatePhotoSyncPlist::ReadNewestSyncedUuid() {
    // 2.
    const auto rows = Rows(
        "SELECT max(ZUUID) FROM ZGENERICASSET WHERE Z_PK in ( SELECT z_pk FROM ZGENERICASSET "
        "WHERE  ZDIRECTORY LIKE '%Sync%')");
    if (!rows.has_value() || rows->empty()) return;
    std::string newest = HexOfBlob(rows->front(), 0);
    if (!newest.empty()) newestSyncedUuid_ = std::move(newest);
}

std::vector<int64_t> CreatePhotoSyncPlist::AppendSyncedAlbums(PlistValue::Array& updates) {
    // 3.
    std::vector<int64_t> keys;
    const auto albums = Rows(
        "SELECT Z_PK,ZTITLE,ZUUID,ZKIND FROM ZGENERICALBUM WHERE ZKIND =1550 OR ZKIND = 1552 order "
        "by Z_PK asc");
    syncedAlbumsRead_ = albums.has_value();
    if (!albums.has_value()) return keys;
    const std::optional<JoinNames> names = JoinNamesFor(productVersion_);
    const bool ios7 = KeepsOriginalFileName(productVersion_);
    for (const TableRow& album : *albums) {
        const int64_t key = KeyOf(album, 0);
        keys.push_back(key);
        PlistValue::Array members;
        // 4. Another version has no known join table, so its albums list no assets.
        std::optional<std::vector<TableRow>> assetKeys;
        if (names.has_value()) {
            assetKeys =
                Rows(std::string("SELECT ") + names->assetColumn + " FROM " + names->joinTable +
                     " WHERE " + names->albumColumn + " = " + std::to_string(key));
        }
        // 5.
        for (const TableRow& assetKey : assetKeys.value_or(std::vector<TableRow>{})) {
            const std::string id = std::to_string(KeyOf(assetKey, 0));
            const auto assets =
                ios7 ? Rows(
                           "SELECT ZUUID,ZMODIFICATIONDATE,ZORIGINALFILENAME FROM "
                           "ZGENERICASSET,ZADDITIONALASSETATTRIBUTES WHERE ZGENERICASSET.Z_PK=" +
                           id +
                           " and "
                           "ZGENERICASSET.ZADDITIONALATTRIBUTES=ZADDITIONALASSETATTRIBUTES.Z_PK")
                     : Rows("SELECT ZUUID,ZMODIFICATIONDATE FROM ZGENERICASSET WHERE Z_PK=" + id);
            for (const TableRow& row : assets.value_or(std::vector<TableRow>{})) {
                std::optional<PlistValue> asset =
                    AssetFromRow(row, 0, 1, ios7 ? std::optional<size_t>(2) : std::nullopt);
                if (!asset.has_value()) continue;
                members.emplace_back(*StringAt(*asset, "uuid"));
                updates.push_back(std::move(*asset));
            }
        }
        // The album's own record fills the choices left open: its kind tells the device which
        // kind of synced album to keep, its key names the record.
        updates.push_back(AlbumEntry(TextOf(album, 1), KeyOf(album, 3), HexOfBlob(album, 2), key,
                                     std::move(members)));
    }
    return keys;
}

bool CreatePhotoSyncPlist::AppendLoosePhotos(const std::vector<int64_t>& syncedAlbumKeys,
                                             PlistValue::Array& updates) {
    // 6.
    const auto firstKey = [](const char* sql) {
        const auto rows = Rows(sql);
        return rows.has_value() && !rows->empty() ? KeyOf(rows->front(), 0) : 0;
    };
    const int64_t cameraRollKey = firstKey("SELECT Z_PK FROM ZGENERICALBUM WHERE ZKIND =1000");
    const int64_t photoStreamKey = firstKey(
        "SELECT Z_PK FROM ZGENERICALBUM WHERE Z_ENT=(SELECT Z_ENT FROM Z_PRIMARYKEY WHERE Z_NAME "
        "='PhotoStreamAlbum')");

    PlistValue::Array members;
    bool read = false;
    const std::optional<JoinNames> names = JoinNamesFor(productVersion_);
    if (names.has_value()) {
        const bool ios7 = KeepsOriginalFileName(productVersion_);
        std::string sql;
        if (ios7) {
            sql = std::string(
                      "SELECT ZGENERICASSET.Z_PK,ZUUID,ZMODIFICATIONDATE,ZORIGINALFILENAME ") +
                  "FROM ZGENERICASSET,ZADDITIONALASSETATTRIBUTES " +
                  "WHERE ZGENERICASSET.ZADDITIONALATTRIBUTES=ZADDITIONALASSETATTRIBUTES.Z_PK AND "
                  "ZGENERICASSET.Z_PK NOT IN (SELECT Z_17ASSETS FROM Z_11ASSETS";
        } else {
            sql = std::string("SELECT Z_PK,ZUUID,ZMODIFICATIONDATE ") + "FROM ZGENERICASSET " +
                  "WHERE Z_PK NOT IN (SELECT " + names->assetColumn + " FROM " + names->joinTable;
        }
        const std::string prefix = std::string(names->albumColumn) + "=";
        std::vector<std::string> conditions;
        if (cameraRollKey > 0) conditions.push_back(prefix + std::to_string(cameraRollKey));
        if (photoStreamKey > 0) conditions.push_back(prefix + std::to_string(photoStreamKey));
        for (int64_t key : syncedAlbumKeys) {
            conditions.push_back(prefix + std::to_string(key));
        }
        for (size_t i = 0; i < conditions.size(); ++i) {
            sql += i == 0 ? " WHERE " : " OR ";
            sql += conditions[i];
        }
        sql += ") AND ZTHUMBNAILINDEX>=0";

        const auto rows = Rows(sql);
        read = rows.has_value();
        for (const TableRow& row : rows.value_or(std::vector<TableRow>{})) {
            std::optional<PlistValue> asset =
                AssetFromRow(row, 1, 2, ios7 ? std::optional<size_t>(3) : std::nullopt);
            if (!asset.has_value()) continue;
            members.emplace_back(*StringAt(*asset, "uuid"));
            updates.push_back(std::move(*asset));
        }
    }
    updates.push_back(AlbumEntry(kLooseAlbumName, kLooseAlbumSubclass, kLooseAlbumUuid,
                                 kUnrecordedAlbumKey, std::move(members)));
    return read;
}

std::vector<SyncPictureEntry> AddPictureEntries(PlistValue& library,
                                                const std::vector<std::string>& paths,
                                                const std::string& albumName,
                                                std::string_view newestUuid,
                                                std::string_view productVersion) {
    PlistValue::Array& updates = UpdatesOf(library);
    std::set<std::string> used = IdentifiersInUse(updates);
    std::string previous(newestUuid);
    const auto nextIdentifier = [&] {
        // Each step gives a new identifier, so a free one comes within used.size() + 1 steps.
        std::string identifier = NextSyncIdentifier(previous);
        while (used.contains(NormalizedSyncIdentifier(identifier))) {
            identifier = NextSyncIdentifier(identifier);
        }
        used.insert(NormalizedSyncIdentifier(identifier));
        previous = identifier;
        return identifier;
    };

    std::vector<SyncPictureEntry> entries;
    PlistValue::Array newMembers;
    for (const std::string& path : paths) {
        if (!platform::IsFile(path) || !platform::CanOpenForReading(path)) continue;
        const std::optional<int64_t> modified = platform::LastWriteTime(path);
        if (!modified.has_value()) continue;
        SyncPictureEntry entry;
        entry.path = path;
        entry.identifier = nextIdentifier();
        entry.originalFileName = FileNameOf(path);
        entry.modificationDate = *modified + kSeconds1904To1970;
        std::optional<std::string> originalFileName;
        if (KeepsOriginalFileName(productVersion)) originalFileName = entry.originalFileName;
        updates.push_back(AssetEntry(entry.identifier, entry.modificationDate, originalFileName));
        newMembers.emplace_back(entry.identifier);
        entries.push_back(std::move(entry));
    }
    if (entries.empty()) return entries;

    const bool loose = albumName == kPhotoLibraryAlbumName;
    for (PlistValue& album : updates) {
        if (!IsItem(album, "Album") || IsLooseAlbum(album) != loose) continue;
        const std::string* name = StringAt(album, "albumName");
        if (!loose && (name == nullptr || *name != albumName)) continue;
        PlistValue::Array& members = MembersOf(album);
        members.insert(members.end(), newMembers.begin(), newMembers.end());
        return entries;
    }
    // The album is made after the pictures have their identifiers, so that the first picture
    // gets the identifier next to the newest synced one whether or not an album is new.
    if (loose) {
        updates.push_back(AlbumEntry(kLooseAlbumName, kLooseAlbumSubclass, kLooseAlbumUuid,
                                     kUnrecordedAlbumKey, std::move(newMembers)));
    } else {
        updates.push_back(AlbumEntry(albumName, kKindSyncedAlbum, nextIdentifier(),
                                     kUnrecordedAlbumKey, std::move(newMembers)));
    }
    return entries;
}

size_t RemoveAssetEntries(PlistValue& library, const std::vector<std::string>& identifiers) {
    PlistValue::Array* updates = nullptr;
    if (PlistValue* value = library.Find("updates")) updates = value->AsArray();
    if (updates == nullptr) return 0;
    std::set<std::string> removed;
    for (const std::string& identifier : identifiers) {
        removed.insert(NormalizedSyncIdentifier(identifier));
    }
    const auto isRemoved = [&](const PlistValue& uuid) {
        const std::string* text = uuid.AsString();
        return text != nullptr && removed.contains(NormalizedSyncIdentifier(*text));
    };

    size_t count = 0;
    std::erase_if(*updates, [&](const PlistValue& entry) {
        const PlistValue* uuid = entry.Find("uuid");
        const bool gone = IsItem(entry, "Asset") && uuid != nullptr && isRemoved(*uuid);
        count += gone ? 1 : 0;
        return gone;
    });
    for (PlistValue& entry : *updates) {
        if (!IsItem(entry, "Album")) continue;
        PlistValue* members = entry.Find("assetUUIDs");
        if (members != nullptr && members->AsArray() != nullptr) {
            std::erase_if(*members->AsArray(), isRemoved);
        }
    }
    return count;
}

}  // namespace bw

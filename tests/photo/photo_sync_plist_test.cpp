// The photo-sync list: built from a library database the test writes into a simulated phone,
// written with the library's codec and read back with libplist, and compared with the entries the
// albums and assets of that database call for; the entries a sync run adds or removes; the
// identifiers it counts; and the bytes of the infinite coordinates on disk.
#include <gtest/gtest.h>
#include <plist/plist.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <utime.h>

#include <cmath>
#include <cstdio>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "formats/plist_codec.h"
#include "photo/photo_library_fixture.h"
#include "photo/photo_sync_plist.h"
#include "platform/files.h"
#include "support/sim_device.h"
#include "support/temp_folder.h"

namespace bw::testing {
namespace photo_sync_plist_test {

using photo::Asset;
using photo::PhotoLibrary;
using photo::Q;
using photo::UuidBlobSql;

std::string Text(const std::string& text) {
    return "'" + text + "'";
}

std::string Join(const std::map<std::string, std::string>& items) {
    std::string text = "{";
    for (const auto& [key, value] : items)
        text += (text.size() > 1 ? "," : "") + key + ":" + value;
    return text + "}";
}

std::string List(const std::vector<std::string>& items, bool quoted = false) {
    std::string text = "[";
    for (const std::string& item : items)
        text += (text.size() > 1 ? "," : "") + (quoted ? Text(item) : item);
    return text + "]";
}

// --- A canonical text of a property list as libplist reads it: dictionary keys sorted, every
// value tagged with its type, so that two trees compare as two strings with a readable diff.

std::string Dump(plist_t node) {
    switch (plist_get_node_type(node)) {
        case PLIST_DICT: {
            std::map<std::string, std::string> items;
            plist_dict_iter iterator = nullptr;
            plist_dict_new_iter(node, &iterator);
            for (;;) {
                char* key = nullptr;
                plist_t value = nullptr;
                plist_dict_next_item(node, iterator, &key, &value);
                if (key == nullptr) break;
                items[key] = Dump(value);
                free(key);
            }
            free(iterator);
            return Join(items);
        }
        case PLIST_ARRAY: {
            std::vector<std::string> items;
            for (uint32_t i = 0; i < plist_array_get_size(node); ++i)
                items.push_back(Dump(plist_array_get_item(node, i)));
            return List(items);
        }
        case PLIST_STRING: {
            char* value = nullptr;
            plist_get_string_val(node, &value);
            std::string text = std::string("'") + value + "'";
            free(value);
            return text;
        }
        case PLIST_UINT: {
            uint64_t value = 0;
            plist_get_uint_val(node, &value);
            return "i" + std::to_string(static_cast<int64_t>(value));
        }
        case PLIST_REAL: {
            double value = 0;
            plist_get_real_val(node, &value);
            if (std::isinf(value)) return value > 0 ? "r+inf" : "r-inf";
            return "r" + std::to_string(value);
        }
        case PLIST_BOOLEAN: {
            uint8_t value = 0;
            plist_get_bool_val(node, &value);
            return value != 0 ? "true" : "false";
        }
        default:
            return "?";
    }
}

// Writes the list with the library's codec and reads the file back with libplist.
std::string WrittenAndReadBack(const PlistValue& list, const std::string& path,
                               std::string* bytesOut = nullptr) {
    EXPECT_TRUE(WritePlistBinary(path, list));
    const std::string bytes = ReadFileBytes(path);
    if (bytesOut != nullptr) *bytesOut = bytes;
    plist_t root = nullptr;
    plist_from_bin(bytes.data(), static_cast<uint32_t>(bytes.size()), &root);
    if (root == nullptr) return "unreadable";
    std::string text = Dump(root);
    plist_free(root);
    return text;
}

// --- The entries the list must hold, in the same canonical text.

std::string ExpectedAsset(const std::string& uuid, int64_t modificationDate,
                          const std::optional<std::string>& originalFileName) {
    std::map<std::string, std::string> items = {
        {"itemType", Text("Asset")},
        {"caption", Text("")},
        {"modificationDate", "i" + std::to_string(modificationDate)},
        {"isVideo", "false"},
        {"latitude", "r+inf"},
        {"longitude", "r+inf"},
        {"uuid", Text(uuid)}};
    if (originalFileName) items["originalFileName"] = Text(*originalFileName);
    return Join(items);
}

std::string ExpectedAlbum(const std::string& name, int64_t subclass, const std::string& uuid,
                          int64_t key, const std::vector<std::string>& members) {
    return Join({{"albumName", Text(name)},
                 {"itemType", Text("Album")},
                 {"subclass", "i" + std::to_string(subclass)},
                 {"uuid", Text(uuid)},
                 {"albumKey", "i" + std::to_string(key)},
                 {"assetUUIDs", List(members, true)}});
}

std::string ExpectedMyPictures(const std::vector<std::string>& members) {
    return ExpectedAlbum("My Pictures", 5, "00000000-0000-0000-0000-000000000064", 0, members);
}

std::string ExpectedList(const std::string& libraryUuid, const std::vector<std::string>& updates) {
    return Join({{"libraryKind", Text("Folder")},
                 {"libraryUUID", Text(libraryUuid)},
                 {"updates", List(updates)}});
}

// The fixture's UUID of asset or album `key` as the list spells it.
std::string Hex(int key) {
    char text[40];
    std::snprintf(text, sizeof text, "000102030405060708090A0B0C0D0E%02X", key & 0xFF);
    return text;
}

constexpr int64_t k1904 = 3061152000;
constexpr char kMetadata[] =
    "CREATE TABLE Z_METADATA (Z_VERSION INTEGER PRIMARY KEY, Z_UUID VARCHAR(255), Z_PLIST BLOB);"
    "INSERT INTO Z_METADATA VALUES (1, 'STORE-UUID-FROM-DATABASE', NULL);";

// --- Building from the phone's database.

class PhotoSyncPlistTest : public OnePhoneTest {
  protected:
    void TearDown() override {
        // The phone keeps its own connections; building the list left nothing open.
        if (phone_ != nullptr) ExpectOpen(kWiredAfc, kWiredServices);
        EndListening();
    }

    // An image of the version with `library` as its database (none when null) and no library
    // record, and the phone that arrived for it.
    CIPhone* Arrive(const std::string& version, const PhotoLibrary* library) {
        MakePhoneImage(version);
        for (const char* name : {"Photos.sqlite", "Photos.sqlite-wal", "Photos.sqlite-shm"})
            platform::RemoveFile(Media(std::string("PhotoData/") + name));
        platform::RemoveFile(Media("Photos/Sync/CurrentLibraryUUID.plist"));
        platform::CreateFolders(Media("PhotoData"));
        if (library != nullptr) library->Write(Media("PhotoData/Photos.sqlite"));
        return AttachPhone();
    }

    // The simulator's own library of the version.
    CIPhone* ArriveWithImageLibrary(const std::string& version) {
        MakePhoneImage(version);
        return AttachPhone();
    }

    void MakePhoneImage(const std::string& version) {
        Listen();
        sim::ImageOptions options;
        options.iosVersion = version;
        image_ = MakeImage("phone", options);
    }

    CIPhone* AttachPhone() {
        phone_ = SimDeviceTest::Arrive(image_, &udid_);
        EXPECT_NE(phone_, nullptr);
        EXPECT_TRUE(platform::CreatePrivateFolder(local_));
        return phone_;
    }

    std::string Media(const std::string& devicePath) const {
        return sim::ImagePath(image_, devicePath, sim::ImageRoot::Media);
    }

    std::string Local(const std::string& name) const { return platform::JoinPath(local_, name); }

    CIPhone* phone_ = nullptr;
    std::string local_ = folder_ / "local";
};

class PhotoSyncPlistEachVersion : public PhotoSyncPlistTest,
                                  public ::testing::WithParamInterface<const char*> {
  protected:
    std::string version() const { return GetParam(); }
    std::optional<std::string> OnIos7(const std::string& name) const {
        if (!version().starts_with('7')) return std::nullopt;
        return name;
    }
};

Asset SyncedAsset(int key, std::string modified, std::string originalFileName = "NULL") {
    Asset asset;
    asset.key = key;
    asset.directory = "'PhotoData/Sync/100SYNCD'";
    asset.fileName = Q("IMG_" + std::to_string(key) + ".JPG");
    asset.modified = std::move(modified);
    asset.originalFileName = std::move(originalFileName);
    return asset;
}

TEST_P(PhotoSyncPlistEachVersion, ListsSyncedAlbumsThenTheLoosePhotos) {
    PhotoLibrary library(version());
    Asset unnamed = SyncedAsset(9, "1.0");
    unnamed.uuid = "NULL";
    Asset hidden = SyncedAsset(7, "1.0");
    hidden.thumbnailIndex = "-1";
    Asset cameraRoll;
    cameraRoll.key = 1;
    Asset stream;
    stream.key = 2;
    stream.directory = "'PhotoStreamsData/1/100APPLE'";
    library.Sql(kMetadata)
        .Album(1, 1000, "'Camera Roll'", UuidBlobSql(0xA1))
        .PhotoStream(2)
        .Album(3, 1550, "'Holiday'", UuidBlobSql(0xA3))
        .Album(4, 2, "'Trip'", UuidBlobSql(0xA4))
        .Album(5, 1552, "'Folder'", UuidBlobSql(0xA5))
        .Album(6, 1550, "'Empty'")
        .Add(cameraRoll)
        .Add(stream)
        .Add(SyncedAsset(3, "0.0", "'Beach.jpg'"))
        .Add(SyncedAsset(4, "400000100.9"))
        .Add(SyncedAsset(5, "-5.5"))
        .Add(SyncedAsset(6, "12345", "'Loose.png'"))
        .Add(hidden)
        .Add(SyncedAsset(8, "400000100.0"))
        .Add(unnamed)
        .Sql("UPDATE ZGENERICASSET SET ZUUID = " + UuidBlobSql(0xF0) + " WHERE Z_PK = 6;")
        .Member(1, 1)
        .Member(2, 2)
        .Member(3, 3)
        .Member(3, 4)
        .Member(5, 4)
        .Member(5, 5)
        .Member(4, 8);
    CIPhone* phone = Arrive(version(), &library);
    ASSERT_NE(phone, nullptr);

    CreatePhotoSyncPlist builder(phone, local_, version());
    const PlistValue list = builder.Build();

    // Synced albums in key order, each after its assets (an asset of two albums is listed with
    // each); then the photos of no camera roll, photo stream or synced album that have a
    // thumbnail: a user album does not hide a photo, and a photo without UUID is left out.
    const std::string loose = "000102030405060708090A0B0C0D0EF0";
    EXPECT_EQ(WrittenAndReadBack(list, Local("PhotoLibrary.plist")),
              ExpectedList("STORE-UUID-FROM-DATABASE",
                           {ExpectedAsset(Hex(3), k1904, OnIos7("Beach.jpg")),
                            ExpectedAsset(Hex(4), k1904 + 400000100, OnIos7("")),
                            ExpectedAlbum("Holiday", 1550, Hex(0xA3), 3, {Hex(3), Hex(4)}),
                            ExpectedAsset(Hex(4), k1904 + 400000100, OnIos7("")),
                            ExpectedAsset(Hex(5), k1904 - 5, OnIos7("")),
                            ExpectedAlbum("Folder", 1552, Hex(0xA5), 5, {Hex(4), Hex(5)}),
                            ExpectedAlbum("Empty", 1550, "", 6, {}),
                            ExpectedAsset(loose, k1904 + 12345, OnIos7("Loose.png")),
                            ExpectedAsset(Hex(8), k1904 + 400000100, OnIos7("")),
                            ExpectedMyPictures({loose, Hex(8)})}));
    EXPECT_EQ(builder.newestSyncedUuid(), loose);
    EXPECT_EQ(builder.libraryUuid(), "STORE-UUID-FROM-DATABASE");
    EXPECT_TRUE(builder.databaseRead());
    EXPECT_TRUE(
        platform::SameFileContent(Local("Photos.sqlite"), Media("PhotoData/Photos.sqlite")));
}

TEST_P(PhotoSyncPlistEachVersion, WithoutSyncedAlbumsOnlyMyPicturesAndCountingFromTheStart) {
    // No camera roll, photo stream or synced album: every album member is excluded, and no
    // asset lives in a synced folder.
    Asset member;
    member.key = 1;
    Asset alone;
    alone.key = 2;
    alone.originalFileName = "'Alone.jpg'";
    alone.modified = "0.75";
    // A UUID of another length than 16 bytes is written whole, as the device spells it too.
    Asset shortUuid;
    shortUuid.key = 3;
    shortUuid.uuid = "X'0A0B0C'";
    shortUuid.modified = "-0.75";
    PhotoLibrary library(version());
    library.Sql(kMetadata).Album(1, 2, "'Trip'").Add(member).Add(alone).Add(shortUuid).Member(1, 1);
    CIPhone* phone = Arrive(version(), &library);
    ASSERT_NE(phone, nullptr);

    CreatePhotoSyncPlist builder(phone, local_, version());
    const PlistValue list = builder.Build();
    EXPECT_EQ(
        WrittenAndReadBack(list, Local("PhotoLibrary.plist")),
        ExpectedList("STORE-UUID-FROM-DATABASE", {ExpectedAsset(Hex(2), k1904, OnIos7("Alone.jpg")),
                                                  ExpectedAsset("0A0B0C", k1904, OnIos7("")),
                                                  ExpectedMyPictures({Hex(2), "0A0B0C"})}));
    EXPECT_EQ(builder.newestSyncedUuid(), "00000000-0000-0000-0000-000000000066");
}

// What the simulator wrote beside the image ("photos.plist"): albums with their kinds and asset
// keys, assets with UUID, modification date and original file name.
struct ImageRecord {
    struct Album {
        int64_t key = 0, kind = 0;
        std::string title;
        std::vector<int64_t> photos;
    };
    struct Photo {
        std::string uuid;
        int64_t modified = 0;
        std::string originalFileName;
    };
    std::vector<Album> albums;
    std::map<int64_t, Photo> photos;
};

int64_t UintAt(plist_t dict, const char* key) {
    uint64_t value = 0;
    if (plist_t node = plist_dict_get_item(dict, key)) plist_get_uint_val(node, &value);
    return static_cast<int64_t>(value);
}

std::string StringAt(plist_t dict, const char* key) {
    plist_t node = plist_dict_get_item(dict, key);
    if (node == nullptr || plist_get_node_type(node) != PLIST_STRING) return {};
    char* value = nullptr;
    plist_get_string_val(node, &value);
    std::string text = value;
    free(value);
    return text;
}

ImageRecord ReadImageRecord(const std::string& path) {
    const std::string xml = ReadFileBytes(path);
    plist_t root = nullptr;
    plist_from_xml(xml.data(), static_cast<uint32_t>(xml.size()), &root);
    ImageRecord record;
    if (root == nullptr) {
        ADD_FAILURE() << "no record at " << path;
        return record;
    }
    plist_t albums = plist_dict_get_item(root, "Albums");
    for (uint32_t i = 0; albums != nullptr && i < plist_array_get_size(albums); ++i) {
        plist_t item = plist_array_get_item(albums, i);
        ImageRecord::Album album{
            UintAt(item, "Key"), UintAt(item, "Kind"), StringAt(item, "Title"), {}};
        plist_t photos = plist_dict_get_item(item, "Photos");
        for (uint32_t j = 0; photos != nullptr && j < plist_array_get_size(photos); ++j) {
            uint64_t key = 0;
            plist_get_uint_val(plist_array_get_item(photos, j), &key);
            album.photos.push_back(static_cast<int64_t>(key));
        }
        record.albums.push_back(album);
    }
    plist_t photos = plist_dict_get_item(root, "Photos");
    for (uint32_t i = 0; photos != nullptr && i < plist_array_get_size(photos); ++i) {
        plist_t item = plist_array_get_item(photos, i);
        ImageRecord::Photo photo;
        char* bytes = nullptr;
        uint64_t length = 0;
        if (plist_t uuid = plist_dict_get_item(item, "UUID"))
            plist_get_data_val(uuid, &bytes, &length);
        for (uint64_t b = 0; b < length; ++b) {
            char hex[3];
            std::snprintf(hex, sizeof hex, "%02X", static_cast<unsigned char>(bytes[b]));
            photo.uuid += hex;
        }
        free(bytes);
        double modified = 0;
        if (plist_t node = plist_dict_get_item(item, "Modified"))
            plist_get_real_val(node, &modified);
        photo.modified = static_cast<int64_t>(std::trunc(modified));
        photo.originalFileName = StringAt(item, "OriginalFileName");
        record.photos[UintAt(item, "Key")] = photo;
    }
    plist_free(root);
    return record;
}

// One value of the first row, read with SQLite itself from a database file.
std::string SqliteText(const std::string& path, const std::string& sql) {
    sqlite3* db = nullptr;
    std::string text;
    if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
        sqlite3_stmt* statement = nullptr;
        if (sqlite3_prepare_v2(db, sql.c_str(), -1, &statement, nullptr) == SQLITE_OK &&
            sqlite3_step(statement) == SQLITE_ROW) {
            if (const unsigned char* value = sqlite3_column_text(statement, 0))
                text = reinterpret_cast<const char*>(value);
        }
        sqlite3_finalize(statement);
    }
    sqlite3_close(db);
    return text;
}

TEST_P(PhotoSyncPlistEachVersion, SimulatorLibraryAsTheImageRecordDescribesIt) {
    CIPhone* phone = ArriveWithImageLibrary(version());
    ASSERT_NE(phone, nullptr);
    CreatePhotoSyncPlist builder(phone, local_, version());
    const PlistValue list = builder.Build();
    EXPECT_TRUE(builder.databaseRead());

    const ImageRecord record = ReadImageRecord(platform::JoinPath(image_, "photos.plist"));
    ASSERT_FALSE(record.albums.empty());
    const auto asset = [&](int64_t key) {
        const ImageRecord::Photo& photo = record.photos.at(key);
        return ExpectedAsset(photo.uuid, k1904 + photo.modified, OnIos7(photo.originalFileName));
    };
    std::vector<std::string> updates;
    std::set<int64_t> hidden;
    for (const ImageRecord::Album& album : record.albums) {
        if (album.kind == 1000 || album.kind == 1500)
            hidden.insert(album.photos.begin(), album.photos.end());
        if (album.kind != 1550 && album.kind != 1552) continue;
        hidden.insert(album.photos.begin(), album.photos.end());
        std::vector<std::string> members;
        for (int64_t key : album.photos) {
            updates.push_back(asset(key));
            members.push_back(record.photos.at(key).uuid);
        }
        const std::string uuid = SqliteText(
            Local("Photos.sqlite"),
            "SELECT hex(ZUUID) FROM ZGENERICALBUM WHERE Z_PK = " + std::to_string(album.key));
        updates.push_back(ExpectedAlbum(album.title, album.kind, uuid, album.key, members));
    }
    std::vector<std::string> loose;
    for (const auto& [key, photo] : record.photos) {
        if (hidden.contains(key)) continue;
        updates.push_back(asset(key));
        loose.push_back(photo.uuid);
    }
    updates.push_back(ExpectedMyPictures(loose));
    // The simulator's library has a synced album and loose synced photos.
    EXPECT_GE(updates.size(), 5u);
    EXPECT_FALSE(loose.empty());

    EXPECT_EQ(
        WrittenAndReadBack(list, Local("PhotoLibrary.plist")),
        ExpectedList(SqliteText(Local("Photos.sqlite"), "SELECT Z_UUID FROM Z_METADATA"), updates));
}

INSTANTIATE_TEST_SUITE_P(Versions, PhotoSyncPlistEachVersion,
                         ::testing::Values("5.1.1", "6.1.3", "7.1.2"));

TEST_F(PhotoSyncPlistTest, LibraryUuidFromTheDeviceRecordElseTheDatabase) {
    PhotoLibrary library("6.1.3");
    library.Sql(kMetadata);
    CIPhone* phone = Arrive("6.1.3", &library);
    ASSERT_NE(phone, nullptr);
    const std::string record = Media("Photos/Sync/CurrentLibraryUUID.plist");
    ASSERT_TRUE(platform::CreateFolders(Media("Photos/Sync")));
    const auto xml = [](const std::string& body) {
        return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>" + body +
               "</dict></plist>\n";
    };
    ASSERT_TRUE(platform::WriteFileAtomic(
        record, xml("<key>libraryUUID</key><string>RECORD-ON-DEVICE</string>")));
    ASSERT_TRUE(
        platform::WriteFileAtomic(Local("CurrentLibraryUUID.plist"),
                                  xml("<key>libraryUUID</key><string>STALE-LOCAL-COPY</string>")));

    CreatePhotoSyncPlist builder(phone, local_, "6.1.3");
    PlistValue list = builder.Build();
    EXPECT_EQ(builder.libraryUuid(), "RECORD-ON-DEVICE");
    EXPECT_EQ(*list.Find("libraryUUID")->AsString(), "RECORD-ON-DEVICE");
    EXPECT_EQ(ReadFileBytes(Local("CurrentLibraryUUID.plist")), ReadFileBytes(record));

    // A record without the key says nothing: the store's UUID is used.
    ASSERT_TRUE(
        platform::WriteFileAtomic(record, xml("<key>libraryUUID</key><integer>7</integer>")));
    list = builder.Build();
    EXPECT_EQ(*list.Find("libraryUUID")->AsString(), "STORE-UUID-FROM-DATABASE");

    // Once the record is gone, the local copy of an earlier run is neither read nor kept.
    ASSERT_TRUE(
        platform::WriteFileAtomic(Local("CurrentLibraryUUID.plist"),
                                  xml("<key>libraryUUID</key><string>STALE-LOCAL-COPY</string>")));
    ASSERT_TRUE(platform::RemoveFile(record));
    list = builder.Build();
    EXPECT_EQ(*list.Find("libraryUUID")->AsString(), "STORE-UUID-FROM-DATABASE");
    EXPECT_FALSE(platform::PathExists(Local("CurrentLibraryUUID.plist")));
}

TEST_F(PhotoSyncPlistTest, MissingOrBrokenDatabaseIsReportedAndNamesNothing) {
    CIPhone* phone = Arrive("7.1.2", nullptr);
    ASSERT_NE(phone, nullptr);
    // A database of an earlier run must not stand in for the device's missing one.
    ASSERT_TRUE(platform::WriteFileAtomic(Local("Photos.sqlite"), "old"));

    CreatePhotoSyncPlist builder(phone, local_, "7.1.2");
    PlistValue list = builder.Build();
    EXPECT_FALSE(builder.databaseRead());
    EXPECT_EQ(WrittenAndReadBack(list, Local("PhotoLibrary.plist")), ExpectedList("", {}));
    EXPECT_FALSE(platform::PathExists(Local("Photos.sqlite")));
    EXPECT_EQ(builder.newestSyncedUuid(), "00000000-0000-0000-0000-000000000066");

    ASSERT_TRUE(
        platform::WriteFileAtomic(Media("PhotoData/Photos.sqlite"), std::string(4096, 'x')));
    list = builder.Build();
    EXPECT_FALSE(builder.databaseRead());
    EXPECT_EQ(WrittenAndReadBack(list, Local("PhotoLibrary.plist")),
              ExpectedList("", {ExpectedMyPictures({})}));
}

TEST_F(PhotoSyncPlistTest, UnknownVersionListsAlbumsWithoutAssetsAndIsNotRead) {
    PhotoLibrary library("6.1.3");
    library.Sql(kMetadata)
        .Album(3, 1550, "'Holiday'", UuidBlobSql(0xA3))
        .Add(SyncedAsset(1, "0"))
        .Add(SyncedAsset(2, "0"))
        .Member(3, 1);
    CIPhone* phone = Arrive("6.1.3", &library);
    ASSERT_NE(phone, nullptr);

    CreatePhotoSyncPlist builder(phone, local_, "8.0");
    const PlistValue list = builder.Build();
    EXPECT_FALSE(builder.databaseRead());
    EXPECT_EQ(builder.newestSyncedUuid(), Hex(2));
    EXPECT_EQ(
        WrittenAndReadBack(list, Local("PhotoLibrary.plist")),
        ExpectedList("STORE-UUID-FROM-DATABASE",
                     {ExpectedAlbum("Holiday", 1550, Hex(0xA3), 3, {}), ExpectedMyPictures({})}));
}

TEST_F(PhotoSyncPlistTest, FolderOthersMayEnterIsNeitherReadNorWritten) {
    PhotoLibrary library("6.1.3");
    library.Sql(kMetadata).Add(SyncedAsset(1, "0"));
    CIPhone* phone = Arrive("6.1.3", &library);
    ASSERT_NE(phone, nullptr);
    ASSERT_TRUE(platform::CreateFolders(Media("Photos/Sync")));
    ASSERT_TRUE(platform::WriteFileAtomic(Media("Photos/Sync/CurrentLibraryUUID.plist"),
                                          "<plist><dict><key>libraryUUID</key><string>R</string>"
                                          "</dict></plist>"));
    const std::string shared = folder_ / "shared";
    ASSERT_TRUE(platform::CreateFolders(shared));
    ASSERT_EQ(::chmod(shared.c_str(), 0777), 0);
    // Someone else's database planted where the copy would go.
    PhotoLibrary planted("6.1.3");
    planted.Sql(kMetadata).Add(SyncedAsset(5, "0"));
    planted.Write(platform::JoinPath(shared, "Photos.sqlite"));

    CreatePhotoSyncPlist builder(phone, shared, "6.1.3");
    const PlistValue list = builder.Build();
    EXPECT_FALSE(builder.databaseRead());
    EXPECT_EQ(WrittenAndReadBack(list, Local("PhotoLibrary.plist")), ExpectedList("", {}));
    std::vector<platform::FolderEntry> entries;
    ASSERT_TRUE(platform::ListFolder(shared, entries));
    EXPECT_EQ(entries.size(), 1u);
}

// --- Identifiers.

TEST(PhotoSyncIdentifiers, CountOnTheLastEightHexDigits) {
    const std::vector<std::pair<std::string, std::string>> steps = {
        {"00000000-0000-0000-0000-000000000066", "00000000-0000-0000-0000-000000000067"},
        {"00000000-0000-0000-0000-0000000000ff", "00000000-0000-0000-0000-000000000100"},
        {"00000000-0000-0000-0000-0000000000FF", "00000000-0000-0000-0000-000000000100"},
        // Digits above the last eight are not part of the number.
        {"000102030405060708090A0B0C0D0EF0", "00000000-0000-0000-0000-00000c0d0ef1"},
        {"FFFFFFFF-FFFF-FFFF-FFFF-FFFF7FFFFFFF", "00000000-0000-0000-0000-000080000000"},
        // A 32-bit counter at its end starts again.
        {"00000000-0000-0000-0000-0000ffffffff", "00000000-0000-0000-0000-000000000000"},
        // Reading stops at the first character that is not a hex digit.
        {"00000000-0000-0000-0000-00000012zzzz", "00000000-0000-0000-0000-000000000013"},
        {"", "00000000-0000-0000-0000-000000000001"},
    };
    for (const auto& [previous, next] : steps)
        EXPECT_EQ(NextSyncIdentifier(previous), next) << previous;
}

TEST(PhotoSyncIdentifiers, NormalisedWithoutDashesInUpperCase) {
    EXPECT_EQ(NormalizedSyncIdentifier("00000000-0000-0000-0000-00000c0d0ef1"),
              "0000000000000000000000000C0D0EF1");
    EXPECT_EQ(NormalizedSyncIdentifier("ab-Cd-"), "ABCD");
}

// --- Entries of a sync run.

class PhotoSyncEntries : public ::testing::Test {
  protected:
    // A picture file with the given modification time (Unix seconds).
    std::string Picture(const std::string& name, int64_t modified) {
        const std::string path = folder_.Write("pictures/" + name, photo::JpegBytes(8, 8));
        utimbuf times{};
        times.actime = static_cast<time_t>(modified);
        times.modtime = static_cast<time_t>(modified);
        EXPECT_EQ(::utime(path.c_str(), &times), 0);
        return path;
    }

    static PlistValue AssetValue(const std::string& uuid) {
        return PlistValue::Dictionary{{"itemType", "Asset"}, {"uuid", uuid}};
    }
    static PlistValue AlbumValue(const std::string& name, const std::string& uuid,
                                 PlistValue::Array members) {
        return PlistValue::Dictionary{{"itemType", "Album"},
                                      {"albumName", name},
                                      {"uuid", uuid},
                                      {"assetUUIDs", std::move(members)}};
    }
    static PlistValue Library(PlistValue::Array updates) {
        return PlistValue::Dictionary{
            {"libraryKind", "Folder"}, {"libraryUUID", "L"}, {"updates", std::move(updates)}};
    }

    std::string Dumped(const PlistValue& list) {
        return WrittenAndReadBack(list, folder_ / "PhotoLibrary.plist");
    }

    static std::string ShortAsset(const std::string& uuid) {
        return Join({{"itemType", Text("Asset")}, {"uuid", Text(uuid)}});
    }
    static std::string ShortAlbum(const std::string& name, const std::string& uuid,
                                  const std::vector<std::string>& members) {
        return Join({{"itemType", Text("Album")},
                     {"albumName", Text(name)},
                     {"uuid", Text(uuid)},
                     {"assetUUIDs", List(members, true)}});
    }

    TempFolder folder_;
};

constexpr int64_t k1904To1970 = 2082844800;

TEST_F(PhotoSyncEntries, LoosePicturesCountOnFromTheStartAndSkipUnreadablePaths) {
    const std::string first = Picture("first.jpg", 1000000000);
    const std::string second = Picture("Second Photo.PNG", 0);
    ASSERT_TRUE(platform::CreateFolders(folder_ / "pictures/folder.jpg"));
    PlistValue list = Library({AlbumValue("My Pictures", "00000000-0000-0000-0000-000000000064",
                                          {"000102030405060708090A0B0C0D0E01"})});

    const std::vector<SyncPictureEntry> entries = AddPictureEntries(
        list, {first, folder_ / "pictures/missing.jpg", folder_ / "pictures/folder.jpg", second},
        "PhotoLibrary", "00000000-0000-0000-0000-000000000066", "7.1.2");

    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[0].path, first);
    EXPECT_EQ(entries[0].identifier, "00000000-0000-0000-0000-000000000067");
    EXPECT_EQ(entries[0].originalFileName, "first.jpg");
    EXPECT_EQ(entries[0].modificationDate, 1000000000 + k1904To1970);
    EXPECT_EQ(entries[1].identifier, "00000000-0000-0000-0000-000000000068");
    EXPECT_EQ(entries[1].originalFileName, "Second Photo.PNG");
    EXPECT_EQ(entries[1].modificationDate, k1904To1970);

    std::string bytes;
    const std::string read = WrittenAndReadBack(list, folder_ / "PhotoLibrary.plist", &bytes);
    // The assets come after what the list held; the album grows in place.
    EXPECT_EQ(read,
              ExpectedList("L", {ShortAlbum("My Pictures", "00000000-0000-0000-0000-000000000064",
                                            {"000102030405060708090A0B0C0D0E01",
                                             "00000000-0000-0000-0000-000000000067",
                                             "00000000-0000-0000-0000-000000000068"}),
                                 ExpectedAsset("00000000-0000-0000-0000-000000000067",
                                               1000000000 + k1904To1970, "first.jpg"),
                                 ExpectedAsset("00000000-0000-0000-0000-000000000068", k1904To1970,
                                               "Second Photo.PNG")}));

    // Both coordinates of both pictures are the real marker with the bits of +infinity.
    const std::string infinity("\x23\x7F\xF0\x00\x00\x00\x00\x00\x00", 9);
    size_t found = 0;
    for (size_t at = bytes.find(infinity); at != std::string::npos;
         at = bytes.find(infinity, at + 1))
        ++found;
    EXPECT_EQ(found, 4u);
}

TEST_F(PhotoSyncEntries, NamedAlbumGetsThePicturesAndIdentifiersInUseAreSkipped) {
    const std::string picture = Picture("a.jpg", 1700000000);
    const std::string other = Picture("b.jpg", 1700000001);
    // The two identifiers after the newest one are taken already, in other spellings.
    PlistValue list =
        Library({AssetValue("0000000000000000000000000C0D0EF1"),
                 AlbumValue("Holiday", "000102030405060708090A0B0C0D0EA3",
                            {"00000000-0000-0000-0000-00000c0d0ef2"}),
                 AlbumValue("My Pictures", "00000000-0000-0000-0000-000000000064", {})});

    const std::vector<SyncPictureEntry> entries = AddPictureEntries(
        list, {picture, other}, "Holiday", "000102030405060708090A0B0C0D0EF0", "6.1.3");

    ASSERT_EQ(entries.size(), 2u);
    const std::string third = "00000000-0000-0000-0000-00000c0d0ef3";
    const std::string fourth = "00000000-0000-0000-0000-00000c0d0ef4";
    EXPECT_EQ(entries[0].identifier, third);
    EXPECT_EQ(entries[1].identifier, fourth);
    // No "originalFileName" before iOS 7.
    EXPECT_EQ(
        Dumped(list),
        ExpectedList("L", {ShortAsset("0000000000000000000000000C0D0EF1"),
                           ShortAlbum("Holiday", "000102030405060708090A0B0C0D0EA3",
                                      {"00000000-0000-0000-0000-00000c0d0ef2", third, fourth}),
                           ShortAlbum("My Pictures", "00000000-0000-0000-0000-000000000064", {}),
                           ExpectedAsset(third, 1700000000 + k1904To1970, std::nullopt),
                           ExpectedAsset(fourth, 1700000001 + k1904To1970, std::nullopt)}));
}

TEST_F(PhotoSyncEntries, MissingAlbumsAreMadeAfterThePictures) {
    const std::string picture = Picture("c.jpg", 1600000000);
    PlistValue list = Library({});

    // A new synced album takes the identifier after its pictures'.
    const auto party = AddPictureEntries(list, {picture}, "Party",
                                         "00000000-0000-0000-0000-000000000066", "5.1.1");
    ASSERT_EQ(party.size(), 1u);
    const std::string asset = "00000000-0000-0000-0000-000000000067";
    EXPECT_EQ(party[0].identifier, asset);
    // The loose photos' album is made when the list has none, even beside a synced album named
    // like it.
    const auto loose =
        AddPictureEntries(list, {picture}, "PhotoLibrary", party[0].identifier, "5.1.1");
    ASSERT_EQ(loose.size(), 1u);
    const std::string again = "00000000-0000-0000-0000-000000000069";
    EXPECT_EQ(loose[0].identifier, again);
    // Nothing readable: no entry and no album.
    EXPECT_TRUE(AddPictureEntries(list, {folder_ / "none.jpg"}, "Other", again, "5.1.1").empty());

    const int64_t date = 1600000000 + k1904To1970;
    EXPECT_EQ(
        Dumped(list),
        ExpectedList(
            "L", {ExpectedAsset(asset, date, std::nullopt),
                  ExpectedAlbum("Party", 1550, "00000000-0000-0000-0000-000000000068", 0, {asset}),
                  ExpectedAsset(again, date, std::nullopt), ExpectedMyPictures({again})}));
}

TEST_F(PhotoSyncEntries, RemovedAssetsLeaveUpdatesAndEveryAlbum) {
    const std::string a = "00000000-0000-0000-0000-00000000006a";
    const std::string b = "000102030405060708090A0B0C0D0E01";
    const std::string c = "00000000-0000-0000-0000-00000000006C";
    PlistValue list =
        Library({AssetValue(a), AssetValue(b), AlbumValue("X", "AX", {a, b}), AssetValue(b),
                 AssetValue(c), AlbumValue("Y", "AY", {b, c}),
                 AlbumValue("My Pictures", "00000000-0000-0000-0000-000000000064", {a, c})});

    EXPECT_EQ(RemoveAssetEntries(list, {"0000000000000000000000000000006A",
                                        "00010203-0405-0607-0809-0a0b0c0d0e01", "ffff"}),
              3u);
    EXPECT_EQ(Dumped(list),
              ExpectedList(
                  "L", {ShortAlbum("X", "AX", {}), ShortAsset(c), ShortAlbum("Y", "AY", {c}),
                        ShortAlbum("My Pictures", "00000000-0000-0000-0000-000000000064", {c})}));
    // An album that happens to carry a removed identifier as its own stays.
    EXPECT_EQ(RemoveAssetEntries(list, {"AX", "unknown"}), 0u);
    EXPECT_NE(Dumped(list).find("'X'"), std::string::npos);
}

}  // namespace photo_sync_plist_test
}  // namespace bw::testing

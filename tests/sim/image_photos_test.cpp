// The photo library of an image, read from its files with a stock SQLite and libvips and
// compared with the builder's manifest (photos.plist): the database carries the columns the
// library's queries select and passes SQLite's checks, its rows agree with the files, the
// thumbnails lie where the phone keeps them, the log of iOS 7 holds the last save, and the
// scale adds photos that roll over into new camera-roll folders.
#include <plist/plist.h>
#include <sqlite3.h>
#include <vips/vips8>

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "image/device_identity.h"
#include "image/image_builder.h"
#include "image/ios_release.h"
#include "image/photo_library.h"
#include "image/photos.h"
#include "sim/sqlite_rows.h"
#include "support/ios_versions.h"
#include "support/temp_folder.h"

namespace bw::sim::photos_test {
namespace {

namespace fs = std::filesystem;

// One entry of the manifest, as tests read it back.
struct ManifestPhoto {
    int64_t key = 0;
    std::string kind, path, thumbnail, sizedThumbnail;
    bool exists = false, logged = false;
    uint64_t size = 0, width = 0, height = 0, rowWidth = 0, orientation = 0;
    double created = 0;
    std::string uuid;
};

struct ManifestAlbum {
    int64_t key = 0, kind = 0;
    std::string title;
    std::vector<int64_t> photos;
};

struct Manifest {
    bool writeAheadLog = false;
    double offset = 0;
    std::vector<ManifestPhoto> photos;
    std::vector<ManifestAlbum> albums;
};

std::string Text(plist_t dict, const char* key) {
    const plist_t node = plist_dict_get_item(dict, key);
    if (node == nullptr || plist_get_node_type(node) != PLIST_STRING) return "";
    char* value = nullptr;
    plist_get_string_val(node, &value);
    std::string text = value != nullptr ? value : "";
    free(value);
    return text;
}

uint64_t Number(plist_t dict, const char* key) {
    uint64_t value = 0;
    if (const plist_t node = plist_dict_get_item(dict, key)) plist_get_uint_val(node, &value);
    return value;
}

double Real(plist_t dict, const char* key) {
    double value = 0;
    if (const plist_t node = plist_dict_get_item(dict, key)) plist_get_real_val(node, &value);
    return value;
}

bool Flag(plist_t dict, const char* key) {
    uint8_t value = 0;
    if (const plist_t node = plist_dict_get_item(dict, key)) plist_get_bool_val(node, &value);
    return value != 0;
}

Manifest ReadManifest(const std::string& image) {
    const std::string xml = testing::ReadFileBytes(image + "/" + kPhotoManifestName);
    plist_t root = nullptr;
    plist_from_xml(xml.data(), static_cast<uint32_t>(xml.size()), &root);
    Manifest manifest;
    if (root == nullptr) return manifest;
    manifest.writeAheadLog = Flag(root, "WriteAheadLog");
    manifest.offset = Real(root, "ExifOffsetFromUtc");
    const plist_t photos = plist_dict_get_item(root, "Photos");
    for (uint32_t i = 0; photos != nullptr && i < plist_array_get_size(photos); ++i) {
        const plist_t entry = plist_array_get_item(photos, i);
        ManifestPhoto photo{static_cast<int64_t>(Number(entry, "Key")),
                            Text(entry, "Kind"),
                            Text(entry, "Path"),
                            Text(entry, "Thumbnail"),
                            Text(entry, "SizedThumbnail"),
                            Flag(entry, "Exists"),
                            Flag(entry, "InWriteAheadLog"),
                            Number(entry, "Size"),
                            Number(entry, "Width"),
                            Number(entry, "Height"),
                            Number(entry, "RowWidth"),
                            Number(entry, "Orientation"),
                            Real(entry, "Created"),
                            ""};
        char* data = nullptr;
        uint64_t length = 0;
        plist_get_data_val(plist_dict_get_item(entry, "UUID"), &data, &length);
        photo.uuid.assign(data, length);
        free(data);
        manifest.photos.push_back(std::move(photo));
    }
    const plist_t albums = plist_dict_get_item(root, "Albums");
    for (uint32_t i = 0; albums != nullptr && i < plist_array_get_size(albums); ++i) {
        const plist_t entry = plist_array_get_item(albums, i);
        ManifestAlbum album{static_cast<int64_t>(Number(entry, "Key")),
                            static_cast<int64_t>(Number(entry, "Kind")),
                            Text(entry, "Title"),
                            {}};
        const plist_t keys = plist_dict_get_item(entry, "Photos");
        for (uint32_t k = 0; keys != nullptr && k < plist_array_get_size(keys); ++k) {
            uint64_t key = 0;
            plist_get_uint_val(plist_array_get_item(keys, k), &key);
            album.photos.push_back(static_cast<int64_t>(key));
        }
        manifest.albums.push_back(std::move(album));
    }
    plist_free(root);
    return manifest;
}

struct Decoded {
    int width = 0, height = 0, orientation = 0;
    std::string taken;  // EXIF DateTimeOriginal, as libvips reports it
};

Decoded Decode(const std::string& path) {
    EXPECT_EQ(VIPS_INIT("image_photos_test"), 0);
    Decoded decoded;
    try {
        vips::VImage image = vips::VImage::new_from_file(path.c_str());
        decoded.width = image.width();
        decoded.height = image.height();
        if (image.get_typeof(VIPS_META_ORIENTATION) != 0)
            decoded.orientation = image.get_int(VIPS_META_ORIENTATION);
        if (image.get_typeof("exif-ifd2-DateTimeOriginal") != 0)
            decoded.taken = image.get_string("exif-ifd2-DateTimeOriginal");
    } catch (const vips::VError& error) {
        ADD_FAILURE() << path << ": " << error.what();
    }
    return decoded;
}

// "YYYY:MM:DD HH:MM:SS" of a database date shown in the phone's zone.
std::string LocalExifDate(double created, double offset) {
    const auto local = static_cast<time_t>(std::floor(created) + 978307200 + offset);
    std::tm parts{};
    gmtime_r(&local, &parts);
    char text[32];
    std::strftime(text, sizeof text, "%Y:%m:%d %H:%M:%S", &parts);
    return text;
}

class PhotoImage : public ::testing::Test {
  protected:
    std::string Build(const std::string& ios, int scale = 1, uint64_t seed = 3,
                      const std::string& name = "image") {
        ImageOptions options;
        options.iosVersion = ios;
        options.scale = scale;
        options.seed = seed;
        const std::string folder = temp_ / name;
        std::string error;
        EXPECT_TRUE(CreateImage(folder, options, error)) << error;
        return folder;
    }

    static std::string Media(const std::string& image, const std::string& path) {
        return ImagePath(image, std::string("/") + path, ImageRoot::Media);
    }

    // The database copied as a host copies it: with its companions, or the main file alone.
    std::string CopyDatabase(const std::string& image, bool companions, const std::string& name) {
        const std::string folder = temp_ / name;
        fs::create_directories(folder);
        const std::string source = Media(image, kPhotoDatabase);
        for (const char* suffix : {"", "-wal", "-shm"}) {
            if (*suffix != '\0' && !companions) continue;
            if (fs::exists(source + suffix))
                fs::copy_file(source + suffix, folder + "/Photos.sqlite" + suffix);
        }
        return folder + "/Photos.sqlite";
    }

    testing::TempFolder temp_;
};

class SimImagePhotos : public PhotoImage, public ::testing::WithParamInterface<const char*> {
  protected:
    void SetUp() override {
        image_ = Build(GetParam());
        manifest_ = ReadManifest(image_);
        ASSERT_FALSE(manifest_.photos.empty());
        major_ = GetParam()[0] - '0';
    }

    std::string image_;
    Manifest manifest_;
    int major_ = 0;
};

// The join table between albums and assets, its album column and its asset column.
struct JoinNames {
    std::string table, album, asset;
};

JoinNames JoinOf(int major) {
    const int album = major == 5 ? 6 : major == 6 ? 8 : 11;
    const int asset = major == 5 ? 11 : major == 6 ? 14 : 17;
    return {std::string("Z_") + std::to_string(album) + "ASSETS",
            std::string("Z_") + std::to_string(album) + "ALBUMS",
            std::string("Z_") + std::to_string(asset) + "ASSETS"};
}

// The queries the host runs: the album list, each photo by key with its 19 columns, the
// photo-stream album's key and the library photos outside the camera roll and the stream.
TEST_P(SimImagePhotos, DatabaseAnswersTheLibrarysQueriesAsTheManifestSays) {
    SqliteFile db(CopyDatabase(image_, true, "copy"), SQLITE_OPEN_READONLY);
    ASSERT_TRUE(db.ok());
    EXPECT_EQ(db.IntegrityCheck(), "ok");
    const JoinNames names = JoinOf(major_);
    const std::string &join = names.table, &albumColumn = names.album, &assetColumn = names.asset;

    const auto albums = db.Rows(
        "SELECT Z_PK,ZKIND,ZTITLE,ZUUID FROM ZGENERICALBUM WHERE  "
        "(ZKIND=1000 OR ZKIND=1550 OR ZKIND=2)   ORDER BY Z_PK ASC");
    ASSERT_TRUE(albums);
    std::vector<std::pair<int64_t, std::string>> listed, expected;
    for (const auto& row : *albums)
        listed.emplace_back(row[1].integer, row[2].text);
    for (const ManifestAlbum& album : manifest_.albums)
        if (album.kind != 1500) expected.emplace_back(album.kind, album.title);
    EXPECT_EQ(listed, expected);
    EXPECT_EQ(listed.front().second, major_ == 6 ? "" : "Camera Roll");
    EXPECT_NE(std::find(listed.begin(), listed.end(),
                        std::pair<int64_t, std::string>(1550,
                                                        "\xc3\x89t\xc3\xa9 \xc3\xa0 "
                                                        "Z\xc3\xbcrich")),
              listed.end());

    const std::string tail =
        major_ == 7 ? "b.ZORIGINALFILENAME,b.ZORIGINALFILESIZE,b.ZORIGINALHEIGHT,b.ZORIGINALWIDTH,"
                      "a.Z_PK,a.ZUUID,a.ZKINDSUBTYPE "
                    : "a.ZTITLE,b.ZORIGINALFILESIZE,b.ZORIGINALHEIGHT,b.ZORIGINALWIDTH,a.Z_PK,"
                      "a.ZUUID,a.ZKIND ";
    const std::string head =
        "SELECT a.ZSAVEDASSETTYPE,a.ZTHUMBNAILINDEX,a.ZDATECREATED,a.ZMODIFICATIONDATE,"
        "a.ZUNIFORMTYPEIDENTIFIER,b.ZEMBEDDEDTHUMBNAILHEIGHT,b.ZEMBEDDEDTHUMBNAILLENGTH,"
        "b.ZEMBEDDEDTHUMBNAILOFFSET,b.ZEMBEDDEDTHUMBNAILWIDTH,b.ZORIGINALORIENTATION,"
        "a.ZDIRECTORY,a.ZFILENAME," +
        tail;
    for (const ManifestPhoto& photo : manifest_.photos) {
        const auto rows = db.Rows(head +
                                  "FROM ZGENERICASSET as a,ZADDITIONALASSETATTRIBUTES as b "
                                  "WHERE a.ZADDITIONALATTRIBUTES==b.Z_PK AND a.Z_PK=" +
                                  std::to_string(photo.key));
        ASSERT_TRUE(rows && rows->size() == 1) << photo.path;
        const auto& row = rows->front();
        EXPECT_EQ(row[2].type, SQLITE_FLOAT);
        EXPECT_EQ(row[2].real, photo.created);
        EXPECT_EQ(std::llround(row[2].real), static_cast<int64_t>(row[2].real)) << photo.path;
        EXPECT_EQ(row[9].integer, static_cast<int64_t>(photo.orientation));
        EXPECT_EQ(row[10].text + "/" + row[11].text, photo.path);
        EXPECT_EQ(row[13].integer, static_cast<int64_t>(photo.size));
        EXPECT_EQ(row[14].integer, static_cast<int64_t>(photo.height));
        EXPECT_EQ(row[15].integer, static_cast<int64_t>(photo.width));
        EXPECT_EQ(row[17].type, SQLITE_BLOB);
        EXPECT_EQ(row[17].text, photo.uuid);
        EXPECT_EQ(photo.uuid.size(), 16u);
        for (int column : {0, 1, 5, 6, 7, 8, 13, 14, 15, 18})
            EXPECT_EQ(row[column].type, SQLITE_INTEGER) << photo.path << " column " << column;
        const bool video = photo.kind == "video";
        if (major_ == 7)
            EXPECT_EQ(row[4].text.find("quicktime-movie") != std::string::npos, video);
        else
            EXPECT_EQ(row[18].integer == 1, video);
    }

    // Ordinary albums list only measured photos, in their order.
    for (const ManifestAlbum& album : manifest_.albums) {
        std::vector<int64_t> members, measured;
        for (const std::string& key :
             db.Column("SELECT a." + assetColumn + " as photokey FROM " + join +
                       std::string(" a LEFT OUTER JOIN ZGENERICASSET b WHERE a.") + albumColumn +
                       "=" + std::to_string(album.key) + " AND a." + assetColumn +
                       std::string("==b.Z_PK AND b.ZHEIGHT>0 AND b.ZWIDTH>0 ORDER BY a.Z_FOK_") +
                       assetColumn.substr(2)))
            members.push_back(std::stoll(key));
        for (const int64_t key : album.photos)
            if (manifest_.photos[static_cast<size_t>(key - 1)].rowWidth > 0)
                measured.push_back(key);
        EXPECT_EQ(members, measured) << album.title;
    }
    const auto stream = db.Column(
        "SELECT Z_PK FROM ZGENERICALBUM WHERE Z_ENT=(SELECT Z_ENT FROM "
        "Z_PRIMARYKEY WHERE Z_NAME ='PhotoStreamAlbum')");
    ASSERT_EQ(stream.size(), 1u);
    const ManifestAlbum& streamAlbum = manifest_.albums.back();
    EXPECT_EQ(streamAlbum.kind, 1500);
    EXPECT_EQ(stream.front(), std::to_string(streamAlbum.key));

    // Library photos: thumbnail index at least 0, in neither the camera roll nor the stream.
    const auto library = db.Column(
        "SELECT a.Z_PK FROM ZGENERICASSET a LEFT OUTER JOIN ZADDITIONALASSETATTRIBUTES b WHERE "
        "a.ZADDITIONALATTRIBUTES==b.Z_PK AND a.Z_PK NOT IN (SELECT " +
        assetColumn + " FROM " + join + " WHERE " + albumColumn + "=1 OR " + albumColumn + "=" +
        stream.front() + ") AND ZTHUMBNAILINDEX>=0");
    std::vector<std::string> synced;
    for (const ManifestPhoto& photo : manifest_.photos)
        if (photo.path.starts_with("PhotoData/Sync/100SYNCD/"))
            synced.push_back(std::to_string(photo.key));
    EXPECT_EQ(library, synced);
    EXPECT_EQ(synced.size(), 4u);
}

// Core Data's bookkeeping: every entity listed, a root's Z_MAX its table's largest key, albums
// counting their members, one metadata row naming the store.
TEST_P(SimImagePhotos, CoreDataBookkeepingAgreesWithTheRows) {
    SqliteFile db(CopyDatabase(image_, true, "copy"), SQLITE_OPEN_READONLY);
    ASSERT_TRUE(db.ok());
    const auto maxOf = [&db](const std::string& name) {
        return db.Count(std::string("SELECT Z_MAX FROM Z_PRIMARYKEY WHERE Z_NAME='") + name + "'");
    };
    EXPECT_EQ(maxOf("GenericAsset"), db.Count("SELECT MAX(Z_PK) FROM ZGENERICASSET"));
    EXPECT_EQ(maxOf("GenericAsset"), static_cast<int64_t>(manifest_.photos.size()));
    EXPECT_EQ(maxOf("GenericAlbum"), db.Count("SELECT MAX(Z_PK) FROM ZGENERICALBUM"));
    EXPECT_EQ(maxOf("AdditionalAssetAttributes"),
              db.Count("SELECT MAX(Z_PK) FROM ZADDITIONALASSETATTRIBUTES"));
    const int assetEntity = major_ == 5 ? 11 : major_ == 6 ? 14 : 17;
    EXPECT_EQ(db.Count(std::string("SELECT COUNT(*) FROM ZGENERICASSET WHERE Z_ENT <> ") +
                       std::to_string(assetEntity)),
              0);
    EXPECT_EQ(db.Count("SELECT Z_ENT FROM Z_PRIMARYKEY WHERE Z_NAME='Asset'"), assetEntity);
    // Every album's entity is the album entity or one below it.
    EXPECT_EQ(db.Count("SELECT COUNT(*) FROM ZGENERICALBUM g JOIN Z_PRIMARYKEY p ON "
                       "g.Z_ENT=p.Z_ENT WHERE p.Z_NAME <> 'Album' AND p.Z_SUPER <> (SELECT Z_ENT "
                       "FROM Z_PRIMARYKEY WHERE Z_NAME='Album')"),
              0);
    EXPECT_EQ(db.Count("SELECT COUNT(*) FROM ZGENERICALBUM a WHERE ZCACHEDCOUNT <> (SELECT "
                       "COUNT(*) FROM " +
                       JoinOf(major_).table + " WHERE " + JoinOf(major_).album + "=a.Z_PK)"),
              0);
    EXPECT_EQ(db.Count(std::string("SELECT COUNT(*) FROM ") + JoinOf(major_).table +
                       " j LEFT JOIN "
                       "ZGENERICASSET a ON a.Z_PK=j." +
                       JoinOf(major_).asset + " WHERE a.Z_PK IS NULL"),
              0);
    EXPECT_EQ(db.Count("SELECT COUNT(*) FROM ZGENERICALBUM WHERE ZKIND=2 AND ZCACHEDCOUNT=0"), 1);

    const auto metadata = db.Rows("SELECT Z_UUID, Z_PLIST FROM Z_METADATA");
    ASSERT_TRUE(metadata && metadata->size() == 1);
    plist_t store = nullptr;
    const std::string& binary = (*metadata)[0][1].text;
    ASSERT_EQ(binary.rfind("bplist00", 0), 0u);
    plist_from_bin(binary.data(), static_cast<uint32_t>(binary.size()), &store);
    ASSERT_NE(store, nullptr);
    EXPECT_EQ(Text(store, "NSStoreUUID"), (*metadata)[0][0].text);
    EXPECT_EQ(Text(store, "NSStoreType"), "SQLite");
    plist_free(store);
}

// Files where the rows say, of the stated size; pictures decode to the stated size with the
// EXIF date and orientation of their row; the content covers every case a host must handle.
TEST_P(SimImagePhotos, FilesMatchTheirRows) {
    std::set<uint64_t> orientations;
    std::map<std::string, int> kinds;
    int missing = 0, portrait = 0, unmeasured = 0;
    for (const ManifestPhoto& photo : manifest_.photos) {
        const std::string path = Media(image_, photo.path);
        ++kinds[photo.kind];
        if (!photo.exists) {
            EXPECT_FALSE(fs::exists(path)) << photo.path;
            ++missing;
            continue;
        }
        ASSERT_TRUE(fs::is_regular_file(path)) << photo.path;
        EXPECT_EQ(fs::file_size(path), photo.size) << photo.path;
        unmeasured += photo.rowWidth == 0;
        if (photo.kind == "video") {
            EXPECT_EQ(testing::ReadFileBytes(path).substr(4, 8), "ftypqt  ");
            continue;
        }
        const Decoded decoded = Decode(path);
        EXPECT_EQ(decoded.width, static_cast<int>(photo.width)) << photo.path;
        EXPECT_EQ(decoded.height, static_cast<int>(photo.height)) << photo.path;
        if (photo.kind == "screenshot") continue;
        orientations.insert(photo.orientation);
        EXPECT_EQ(decoded.orientation, static_cast<int>(photo.orientation)) << photo.path;
        EXPECT_EQ(decoded.taken.substr(0, 19), LocalExifDate(photo.created, manifest_.offset))
            << photo.path;
        portrait += photo.height > photo.width;
        if (photo.orientation >= 5) {
            EXPECT_EQ(photo.rowWidth, photo.height) << photo.path;
        }
    }
    EXPECT_EQ(orientations, (std::set<uint64_t>{1, 3, 6, 8}));
    EXPECT_EQ(kinds["video"], 2);
    EXPECT_EQ(kinds["screenshot"], 1);
    EXPECT_EQ(missing, 1);
    EXPECT_EQ(unmeasured, 1);
    EXPECT_GE(portrait, 2);
}

// Thumbnails where the phone's cache keeps them, 98 x 98 JPEGs; photos without one have no file
// at the path the rule gives.
TEST_P(SimImagePhotos, ThumbnailsLieInTheVersionsCache) {
    int cached = 0, uncached = 0, sized = 0;
    for (const ManifestPhoto& photo : manifest_.photos) {
        if (photo.thumbnail.empty()) {
            ++uncached;
            continue;
        }
        ++cached;
        const std::string prefix = major_ == 7
                                       ? std::string("PhotoData/Thumbnails/V2/") + photo.path + "/"
                                   : photo.kind == "video" ? "PhotoData/"
                                                           : "DCIM/.THMB/";
        EXPECT_EQ(photo.thumbnail.rfind(prefix, 0), 0u) << photo.thumbnail;
        for (const std::string& path : {photo.thumbnail, photo.sizedThumbnail}) {
            if (path.empty()) continue;
            ASSERT_TRUE(fs::is_regular_file(Media(image_, path))) << path;
            EXPECT_EQ(testing::ReadFileBytes(Media(image_, path)).substr(0, 2), "\xff\xd8");
            const Decoded decoded = Decode(Media(image_, path));
            EXPECT_EQ(decoded.width, kThumbnailSide) << path;
            EXPECT_EQ(decoded.height, kThumbnailSide) << path;
        }
        if (!photo.sizedThumbnail.empty()) {
            ++sized;
            EXPECT_EQ(photo.sizedThumbnail, photo.thumbnail + "_a");
        }
    }
    EXPECT_EQ(sized, major_ < 7 ? 2 : 0);
    EXPECT_GE(cached, 8);
    EXPECT_GE(uncached, 4);
}

INSTANTIATE_TEST_SUITE_P(EachVersion, SimImagePhotos, testing::EachIosVersion(),
                         testing::IosVersionName);

// The rules of the caches, on the phone's own example and one case of each kind.
TEST(SimPhotoThumbnailPaths, FollowThePhonesNamingRules) {
    LibraryAsset photo;
    photo.directory = "DCIM/101APPLE";
    photo.fileName = "IMG_0002.JPG";
    photo.title = "IMG_0002";
    photo.created = 400000000.4;
    EXPECT_EQ(ThumbnailCachePath(6, photo), "DCIM/.THMB/0/101APPLE___IMG_0002.JPG.1378307200");
    EXPECT_EQ(ThumbnailCachePath(7, photo),
              "PhotoData/Thumbnails/V2/DCIM/101APPLE/IMG_0002.JPG/5005.JPG");
    photo.directory = "PhotoData/Sync/100SYNCD";
    photo.created = 399999999.3;  // rounds to ...99: folder 99
    EXPECT_EQ(ThumbnailCachePath(5, photo), "DCIM/.THMB/99/100SYNCD___IMG_0002.JPG.1378307199");
    photo.directory = "DCIM/102APPLE";  // no folder name the rule knows: kept whole
    EXPECT_EQ(ThumbnailCachePath(5, photo),
              "DCIM/.THMB/99/DCIM/102APPLE___IMG_0002.JPG.1378307199");
    LibraryAsset video = photo;
    video.kind = AssetKind::Video;
    video.directory = "DCIM/100APPLE";
    video.fileName = "IMG_0007.MOV";
    video.title = "IMG_0007";
    EXPECT_EQ(ThumbnailCachePath(6, video), "PhotoData/100APPLE/IMG_0007.THM");
}

// Only the log of iOS 7 holds the last save (the photo stream): a copy without its companions
// lists none of it, a copy with them all of it. Older versions keep no log.
TEST_F(PhotoImage, WriteAheadLogHoldsTheLastSaveOnIos7Only) {
    const std::string seven = Build("7.1.2", 1, 3, "seven");
    const Manifest manifest = ReadManifest(seven);
    ASSERT_TRUE(manifest.writeAheadLog);
    const std::string main = testing::ReadFileBytes(Media(seven, kPhotoDatabase));
    ASSERT_GT(main.size(), 20u);
    EXPECT_EQ(main[18], 2);
    EXPECT_EQ(main[19], 2);
    size_t logged = 0;
    for (const ManifestPhoto& photo : manifest.photos)
        logged += photo.logged;
    EXPECT_EQ(logged, 3u);

    SqliteFile alone(CopyDatabase(seven, false, "alone"));
    ASSERT_TRUE(alone.ok());
    EXPECT_EQ(alone.Count("SELECT COUNT(*) FROM ZGENERICASSET"),
              static_cast<int64_t>(manifest.photos.size() - logged));
    EXPECT_EQ(alone.Count("SELECT COUNT(*) FROM ZGENERICALBUM WHERE ZKIND=1500"), 0);

    SqliteFile whole(CopyDatabase(seven, true, "whole"));
    EXPECT_EQ(whole.Count("SELECT COUNT(*) FROM ZGENERICASSET"),
              static_cast<int64_t>(manifest.photos.size()));
    EXPECT_EQ(whole.Count("SELECT COUNT(*) FROM Z_11ASSETS WHERE Z_11ALBUMS=(SELECT Z_PK FROM "
                          "ZGENERICALBUM WHERE ZKIND=1500)"),
              3);
    EXPECT_EQ(whole.IntegrityCheck(), "ok");

    const std::string six = Build("6.1.3", 1, 3, "six");
    EXPECT_FALSE(ReadManifest(six).writeAheadLog);
    EXPECT_FALSE(fs::exists(Media(six, std::string(kPhotoDatabase) + "-wal")));
    EXPECT_EQ(testing::ReadFileBytes(Media(six, kPhotoDatabase))[18], 1);
}

// The same seed gives the same bytes (database, log, pictures, thumbnails, manifest); another
// seed gives other photos.
TEST_F(PhotoImage, SameSeedGivesTheSameBytes) {
    const std::string a = Build("7.1.2", 2, 11, "a"), b = Build("7.1.2", 2, 11, "b"),
                      c = Build("7.1.2", 2, 12, "c");
    const Manifest manifest = ReadManifest(a);
    std::vector<std::string> paths = {std::string(kPhotoDatabase),
                                      std::string(kPhotoDatabase) + "-wal"};
    for (const ManifestPhoto& photo : manifest.photos) {
        if (photo.exists) paths.push_back(photo.path);
        if (!photo.thumbnail.empty()) paths.push_back(photo.thumbnail);
    }
    for (const std::string& path : paths)
        EXPECT_EQ(testing::ReadFileBytes(Media(a, path)), testing::ReadFileBytes(Media(b, path)))
            << path;
    EXPECT_EQ(testing::ReadFileBytes(a + "/" + kPhotoManifestName),
              testing::ReadFileBytes(b + "/" + kPhotoManifestName));
    EXPECT_NE(testing::ReadFileBytes(Media(a, "DCIM/100APPLE/IMG_0001.JPG")),
              testing::ReadFileBytes(Media(c, "DCIM/100APPLE/IMG_0001.JPG")));
}

// Each step of the scale adds ten camera-roll photos with their rows, named on from the last
// one; the copies carry their own dates.
TEST_F(PhotoImage, ScaleAddsCameraRollPhotosWithTheirOwnDates) {
    const std::string base = Build("5.1.1", 1, 3, "base"), scaled = Build("5.1.1", 4, 3, "big");
    const Manifest small = ReadManifest(base), large = ReadManifest(scaled);
    ASSERT_EQ(large.photos.size(), small.photos.size() + 30);
    EXPECT_EQ(large.albums.front().photos.size(), small.albums.front().photos.size() + 30);
    SqliteFile db(CopyDatabase(scaled, true, "copy"), SQLITE_OPEN_READONLY);
    EXPECT_EQ(db.Count("SELECT COUNT(*) FROM Z_6ASSETS WHERE Z_6ALBUMS=1"),
              static_cast<int64_t>(large.albums.front().photos.size()));
    std::set<std::string> dates;
    for (int number = 12; number <= 41; ++number) {
        char path[48];
        std::snprintf(path, sizeof path, "DCIM/100APPLE/IMG_%04d.JPG", number);
        const auto photo = std::find_if(large.photos.begin(), large.photos.end(),
                                        [&path](const auto& p) { return p.path == path; });
        ASSERT_NE(photo, large.photos.end()) << path;
        const Decoded decoded = Decode(Media(scaled, path));
        EXPECT_EQ(decoded.taken.substr(0, 19), LocalExifDate(photo->created, large.offset));
        dates.insert(decoded.taken);
    }
    EXPECT_EQ(dates.size(), 30u);
}

// After 999 names the camera roll goes on in the next folder; names wrap after IMG_9999, folders
// do not (the plan of the library, without writing its ten thousand files).
TEST(SimPhotoFolders, ScaledCameraRollRollsIntoNewFolders) {
    EXPECT_EQ(CameraRollFolder(998), "DCIM/100APPLE");
    EXPECT_EQ(CameraRollFolder(999), "DCIM/101APPLE");
    EXPECT_EQ(CameraRollFolder(1998), "DCIM/102APPLE");
    ImageOptions options;
    options.scale = kMaxScale;
    const PhotoLibrary library =
        PlanPhotoLibrary(MakeDeviceIdentity(options, *FindIosRelease(options.iosVersion)), options);
    std::map<std::string, std::set<std::string>> folders;
    size_t rows = 0;
    for (const LibraryAsset& asset : library.assets) {
        if (!asset.directory.starts_with("DCIM/")) continue;
        ++rows;
        EXPECT_TRUE(folders[asset.directory].insert(asset.fileName).second) << asset.Path();
    }
    EXPECT_EQ(rows, 11u + 999u * kPhotosPerScaleStep);
    ASSERT_EQ(folders.size(), 11u);
    EXPECT_EQ(folders["DCIM/100APPLE"].size(), 999u);
    EXPECT_EQ(*folders["DCIM/100APPLE"].rbegin(), "IMG_0999.JPG");
    EXPECT_EQ(*folders["DCIM/101APPLE"].begin(), "IMG_1000.JPG");
    EXPECT_EQ(folders["DCIM/110APPLE"],
              (std::set<std::string>{"IMG_0001.JPG", "IMG_0002.JPG", "IMG_9991.JPG", "IMG_9992.JPG",
                                     "IMG_9993.JPG", "IMG_9994.JPG", "IMG_9995.JPG", "IMG_9996.JPG",
                                     "IMG_9997.JPG", "IMG_9998.JPG", "IMG_9999.JPG"}));
}

}  // namespace
}  // namespace bw::sim::photos_test

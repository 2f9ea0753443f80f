// The photo library readers on databases the tests write with SQLite: album order and the
// made-up albums, membership, how each cell fills a photo, the single-album operations, and
// databases that are missing, broken or hostile.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "formats/sqlite_table.h"
#include "photo/photo_database.h"
#include "photo/photo_library_fixture.h"
#include "platform/files.h"
#include "support/temp_folder.h"

namespace bw::testing {
namespace photo_database_test {

using photo::Asset;
using photo::PhotoLibrary;
using photo::Q;

constexpr char kZero[] = "00000000-0000-0000-0000-000000000000";

class PhotoReaderTest : public ::testing::Test {
  protected:
    std::unique_ptr<AbstractPhotoSqliteDB> Reader(const std::string& version) {
        return MakePhotoReader(PhotoContext{nullptr, version, folder_.path()}, path_);
    }

    AlbumList Load(const PhotoLibrary& library, const std::string& version) {
        library.Write(path_);
        AlbumList albums;
        Reader(version)->GetAllAlbums(albums);
        EXPECT_FALSE(IsDatabaseOpen());
        return albums;
    }

    static std::vector<std::string> Titles(const AlbumList& albums) {
        std::vector<std::string> titles;
        for (const auto& album : albums)
            titles.push_back(album->title);
        return titles;
    }

    static std::vector<int32_t> Keys(CPhotoAlbum& album) {
        std::vector<int32_t> keys;
        for (IPhoto* photo : album.Photos())
            keys.push_back(photo->GetAssetKey());
        return keys;
    }

    static CPhotoAlbum& Find(const AlbumList& albums, const std::string& title) {
        for (const auto& album : albums) {
            if (album->title == title) return *album;
        }
        ADD_FAILURE() << "no album " << title;
        static CPhotoAlbum none("", 0);
        return none;
    }

    static CPhoto* First(CPhotoAlbum& album) {
        return dynamic_cast<CPhoto*>(album.GetFirstPhoto());
    }

    TempFolder folder_;
    std::string path_ = folder_ / "Photos.sqlite";
};

class PhotoReaderEachVersion : public PhotoReaderTest,
                               public ::testing::WithParamInterface<const char*> {
  protected:
    std::string version() const { return GetParam(); }
    bool ios7() const { return version().starts_with('7'); }
};

Asset Video(int key) {
    Asset asset;
    asset.key = key;
    asset.fileName = Q(std::string("IMG_000") + std::to_string(key) + ".MOV");
    asset.kind = "1";
    asset.uti = "'com.apple.quicktime-movie'";
    asset.title = "'IMG_0002'";
    return asset;
}

Asset Still(int key, std::string thumbnailIndex = "0") {
    Asset asset;
    asset.key = key;
    asset.fileName = Q(std::string("IMG_000") + std::to_string(key) + ".JPG");
    asset.thumbnailIndex = std::move(thumbnailIndex);
    return asset;
}

TEST_P(PhotoReaderEachVersion, ListsAlbumsInLibraryOrderWithMadeUpAlbums) {
    PhotoLibrary library(version());
    library.Album(1, 1000, "'Camera Roll'", photo::UuidBlobSql(0x41))
        .Album(2, 2, "'Trip'")
        .Album(3, 1550, "'Synced'")
        .PhotoStream(4)
        .Album(5, 1600, "'Faces'")
        .Add(Still(1))
        .Add(Video(2))
        .Add(Still(3))
        .Add(Still(4))
        .Add(Still(5))
        .Add(Still(6))
        .Add(Still(7, "-1"))
        .Member(1, 1)
        .Member(1, 2)
        .Member(1, 3)
        .Member(2, 3)
        .Member(3, 4)
        .Member(4, 5);
    AlbumList albums = Load(library, version());

    ASSERT_EQ(Titles(albums),
              (std::vector<std::string>{"Camera Roll", "PhotoAlbumType All", "Photo Stream", "Trip",
                                        "Synced", "Video"}));
    const std::vector<std::vector<int32_t>> keyTypeKind = {{1, 0, 1000}, {-10, 1, 0},  {4, 2, 0},
                                                           {2, 3, 2},    {3, 3, 1550}, {-2, 5, 2}};
    for (size_t i = 0; i < albums.size(); ++i) {
        EXPECT_EQ(albums[i]->GetAlbumKey(), keyTypeKind[i][0]) << albums[i]->title;
        EXPECT_EQ(albums[i]->GetAlbumType(), keyTypeKind[i][1]) << albums[i]->title;
        EXPECT_EQ(albums[i]->GetKind(), keyTypeKind[i][2]) << albums[i]->title;
    }
    EXPECT_EQ(albums[0]->uuid, "00010203-0405-0607-0809-0A0B0C0D0E41");
    EXPECT_EQ(Keys(*albums[0]), (std::vector<int32_t>{1, 2, 3}));
    // Library photos: neither in the camera roll nor in the photo stream, thumbnail index >= 0.
    EXPECT_EQ(Keys(*albums[1]), (std::vector<int32_t>{4, 6}));
    EXPECT_EQ(Keys(*albums[2]), (std::vector<int32_t>{5}));
    EXPECT_EQ(Keys(*albums[3]), (std::vector<int32_t>{3}));
    EXPECT_EQ(Keys(*albums[4]), (std::vector<int32_t>{4}));

    // The video album lists the camera roll's own video object, which keeps its album key.
    ASSERT_EQ(albums[5]->CountPhotos(), 1);
    IPhoto* video = *std::next(albums[0]->Photos().begin());
    EXPECT_EQ(albums[5]->GetFirstPhoto(), video);
    EXPECT_EQ(video->GetAlbumKey(), 1);
    EXPECT_EQ(albums[0]->CountVideos(), 1);
    EXPECT_EQ(albums[0]->CountStills(), 2);

    const CPhoto* library0 = First(*albums[1]);
    EXPECT_EQ(library0->albumName, "Photo Library");
    EXPECT_EQ(library0->albumKey, -10);
    EXPECT_EQ(library0->albumType, 1);
    const CPhoto* stream = First(*albums[2]);
    EXPECT_EQ(stream->albumName, "Photo Stream");
    EXPECT_EQ(stream->albumKey, 4);
    EXPECT_EQ(stream->albumType, 2);
    EXPECT_EQ(First(*albums[3])->albumKey, 2);
    EXPECT_EQ(First(*albums[3])->albumName, "");
}

TEST_P(PhotoReaderEachVersion, LibraryWithoutAlbumsGetsMadeUpCameraRollFirst) {
    PhotoLibrary library(version());
    library.Add(Still(8));
    AlbumList albums = Load(library, version());
    ASSERT_EQ(Titles(albums), (std::vector<std::string>{"CameraRoll", "PhotoAlbumType All",
                                                        "Photo Stream", "Video"}));
    EXPECT_EQ(albums[0]->GetAlbumKey(), 0);
    EXPECT_EQ(albums[0]->GetAlbumType(), 0);
    EXPECT_EQ(albums[0]->GetKind(), 1000);
    EXPECT_EQ(albums[0]->CountPhotos(), 0);
    EXPECT_EQ(Keys(*albums[1]), (std::vector<int32_t>{8}));
    EXPECT_EQ(albums[2]->GetAlbumKey(), 0);
    EXPECT_EQ(albums[2]->CountPhotos(), 0);
    EXPECT_EQ(albums[3]->GetAlbumType(), 5);
    EXPECT_EQ(albums[3]->CountPhotos(), 0);
}

TEST_P(PhotoReaderEachVersion, CameraRollWithoutTitleIsNamedAndOthersFollowIt) {
    PhotoLibrary library(version());
    library.Album(3, 2, "'First'").Album(4, 1000, "''").Album(5, 1000, "NULL");
    AlbumList albums = Load(library, version());
    // The camera roll is not the first album: the made-up albums come after the others.
    EXPECT_EQ(Titles(albums),
              (std::vector<std::string>{"First", "CameraRoll", "CameraRoll", "Photo Stream",
                                        "PhotoAlbumType All", "Video"}));
}

TEST_P(PhotoReaderEachVersion, FillsEveryPhotoField) {
    PhotoLibrary library(version());
    Asset asset = Still(9);
    asset.created = "400000057.6";
    asset.modified = "400000100.25";
    asset.orientation = "6";
    asset.title = "'Sunset'";
    asset.originalFileName = "'sunset.jpg'";
    asset.fileSize = "5000000000";
    asset.width = "3264";
    asset.height = "2448";
    asset.thumbnailIndex = "7";
    asset.kindSubtype = "2";
    asset.directory = "'DCIM/101APPLE'";
    library.Album(2, 2, "'Trip'").Add(asset).Member(2, 9);
    AlbumList albums = Load(library, version());
    const CPhoto* photo = First(Find(albums, "Trip"));
    ASSERT_NE(photo, nullptr);
    EXPECT_EQ(photo->assetKey, 9);
    EXPECT_EQ(photo->savedAssetType, 3);
    EXPECT_EQ(photo->thumbnailIndex, 7);
    EXPECT_DOUBLE_EQ(photo->creationTime, 400000057.6);
    EXPECT_DOUBLE_EQ(photo->modificationTime, 400000100.25);
    EXPECT_EQ(photo->creationTimeText, "58");
    EXPECT_EQ(photo->embeddedThumbnailHeight, 11);
    EXPECT_EQ(photo->embeddedThumbnailLength, 12);
    EXPECT_EQ(photo->embeddedThumbnailOffset, 13);
    EXPECT_EQ(photo->embeddedThumbnailWidth, 14);
    EXPECT_EQ(photo->orientation, 6);
    EXPECT_EQ(photo->directory, "DCIM/101APPLE");
    EXPECT_EQ(photo->fileName, "IMG_0009.JPG");
    EXPECT_EQ(photo->title, ios7() ? "sunset.jpg" : "Sunset");
    EXPECT_EQ(photo->fileSize, 5000000000);
    EXPECT_EQ(photo->width, 3264);
    EXPECT_EQ(photo->height, 2448);
    EXPECT_EQ(photo->uuid, "00010203-0405-0607-0809-0A0B0C0D0E09");
    EXPECT_EQ(photo->kindSubtype, ios7() ? 2 : 0);
    EXPECT_EQ(photo->videoFlag, 0);
    EXPECT_EQ(photo->albumKey, 2);
    EXPECT_EQ(photo->albumType, 3);
}

TEST_P(PhotoReaderEachVersion, RecognisesVideosByTheVersionsOwnColumn) {
    PhotoLibrary library(version());
    Asset kindOnly = Still(1);
    kindOnly.kind = "1";
    Asset typeOnly = Still(2);
    typeOnly.uti = "'com.apple.quicktime-movie'";
    library.Album(1, 1000).Add(kindOnly).Add(typeOnly).Member(1, 1).Member(1, 2);
    AlbumList albums = Load(library, version());
    const auto photos = albums.at(0)->PhotoRefs();
    ASSERT_EQ(photos.size(), 2u);
    // iOS 7 knows a video by its uniform type only; iOS 5 and 6 by ZKIND only.
    EXPECT_EQ(photos[0]->videoFlag, ios7() ? 0 : 1);
    EXPECT_EQ(photos[1]->videoFlag, ios7() ? 1 : 0);
    EXPECT_EQ(photos[1]->movieFlag, ios7() ? 1 : 0);
    EXPECT_EQ(albums.back()->GetFirstPhoto(), ios7() ? photos[1].get() : photos[0].get());
}

TEST_P(PhotoReaderEachVersion, AssetsWithoutSizeStayOutOfAlbumsButNotOutOfTheLibrary) {
    PhotoLibrary library(version());
    Asset flat = Still(1);
    flat.height = "0";
    Asset narrow = Still(2);
    narrow.width = "0";
    library.Album(1, 1000)
        .Album(2, 2, "'Trip'")
        .Add(flat)
        .Add(narrow)
        .Add(Still(3))
        .Member(1, 1)
        .Member(1, 3)
        .Member(2, 2)
        .Member(2, 3);
    AlbumList albums = Load(library, version());
    EXPECT_EQ(Keys(*albums.at(0)), (std::vector<int32_t>{3}));
    EXPECT_EQ(Keys(*albums.at(1)), (std::vector<int32_t>{2}));
    EXPECT_EQ(Keys(*albums.at(3)), (std::vector<int32_t>{3}));
}

TEST_P(PhotoReaderEachVersion, SingleAlbumOperations) {
    PhotoLibrary library(version());
    library.Album(1, 1000)
        .Album(2, 2, "'Trip'")
        .PhotoStream(4)
        .Add(Still(1))
        .Add(Video(2))
        .Add(Still(3))
        .Add(Still(5))
        .Add(Still(6))
        .Member(1, 1)
        .Member(1, 2)
        .Member(2, 3)
        .Member(4, 5);
    library.Write(path_);
    auto reader = Reader(version());

    AlbumList albums;
    reader->GetAlbums(albums, false);
    ASSERT_EQ(albums.size(), 1u);
    EXPECT_EQ(albums[0]->title, "Trip");

    const std::vector<PhotoRef> after = reader->GetPhotosAfter(1);
    std::vector<int32_t> keys;
    for (const PhotoRef& photo : after)
        keys.push_back(photo->assetKey);
    EXPECT_EQ(keys, (std::vector<int32_t>{2, 3, 5}));
    // The iOS 5/6 text of this query leaves out the column that flags videos.
    EXPECT_EQ(after[0]->videoFlag, ios7() ? 1 : 0);
    EXPECT_EQ(reader->newestAssetKey(), 6);
    EXPECT_EQ(reader->newestAssetUuid(), "00010203-0405-0607-0809-0A0B0C0D0E06");

    std::vector<PhotoRef> stream;
    reader->GetPhotoStreamPhotos(stream);
    ASSERT_EQ(stream.size(), 1u);
    EXPECT_EQ(stream[0]->assetKey, 5);
    EXPECT_EQ(stream[0]->albumName, "Photo Stream");

    CPhotoAlbum trip("Trip", 2);
    reader->ReloadAlbumPhotos(trip);
    ASSERT_EQ(Keys(trip), (std::vector<int32_t>{3}));
    // That iOS 5/6 text has 16 columns: no UUID.
    EXPECT_EQ(First(trip)->uuid, ios7() ? "00010203-0405-0607-0809-0A0B0C0D0E03" : kZero);
    EXPECT_EQ(First(trip)->fileName, "IMG_0003.JPG");

    CPhotoAlbum all("PhotoAlbumType All", -10, kAlbumTypeAllPhotos);
    reader->ReloadAlbumPhotos(all);
    EXPECT_EQ(Keys(all), (std::vector<int32_t>{3, 6}));
    EXPECT_FALSE(IsDatabaseOpen());
    EXPECT_EQ(reader->GetAlbumJoinSql().empty(), ios7());
}

INSTANTIATE_TEST_SUITE_P(Versions, PhotoReaderEachVersion,
                         ::testing::Values("5.1.1", "6.1.3", "7.1.2"), [](const auto& info) {
                             std::string name = std::string("iOS") + info.param;
                             std::replace(name.begin(), name.end(), '.', '_');
                             return name;
                         });

// Creation and modification dates: a float above 0 as stored, an integer converted, anything
// else 0.
TEST_F(PhotoReaderTest, DatesAtTheEdges) {
    const std::vector<std::pair<std::string, double>> cases = {
        {"0.0", 0.0},          {"-5.5", 0.0}, {"12345", 12345.0}, {"-77", -77.0},
        {"'2013-01-01'", 0.0}, {"NULL", 0.0}, {"0.25", 0.25},     {"X'01'", 0.0}};
    PhotoLibrary library("6.1.3");
    library.Album(2, 2, "'Dates'");
    for (size_t i = 0; i < cases.size(); ++i) {
        Asset asset = Still(static_cast<int>(i + 1));
        asset.created = cases[i].first;
        asset.modified = cases[i].first;
        library.Add(asset).Member(2, asset.key);
    }
    AlbumList albums = Load(library, "6.1.3");
    const auto photos = Find(albums, "Dates").PhotoRefs();
    ASSERT_EQ(photos.size(), cases.size());
    for (size_t i = 0; i < cases.size(); ++i) {
        EXPECT_DOUBLE_EQ(photos[i]->creationTime, cases[i].second) << cases[i].first;
        EXPECT_DOUBLE_EQ(photos[i]->modificationTime, cases[i].second) << cases[i].first;
    }
}

TEST_F(PhotoReaderTest, OnlyUprightAndTurnedOrientationsAreKept) {
    const std::vector<std::pair<std::string, int>> cases = {
        {"1", 1}, {"2", 1}, {"3", 3}, {"4", 1},     {"5", 1},    {"6", 6},
        {"7", 1}, {"8", 8}, {"9", 1}, {"'six'", 1}, {"NULL", 1}, {"6.5", 1}};
    PhotoLibrary library("5.1.1");
    library.Album(2, 2, "'Turns'");
    for (size_t i = 0; i < cases.size(); ++i) {
        Asset asset = Still(static_cast<int>(i + 1));
        asset.orientation = cases[i].first;
        library.Add(asset).Member(2, asset.key);
    }
    AlbumList albums = Load(library, "5.1.1");
    const auto photos = Find(albums, "Turns").PhotoRefs();
    ASSERT_EQ(photos.size(), cases.size());
    for (size_t i = 0; i < cases.size(); ++i) {
        EXPECT_EQ(photos[i]->orientation, cases[i].second) << cases[i].first;
    }
}

TEST_F(PhotoReaderTest, UuidBlobsOfEveryLength) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"X'00112233445566778899AABBCCDDEEFF'", "00112233-4455-6677-8899-AABBCCDDEEFF"},
        {"X'00112233445566778899AABBCCDDEEFF01020304'",
         "00112233-4455-6677-8899-AABBCCDDEEFF01020304"},
        {"X'0011223344'", kZero},
        {"X''", kZero},
        {"NULL", kZero},
        {"'00112233445566778899AABBCCDDEEFF'", kZero},
        {"X'001122334455'", "00112233-4455---"}};
    PhotoLibrary library("7.1.2");
    library.Album(2, 2, "'Ids'");
    for (size_t i = 0; i < cases.size(); ++i) {
        Asset asset = Still(static_cast<int>(i + 1));
        asset.uuid = cases[i].first;
        library.Add(asset).Member(2, asset.key);
    }
    AlbumList albums = Load(library, "7.1.2");
    const auto photos = Find(albums, "Ids").PhotoRefs();
    ASSERT_EQ(photos.size(), cases.size());
    for (size_t i = 0; i < cases.size(); ++i) {
        EXPECT_EQ(photos[i]->uuid, cases[i].second) << cases[i].first;
    }
}

TEST_F(PhotoReaderTest, ReaderFollowsTheProductVersion) {
    EXPECT_EQ(Reader("4.3.5"), nullptr);
    auto ios5 = Reader("5.1.1");
    ASSERT_NE(dynamic_cast<Ios6PhotoSqliteDB*>(ios5.get()), nullptr);
    EXPECT_EQ(ios5->lastSyncedListPath(), "/Photos/Sync/PhotoLibrary.plist.lastsynced");
    EXPECT_NE(dynamic_cast<Ios6PhotoSqliteDB*>(Reader("6.1.3").get()), nullptr);
    EXPECT_NE(dynamic_cast<Ios7PhotoSqliteDB*>(Reader("7.1.2").get()), nullptr);
    EXPECT_NE(dynamic_cast<Ios7PhotoSqliteDB*>(Reader("").get()), nullptr);
    EXPECT_EQ(Reader("7.1.2")->lastSyncedListPath(), "");

    // The iOS 5 reader reads the iOS 5 join table: an iOS 6 database gives it no album photos.
    PhotoLibrary ios6("6.1.3");
    ios6.Album(2, 2, "'Trip'").Add(Still(1)).Member(2, 1);
    EXPECT_EQ(Find(Load(ios6, "6.1.3"), "Trip").CountPhotos(), 1);
    EXPECT_EQ(Find(Load(ios6, "5.1.1"), "Trip").CountPhotos(), 0);
}

TEST_F(PhotoReaderTest, AlbumJoinTextRunsOnAnIos6Library) {
    PhotoLibrary library("6.1.3");
    library.Album(2, 2, "'Trip'").Album(3, 1600, "'Hidden'").Add(Still(1)).Member(2, 1);
    library.Write(path_);
    ASSERT_TRUE(OpenDatabase(path_));
    ASSERT_TRUE(QueryToTable(Reader("6.1.3")->GetAlbumJoinSql()));
    const CTable table = TakeResultTable();
    CloseDatabase();
    ASSERT_EQ(table.rows.size(), 1u);
    EXPECT_EQ(table.rows[0][0].intValue, 2);
    EXPECT_EQ(table.rows[0][11].text, "IMG_0001.JPG");
    EXPECT_EQ(table.rows[0][15].intValue, 1);
}

TEST_F(PhotoReaderTest, NewestAssetAlbumIsFoundByKeyAndItsUuidByTitle) {
    const std::vector<std::pair<std::string, bool>> titles = {
        {"Trip", true}, {"Bob's", false}, {"x' OR '1'='1", false}, {"Other", false}};
    for (const auto& [title, uuidFound] : titles) {
        PhotoLibrary library("6.1.3");
        library.Album(2, 2, Q(title), photo::UuidBlobSql(0x22))
            .Album(3, 2, Q("Other album"), photo::UuidBlobSql(0x33))
            .Add(Still(1))
            .Add(Still(9))
            .Member(3, 1)
            .Member(2, 1)
            .Member(2, 9);
        library.Write(path_);
        CPhotoAlbum album(title == "Other" ? "Not the title" : title, 0);
        Reader("6.1.3")->ResolveNewestAssetAlbum(album);
        EXPECT_EQ(album.GetAlbumKey(), 2) << title;
        EXPECT_EQ(album.uuid, uuidFound ? "00010203-0405-0607-0809-0A0B0C0D0E22" : kZero) << title;
        EXPECT_EQ(Keys(album), (std::vector<int32_t>{1, 9})) << title;
        EXPECT_FALSE(IsDatabaseOpen());
    }
    CPhotoAlbum untouched("Trip", 7);
    Reader("7.1.2")->ResolveNewestAssetAlbum(untouched);
    EXPECT_EQ(untouched.GetAlbumKey(), 7);
    EXPECT_EQ(untouched.CountPhotos(), 0);
}

TEST_F(PhotoReaderTest, MissingOrBrokenDatabasesGiveNothingAndCreateNothing) {
    for (const char* version : {"5.1.1", "7.1.2"}) {
        AlbumList albums;
        auto reader = Reader(version);
        reader->GetAllAlbums(albums);
        reader->GetAlbums(albums, true);
        EXPECT_TRUE(reader->GetPhotosAfter(0).empty());
        EXPECT_TRUE(albums.empty());
        EXPECT_FALSE(platform::PathExists(path_));
    }
    // Bytes that are no database open (SQLite reads lazily) but answer no query: only the
    // made-up albums, without photos.
    folder_.Write("Photos.sqlite", std::string(4096, 'x'));
    AlbumList albums;
    Reader("6.1.3")->GetAllAlbums(albums);
    EXPECT_EQ(Titles(albums), (std::vector<std::string>{"CameraRoll", "PhotoAlbumType All",
                                                        "Photo Stream", "Video"}));
    for (const auto& album : albums)
        EXPECT_EQ(album->CountPhotos(), 0);
    EXPECT_FALSE(IsDatabaseOpen());
}

TEST_F(PhotoReaderTest, MissingTablesLeaveOnlyTheMadeUpAlbums) {
    PhotoLibrary::WriteDatabase(path_, "CREATE TABLE unrelated (x);");
    AlbumList albums;
    Reader("6.1.3")->GetAllAlbums(albums);
    EXPECT_EQ(Titles(albums), (std::vector<std::string>{"CameraRoll", "PhotoAlbumType All",
                                                        "Photo Stream", "Video"}));
    EXPECT_FALSE(IsDatabaseOpen());
}

TEST_F(PhotoReaderTest, CellsOfWrongTypesLeaveDefaults) {
    PhotoLibrary library("7.1.2");
    Asset odd = Still(1);
    // Values the columns' affinity cannot turn into the expected type.
    odd.directory = "X'2F2E2E'";
    odd.fileName = "X'414243'";
    odd.fileSize = "'big'";
    odd.width = "'wide'";
    odd.kindSubtype = "'two'";
    odd.uti = "7";
    library.Album(1, 1000, "X'00'", "'not a blob'")
        .Add(odd)
        .Member(1, 1)
        .Sql("INSERT INTO Z_11ASSETS (Z_11ALBUMS, Z_17ASSETS) VALUES (1, 'text key');");
    AlbumList albums = Load(library, "7.1.2");
    ASSERT_FALSE(albums.empty());
    EXPECT_EQ(albums[0]->title, "CameraRoll");
    EXPECT_EQ(albums[0]->uuid, kZero);
    // SQLite ranks any text above 0, so the row is listed; its cells are not numbers.
    const auto photos = albums[0]->PhotoRefs();
    ASSERT_FALSE(photos.empty());
    EXPECT_EQ(photos[0]->directory, "");
    EXPECT_EQ(photos[0]->fileName, "");
    EXPECT_EQ(photos[0]->fileSize, 0);
    EXPECT_EQ(photos[0]->width, 0);
    EXPECT_EQ(photos[0]->kindSubtype, 0);
    EXPECT_EQ(photos[0]->videoFlag, 0);
    EXPECT_EQ(photos[0]->DevicePath(), "");
}

}  // namespace photo_database_test
}  // namespace bw::testing

// The device's side of a photo sync, on images of each iOS version: what a sync adds, removes
// and regroups, checked in a copy of the store, on disk and in the thumbnail caches.
#include <cmath>

#include "sim/photo_sync_support.h"
#include "support/ios_versions.h"

namespace bw::sim::synctest {
namespace {

constexpr char kNewJpeg[] = "00000000-0000-0000-0000-000000000067";
constexpr char kNewPng[] = "00000000-0000-0000-0000-000000000068";
constexpr int64_t kModified1904 = 3061152000 + 400000000;  // 2013-09-04 in the 2001 epoch

class PhotoSyncVersionTest : public PhotoSyncTest,
                             public ::testing::WithParamInterface<const char*> {
  protected:
    void SetUp() override {
        PhotoSyncTest::SetUp();
        SetUpImage(GetParam());
        manifest_ = ReadPlistFile(image_ + "/photos.plist", 1 << 24);
        ASSERT_NE(manifest_, nullptr);
    }

    // Every row photos.plist describes: key -> "directory/file|created".
    std::map<int64_t, std::string> DescribedRows(SqliteFile& store) {
        std::map<int64_t, std::string> rows;
        for (const auto& row : RowsOf(store,
                                      "SELECT Z_PK, ZDIRECTORY || '/' || ZFILENAME || '|' || "
                                      "ZDATECREATED FROM ZGENERICASSET"))
            rows[row[0].integer] = row[1].text;
        return rows;
    }

    // A photos.plist entry by its path.
    plist_t Described(const std::string& path) {
        plist_t photos = plist_dict_get_item(manifest_.get(), "Photos");
        for (uint32_t i = 0; i < plist_array_get_size(photos); ++i) {
            plist_t entry = plist_array_get_item(photos, i);
            if (StringValue(plist_dict_get_item(entry, "Path")) == path) return entry;
        }
        return nullptr;
    }

    std::string ThumbnailOf(const std::string& directory, const std::string& file, double created) {
        if (Version(version_) >= 7)
            return "PhotoData/Thumbnails/V2/" + directory + "/" + file + "/5005.JPG";
        const std::string folder = directory.substr(directory.find("100SYNCD"));
        return "DCIM/.THMB/" + std::to_string(std::llround(created) % 100) + "/" + folder + "___" +
               file + "." + std::to_string(static_cast<int64_t>(created) + 978307200);
    }

    PlistTree manifest_;
};

TEST_P(PhotoSyncVersionTest, AddsRequestedPicturesWithRowsFilesAndThumbnails) {
    Connect();
    std::vector<ListAsset> assets;
    std::vector<ListAlbum> albums;
    CurrentLibrary(assets, albums);
    ASSERT_EQ(assets.size(), 4u);
    SqliteFile before(CopyStore());
    const std::map<int64_t, std::string> rowsBefore = DescribedRows(before);

    // Orientation 6: stored 64 x 48, viewed 48 x 64.
    const std::string jpeg = CameraJpeg(64, 48, 6, "2013:09:04 10:20:30");
    const std::string png = testing::EncodeWithVips(testing::Solid(40, 30, {0, 90, 200}), ".png");
    assets.push_back({kNewJpeg, kModified1904, "Harbour.jpg"});
    assets.push_back({kNewPng, kModified1904 + 60, "Chart.png"});
    albums.back().members.push_back(kNewJpeg);
    albums.back().members.push_back(kNewPng);
    const bool names = Version(version_) >= 7;

    EXPECT_EQ(RequestSync(), 0);
    const Message ready = Next();
    ASSERT_EQ(ready.name(), "ReadyForSync");
    EXPECT_EQ(CfText(Get(ready.Param("DataclassAnchors"), "Photo")), "0");
    UploadList(SyncList(assets, albums, names));
    EXPECT_EQ(FinishMetadata(), 0);
    const Message manifest = Next();
    ASSERT_EQ(manifest.name(), "AssetManifest");
    EXPECT_EQ(ManifestIds(manifest), (std::vector<std::string>{kNewJpeg, kNewPng}));
    UploadAsset(kNewJpeg, "upload one.jpg", jpeg);
    UploadAsset(kNewPng, "chart.png", png);
    EXPECT_EQ(ReportFile(kNewJpeg, true), 0);
    EXPECT_EQ(ReportFile(kNewPng, true), 0);
    EXPECT_EQ(Next().name(), "SyncFinished");
    EXPECT_EQ(BwSimPhotoSyncWaitStage(udid_.c_str(), 4, 0), 0);

    SqliteFile store(CopyStore());
    ASSERT_TRUE(store.ok());
    EXPECT_EQ(store.Column("PRAGMA integrity_check"), std::vector<std::string>{"ok"});
    EXPECT_EQ(DescribedRows(store).size(), rowsBefore.size() + 2);
    for (const auto& [key, row] : rowsBefore)
        EXPECT_EQ(DescribedRows(store)[key], row) << key;

    const auto rows = store.Rows(
        "SELECT a.ZDIRECTORY, a.ZFILENAME, a.ZWIDTH, a.ZHEIGHT, b.ZORIGINALWIDTH, "
        "b.ZORIGINALHEIGHT, a.ZORIENTATION, a.ZMODIFICATIONDATE, a.ZDATECREATED, "
        "b.ZORIGINALFILENAME, b.ZORIGINALFILESIZE, a.ZKIND, a.ZUNIFORMTYPEIDENTIFIER, a.Z_PK, "
        "a.ZTHUMBNAILINDEX FROM ZGENERICASSET a JOIN ZADDITIONALASSETATTRIBUTES b ON "
        "a.ZADDITIONALATTRIBUTES = b.Z_PK WHERE hex(a.ZUUID) IN "
        "('00000000000000000000000000000067', '00000000000000000000000000000068') ORDER BY a.Z_PK");
    ASSERT_TRUE(rows && rows->size() == 2u);
    const auto& added = (*rows)[0];
    EXPECT_EQ(added[0].text, "PhotoData/Sync/100SYNCD");
    EXPECT_EQ(added[1].text, "IMG_0005.JPG");
    EXPECT_EQ(added[2].integer, 48);
    EXPECT_EQ(added[3].integer, 64);
    EXPECT_EQ(added[4].integer, 64);
    EXPECT_EQ(added[5].integer, 48);
    EXPECT_EQ(added[6].integer, 6);
    EXPECT_DOUBLE_EQ(added[7].real, 400000000.0);
    // 10:20:30 in the phone's zone, counted from 2001-01-01 UTC.
    double offset = 0;
    plist_get_real_val(plist_dict_get_item(manifest_.get(), "ExifOffsetFromUtc"), &offset);
    EXPECT_DOUBLE_EQ(added[8].real, 1378290030.0 - offset - 978307200.0);
    EXPECT_EQ(added[9].text, names ? "Harbour.jpg" : "upload one.jpg");
    EXPECT_EQ(added[10].integer, static_cast<int64_t>(jpeg.size()));
    EXPECT_EQ(added[11].integer, 0);
    EXPECT_EQ(added[12].text, "public.jpeg");
    const auto& second = (*rows)[1];
    EXPECT_EQ(second[1].text, "IMG_0006.PNG");
    EXPECT_EQ(second[12].text, "public.png");
    EXPECT_EQ(second[9].text, names ? "Chart.png" : "chart.png");
    // No EXIF time: created when it was last modified.
    EXPECT_DOUBLE_EQ(second[8].real, 400000060.0);
    EXPECT_EQ(second[14].integer, added[14].integer + 1);
    EXPECT_EQ(store.Column("SELECT max(ZTHUMBNAILINDEX) FROM ZGENERICASSET").front(),
              std::to_string(second[14].integer));
    const std::string keyMax =
        store.Column("SELECT Z_MAX FROM Z_PRIMARYKEY WHERE Z_NAME = 'GenericAsset'").front();
    EXPECT_EQ(keyMax, store.Column("SELECT max(Z_PK) FROM ZGENERICASSET").front());

    EXPECT_EQ(ReadFile(Media("PhotoData/Sync/100SYNCD/IMG_0005.JPG")), jpeg);
    EXPECT_EQ(ReadFile(Media("PhotoData/Sync/100SYNCD/IMG_0006.PNG")), png);
    EXPECT_FALSE(fs::exists(Media(std::string("Airlock/Photo/") + kNewJpeg)));
    EXPECT_FALSE(fs::exists(Media(std::string("Photos/Thumbs/") + kNewJpeg + ".mthmb")));
    const testing::Pixels thumbnail = testing::DecodeWithVips(
        ReadFile(Media(ThumbnailOf(added[0].text, added[1].text, added[8].real))));
    EXPECT_EQ(thumbnail.width, 98);
    EXPECT_EQ(thumbnail.height, 98);

    // The next sync starts from the anchor this one left.
    EXPECT_EQ(RequestSync("1"), 0);
    const Message again = Next();
    EXPECT_EQ(CfText(Get(again.Param("DataclassAnchors"), "Photo")), "1");
}

TEST_P(PhotoSyncVersionTest, RemovesSyncedPhotosTheListNoLongerNames) {
    Connect();
    std::vector<ListAsset> assets;
    std::vector<ListAlbum> albums;
    CurrentLibrary(assets, albums);
    ASSERT_EQ(albums.size(), 2u);  // the synced album, "My Pictures"
    // IMG_0001 (loose, with a thumbnail) and IMG_0004 (the synced album's second) go.
    SqliteFile before(CopyStore());
    const auto uuidOf = [&](const char* file) {
        return before
            .Column("SELECT hex(ZUUID) FROM ZGENERICASSET WHERE ZFILENAME = '" + std::string(file) +
                    "' AND ZDIRECTORY LIKE '%Sync%'")
            .front();
    };
    const std::string first = uuidOf("IMG_0001.JPG"), fourth = uuidOf("IMG_0004.JPG");
    std::erase_if(assets, [&](const ListAsset& a) { return a.uuid == first || a.uuid == fourth; });
    for (ListAlbum& album : albums)
        std::erase_if(album.members,
                      [&](const std::string& m) { return m == first || m == fourth; });
    const int64_t removedKey = std::stoll(
        before.Column("SELECT Z_PK FROM ZGENERICASSET WHERE hex(ZUUID) = '" + first + "'").front());

    EXPECT_TRUE(Sync(SyncList(assets, albums, Version(version_) >= 7), {}).empty());

    SqliteFile store(CopyStore());
    EXPECT_EQ(store.Column("PRAGMA integrity_check"), std::vector<std::string>{"ok"});
    EXPECT_EQ(store.Column("SELECT ZFILENAME FROM ZGENERICASSET WHERE ZDIRECTORY LIKE '%Sync%' "
                           "ORDER BY Z_PK"),
              (std::vector<std::string>{"IMG_0002.JPG", "IMG_0003.JPG"}));
    EXPECT_EQ(store.Column("SELECT count(*) FROM ZADDITIONALASSETATTRIBUTES WHERE ZASSET = " +
                           std::to_string(removedKey)),
              std::vector<std::string>{"0"});
    const std::vector<std::string> join = JoinNames(Version(version_));
    EXPECT_EQ(store.Column("SELECT ZCACHEDCOUNT || '/' || ZKEYASSET FROM ZGENERICALBUM WHERE "
                           "ZKIND = 1550"),
              std::vector<std::string>{
                  "1/" + store
                             .Column("SELECT Z_PK FROM ZGENERICASSET WHERE ZFILENAME = "
                                     "'IMG_0003.JPG' AND ZDIRECTORY LIKE '%Sync%'")
                             .front()});
    EXPECT_EQ(store.Column("SELECT count(*) FROM " + join[0] + " WHERE " + join[2] +
                           " NOT IN (SELECT Z_PK FROM ZGENERICASSET)"),
              std::vector<std::string>{"0"});
    EXPECT_FALSE(fs::exists(Media("PhotoData/Sync/100SYNCD/IMG_0001.JPG")));
    EXPECT_FALSE(fs::exists(Media("PhotoData/Sync/100SYNCD/IMG_0004.JPG")));
    EXPECT_TRUE(fs::exists(Media("PhotoData/Sync/100SYNCD/IMG_0002.JPG")));
    const std::string thumbnail = StringValue(
        plist_dict_get_item(Described("PhotoData/Sync/100SYNCD/IMG_0001.JPG"), "Thumbnail"));
    ASSERT_FALSE(thumbnail.empty());
    EXPECT_FALSE(fs::exists(Media(thumbnail)));
    // The camera roll is no synced library: untouched.
    EXPECT_TRUE(fs::exists(Media("DCIM/100APPLE/IMG_0001.JPG")));
    EXPECT_EQ(store.Column("SELECT count(*) FROM ZGENERICASSET"),
              std::vector<std::string>{std::to_string(
                  std::stoll(before.Column("SELECT count(*) FROM ZGENERICASSET").front()) - 2)});
}

INSTANTIATE_TEST_SUITE_P(EachVersion, PhotoSyncVersionTest, bw::testing::EachIosVersion(),
                         bw::testing::IosVersionName);

class PhotoSyncAlbumTest : public PhotoSyncTest {
  protected:
    void SetUp() override {
        PhotoSyncTest::SetUp();
        SetUpImage("6.1.3");
    }
};

TEST_F(PhotoSyncAlbumTest, AlbumOfTheListIsMadeThenDroppedWhenTheListLosesIt) {
    Connect();
    std::vector<ListAsset> assets;
    std::vector<ListAlbum> albums;
    CurrentLibrary(assets, albums);
    const std::string loose = albums.back().members.front();
    assets.push_back({kNewJpeg, kModified1904, "a.jpg"});
    // Spelled in lower case with dashes: the device compares without them.
    albums.insert(albums.begin(),
                  {"Holiday", "0123abcd-0000-0000-0000-00000000beef", {kNewJpeg, loose}});

    Sync(SyncList(assets, albums, false),
         {{kNewJpeg, {"a.jpg", CameraJpeg(32, 32, 1, "2013:01:01 00:00:00")}}});

    SqliteFile store(CopyStore());
    EXPECT_EQ(store.Column("PRAGMA integrity_check"), std::vector<std::string>{"ok"});
    const auto holiday = store.Rows(
        "SELECT Z_PK, Z_ENT, ZCACHEDCOUNT, ZKEYASSET FROM ZGENERICALBUM WHERE ZKIND = 1550 AND "
        "ZTITLE = 'Holiday' AND hex(ZUUID) = '0123ABCD00000000000000000000BEEF'");
    ASSERT_TRUE(holiday && holiday->size() == 1u);
    EXPECT_EQ((*holiday)[0][1].integer, 8);  // the album entity of iOS 6
    EXPECT_EQ((*holiday)[0][2].integer, 2);
    const std::string albumKey = std::to_string((*holiday)[0][0].integer);
    EXPECT_EQ(store.Column("SELECT hex(a.ZUUID) FROM Z_8ASSETS j JOIN ZGENERICASSET a ON a.Z_PK = "
                           "j.Z_14ASSETS WHERE j.Z_8ALBUMS = " +
                           albumKey + " ORDER BY j.Z_FOK_14ASSETS"),
              (std::vector<std::string>{"00000000000000000000000000000067", loose}));
    EXPECT_EQ(std::to_string((*holiday)[0][3].integer),
              store
                  .Column("SELECT Z_PK FROM ZGENERICASSET WHERE hex(ZUUID) = "
                          "'00000000000000000000000000000067'")
                  .front());
    EXPECT_EQ(store.Column("SELECT Z_MAX FROM Z_PRIMARYKEY WHERE Z_NAME = 'GenericAlbum'"),
              std::vector<std::string>{albumKey});

    // The next list has neither the new album nor the old synced one; the old one's photos stay
    // as loose photos.
    std::vector<ListAlbum> next = {{"My Pictures", kMyPictures, {}}};
    for (const ListAsset& asset : assets)
        next.back().members.push_back(asset.uuid);
    Sync(SyncList(assets, next, false), {});

    SqliteFile after(CopyStore());
    EXPECT_EQ(after.Column("PRAGMA integrity_check"), std::vector<std::string>{"ok"});
    EXPECT_EQ(after.Column("SELECT count(*) FROM ZGENERICALBUM WHERE ZKIND = 1550"),
              std::vector<std::string>{"0"});
    EXPECT_EQ(after.Column("SELECT count(*) FROM Z_8ASSETS WHERE Z_8ALBUMS NOT IN "
                           "(SELECT Z_PK FROM ZGENERICALBUM)"),
              std::vector<std::string>{"0"});
    EXPECT_EQ(after.Column("SELECT count(*) FROM ZGENERICASSET WHERE ZDIRECTORY LIKE '%Sync%'"),
              std::vector<std::string>{"5"});
    // The user's own albums are not the sync's to drop.
    EXPECT_EQ(after.Column("SELECT ZTITLE FROM ZGENERICALBUM WHERE ZKIND = 2 ORDER BY Z_PK"),
              (std::vector<std::string>{"Best of", "Trips"}));
}

}  // namespace
}  // namespace bw::sim::synctest

// The command-line host's photos commands, run as a program against simulator images that each
// test builds. What they show is held against the image's own photo database, read here with
// SQLite, and against the image's files; thumbnails are judged by libvips.
#include <sqlite3.h>
#include <sys/stat.h>
#include <vips/vips8>

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "photos_cli_fixture.h"
#include "support/ios_versions.h"

namespace bw {
namespace {

namespace fs = std::filesystem;
using testing::CliRun;
using testing::Json;
using testing::photos::Field;
using testing::photos::JoinNames;
using testing::photos::JoinOf;
using testing::photos::Number;

class PhotosCommands : public testing::photos::PhotosCliTest {};

TEST_P(PhotosCommands, AlbumsAndTheirCountsAreTheDatabases) {
    const std::vector<Json> albums = JsonOutput("photos albums --json");
    auto db = Database();
    ASSERT_TRUE(db->ok());
    const JoinNames join = JoinOf(major_);
    const auto stored = db->Rows(
        "SELECT Z_PK, ZKIND FROM ZGENERICALBUM WHERE ZKIND IN (1000, 1550, 2) ORDER BY Z_PK");
    ASSERT_TRUE(stored.has_value());
    ASSERT_FALSE(stored->empty());
    std::map<int64_t, const Json*> byKey;
    for (const Json& album : albums)
        byKey[Number(album, "key")] = &album;
    // Every stored album is listed with its stills and videos of a real size.
    for (const auto& row : *stored) {
        const int64_t key = row[0].integer;
        ASSERT_TRUE(byKey.count(key)) << "album " << key;
        const Json& album = *byKey[key];
        EXPECT_EQ(Number(album, "kind"), row[1].integer);
        const std::string members = std::string("SELECT COUNT(*) FROM ") + join.table +
                                    std::string(" j JOIN ZGENERICASSET a ON a.Z_PK = j.") +
                                    join.asset + std::string(" WHERE j.") + join.album + " = " +
                                    std::to_string(key) +
                                    " AND a.ZWIDTH > 0 AND a.ZHEIGHT > 0 AND ";
        EXPECT_EQ(Number(album, "photos"), db->Count(members + "NOT " + IsVideo("a")))
            << Field(album, "title");
        EXPECT_EQ(Number(album, "videos"), db->Count(members + IsVideo("a")))
            << Field(album, "title");
    }
    // The made-up albums: the library's synced photos, the photo stream and the videos.
    std::map<std::string, const Json*> byType;
    for (const Json& album : albums)
        byType.emplace(Field(album, "type"), &album);
    ASSERT_TRUE(byType.count("library") && byType.count("photo stream") && byType.count("videos"));
    const int64_t cameraRoll = db->Count("SELECT MIN(Z_PK) FROM ZGENERICALBUM WHERE ZKIND = 1000");
    const int64_t stream = db->Count(
        "SELECT COALESCE(MAX(Z_PK), 0) FROM ZGENERICALBUM WHERE Z_ENT = (SELECT Z_ENT FROM "
        "Z_PRIMARYKEY WHERE Z_NAME = 'PhotoStreamAlbum')");
    const std::string outside = std::string(
                                    "SELECT COUNT(*) FROM ZGENERICASSET a WHERE "
                                    "a.ZTHUMBNAILINDEX >= 0 AND a.Z_PK NOT IN (SELECT ") +
                                join.asset + " FROM " + join.table + " WHERE " + join.album +
                                std::string(" IN (") + std::to_string(cameraRoll) + ", " +
                                std::to_string(stream) + ")) AND ";
    EXPECT_EQ(Number(*byType["library"], "photos"), db->Count(outside + "NOT " + IsVideo("a")));
    EXPECT_EQ(
        Number(*byType["videos"], "videos"),
        db->Count(std::string("SELECT COUNT(*) FROM ") + join.table +
                  std::string(" j JOIN ZGENERICASSET a ON a.Z_PK = j.") + join.asset + " WHERE j." +
                  join.album + " = " + std::to_string(cameraRoll) + " AND " + IsVideo("a")));
    EXPECT_EQ(Number(*byType["photo stream"], "key"), stream);
    // A title outside ASCII comes through as UTF-8.
    const std::vector<std::string> titles = db->Column("SELECT ZTITLE FROM ZGENERICALBUM");
    for (const std::string& title : titles) {
        if (std::none_of(title.begin(), title.end(), [](char c) { return (c & 0x80) != 0; }))
            continue;
        EXPECT_TRUE(std::any_of(albums.begin(), albums.end(), [&](const Json& album) {
            return Field(album, "title") == title;
        })) << title;
    }
}

TEST_P(PhotosCommands, ListShowsTheRowsOfTheAlbumAndPullCopiesEveryFileByteForByte) {
    const std::string roll = CameraRoll();
    const std::vector<Json> photos = JsonOutput(std::string("photos list ") + roll + " --json");
    ASSERT_FALSE(photos.empty());
    auto db = Database();
    std::set<std::string> missing;
    for (const Json& photo : photos) {
        const int64_t key = Number(photo, "key");
        const auto row = db->Rows(
            "SELECT a.ZFILENAME, b.ZORIGINALFILESIZE, b.ZORIGINALWIDTH, b.ZORIGINALHEIGHT FROM "
            "ZGENERICASSET a JOIN ZADDITIONALASSETATTRIBUTES b ON a.ZADDITIONALATTRIBUTES = "
            "b.Z_PK WHERE a.Z_PK = " +
            std::to_string(key));
        ASSERT_TRUE(row && row->size() == 1) << key;
        EXPECT_EQ(Field(photo, "name"), (*row)[0][0].text);
        EXPECT_EQ(Number(photo, "size"), (*row)[0][1].integer);
        EXPECT_EQ(Number(photo, "width"), (*row)[0][2].integer);
        EXPECT_EQ(Number(photo, "height"), (*row)[0][3].integer);
        if (!fs::exists(Media() + "/" + Field(photo, "path"))) missing.insert(Field(photo, "name"));
    }

    const std::string pulled = folder_ / "pulled";
    const CliRun pull = Sim(std::string("photos pull ") + pulled + " " + roll);
    EXPECT_EQ(pull.status, missing.empty() ? 0 : 1) << pull.err;
    size_t files = 0;
    for (const Json& photo : photos) {
        const std::string name = Field(photo, "name");
        if (missing.count(name)) {
            EXPECT_FALSE(fs::exists(pulled + "/" + name));
            EXPECT_NE(pull.err.find(name), std::string::npos) << pull.err;
            continue;
        }
        EXPECT_EQ(testing::ReadFileBytes(pulled + "/" + name),
                  testing::ReadFileBytes(Media() + "/" + Field(photo, "path")))
            << name;
        ++files;
    }
    // Nothing else is left in the folder: no staging folder, no partial file.
    EXPECT_EQ(static_cast<size_t>(std::distance(fs::directory_iterator(pulled), {})), files);

    // A second pull never replaces the first one's files: the new copies get new names.
    const std::string first = photos.front().Find("name")->text;
    const CliRun again = Sim(std::string("photos pull ") + pulled + " " + roll);
    EXPECT_EQ(again.status, pull.status);
    if (!missing.count(first)) {
        const size_t dot = first.rfind('.');
        const std::string renamed = first.substr(0, dot) + "-2" + first.substr(dot);
        EXPECT_EQ(testing::ReadFileBytes(pulled + "/" + renamed),
                  testing::ReadFileBytes(pulled + "/" + first));
    }
    EXPECT_EQ(static_cast<size_t>(std::distance(fs::directory_iterator(pulled), {})), 2 * files);
}

TEST_P(PhotosCommands, ThumbnailsAreJpegsOfTheStandardBoxAndMadeOnesAreKeptOnThePhone) {
    const std::string roll = CameraRoll();
    const std::vector<Json> photos = JsonOutput(std::string("photos list ") + roll + " --json");
    const std::string thumbs = folder_ / "thumbs";
    const CliRun run = Sim(std::string("photos thumbs ") + thumbs + " " + roll);
    size_t written = 0;
    for (const auto& entry : fs::directory_iterator(thumbs)) {
        vips::VImage picture = vips::VImage::new_from_file(entry.path().c_str());
        EXPECT_EQ(picture.width(), 98) << entry.path();
        EXPECT_EQ(picture.height(), 98) << entry.path();
        EXPECT_EQ(testing::ReadFileBytes(entry.path()).substr(0, 3), "\xFF\xD8\xFF");
        ++written;
    }
    // A photo whose file is missing and whose thumbnail is not cached has none; every other one
    // has one.
    EXPECT_GT(written, 0u);
    EXPECT_LE(written, photos.size());
    EXPECT_EQ(run.status, written == photos.size() ? 0 : 1) << run.err;
    // On iOS 5 and 6 the made thumbnails now sit in the phone's cache: the thumbnails of a second
    // run are the same bytes.
    if (major_ < 7) {
        const std::string again = folder_ / "again";
        Sim(std::string("photos thumbs ") + again + " " + roll);
        for (const auto& entry : fs::directory_iterator(thumbs)) {
            EXPECT_EQ(testing::ReadFileBytes(entry.path()),
                      testing::ReadFileBytes(again + "/" + entry.path().filename().string()));
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Versions, PhotosCommands, testing::EachIosVersion(),
                         testing::IosVersionName);

class PhotosUsage : public PhotosCommands {};

TEST_P(PhotosUsage, WrongArgumentsAreStatusTwoAndAMissingAlbumOneLine) {
    for (const std::string usage :
         {"photos", "photos frame", "photos albums extra", "photos list 0 1", "photos thumbs",
          "photos pull", "photos list --all", "photos pull DIR 0 --all", "photos albums --bogus"}) {
        const CliRun run = Sim(usage);
        EXPECT_EQ(run.status, 2) << usage << ": " << run.err;
        EXPECT_TRUE(run.out.empty()) << usage;
    }
    const CliRun missing = Sim("photos list 'No Such Album'");
    EXPECT_EQ(missing.status, 1);
    EXPECT_EQ(std::count(missing.err.begin(), missing.err.end(), '\n'), 1) << missing.err;
    // A file where the folder should be is refused before the device is touched.
    std::ofstream(folder_ / "file") << "x";
    const CliRun notFolder = Sim(std::string("photos pull ") + folder_ / "file" + " --all");
    EXPECT_EQ(notFolder.status, 1);
    EXPECT_EQ(testing::ReadFileBytes(folder_ / "file"), "x");
}

INSTANTIATE_TEST_SUITE_P(OneVersion, PhotosUsage, ::testing::Values("6.1.3"),
                         testing::IosVersionName);

}  // namespace
}  // namespace bw

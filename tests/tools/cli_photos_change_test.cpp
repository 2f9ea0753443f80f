// The command-line host's photos add, rm and delete, run as a program against simulator images of
// each iOS version. What changed is read from the image itself: its photo database with SQLite
// (including its integrity check) and its files; every photo the command was not asked to touch
// must come out of it exactly as it went in.
#include <sqlite3.h>
#include <vips/vips8>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
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
using testing::photos::Number;

// Every asset row as text, by key: what "unchanged" means for the photos not touched.
std::map<int64_t, std::string> AssetRows(sim::SqliteFile& db) {
    std::map<int64_t, std::string> rows;
    const auto result = db.Rows(
        "SELECT a.Z_PK, a.ZDIRECTORY, a.ZFILENAME, a.ZDATECREATED, a.ZMODIFICATIONDATE, a.ZWIDTH, "
        "a.ZHEIGHT, hex(a.ZUUID), b.ZORIGINALFILESIZE FROM ZGENERICASSET a LEFT JOIN "
        "ZADDITIONALASSETATTRIBUTES b ON a.ZADDITIONALATTRIBUTES = b.Z_PK ORDER BY a.Z_PK");
    EXPECT_TRUE(result.has_value());
    if (!result) return rows;
    for (const auto& row : *result) {
        std::string text;
        for (size_t i = 1; i < row.size(); ++i)
            text +=
                (row[i].text.empty() ? std::to_string(row[i].real + row[i].integer) : row[i].text) +
                "|";
        rows[row[0].integer] = text;
    }
    return rows;
}

class PhotosChange : public testing::photos::PhotosCliTest {
  protected:
    // A JPEG of `width` x `height` drawn here, its bytes different for each `shade`.
    std::string Picture(const std::string& name, int width, int height, int shade) {
        const std::string path = folder_ / name;
        const vips::VImage x = vips::VImage::xyz(width, height)[0];
        (x * 0 + shade)
            .bandjoin(x % 256)
            .bandjoin(x * 0 + 255 - shade)
            .cast(VIPS_FORMAT_UCHAR)
            .copy(vips::VImage::option()->set("interpretation", VIPS_INTERPRETATION_sRGB))
            .jpegsave(path.c_str());
        return path;
    }

    std::map<int64_t, std::string> Rows() { return AssetRows(*Database()); }

    // How many thumbnails `photos thumbs` writes for the whole library.
    size_t ThumbnailsWritten() {
        const std::string thumbs = folder_ / ("thumbs" + std::to_string(thumbRuns_++));
        const CliRun shown = Sim(std::string("photos thumbs ") + thumbs);
        size_t written = 0;
        EXPECT_EQ(std::sscanf(shown.out.c_str(), "%zu of", &written), 1) << shown.out;
        return written;
    }

    int thumbRuns_ = 0;

    std::string IntegrityCheck() {
        auto db = Database();
        return db->Column("PRAGMA integrity_check").empty()
                   ? std::string("none")
                   : db->Column("PRAGMA integrity_check").front();
    }

    // `photos list --json` by asset key.
    std::map<int64_t, Json> Listed() {
        std::map<int64_t, Json> listed;
        for (const Json& line : JsonOutput("photos list --json"))
            listed.emplace(Number(line, "key"), line);
        return listed;
    }

    // The rows of `after` that `before` lacks, and a check that every other row is unchanged.
    static std::vector<int64_t> Added(const std::map<int64_t, std::string>& before,
                                      const std::map<int64_t, std::string>& after) {
        std::vector<int64_t> added;
        for (const auto& [key, row] : after) {
            const auto old = before.find(key);
            if (old == before.end()) {
                added.push_back(key);
            } else {
                EXPECT_EQ(old->second, row) << "asset " << key << " changed";
            }
        }
        return added;
    }
};

TEST_P(PhotosChange, AddedPicturesAreListedWithTheirFilesSizesAndThumbnails) {
    const std::string a = Picture("sunrise.jpg", 320, 240, 40);
    const std::string b = Picture("harbour.jpg", 200, 300, 200);
    const auto before = Rows();
    const auto listedBefore = Listed();
    const size_t thumbnailsBefore = ThumbnailsWritten();

    const CliRun add = Sim(std::string("photos add ") + a + " " + b);
    ASSERT_EQ(add.status, 0) << add.out << add.err;
    EXPECT_NE(add.out.find("2 of 2 pictures added"), std::string::npos) << add.out;
    EXPECT_NE(add.out.find("sync finished"), std::string::npos) << add.out;

    const auto after = Rows();
    const std::vector<int64_t> added = Added(before, after);
    ASSERT_EQ(added.size(), 2u);
    EXPECT_EQ(after.size(), before.size() + 2);
    EXPECT_EQ(IntegrityCheck(), "ok");

    // The list shows both, with the picture's own bytes on the phone, its size and pixel size.
    const auto listed = Listed();
    EXPECT_EQ(listed.size(), listedBefore.size() + 2);
    std::set<std::string> sources = {testing::ReadFileBytes(a), testing::ReadFileBytes(b)};
    for (int64_t key : added) {
        ASSERT_EQ(listed.count(key), 1u) << key;
        const Json& row = listed.at(key);
        const std::string path = Field(row, "path");
        EXPECT_NE(path.find("Sync/"), std::string::npos) << path;
        const std::string bytes = testing::ReadFileBytes(Media() + "/" + path);
        EXPECT_EQ(sources.erase(bytes), 1u) << path;
        EXPECT_EQ(Number(row, "size"), static_cast<int64_t>(bytes.size()));
        const bool first = bytes == testing::ReadFileBytes(a);
        EXPECT_EQ(Number(row, "width"), first ? 320 : 200);
        EXPECT_EQ(Number(row, "height"), first ? 240 : 300);
        EXPECT_NE(Field(row, "created"), "?");
    }
    EXPECT_TRUE(sources.empty());
    // Nothing the sync carried is left in the phone's upload folders.
    EXPECT_FALSE(fs::exists(Media() + "/Airlock/Photo") &&
                 !fs::is_empty(Media() + "/Airlock/Photo"));

    // Their thumbnails are there for the host to read, as for every photo with a file.
    EXPECT_EQ(ThumbnailsWritten(), thumbnailsBefore + 2);
}

TEST_P(PhotosChange, AnAlbumNameMakesASyncedAlbumHoldingThePicture) {
    const std::string a = Picture("party.jpg", 240, 240, 90);
    const CliRun add = Sim(std::string("photos add ") + a + " --album 'Holidays 2026'");
    ASSERT_EQ(add.status, 0) << add.out << add.err;
    auto db = Database();
    const auto albums =
        db->Rows("SELECT Z_PK FROM ZGENERICALBUM WHERE ZKIND = 1550 AND ZTITLE = 'Holidays 2026'");
    ASSERT_TRUE(albums && albums->size() == 1);
    bool listed = false;
    for (const Json& album : JsonOutput("photos albums --json")) {
        if (Field(album, "title") != "Holidays 2026") continue;
        listed = true;
        EXPECT_EQ(Number(album, "photos"), 1);
    }
    EXPECT_TRUE(listed);
}

TEST_P(PhotosChange, RmRemovesTheSyncedPhotoAndNothingElse) {
    const auto listed = Listed();
    int64_t synced = -1, camera = -1;
    std::string syncedPath;
    for (const auto& [key, row] : listed) {
        const std::string path = Field(row, "path");
        if (synced < 0 && path.find("Sync/") != std::string::npos &&
            fs::exists(Media() + "/" + path)) {
            synced = Number(row, "index");
            syncedPath = path;
        }
        if (camera < 0 && path.find("DCIM/") != std::string::npos) camera = Number(row, "index");
    }
    ASSERT_GE(synced, 0);
    ASSERT_GE(camera, 0);
    const auto before = Rows();

    // A camera-roll photo is refused by rm, before the device is changed.
    const CliRun wrong = Sim("photos rm " + std::to_string(camera));
    EXPECT_EQ(wrong.status, 1);
    EXPECT_NE(wrong.err.find("not a synced photo"), std::string::npos) << wrong.err;
    EXPECT_EQ(Rows(), before);

    const CliRun rm = Sim("photos rm " + std::to_string(synced));
    ASSERT_EQ(rm.status, 0) << rm.out << rm.err;
    EXPECT_NE(rm.out.find("1 of 1 photos removed"), std::string::npos) << rm.out;
    const auto after = Rows();
    EXPECT_EQ(after.size() + 1, before.size());
    EXPECT_TRUE(Added(before, after).empty());
    EXPECT_FALSE(fs::exists(Media() + "/" + syncedPath));
    EXPECT_EQ(IntegrityCheck(), "ok");
}

TEST_P(PhotosChange, DeleteAsksFirstThenRemovesTheCameraRollFileAndItsRow) {
    const std::string file = Media() + "/DCIM/100APPLE/IMG_0002.JPG";
    ASSERT_TRUE(fs::exists(file));
    const auto before = Rows();

    const CliRun no = Sim("photos delete IMG_0002.JPG", "n\n");
    EXPECT_EQ(no.status, 1);
    EXPECT_NE(no.out.find("nothing deleted"), std::string::npos) << no.out;
    EXPECT_TRUE(fs::exists(file));
    EXPECT_EQ(Rows(), before);

    const CliRun yes = Sim("photos delete IMG_0002.JPG", "y\n");
    ASSERT_EQ(yes.status, 0) << yes.out << yes.err;
    EXPECT_NE(yes.out.find("1 of 1 camera-roll photos deleted"), std::string::npos) << yes.out;
    EXPECT_FALSE(fs::exists(file));
    const auto after = Rows();
    EXPECT_EQ(after.size() + 1, before.size());
    EXPECT_TRUE(Added(before, after).empty());
    EXPECT_TRUE(fs::exists(Media() + "/DCIM/100APPLE/IMG_0001.JPG"));

    const CliRun flag = Sim("photos delete IMG_0003.JPG --yes");
    EXPECT_EQ(flag.status, 0) << flag.out << flag.err;
    EXPECT_FALSE(fs::exists(Media() + "/DCIM/100APPLE/IMG_0003.JPG"));
    EXPECT_EQ(Rows().size() + 2, before.size());
    EXPECT_EQ(IntegrityCheck(), "ok");
}

INSTANTIATE_TEST_SUITE_P(Versions, PhotosChange, testing::EachIosVersion(),
                         testing::IosVersionName);

class PhotosChangeUsage : public PhotosChange {};

TEST_P(PhotosChangeUsage, BadArgumentsFailInOneLineAndChangeNothing) {
    for (const std::string usage :
         {"photos add", "photos rm", "photos delete", "photos rm 1 --album X", "photos list --yes",
          "photos add x.jpg --album", "photos add x.jpg --album ''"}) {
        const CliRun run = Sim(usage);
        EXPECT_EQ(run.status, 2) << usage << ": " << run.err;
    }
    const auto before = Rows();
    std::ofstream(folder_ / "notes.jpg") << "not a picture";
    for (const std::string& failing :
         {std::string("photos add ") + folder_ / "missing.jpg",
          std::string("photos add ") + folder_ / "notes.jpg", std::string("photos rm NoSuch.JPG"),
          std::string("photos delete 99999 --yes")}) {
        const CliRun run = Sim(failing);
        EXPECT_EQ(run.status, 1) << failing;
        EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << failing << run.err;
    }
    EXPECT_EQ(Rows(), before);
}

INSTANTIATE_TEST_SUITE_P(OneVersion, PhotosChangeUsage, ::testing::Values("6.1.3"),
                         testing::IosVersionName);

}  // namespace
}  // namespace bw

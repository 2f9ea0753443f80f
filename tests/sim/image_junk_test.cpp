// The junk of an image, read from the image's own files: what each junk scanner has to find is
// there, and so are the files it must leave alone; the databases open with SQLite and hold the
// rows the scanners query. The library's scan tests compare their results with these files.
#include <sqlite3.h>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "image/image_builder.h"
#include "sim/sqlite_rows.h"
#include "support/temp_folder.h"

namespace bw::sim {
namespace {

namespace fs = std::filesystem;

// Regular files below `root`, as "/relative/path", sorted; links and folders are not files.
std::vector<std::string> RegularFiles(const std::string& root) {
    std::vector<std::string> files;
    std::error_code error;
    for (auto it = fs::recursive_directory_iterator(root, error);
         !error && it != fs::recursive_directory_iterator(); it.increment(error)) {
        if (it->symlink_status().type() == fs::file_type::regular)
            files.push_back("/" + fs::relative(it->path(), root).string());
    }
    std::sort(files.begin(), files.end());
    return files;
}

std::vector<std::string> EmptyFolders(const std::string& root) {
    std::vector<std::string> folders;
    for (const auto& entry : fs::recursive_directory_iterator(root)) {
        if (entry.symlink_status().type() == fs::file_type::directory && fs::is_empty(entry.path()))
            folders.push_back("/" + fs::relative(entry.path(), root).string());
    }
    std::sort(folders.begin(), folders.end());
    return folders;
}

size_t Depth(const std::string& relative) {
    return static_cast<size_t>(std::count(relative.begin(), relative.end(), '/'));
}

bool HasSqliteHeader(const std::string& path) {
    return testing::ReadFileBytes(path).compare(0, 16, std::string("SQLite format 3\0", 16)) == 0;
}

class SimImageJunk : public ::testing::Test {
  protected:
    std::string Build(const ImageOptions& options, const std::string& name = "image") {
        const std::string image = temp_ / name;
        std::string error;
        EXPECT_TRUE(CreateImage(image, options, error)) << error;
        return image;
    }

    static std::string Media(const std::string& image, const std::string& devicePath) {
        return ImagePath(image, devicePath, ImageRoot::Media);
    }

    // Copies the radio store's files (those present) into a folder of their own, as the radio
    // scanner works on copies.
    std::string CopyRadio(const std::string& image, bool withLog) {
        const std::string folder = temp_ / (withLog ? "radio-log" : "radio-main");
        fs::create_directories(folder);
        for (const char* suffix : {"", "-shm", "-wal"}) {
            if (!withLog && *suffix != '\0') continue;
            fs::copy_file(Media(image, std::string("/Radio/Radio.db") + suffix),
                          folder + "/Radio.db" + suffix);
        }
        return folder + "/Radio.db";
    }

    testing::TempFolder temp_;
};

// The query of the radio history, as its scanner runs it.
constexpr char kHistoryQuery[] =
    "Select a.Z_PK as historyPk,a.ZTRACK_STORE_ID,b.Z_PK,b.ZALBUM,b.ZARTIST,b.ZTITLE,a.ZDATE,"
    "a.ZSTATION_NAME FROM ZTRACKHISTORY AS a,ZTRACK as b WHERE a.ZTRACK_STORE_ID = b.ZSTORE_ID";

// What each junk scanner must find is on the default image, beside what it must leave alone: the
// library's scan tests compare their results with these files, so an image without the cases
// would let them pass without testing anything.
TEST_F(SimImageJunk, DefaultImageHoldsEveryCaseOfEveryScanner) {
    const std::string image = Build({});
    // Crash logs at three depths, one empty, one with an accented name; a link that names a log
    // without being one; an empty folder.
    const std::string crash = ImagePath(image, "/", ImageRoot::CrashReports);
    const std::vector<std::string> logs = RegularFiles(crash);
    std::map<size_t, int> byDepth;
    for (const std::string& file : logs)
        ++byDepth[Depth(file)];
    EXPECT_EQ(byDepth, (std::map<size_t, int>{{1, 5}, {2, 2}, {3, 1}}));
    EXPECT_EQ(std::count_if(logs.begin(), logs.end(),
                            [&](const std::string& f) { return fs::file_size(crash + f) == 0; }),
              1);
    EXPECT_EQ(
        std::count_if(logs.begin(), logs.end(),
                      [](const std::string& f) { return f.find("M\xc3\xa9t\xc3\xa9o_") == 1; }),
        1);
    EXPECT_EQ(EmptyFolders(crash), std::vector<std::string>{"/Baseband"});
    ASSERT_TRUE(fs::is_symlink(crash + "/LatestCrash.ips"));
    EXPECT_TRUE(std::binary_search(logs.begin(), logs.end(),
                                   "/" + fs::read_symlink(crash + "/LatestCrash.ips").string()));

    // Downloads: the database at the root is kept, a file named like it in a sub-folder is junk.
    const std::string downloads = Media(image, "/Downloads");
    std::vector<std::string> kept;
    std::vector<std::string> junk;
    for (const std::string& file : RegularFiles(downloads))
        (Depth(file) == 1 && file.find(".sqlitedb") != std::string::npos ? kept : junk)
            .push_back(file);
    EXPECT_EQ(kept,
              (std::vector<std::string>{"/downloads.28.sqlitedb", "/downloads.28.sqlitedb-shm",
                                        "/downloads.28.sqlitedb-wal"}));
    EXPECT_EQ(junk.size(), 6u);
    EXPECT_EQ(std::count_if(junk.begin(), junk.end(),
                            [](const std::string& f) {
                                return Depth(f) > 1 &&
                                       f.find("/downloads.28.sqlitedb") != std::string::npos;
                            }),
              1);
    ASSERT_TRUE(HasSqliteHeader(downloads + "/downloads.28.sqlitedb"));

    // Thumbnails: JPEGs in sub-folders, an index beside them that is no thumbnail.
    const std::string thumbnails = Media(image, "/DCIM/.THMB");
    std::vector<std::string> direct;
    int jpegs = 0;
    for (const std::string& file : RegularFiles(thumbnails)) {
        if (Depth(file) == 1) {
            direct.push_back(file);
            continue;
        }
        const std::string bytes = testing::ReadFileBytes(thumbnails + file);
        jpegs += bytes.rfind("\xff\xd8", 0) == 0 && bytes.substr(bytes.size() - 2) == "\xff\xd9";
    }
    EXPECT_EQ(direct, std::vector<std::string>{"/ThumbIndex.plist"});
    EXPECT_EQ(jpegs, 6);

    // General storage, with a sub-folder of the same name that keeps its name.
    EXPECT_EQ(RegularFiles(Media(image, "/general_storage")),
              (std::vector<std::string>{"/a/b.dat", "/a/deep/c.bin", "/a/zero.dat",
                                        "/general_storage/d.dat", "/store-cache.plist"}));
}

// The radio store opens with SQLite, holds plays in its log that the main file lacks, a play
// whose track is gone and a track never played, and the column types the scanner's model reads.
TEST_F(SimImageJunk, RadioHistoryJoinsPlaysToTracksIncludingThePlaysInTheLog) {
    const std::string image = Build({});
    SqliteFile main(CopyRadio(image, false));
    EXPECT_EQ(main.IntegrityCheck(), "ok");
    EXPECT_EQ(main.Count("SELECT COUNT(*) FROM (" + std::string(kHistoryQuery) + ")"), 5);

    SqliteFile db(CopyRadio(image, true));
    ASSERT_TRUE(db.ok());
    EXPECT_EQ(db.IntegrityCheck(), "ok");
    const auto rows = db.Rows(std::string(kHistoryQuery) + " ORDER BY historyPk");
    ASSERT_TRUE(rows);
    std::vector<std::pair<int64_t, int64_t>> keys;  // history key, track key
    for (const auto& row : *rows) {
        keys.emplace_back(row[0].integer, row[2].integer);
        EXPECT_EQ(row[1].type, SQLITE_FLOAT);
        EXPECT_EQ(row[6].type, SQLITE_FLOAT);
        EXPECT_NE(row[6].real, std::floor(row[6].real));  // dates keep their fraction
        EXPECT_EQ(row[5].type, SQLITE_TEXT);
    }
    // Play 4 names a track that is gone; track 7 was never played.
    EXPECT_EQ(keys, (std::vector<std::pair<int64_t, int64_t>>{
                        {1, 1}, {2, 2}, {3, 3}, {5, 1}, {6, 4}, {7, 5}, {8, 6}}));
    EXPECT_EQ((*rows)[1][5].text, "S\xc3\xb3l og M\xc3\xa1ni");
    EXPECT_EQ((*rows)[4][7].type, SQLITE_NULL);  // a station the store left empty
    EXPECT_EQ(db.Count("SELECT COUNT(*) FROM ZTRACKHISTORY WHERE Z_PK = 4"), 1);
    EXPECT_EQ(db.Count("SELECT COUNT(*) FROM ZTRACK WHERE Z_PK = 7"), 1);
}

TEST_F(SimImageJunk, OlderSystemsHavePlistCrashLogsAndNoRadio) {
    const std::string image = Build({.iosVersion = "6.1.3"});
    EXPECT_FALSE(fs::exists(Media(image, "/Radio")));
    const std::vector<std::string> files =
        RegularFiles(ImagePath(image, "/", ImageRoot::CrashReports));
    EXPECT_EQ(files.size(), 8u);
    EXPECT_EQ(std::count_if(files.begin(), files.end(),
                            [](const std::string& f) { return f.ends_with(".plist"); }),
              6);
}

}  // namespace
}  // namespace bw::sim

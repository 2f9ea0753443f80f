// The junk of an image, read from the image's own files: what each junk scanner has to find is
// there, and so are the files it must leave alone; the databases open with SQLite and hold the
// rows the scanners query; the scale multiplies the junk; the same options give the same bytes.
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
#include "image/junk_sqlite.h"
#include "support/temp_folder.h"

namespace bw::sim {
namespace {

namespace fs = std::filesystem;

constexpr char kCrashRoot[] = "/var/mobile/Library/Logs/CrashReporter";
constexpr char kMedia[] = "/var/mobile/Media";

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

// One result cell, with the storage class SQLite reports for it.
struct Cell {
    int type = SQLITE_NULL;
    int64_t integer = 0;
    double real = 0.0;
    std::string text;
};

class Database {
  public:
    explicit Database(const std::string& path) {
        if (sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK) {
            sqlite3_close(db_);
            db_ = nullptr;
        }
    }
    ~Database() { sqlite3_close(db_); }
    Database(const Database&) = delete;
    Database& operator=(const Database&) = delete;

    bool ok() const { return db_ != nullptr; }

    // The rows of one statement; nullopt when it does not prepare or fails midway.
    std::optional<std::vector<std::vector<Cell>>> Rows(const std::string& sql) {
        sqlite3_stmt* statement = nullptr;
        if (db_ == nullptr ||
            sqlite3_prepare_v2(db_, sql.c_str(), -1, &statement, nullptr) != SQLITE_OK)
            return std::nullopt;
        std::vector<std::vector<Cell>> rows;
        int step = SQLITE_ROW;
        while ((step = sqlite3_step(statement)) == SQLITE_ROW) {
            std::vector<Cell> row;
            for (int i = 0; i < sqlite3_column_count(statement); ++i) {
                Cell cell;
                cell.type = sqlite3_column_type(statement, i);
                cell.integer = sqlite3_column_int64(statement, i);
                cell.real = sqlite3_column_double(statement, i);
                if (const auto* text = sqlite3_column_blob(statement, i))
                    cell.text.assign(static_cast<const char*>(text),
                                     static_cast<size_t>(sqlite3_column_bytes(statement, i)));
                row.push_back(std::move(cell));
            }
            rows.push_back(std::move(row));
        }
        sqlite3_finalize(statement);
        if (step != SQLITE_DONE) return std::nullopt;
        return rows;
    }

    int64_t Count(const std::string& sql) {
        const auto rows = Rows(sql);
        return rows && rows->size() == 1 ? rows->front().front().integer : -1;
    }

    std::string IntegrityCheck() {
        const auto rows = Rows("PRAGMA integrity_check");
        return rows && !rows->empty() ? rows->front().front().text : "(failed)";
    }

  private:
    sqlite3* db_ = nullptr;
};

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

TEST_F(SimImageJunk, CrashLogsLieInTheRootAndItsSubFoldersBesideALinkThatIsNoLog) {
    const std::string image = Build({});
    const std::string root = ImagePath(image, "/", ImageRoot::CrashReports);
    const std::vector<std::string> files = RegularFiles(root);
    ASSERT_EQ(files.size(), 8u);
    std::map<size_t, int> byDepth;
    int empty = 0, accented = 0;
    for (const std::string& file : files) {
        ++byDepth[Depth(file)];
        if (fs::file_size(root + file) == 0) ++empty;
        if (file.find("M\xc3\xa9t\xc3\xa9o_") == 1) ++accented;
        if (Depth(file) == 1 && file.find("LowMemory") == std::string::npos) {
            EXPECT_EQ(file.substr(file.size() - 4), ".ips") << file;
            EXPECT_NE(file.find("_2014-"), std::string::npos) << file;
        }
    }
    EXPECT_EQ(byDepth[1], 5);
    EXPECT_EQ(byDepth[2], 2);  // Panics/..., DiagnosticLogs/powerlog_...
    EXPECT_EQ(byDepth[3], 1);  // DiagnosticLogs/Security/...
    EXPECT_EQ(empty, 1);
    EXPECT_EQ(accented, 1);
    EXPECT_EQ(EmptyFolders(root), std::vector<std::string>{"/Baseband"});

    // The link names a log but is not a regular file, and a log outside the area stays outside.
    const fs::path link = root + "/LatestCrash.ips";
    ASSERT_TRUE(fs::is_symlink(link));
    const std::string target = fs::read_symlink(link).string();
    EXPECT_EQ(target.find("MobileSafari_"), 0u);
    EXPECT_TRUE(std::binary_search(files.begin(), files.end(), "/" + target));
    EXPECT_TRUE(
        fs::is_regular_file(ImagePath(image, "/Logs/AppleSupport/general.log", ImageRoot::Home)));
}

TEST_F(SimImageJunk, DownloadsKeepTheirDatabaseAtTheRootAndLeftoversInSubFolders) {
    const std::string image = Build({});
    const std::string root = Media(image, "/Downloads");
    std::vector<std::string> junk, kept;
    for (const std::string& file : RegularFiles(root)) {
        const bool rootDatabase = Depth(file) == 1 && file.find(".sqlitedb") != std::string::npos;
        (rootDatabase ? kept : junk).push_back(file);
    }
    EXPECT_EQ(kept,
              (std::vector<std::string>{"/downloads.28.sqlitedb", "/downloads.28.sqlitedb-shm",
                                        "/downloads.28.sqlitedb-wal"}));
    ASSERT_EQ(junk.size(), 6u);
    EXPECT_EQ(
        std::count_if(junk.begin(), junk.end(), [](const std::string& f) { return Depth(f) == 1; }),
        1);
    EXPECT_EQ(
        std::count_if(junk.begin(), junk.end(), [](const std::string& f) { return Depth(f) == 3; }),
        1);
    // A sub-folder's file named like the database is junk all the same.
    EXPECT_EQ(std::count_if(junk.begin(), junk.end(),
                            [](const std::string& f) {
                                return f.size() > 22 &&
                                       f.substr(f.size() - 22) == "/downloads.28.sqlitedb";
                            }),
              1);
    EXPECT_EQ(EmptyFolders(root).size(), 1u);

    ASSERT_TRUE(HasSqliteHeader(root + "/downloads.28.sqlitedb"));
    const std::string copy = temp_ / "downloads.28.sqlitedb";
    fs::copy_file(root + "/downloads.28.sqlitedb", copy);
    Database db(copy);
    ASSERT_TRUE(db.ok());
    EXPECT_EQ(db.IntegrityCheck(), "ok");
    const auto paths = db.Rows("SELECT path FROM download ORDER BY pid");
    ASSERT_TRUE(paths);
    ASSERT_EQ(paths->size(), 2u);
    for (const auto& row : *paths)
        EXPECT_TRUE(fs::is_directory(Media(image, row[0].text.substr(17)))) << row[0].text;
}

TEST_F(SimImageJunk, ThumbnailsAreJpegsInSubFoldersBesideAnIndexThatIsNoThumbnail) {
    const std::string image = Build({});
    const std::string root = Media(image, "/DCIM/.THMB");
    std::vector<std::string> inSubFolders, direct;
    for (const std::string& file : RegularFiles(root))
        (Depth(file) > 1 ? inSubFolders : direct).push_back(file);
    EXPECT_EQ(direct, std::vector<std::string>{"/ThumbIndex.plist"});
    EXPECT_EQ(inSubFolders,
              (std::vector<std::string>{"/100APPLE/IMG_0001.THM", "/100APPLE/IMG_0002.THM",
                                        "/100APPLE/IMG_0003.THM", "/100APPLE/IMG_0004.THM",
                                        "/101APPLE/IMG_0101.THM", "/101APPLE/Small/IMG_0101.THM"}));
    EXPECT_EQ(EmptyFolders(root), std::vector<std::string>{"/102APPLE"});
    for (const std::string& file : inSubFolders) {
        const std::string bytes = testing::ReadFileBytes(root + file);
        ASSERT_GT(bytes.size(), 4u) << file;
        EXPECT_EQ(bytes.substr(0, 2), "\xff\xd8") << file;
        EXPECT_EQ(bytes.substr(bytes.size() - 2), "\xff\xd9") << file;
    }
    // The camera roll itself is not thumbnail junk and is still there.
    EXPECT_TRUE(fs::is_regular_file(Media(image, "/DCIM/100APPLE/IMG_0001.JPG")));
}

TEST_F(SimImageJunk, StorageNamesLoseOnlyTheFirstGeneralStorage) {
    const std::string image = Build({});
    std::vector<std::string> names;
    for (const std::string& file : RegularFiles(Media(image, "/general_storage"))) {
        std::string devicePath = "/general_storage" + file;
        devicePath.erase(devicePath.find("/general_storage"), 16);
        names.push_back(devicePath);
    }
    EXPECT_EQ(names, (std::vector<std::string>{"/a/b.dat", "/a/deep/c.bin", "/a/zero.dat",
                                               "/general_storage/d.dat", "/store-cache.plist"}));
    EXPECT_EQ(fs::file_size(Media(image, "/general_storage/a/zero.dat")), 0u);
    EXPECT_EQ(EmptyFolders(Media(image, "/general_storage")), std::vector<std::string>{"/empty"});
}

TEST_F(SimImageJunk, RadioHistoryJoinsPlaysToTracksIncludingThePlaysInTheLog) {
    const std::string image = Build({});
    for (const char* suffix : {"", "-shm", "-wal"})
        EXPECT_TRUE(fs::is_regular_file(Media(image, std::string("/Radio/Radio.db") + suffix)));
    Database db(CopyRadio(image, true));
    ASSERT_TRUE(db.ok());
    EXPECT_EQ(db.IntegrityCheck(), "ok");
    EXPECT_EQ(db.Count("SELECT COUNT(Z_PK) FROM ZTRACKHISTORY"), 8);
    const auto rows = db.Rows(std::string(kHistoryQuery) + " ORDER BY historyPk");
    ASSERT_TRUE(rows);
    std::vector<std::pair<int64_t, int64_t>> keys;  // history key, track key
    for (const auto& row : *rows) {
        keys.emplace_back(row[0].integer, row[2].integer);
        // The types the history model expects, so that no field falls back to its default.
        EXPECT_EQ(row[1].type, SQLITE_FLOAT);
        EXPECT_EQ(row[6].type, SQLITE_FLOAT);
        EXPECT_NE(row[6].real, std::floor(row[6].real));  // dates keep their fraction
        EXPECT_EQ(row[5].type, SQLITE_TEXT);
    }
    // Play 4 names a track that is gone; track 7 was never played.
    EXPECT_EQ(keys, (std::vector<std::pair<int64_t, int64_t>>{
                        {1, 1}, {2, 2}, {3, 3}, {5, 1}, {6, 4}, {7, 5}, {8, 6}}));
    const auto rowOf = [&](int64_t history) -> const std::vector<Cell>& {
        const auto at = std::find_if(keys.begin(), keys.end(),
                                     [&](const auto& key) { return key.first == history; });
        return (*rows)[static_cast<size_t>(at - keys.begin())];
    };
    EXPECT_EQ(rowOf(2)[5].text, "S\xc3\xb3l og M\xc3\xa1ni");
    EXPECT_EQ(rowOf(2)[7].text, "Caf\xc3\xa9 Lounge");
    EXPECT_EQ(rowOf(3)[5].text, "\xe5\xa4\x9c\xe3\x81\xae\xe8\xa1\x97");
    EXPECT_EQ(rowOf(6)[7].type, SQLITE_NULL);  // a station the store left empty
    EXPECT_EQ(rowOf(8)[3].type, SQLITE_NULL);  // an album the store left empty
    EXPECT_EQ(db.Count("SELECT COUNT(*) FROM ZTRACKHISTORY WHERE Z_PK = 4"), 1);
    EXPECT_EQ(db.Count("SELECT COUNT(*) FROM ZTRACK WHERE Z_PK = 7"), 1);
}

TEST_F(SimImageJunk, RadioMainFileWithoutItsLogLacksTheNewestPlays) {
    const std::string image = Build({});
    Database db(CopyRadio(image, false));
    ASSERT_TRUE(db.ok());
    EXPECT_EQ(db.IntegrityCheck(), "ok");
    EXPECT_EQ(db.Count("SELECT COUNT(Z_PK) FROM ZTRACKHISTORY"), 6);
    EXPECT_EQ(db.Count("SELECT COUNT(*) FROM ZTRACKHISTORY WHERE Z_PK IN (7, 8)"), 0);
    EXPECT_EQ(db.Count("SELECT COUNT(*) FROM (" + std::string(kHistoryQuery) + ")"), 5);
}

TEST_F(SimImageJunk, RadioStoreTakesTheDeletesOfAClean) {
    const std::string image = Build({.scale = 40});
    const std::string path = CopyRadio(image, true);
    {
        Database db(path);
        ASSERT_TRUE(db.ok());
        const int64_t before =
            db.Count("SELECT COUNT(*) FROM (" + std::string(kHistoryQuery) + ")");
        EXPECT_EQ(before, 7 + 39 * 10);
        const std::vector<std::pair<int, int>> deleted = {{1, 1}, {7, 5}, {150, 150}};
        for (const auto& [history, track] : deleted) {
            char sql[260];
            std::snprintf(sql, sizeof sql, "DELETE FROM ZTRACKHISTORY WHERE Z_PK =%d", history);
            EXPECT_TRUE(db.Rows(sql));
            std::snprintf(sql, sizeof sql, "DELETE FROM ZTRACK WHERE Z_PK =%d", track);
            EXPECT_TRUE(db.Rows(sql));
        }
    }
    Database reopened(path);
    ASSERT_TRUE(reopened.ok());
    EXPECT_EQ(reopened.IntegrityCheck(), "ok");
    // Play 5 lost its track with play 1.
    EXPECT_EQ(reopened.Count("SELECT COUNT(*) FROM (" + std::string(kHistoryQuery) + ")"),
              7 + 390 - 4);
}

TEST_F(SimImageJunk, OlderSystemsHavePlistCrashLogsAndNoRadio) {
    const std::string image = Build({.iosVersion = "6.1.3"});
    EXPECT_FALSE(fs::exists(Media(image, "/Radio")));
    const std::string root = ImagePath(image, "/", ImageRoot::CrashReports);
    const std::vector<std::string> files = RegularFiles(root);
    EXPECT_EQ(files.size(), 8u);
    EXPECT_EQ(std::count_if(files.begin(), files.end(),
                            [](const std::string& f) {
                                return f.size() > 6 && f.substr(f.size() - 6) == ".plist";
                            }),
              6);
    EXPECT_TRUE(fs::is_symlink(root + "/LatestCrash.plist"));
    EXPECT_EQ(RegularFiles(Media(image, "/Downloads")).size(), 9u);
}

struct JunkCounts {
    size_t crash = 0, downloads = 0, thumbnails = 0, storage = 0;
    int64_t plays = 0;
};

JunkCounts CountJunk(const std::string& image, const std::string& scratch) {
    JunkCounts counts;
    counts.crash = RegularFiles(ImagePath(image, "/", ImageRoot::CrashReports)).size();
    for (const std::string& file : RegularFiles(ImagePath(image, "/Downloads", ImageRoot::Media)))
        counts.downloads += Depth(file) > 1 || file.find(".sqlitedb") == std::string::npos;
    for (const std::string& file : RegularFiles(ImagePath(image, "/DCIM/.THMB", ImageRoot::Media)))
        counts.thumbnails += Depth(file) > 1;
    counts.storage = RegularFiles(ImagePath(image, "/general_storage", ImageRoot::Media)).size();
    fs::create_directories(scratch);
    for (const char* suffix : {"", "-shm", "-wal"})
        fs::copy_file(ImagePath(image, std::string("/Radio/Radio.db") + suffix, ImageRoot::Media),
                      scratch + "/Radio.db" + suffix);
    Database db(scratch + "/Radio.db");
    counts.plays = db.Count("SELECT COUNT(*) FROM (" + std::string(kHistoryQuery) + ")");
    return counts;
}

TEST_F(SimImageJunk, ScaleAddsFiftyFilesAndTenPlaysPerStep) {
    const JunkCounts one = CountJunk(Build({}, "one"), temp_ / "radio-one");
    const JunkCounts three = CountJunk(Build({.scale = 3}, "three"), temp_ / "radio-three");
    EXPECT_EQ(one.crash, 8u);
    EXPECT_EQ(one.downloads, 6u);
    EXPECT_EQ(one.thumbnails, 6u);
    EXPECT_EQ(one.storage, 5u);
    EXPECT_EQ(one.plays, 7);
    EXPECT_EQ(three.crash, 8u + 2 * 12);
    EXPECT_EQ(three.downloads, 6u + 2 * 12);
    EXPECT_EQ(three.thumbnails, 6u + 2 * 16);
    EXPECT_EQ(three.storage, 5u + 2 * 10);
    EXPECT_EQ(three.plays, 7 + 2 * 10);
}

std::map<std::string, std::string> JunkBytes(const std::string& image) {
    std::map<std::string, std::string> bytes;
    for (const char* root : {kCrashRoot, kMedia}) {
        const std::string host = ImagePath(image, root);
        for (const std::string& file : RegularFiles(host))
            bytes[root + file] = testing::ReadFileBytes(host + file);
    }
    return bytes;
}

TEST_F(SimImageJunk, SameOptionsGiveTheSameJunkAndOtherSeedsOtherJunk) {
    const auto first = JunkBytes(Build({.seed = 7, .scale = 2}, "first"));
    const auto second = JunkBytes(Build({.seed = 7, .scale = 2}, "second"));
    const auto other = JunkBytes(Build({.seed = 8, .scale = 2}, "other"));
    ASSERT_GE(first.size(), 80u);
    EXPECT_TRUE(first == second);
    const std::string radio = std::string(kMedia) + "/Radio/Radio.db";
    ASSERT_EQ(other.count(radio), 1u);
    EXPECT_NE(first.at(radio), other.at(radio));
    EXPECT_NE(first.at(radio + "-wal"), other.at(radio + "-wal"));
}

// The SQLite writer on its own: every kind of value, trees of several levels, the log.

std::vector<SqlValue> SampleValues(int64_t i) {
    static const int64_t kEdges[] = {0,
                                     1,
                                     -1,
                                     127,
                                     128,
                                     -128,
                                     -129,
                                     32767,
                                     32768,
                                     -8388608,
                                     8388608,
                                     INT64_C(2147483647),
                                     -INT64_C(2147483649),
                                     INT64_C(140737488355327),
                                     -INT64_C(140737488355329),
                                     INT64_MAX,
                                     INT64_MIN};
    const int64_t edge = kEdges[static_cast<size_t>(i) % std::size(kEdges)];
    return {
        SqlValue::Null(),
        SqlValue::Int(edge),
        SqlValue::Real(static_cast<double>(i) / 7.0),
        SqlValue::Text(std::string(static_cast<size_t>(i % 300), static_cast<char>('a' + i % 26)) +
                       "\xc3\xa9"),
        SqlValue::Blob(std::string(static_cast<size_t>(i % 5), '\0') + "x"),
        i % 3 == 0 ? SqlValue::Null() : SqlValue::Int(i)};
}

TEST(SimSqliteFile, EveryValueRoundTripsThroughATreeOfSeveralLevels) {
    SqlTable many{
        "many",
        "CREATE TABLE many (id INTEGER PRIMARY KEY, a INTEGER, b FLOAT, c TEXT, d BLOB, e)",
        {}};
    // Gaps between rowids, and rowids that need long varints near the end.
    for (int64_t i = 1; i <= 30000; ++i)
        many.rows.push_back({i * 3, SampleValues(i)});
    many.rows.push_back({INT64_C(1) << 57, SampleValues(5)});
    many.rows.push_back({INT64_MAX, SampleValues(6)});
    const SqlTable empty{"empty", "CREATE TABLE empty (x)", {}};
    std::string bytes, error;
    ASSERT_TRUE(BuildSqliteDatabase({many, empty}, false, bytes, error)) << error;
    ASSERT_EQ(bytes.size() % kSqlitePageSize, 0u);
    EXPECT_GT(bytes.size(), kSqlitePageSize * 1000);  // leaves under more than one interior page

    testing::TempFolder temp;
    const std::string path = temp.Write("many.db", bytes);
    Database db(path);
    ASSERT_TRUE(db.ok());
    EXPECT_EQ(db.IntegrityCheck(), "ok");
    EXPECT_EQ(db.Count("SELECT COUNT(*) FROM empty"), 0);
    const auto rows = db.Rows("SELECT id, a, b, c, d, e FROM many ORDER BY id");
    ASSERT_TRUE(rows);
    ASSERT_EQ(rows->size(), many.rows.size());
    for (size_t r = 0; r < rows->size(); ++r) {
        const SqlRow& written = many.rows[r];
        const std::vector<Cell>& read = (*rows)[r];
        ASSERT_EQ(read[0].integer, written.rowid);
        for (size_t c = 1; c < written.values.size(); ++c) {
            const SqlValue& value = written.values[c];
            switch (value.kind) {
                case SqlValue::Kind::Null:
                    EXPECT_EQ(read[c].type, SQLITE_NULL);
                    break;
                case SqlValue::Kind::Integer:
                    EXPECT_EQ(read[c].type, SQLITE_INTEGER);
                    EXPECT_EQ(read[c].integer, value.integer) << "row " << r;
                    break;
                case SqlValue::Kind::Real:
                    EXPECT_EQ(read[c].type, SQLITE_FLOAT);
                    EXPECT_EQ(read[c].real, value.real);
                    break;
                case SqlValue::Kind::Text:
                    EXPECT_EQ(read[c].type, SQLITE_TEXT);
                    EXPECT_EQ(read[c].text, value.bytes);
                    break;
                case SqlValue::Kind::Blob:
                    EXPECT_EQ(read[c].type, SQLITE_BLOB);
                    EXPECT_EQ(read[c].text, value.bytes);
                    break;
            }
        }
    }
    // Lookups go down through the interior pages by key.
    EXPECT_EQ(db.Count("SELECT e FROM many WHERE id = 3 * 29999"), 29999);
    EXPECT_EQ(db.Count("SELECT COUNT(*) FROM many WHERE id = " + std::to_string(INT64_MAX)), 1);
}

TEST(SimSqliteFile, TheLogCarriesTheChangedPagesUntilAChecksumBreaks) {
    const auto database = [](int rows, std::string& bytes) {
        SqlTable table{"t", "CREATE TABLE t (id INTEGER PRIMARY KEY, v TEXT)", {}};
        for (int i = 1; i <= rows; ++i)
            table.rows.push_back({i, {SqlValue::Null(), SqlValue::Text(std::string(100, 'v'))}});
        std::string error;
        return BuildSqliteDatabase({table}, true, bytes, error);
    };
    std::string before, after;
    ASSERT_TRUE(database(50, before));
    ASSERT_TRUE(database(200, after));
    ASSERT_GT(after.size(), before.size());
    const std::string wal = BuildSqliteWal(before, after, 0x1234, 0x5678);
    EXPECT_EQ((wal.size() - 32) % (24 + kSqlitePageSize), 0u);
    EXPECT_EQ(BuildSqliteWal(before, before, 1, 2).size(), 32u);

    testing::TempFolder temp;
    const auto countWith = [&](const std::string& name, const std::string& log) {
        temp.Write(name + ".db", before);
        temp.Write(name + ".db-wal", log);
        Database db(temp / (name + ".db"));
        EXPECT_EQ(db.IntegrityCheck(), "ok") << name;
        return db.Count("SELECT COUNT(*) FROM t");
    };
    EXPECT_EQ(countWith("whole", wal), 200);
    EXPECT_EQ(countWith("empty", BuildSqliteWal(before, before, 1, 2)), 50);
    // A changed byte in the only transaction's last frame voids the whole transaction.
    std::string broken = wal;
    broken[broken.size() - 1] ^= 0x01;
    EXPECT_EQ(countWith("broken", broken), 50);
    // Frames under other salts belong to an older log and are ignored.
    const std::string stale =
        wal.substr(0, 32) + BuildSqliteWal(before, after, 0x1235, 0x5678).substr(32);
    EXPECT_EQ(countWith("stale", stale), 50);
}

TEST(SimSqliteFile, RefusesRowsOutOfOrderRowsTooBigAndASchemaTooBig) {
    std::string bytes, error;
    const std::vector<SqlValue> one = {SqlValue::Int(5)};
    EXPECT_FALSE(BuildSqliteDatabase({{"t", "CREATE TABLE t (x)", {{2, one}, {2, one}}}}, false,
                                     bytes, error));
    EXPECT_NE(error.find("rowids"), std::string::npos);
    EXPECT_FALSE(BuildSqliteDatabase({{"t", "CREATE TABLE t (x)", {{3, one}, {1, one}}}}, false,
                                     bytes, error));
    EXPECT_FALSE(BuildSqliteDatabase(
        {{"t", "CREATE TABLE t (x)", {{1, {SqlValue::Blob(std::string(5000, 'b'))}}}}}, false,
        bytes, error));
    EXPECT_NE(error.find("does not fit"), std::string::npos);
    std::vector<SqlTable> tables;
    for (int i = 0; i < 40; ++i) {
        const std::string name = "table_with_a_long_name_" + std::to_string(i);
        tables.push_back({name, "CREATE TABLE " + name + " (" + std::string(100, 'c') + ")", {}});
    }
    EXPECT_FALSE(BuildSqliteDatabase(tables, false, bytes, error));
    EXPECT_NE(error.find("schema"), std::string::npos);
}

}  // namespace
}  // namespace bw::sim

// The radio history end to end on a simulated device: the database is made here, put on the
// image, scanned, cleaned, and read back from the image afterwards.
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utime.h>

#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "brackwater/scan.h"
#include "platform/files.h"
#include "platform/text.h"
#include "scan/radio_junk.h"
#include "session/scan_device.h"
#include "support/sim_device.h"

namespace bw {
namespace {

using testing::SimDeviceTest;

using testing::kWiredAfc;
using testing::kWiredServices;

constexpr char kSchema[] =
    "CREATE TABLE ZTRACK (Z_PK INTEGER PRIMARY KEY, Z_ENT INTEGER, Z_OPT INTEGER, ZSTORE_ID "
    "FLOAT, ZALBUM VARCHAR, ZARTIST VARCHAR, ZTITLE VARCHAR);"
    "CREATE TABLE ZTRACKHISTORY (Z_PK INTEGER PRIMARY KEY, Z_ENT INTEGER, Z_OPT INTEGER, "
    "ZTRACK_STORE_ID FLOAT, ZDATE TIMESTAMP, ZSTATION_NAME VARCHAR);"
    "INSERT INTO ZTRACK VALUES (1, 2, 1, 1001.0, 'Album One', 'Artist One', 'First Song');"
    "INSERT INTO ZTRACK VALUES (2, 2, 1, 1002.0, 'Album Two', 'Artist Two', 'Second Song');"
    "INSERT INTO ZTRACK VALUES (3, 2, 1, 1003.0, NULL, 'Artist Three', 'Third Song');"
    "INSERT INTO ZTRACKHISTORY VALUES (10, 3, 1, 1001.0, 410000000.5, 'Pop Station');"
    "INSERT INTO ZTRACKHISTORY VALUES (11, 3, 1, 1002.0, 410000100.25, 'Jazz Station');"
    "INSERT INTO ZTRACKHISTORY VALUES (12, 3, 1, 1003.0, 410000200.0, 'Pop Station');"
    // A history row whose track is gone: the join cannot list it.
    "INSERT INTO ZTRACKHISTORY VALUES (13, 3, 1, 9999.0, 410000300.0, 'Lost Station');";

bool RunSql(sqlite3* db, const char* sql) {
    return sqlite3_exec(db, sql, nullptr, nullptr, nullptr) == SQLITE_OK;
}

std::vector<int> Keys(const std::string& path, const char* table) {
    std::vector<int> keys;
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
        sqlite3_close(db);
        return keys;
    }
    sqlite3_stmt* statement = nullptr;
    const std::string sql = std::string("SELECT Z_PK FROM ") + table + " ORDER BY Z_PK";
    if (sqlite3_prepare_v2(db, sql.c_str(), -1, &statement, nullptr) == SQLITE_OK) {
        while (sqlite3_step(statement) == SQLITE_ROW)
            keys.push_back(sqlite3_column_int(statement, 0));
    }
    sqlite3_finalize(statement);
    sqlite3_close(db);
    return keys;
}

std::string Text(IRadioHistoryModel* row, size_t (IRadioHistoryModel::*getter)(BwChar*)) {
    const size_t size = (row->*getter)(nullptr);
    std::u16string text(size, u'\0');
    (row->*getter)(text.data());
    text.resize(size - 2);
    return WideToUtf8(text);
}

class RadioJunk : public SimDeviceTest {
  protected:
    void SetUp() override {
        SimDeviceTest::SetUp();
        image_ = MakeImage("phone");
        Listen();
        phone_ = Arrive(image_);
        ASSERT_NE(phone_, nullptr);
        session_ = std::make_unique<CScanDevice>(phone_);
        session_->SetStatusRecord(&status_);
    }
    void TearDown() override {
        session_.reset();
        EndListening();
    }

    std::string Host(std::string_view devicePath) {
        return sim::ImagePath(image_, devicePath, sim::ImageRoot::Media);
    }

    // Writes the database to the device. In WAL mode the rows stay in the log, as on a device
    // whose radio was playing, and all three files go over.
    void PutDatabase(bool wal) {
        platform::CreateFolders(Host("/Radio"));
        for (const char* name : kRadioDeviceFiles)
            platform::RemoveFile(Host(name));
        const std::string work = folder_ / "radio-work";
        platform::DeleteTree(work);
        platform::CreateFolders(work);
        const std::string path = work + "/Radio.db";
        sqlite3* db = nullptr;
        ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
        if (wal) {
            ASSERT_TRUE(RunSql(db, "PRAGMA journal_mode=WAL; PRAGMA wal_autocheckpoint=0;"));
        }
        ASSERT_TRUE(RunSql(db, kSchema));
        const char* suffixes[] = {"", "-shm", "-wal"};
        for (size_t i = 0; i < 3; ++i) {
            const std::string local = path + suffixes[i];
            if (platform::IsFile(local)) {
                ASSERT_TRUE(platform::CopyFile(local, Host(kRadioDeviceFiles[i])));
            }
        }
        sqlite3_close(db);
        if (wal) {
            ASSERT_TRUE(platform::IsFile(Host("/Radio/Radio.db-wal")));
        }
    }

    IRadioHistoryModel* Row(int32_t index) {
        return static_cast<IRadioHistoryModel*>(session_->GetResult1(index));
    }

    // A copy of the device's database files, so that reading them leaves the image's as they are.
    std::string CopyOfDeviceDatabase() {
        const std::string copy = folder_ / "readback";
        platform::DeleteTree(copy);
        platform::CreateFolders(copy);
        const char* suffixes[] = {"", "-shm", "-wal"};
        for (size_t i = 0; i < 3; ++i) {
            if (platform::IsFile(Host(kRadioDeviceFiles[i])))
                platform::CopyFile(Host(kRadioDeviceFiles[i]), copy + "/Radio.db" + suffixes[i]);
        }
        return copy + "/Radio.db";
    }
    std::vector<int> DeviceKeys(const char* table) { return Keys(CopyOfDeviceDatabase(), table); }

    std::string image_;
    CIPhone* phone_ = nullptr;
    std::unique_ptr<CScanDevice> session_;
    BwScanStatus status_;
};

TEST_F(RadioJunk, ScanListsTheJoinedHistoryRowsWithTheirColumns) {
    PutDatabase(false);
    session_->StartScan(kJunkRadioHistory);
    EXPECT_EQ(status_.finished, 1);
    ASSERT_EQ(session_->GetResultCount1(), 3);
    EXPECT_EQ(session_->GetResultCount0(), 0);
    EXPECT_EQ(status_.selectedCount, 3u);
    // Four history rows are counted, three listed.
    EXPECT_DOUBLE_EQ(status_.progress, 75.0);

    IRadioHistoryModel* first = Row(0);
    EXPECT_EQ(first->GetHistoryKey(), 10);
    EXPECT_EQ(first->GetTrackKey(), 1);
    EXPECT_DOUBLE_EQ(first->GetTrackStoreId(), 1001.0);
    EXPECT_DOUBLE_EQ(first->GetDate(), 410000000.5);
    EXPECT_EQ(Text(first, &IRadioHistoryModel::GetAlbum), "Album One");
    EXPECT_EQ(Text(first, &IRadioHistoryModel::GetArtist), "Artist One");
    EXPECT_EQ(Text(first, &IRadioHistoryModel::GetTitle), "First Song");
    EXPECT_EQ(Text(first, &IRadioHistoryModel::GetStationName), "Pop Station");
    EXPECT_EQ(first->Select(0), 1);
    // A NULL album is not text: the field stays empty.
    EXPECT_EQ(Text(Row(2), &IRadioHistoryModel::GetAlbum), "");
    EXPECT_EQ(Row(2)->GetTrackKey(), 3);
    EXPECT_EQ(Row(3), nullptr);
    ExpectOpen(kWiredAfc, kWiredServices);
}

// The selected rows go, with their tracks, whether the rows were in the database or still in its
// write-ahead log; the edited database holds the log's pages, and no stale log is left beside it.
TEST_F(RadioJunk, CleanDeletesTheSelectedRowsAndWritesTheDatabaseBack) {
    struct Case {
        bool inLog;
        int32_t kept;
        std::vector<int> history, tracks;
    };
    const Case cases[] = {{false, 1, {11, 13}, {2}}, {true, 0, {10, 13}, {1}}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.inLog ? "in the log" : "in the database");
        PutDatabase(c.inLog);
        session_->StartScan(kJunkRadioHistory);
        ASSERT_EQ(session_->GetResultCount1(), 3);
        EXPECT_EQ(Row(c.kept)->Select(1), 0);
        session_->StartClean();
        EXPECT_EQ(status_.finished, 1);
        EXPECT_DOUBLE_EQ(status_.progress, 100.0);
        EXPECT_EQ(DeviceKeys("ZTRACKHISTORY"), c.history);
        EXPECT_EQ(DeviceKeys("ZTRACK"), c.tracks);
        EXPECT_TRUE(platform::IsFile(Host("/Radio/Radio.db")));
        EXPECT_FALSE(platform::IsFile(Host("/Radio/Radio.db-wal")));
    }
    ExpectOpen(kWiredAfc, kWiredServices);
}

TEST_F(RadioJunk, CleanWithNothingSelectedStillWritesTheFilesBack) {
    PutDatabase(false);
    const std::string device = Host("/Radio/Radio.db");
    utimbuf old{1000000000, 1000000000};
    ASSERT_EQ(::utime(device.c_str(), &old), 0);
    session_->StartScan(kJunkRadioHistory);
    for (int32_t i = 0; i < session_->GetResultCount1(); ++i)
        Row(i)->Select(1);
    session_->StartClean();
    EXPECT_EQ(status_.finished, 1);
    EXPECT_NE(platform::LastWriteTime(device).value_or(0), 1000000000);
    EXPECT_EQ(DeviceKeys("ZTRACKHISTORY"), (std::vector<int>{10, 11, 12, 13}));
}

// The copies of the phone's radio database are the user's alone while they exist: a folder only
// the user may enter, in the user's own temporary folder, and files only the user may read.
TEST_F(RadioJunk, CopiesOfTheDeviceFilesArePrivateToTheUser) {
    const std::string shared = folder_ / "shared";
    ASSERT_TRUE(platform::CreateFolder(shared));
    ASSERT_EQ(::chmod(shared.c_str(), 01777), 0);
    ::setenv("TMPDIR", shared.c_str(), 1);
    const std::string own = shared + "/brackwater-" + std::to_string(::geteuid());
    PutDatabase(true);
    session_->StartScan(kJunkRadioHistory);
    ASSERT_EQ(session_->GetResultCount1(), 3);

    // The scan keeps its copies until the clean; nothing else appears in the shared folder.
    std::vector<platform::FolderEntry> entries;
    ASSERT_TRUE(platform::ListFolder(shared, entries));
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(shared + "/" + entries[0].name, own);
    ASSERT_TRUE(platform::ListFolder(own, entries = {}));
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].name.rfind("BrackwaterRadio-", 0), 0u) << entries[0].name;
    const std::string working = own + "/" + entries[0].name;
    for (const std::string& folder : {own, working}) {
        struct stat info {};
        ASSERT_EQ(::lstat(folder.c_str(), &info), 0);
        EXPECT_TRUE(S_ISDIR(info.st_mode)) << folder;
        EXPECT_EQ(info.st_uid, ::geteuid()) << folder;
        EXPECT_EQ(info.st_mode & 07777, 0700u) << folder;
    }
    ASSERT_TRUE(platform::ListFolder(working, entries = {}));
    ASSERT_FALSE(entries.empty());
    for (const platform::FolderEntry& entry : entries) {
        struct stat info {};
        ASSERT_EQ(::lstat((working + "/" + entry.name).c_str(), &info), 0);
        EXPECT_TRUE(S_ISREG(info.st_mode)) << entry.name;
        EXPECT_EQ(info.st_mode & 07777, 0600u) << entry.name;
    }

    session_->StartClean();
    EXPECT_FALSE(platform::PathExists(working));
}

TEST_F(RadioJunk, WithoutADatabaseNothingIsListedOrWritten) {
    for (const char* name : kRadioDeviceFiles)
        platform::RemoveFile(Host(name));
    session_->StartScan(kJunkRadioHistory);
    EXPECT_EQ(status_.finished, 1);
    EXPECT_EQ(session_->GetResultCount1(), 0);
    status_.finished = 0;
    session_->StartClean();
    EXPECT_EQ(status_.finished, 1);
    for (const char* name : kRadioDeviceFiles)
        EXPECT_FALSE(platform::PathExists(Host(name))) << name;
    ExpectOpen(kWiredAfc, kWiredServices);
}

// The image's own radio database, as the builder wrote it: the scan lists exactly the history
// rows whose track the database still holds.
TEST_F(RadioJunk, TheImagesOwnHistoryIsListedRowForRow) {
    if (!platform::IsFile(Host("/Radio/Radio.db"))) GTEST_SKIP() << "no radio database";
    // The rows to expect, worked out here without a join: every history row whose store id is
    // the store id of some track.
    std::set<double> trackStoreIds;
    std::vector<std::pair<int, double>> history;
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(CopyOfDeviceDatabase().c_str(), &db), SQLITE_OK);
    sqlite3_stmt* statement = nullptr;
    ASSERT_EQ(sqlite3_prepare_v2(db, "SELECT ZSTORE_ID FROM ZTRACK", -1, &statement, nullptr),
              SQLITE_OK);
    while (sqlite3_step(statement) == SQLITE_ROW) {
        if (sqlite3_column_type(statement, 0) != SQLITE_NULL)
            trackStoreIds.insert(sqlite3_column_double(statement, 0));
    }
    sqlite3_finalize(statement);
    ASSERT_EQ(sqlite3_prepare_v2(db, "SELECT Z_PK, ZTRACK_STORE_ID FROM ZTRACKHISTORY", -1,
                                 &statement, nullptr),
              SQLITE_OK);
    while (sqlite3_step(statement) == SQLITE_ROW) {
        if (sqlite3_column_type(statement, 1) != SQLITE_NULL)
            history.emplace_back(sqlite3_column_int(statement, 0),
                                 sqlite3_column_double(statement, 1));
    }
    sqlite3_finalize(statement);
    sqlite3_close(db);
    std::set<int> joined;
    for (const auto& [key, storeId] : history) {
        if (trackStoreIds.count(storeId) != 0) joined.insert(key);
    }
    ASSERT_FALSE(joined.empty());

    session_->StartScan(kJunkRadioHistory);
    std::set<int> listed;
    for (int32_t i = 0; i < session_->GetResultCount1(); ++i)
        listed.insert(Row(i)->GetHistoryKey());
    EXPECT_EQ(listed, joined);
    EXPECT_EQ(status_.selectedCount, joined.size());
    ExpectOpen(kWiredAfc, kWiredServices);
}

TEST_F(RadioJunk, LocalCopiesGoWithTheScanner) {
    PutDatabase(false);
    session_->StartScan(kJunkRadioHistory);
    auto* scanner = dynamic_cast<CRadioTempJunk*>(session_->Scanner());
    ASSERT_NE(scanner, nullptr);
    const std::string local = scanner->localPaths[0];
    ASSERT_TRUE(platform::IsFile(local));
    const std::string folder = local.substr(0, local.rfind('/'));
    session_->StartScan(kJunkRadioHistory);  // a new scanner, a new working folder
    EXPECT_FALSE(platform::PathExists(folder));
    const std::string second = dynamic_cast<CRadioTempJunk*>(session_->Scanner())->localPaths[0];
    session_.reset();
    EXPECT_FALSE(platform::PathExists(second.substr(0, second.rfind('/'))));
}

}  // namespace
}  // namespace bw

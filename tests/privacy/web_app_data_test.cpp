// The web application data scanner: application caches (iOS 5 and 6) and local storage (iOS 7),
// listed through the scan session from a backup folder the test writes, cleaned in the working
// copies, and checked afterwards with sqlite3 itself.
#include "privacy/web_app_cache.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <vector>

#include "backup/configure_test_support.h"
#include "backup/device_backup.h"
#include "brackwater/scan.h"
#include "platform/text.h"
#include "privacy/safari_test_support.h"
#include "privacy/sqlite_fixture.h"
#include "privacy/web_mail.h"
#include "session/scan_device.h"
#include "support/canary.h"
#include "support/sim_device.h"
#include "support/temp_folder.h"

namespace bw::web_app_test {
namespace {

using testing::IntegrityCheck;
using testing::QueryRows;
using testing::ReadFileBytes;
using testing::RunSql;
using testing::Text;

constexpr char kCachePath[] = "Library/Caches/com.apple.WebAppCache/ApplicationCache.db";
constexpr char kSafariApp[] = "AppDomain-com.apple.mobilesafari";
constexpr char kTrackerPath[] = "Library/WebKit/LocalStorage/StorageTracker.db";

// The browser's application-cache tables and triggers, as the browser creates them.
constexpr char kCacheSchema[] =
    "CREATE TABLE CacheGroups (id INTEGER PRIMARY KEY AUTOINCREMENT, manifestHostHash INTEGER NOT "
    "NULL ON CONFLICT FAIL, manifestURL TEXT UNIQUE ON CONFLICT FAIL, newestCache INTEGER, origin "
    "TEXT);"
    "CREATE TABLE Caches (id INTEGER PRIMARY KEY AUTOINCREMENT, cacheGroup INTEGER, size INTEGER);"
    "CREATE TABLE CacheWhitelistURLs (url TEXT NOT NULL ON CONFLICT FAIL, cache INTEGER NOT NULL "
    "ON CONFLICT FAIL);"
    "CREATE TABLE CacheAllowsAllNetworkRequests (wildcard INTEGER NOT NULL ON CONFLICT FAIL, "
    "cache INTEGER NOT NULL ON CONFLICT FAIL);"
    "CREATE TABLE FallbackURLs (namespace TEXT NOT NULL ON CONFLICT FAIL, fallbackURL TEXT NOT "
    "NULL ON CONFLICT FAIL, cache INTEGER NOT NULL ON CONFLICT FAIL);"
    "CREATE TABLE CacheEntries (cache INTEGER NOT NULL ON CONFLICT FAIL, type INTEGER, resource "
    "INTEGER NOT NULL);"
    "CREATE TABLE CacheResources (id INTEGER PRIMARY KEY AUTOINCREMENT, url TEXT NOT NULL ON "
    "CONFLICT FAIL, statusCode INTEGER NOT NULL, responseURL TEXT NOT NULL, mimeType TEXT, "
    "textEncodingName TEXT, headers TEXT, data INTEGER NOT NULL ON CONFLICT FAIL);"
    "CREATE TABLE CacheResourceData (id INTEGER PRIMARY KEY AUTOINCREMENT, data BLOB, path TEXT);"
    "CREATE TABLE DeletedCacheResources (id INTEGER PRIMARY KEY AUTOINCREMENT, path TEXT);"
    "CREATE TABLE Origins (origin TEXT UNIQUE ON CONFLICT IGNORE, quota INTEGER NOT NULL ON "
    "CONFLICT FAIL);"
    "CREATE TRIGGER CacheDeleted AFTER DELETE ON Caches FOR EACH ROW BEGIN  DELETE FROM "
    "CacheEntries WHERE cache = OLD.id;  DELETE FROM CacheWhitelistURLs WHERE cache = OLD.id;  "
    "DELETE FROM CacheAllowsAllNetworkRequests WHERE cache = OLD.id;  DELETE FROM FallbackURLs "
    "WHERE cache = OLD.id; END;"
    "CREATE TRIGGER CacheEntryDeleted AFTER DELETE ON CacheEntries FOR EACH ROW BEGIN  DELETE "
    "FROM CacheResources WHERE id = OLD.resource; END;"
    "CREATE TRIGGER CacheResourceDeleted AFTER DELETE ON CacheResources FOR EACH ROW BEGIN  "
    "DELETE FROM CacheResourceData WHERE id = OLD.data; END;";
constexpr char kDataTrigger[] =
    "CREATE TRIGGER CacheResourceDataDeleted AFTER DELETE ON CacheResourceData FOR EACH ROW WHEN "
    "OLD.path NOT NULL BEGIN  INSERT INTO DeletedCacheResources (path) values (OLD.path); END";

// Three caches: two plain origins and one whose text is SQL; five resources, two of them kept
// in files (path not NULL). One origin has no group any more. Cache 2 is larger than 4 GiB and
// group 2's host hash has its top bit set, so both need more than 32 signed bits.
constexpr char kCacheRows[] =
    "INSERT INTO CacheGroups VALUES (1, 11, 'http://a.example/app.manifest', 1, "
    "'http://a.example');"
    "INSERT INTO CacheGroups VALUES (2, 3000000000, 'http://b.example/x''y%.manifest', 2, "
    "'http://b.example''); DROP TABLE Caches;--%');"
    "INSERT INTO CacheGroups VALUES (3, 33, 'http://c.example/c.manifest', 3, "
    "'http://c.example');"
    "INSERT INTO Caches VALUES (1, 1, 5000);"
    "INSERT INTO Caches VALUES (2, 2, 6000000000);"
    "INSERT INTO Caches VALUES (3, 3, 700);"
    "INSERT INTO CacheResourceData VALUES (1, x'0102030405', 'files/one');"
    "INSERT INTO CacheResourceData VALUES (2, x'0102', NULL);"
    "INSERT INTO CacheResourceData VALUES (3, x'01020304', 'files/three');"
    "INSERT INTO CacheResourceData VALUES (4, x'01', NULL);"
    "INSERT INTO CacheResourceData VALUES (5, x'010203', NULL);"
    "INSERT INTO CacheResources VALUES (1, 'http://a.example/index.html', 200, "
    "'http://a.example/index.html', 'text/html', 'utf-8', '', 1);"
    "INSERT INTO CacheResources VALUES (2, 'http://a.example/app.js', 200, "
    "'http://a.example/app.js', 'text/javascript', 'utf-8', '', 2);"
    "INSERT INTO CacheResources VALUES (3, 'http://b.example/../etc', 200, 'x', 'image/png', '', "
    "'', 3);"
    "INSERT INTO CacheResources VALUES (4, 'http://b.example/b.css', 200, 'x', 'text/css', '', '', "
    "4);"
    "INSERT INTO CacheResources VALUES (5, 'http://c.example/c.html', 200, 'x', 'text/html', '', "
    "'', 5);"
    "INSERT INTO CacheEntries VALUES (1, 1, 1);"
    "INSERT INTO CacheEntries VALUES (1, 2, 2);"
    "INSERT INTO CacheEntries VALUES (2, 1, 3);"
    "INSERT INTO CacheEntries VALUES (2, 2, 4);"
    "INSERT INTO CacheEntries VALUES (3, 1, 5);"
    "INSERT INTO Origins VALUES ('http://a.example', 5242880);"
    "INSERT INTO Origins VALUES ('http://b.example''); DROP TABLE Caches;--%', 5242880);"
    "INSERT INTO Origins VALUES ('http://c.example', 5242880);"
    "INSERT INTO Origins VALUES ('http://orphan.example', 5242880);";

// The texts the tests read, through the two-call getters.
constexpr auto kOrigin = &ICacheGroupsModel::GetOrigin;
constexpr auto kUrl = &ICacheGroupsModel::GetManifestUrl;
constexpr auto kStoredPath = &ICacheGroupsModel::GetStoredPath;
constexpr auto kKey = &IResourceDataModel::GetKey;
constexpr auto kValue = &IResourceDataModel::GetValue;

class WebAppDataTest : public testing::DeepCleanFixture {
  protected:
    void SetUp() override {
        DeepCleanFixture::SetUp();
        session_.SetStatusRecord(status());
    }

    std::string Database(const std::string& name, const std::string& sql) {
        const std::string path = databases_ / name;
        RunSql(path, sql);
        return ReadFileBytes(path);
    }

    void Scan(const std::string& version) {
        ASSERT_TRUE(SetUpTool(CConfigureTool::Instance(), version));
        before_ = testing::FingerprintTree(Source());
        session_.StartScan(kJunkWebAppData);
        ASSERT_NE(dynamic_cast<CWebAppCookieJunk*>(session_.Scanner()), nullptr);
        EXPECT_EQ(status()->finished, 1);
    }

    void Clean() {
        status()->finished = 0;
        session_.StartClean();
        EXPECT_EQ(status()->finished, 1);
        // Nothing reaches the backup folder before completion.
        EXPECT_EQ(testing::FingerprintTree(Source()), before_);
    }

    ICacheGroupsModel* Group(int32_t index) {
        return static_cast<ICacheGroupsModel*>(session_.GetResult0(index));
    }
    std::string Copy(std::string_view domain, std::string_view path) const {
        return RestoreCopy() + "/" + FileName(domain, path);
    }
    BwScanStatus* status() { return reinterpret_cast<BwScanStatus*>(bytes_); }

    testing::TempFolder databases_;
    CScanDevice session_{nullptr};
    alignas(8) unsigned char bytes_[sizeof(BwScanStatus)] = {};
    testing::TreeFingerprint before_;
};

// ---- Application caches (iOS 5 and 6) ----

class AppCacheTest : public WebAppDataTest {
  protected:
    void WriteCache(const std::string& sql) {
        WriteBackup({{"HomeDomain", kCachePath, Database("cache.db", sql)}});
    }
    std::string CacheCopy() const { return Copy("HomeDomain", kCachePath); }
    std::vector<std::string> Rows(const std::string& sql) const {
        return QueryRows(CacheCopy(), sql);
    }
};

TEST_F(AppCacheTest, EachCacheIsOneRecordWithItsResources) {
    WriteCache(std::string(kCacheSchema) + kDataTrigger + ";" + kCacheRows);
    Scan("6.1.3");
    ASSERT_EQ(session_.GetResultCount0(), 3);
    EXPECT_EQ(session_.GetResult0(3), nullptr);

    ICacheGroupsModel* b = Group(1);
    EXPECT_EQ(b->GetCacheId(), 2);
    EXPECT_EQ(b->GetCacheGroupId(), 2);
    EXPECT_EQ(b->GetSize(), 6000000000u);
    EXPECT_EQ(b->GetManifestHostHash(), 3000000000);
    EXPECT_EQ(b->GetNewestCacheId(), 2);
    EXPECT_EQ(Text(b, kUrl), u"http://b.example/x'y%.manifest");
    EXPECT_EQ(Text(b, kOrigin), u"http://b.example'); DROP TABLE Caches;--%");
    EXPECT_EQ(Text(b, kStoredPath), u"");
    ASSERT_EQ(b->GetItemCount(), 2);
    EXPECT_EQ(b->GetItem(2), nullptr);
    EXPECT_EQ(b->GetItem(-1), nullptr);
    EXPECT_EQ(b->GetItem(0)->GetResourceId(), 3);
    EXPECT_EQ(Text(b->GetItem(0), kKey), u"http://b.example/../etc");
    EXPECT_EQ(Text(b->GetItem(0), kValue), u"image/png");
    EXPECT_EQ(b->GetItem(0)->GetSize(), 4u);
    EXPECT_EQ(Text(Group(0), kOrigin), u"http://a.example");
    EXPECT_EQ(Text(Group(2), kOrigin), u"http://c.example");

    // Three caches and five resources, all selected; the size is the caches' own.
    EXPECT_EQ(status()->selectedCount, 8u);
    EXPECT_EQ(status()->selectedSize, 5000u + 6000000000u + 700u);
    EXPECT_DOUBLE_EQ(status()->progress, 100.0);
}

// iOS 6's database has a trigger that queues the files of deleted data; iOS 5's has none and must
// not gain one.
class AppCacheCleanTest : public AppCacheTest, public ::testing::WithParamInterface<bool> {};

TEST_P(AppCacheCleanTest, CleanRemovesSelectedCachesWholeAndSelectedResourcesOfTheOthers) {
    const bool trigger = GetParam();
    WriteCache(std::string(kCacheSchema) + (trigger ? std::string(kDataTrigger) + ";" : "") +
               kCacheRows);
    Scan(trigger ? "6.1.3" : "5.1.1");
    ASSERT_EQ(session_.GetResultCount0(), 3);
    Group(0)->Select(1);              // a: kept, with only its first resource removed
    Group(0)->GetItem(1)->Select(1);  //    app.js stays
    Group(2)->Select(1);              // c: kept whole
    Group(2)->GetItem(0)->Select(1);
    const std::vector<std::string> whitelistBefore = Rows("SELECT * FROM CacheWhitelistURLs");
    Clean();

    // Cache 2 goes with its group, entries, resources and data; of cache 1 only resource 1.
    EXPECT_EQ(Rows("SELECT id FROM Caches ORDER BY id"), (std::vector<std::string>{"1", "3"}));
    EXPECT_EQ(Rows("SELECT id FROM CacheGroups ORDER BY id"), (std::vector<std::string>{"1", "3"}));
    EXPECT_EQ(Rows("SELECT cache || ':' || resource FROM CacheEntries ORDER BY resource"),
              (std::vector<std::string>{"1:2", "3:5"}));
    EXPECT_EQ(Rows("SELECT id FROM CacheResources ORDER BY id"),
              (std::vector<std::string>{"2", "5"}));
    EXPECT_EQ(Rows("SELECT id FROM CacheResourceData ORDER BY id"),
              (std::vector<std::string>{"2", "5"}));
    // The trigger was out of the way: no data file was queued for deletion.
    EXPECT_TRUE(Rows("SELECT * FROM DeletedCacheResources").empty());
    // Origins without a group go: b's and the one that had none before.
    EXPECT_EQ(Rows("SELECT origin FROM Origins ORDER BY origin"),
              (std::vector<std::string>{"http://a.example", "http://c.example"}));
    EXPECT_EQ(Rows("SELECT name || '=' || seq FROM sqlite_sequence ORDER BY name"),
              (std::vector<std::string>{"CacheGroups=3", "CacheResourceData=5", "CacheResources=5",
                                        "Caches=3"}));
    // The trigger is back, word for word, or still absent.
    EXPECT_EQ(Rows("SELECT sql FROM sqlite_master WHERE name = 'CacheResourceDataDeleted'"),
              trigger ? std::vector<std::string>{kDataTrigger} : std::vector<std::string>{});
    EXPECT_EQ(Rows("SELECT count(*) FROM sqlite_master WHERE type = 'trigger'"),
              std::vector<std::string>{trigger ? "4" : "3"});
    EXPECT_EQ(Rows("SELECT * FROM CacheWhitelistURLs"), whitelistBefore);
    EXPECT_EQ(IntegrityCheck(CacheCopy()), "ok");

    // The clean subtracts what it removed; the host's deselections are its own to count:
    // 8 - (cache b and its two resources) - (resource 1 of a).
    EXPECT_EQ(status()->selectedCount, 4u);
    EXPECT_EQ(status()->selectedSize, 5000u + 700u);
}

INSTANTIATE_TEST_SUITE_P(DataTrigger, AppCacheCleanTest, ::testing::Bool());

// A delete the database refuses halfway through a selected cache leaves the whole database as it
// was, trigger included, and the totals with it.
TEST_F(AppCacheTest, ARefusedDeleteRollsTheWholeCleanBack) {
    WriteCache(std::string(kCacheSchema) + kDataTrigger + ";" + kCacheRows +
               "CREATE TRIGGER Refuse BEFORE DELETE ON CacheGroups WHEN OLD.id = 3 BEGIN "
               "SELECT RAISE(ABORT, 'refused'); END;");
    Scan("6.1.3");
    ASSERT_EQ(session_.GetResultCount0(), 3);
    constexpr char kShape[] =
        "SELECT (SELECT group_concat(id) FROM Caches) || ';' || (SELECT group_concat(id) FROM "
        "CacheGroups) || ';' || (SELECT group_concat(resource) FROM CacheEntries) || ';' || "
        "(SELECT count(*) FROM Origins) || ';' || (SELECT count(*) FROM sqlite_master)";
    const std::vector<std::string> before = Rows(kShape);
    Clean();
    EXPECT_EQ(Rows(kShape), before);
    EXPECT_EQ(Rows("SELECT count(*) FROM sqlite_master WHERE name = 'CacheResourceDataDeleted'"),
              std::vector<std::string>{"1"});
    EXPECT_TRUE(Rows("SELECT * FROM DeletedCacheResources").empty());
    EXPECT_EQ(IntegrityCheck(CacheCopy()), "ok");
    EXPECT_EQ(status()->selectedCount, 8u);
}

// The last is iOS 7's local-storage tracker, cut after its header.
enum class Damage { kNoOriginsTable, kTruncated, kText, kHeaderOnly, kTracker };

class DamagedAppCacheTest : public AppCacheTest, public ::testing::WithParamInterface<Damage> {};

TEST_P(DamagedAppCacheTest, ListsNothingAndLeavesTheCopyAsItWas) {
    const std::string good = Database("good.db", std::string(kCacheSchema) + kCacheRows);
    std::string bytes;
    switch (GetParam()) {
        case Damage::kNoOriginsTable:
            bytes = Database("no_origins.db",
                             std::string(kCacheSchema) + kCacheRows + "DROP TABLE Origins;");
            break;
        case Damage::kTruncated:
            bytes = good.substr(0, good.size() / 2);
            break;
        case Damage::kText:
            bytes = "not a database at all, just text";
            break;
        case Damage::kHeaderOnly:
            bytes = std::string("SQLite format 3\0", 16) + std::string(200, '\xff');
            break;
        case Damage::kTracker:
            bytes = std::string("SQLite format 3\0trunc", 21);
            break;
    }
    const bool tracker = GetParam() == Damage::kTracker;
    const std::string domain = tracker ? kSafariApp : "HomeDomain";
    const std::string path = tracker ? kTrackerPath : kCachePath;
    WriteBackup({{domain, path, bytes}}, tracker ? "7.1.2" : "6.1.3");
    Scan(tracker ? "7.1.2" : "6.1.3");
    EXPECT_EQ(session_.GetResultCount0(), 0);
    EXPECT_EQ(status()->selectedCount, 0u);
    Clean();
    EXPECT_EQ(ReadFileBytes(Copy(domain, path)), bytes);
}

INSTANTIATE_TEST_SUITE_P(Inputs, DamagedAppCacheTest,
                         ::testing::Values(Damage::kNoOriginsTable, Damage::kTruncated,
                                           Damage::kText, Damage::kHeaderOnly, Damage::kTracker));

// ---- Local storage (iOS 7) ----

// The tracker's paths are the device's; the scanner looks them up in the Safari domain from
// "Library" on.
std::string DevicePath(const std::string& name) {
    return "/var/mobile/Library/WebKit/LocalStorage/" + name;
}

constexpr char kTrackerSchema[] =
    "CREATE TABLE Origins (origin TEXT UNIQUE ON CONFLICT REPLACE, "
    "path TEXT);";
constexpr char kItemSchemaText[] =
    "CREATE TABLE ItemTable (key TEXT UNIQUE ON CONFLICT REPLACE, value TEXT NOT NULL ON "
    "CONFLICT FAIL);";
constexpr char kItemSchemaBlob[] =
    "CREATE TABLE ItemTable (key TEXT UNIQUE ON CONFLICT REPLACE, value BLOB NOT NULL ON "
    "CONFLICT FAIL);";
constexpr char kPlainFile[] = "https_a.example_0.localstorage";
constexpr char kQuoteFile[] = "https_q'uote_0.localstorage";

class LocalStorageTest : public WebAppDataTest {
  protected:
    // Four origins: a plain one, one with a quote in its name and in its keys (values stored
    // as UTF-16 blobs), one whose path names the tracker itself, and one whose file the backup
    // does not hold.
    void WriteLocalStorage() {
        const std::string tracker =
            std::string(kTrackerSchema) + "INSERT INTO Origins VALUES ('https_a.example_0', '" +
            DevicePath(kPlainFile) + "');" + "INSERT INTO Origins VALUES ('https_q''uote_0', '" +
            DevicePath("https_q''uote_0.localstorage") + "');" +
            "INSERT INTO Origins VALUES ('../escape', '" + DevicePath("StorageTracker.db") + "');" +
            "INSERT INTO Origins VALUES ('https_gone_0', '" +
            DevicePath("https_gone_0.localstorage") + "');";
        const std::string plain = std::string(kItemSchemaText) +
                                  "INSERT INTO ItemTable VALUES ('theme', 'dark');"
                                  "INSERT INTO ItemTable VALUES ('it''s', '100%');"
                                  "INSERT INTO ItemTable VALUES ('x'') OR 1=1 --', 'sql');";
        // "hi" and "ok" in UTF-16LE.
        const std::string quote = std::string(kItemSchemaBlob) +
                                  "INSERT INTO ItemTable VALUES ('a''b', x'68006900');"
                                  "INSERT INTO ItemTable VALUES ('%', x'6f006b00');";
        WriteBackup(
            {
                {kSafariApp, "Library/WebKit", "", true},
                {kSafariApp, kTrackerPath, Database("tracker.db", tracker)},
                {kSafariApp, std::string("Library/WebKit/LocalStorage/") + kPlainFile,
                 Database("plain.db", plain)},
                {kSafariApp, std::string("Library/WebKit/LocalStorage/") + kQuoteFile,
                 Database("quote.db", quote)},
            },
            "7.1.2");
    }
    std::string TrackerCopy() const { return Copy(kSafariApp, kTrackerPath); }
    std::string StorageCopy(const char* name) const {
        return Copy(kSafariApp, std::string("Library/WebKit/LocalStorage/") + name);
    }
};

TEST_F(LocalStorageTest, EachOriginIsOneRecordWithItsPairs) {
    WriteLocalStorage();
    Scan("7.1.2");
    ASSERT_EQ(session_.GetResultCount0(), 4);
    ICacheGroupsModel* plain = Group(0);
    EXPECT_EQ(Text(plain, kOrigin), u"https_a.example_0");
    EXPECT_EQ(Text(plain, kUrl), u"Library/WebKit/LocalStorage/https_a.example_0.localstorage");
    EXPECT_EQ(Text(plain, kStoredPath),
              u"/var/mobile/Library/WebKit/LocalStorage/https_a.example_0.localstorage");
    EXPECT_EQ(plain->GetCacheId(), 0);
    ASSERT_EQ(plain->GetItemCount(), 3);
    EXPECT_EQ(Text(plain->GetItem(1), kKey), u"it's");
    EXPECT_EQ(Text(plain->GetItem(1), kValue), u"100%");
    EXPECT_EQ(plain->GetItem(1)->GetSize(), 8u);
    EXPECT_EQ(plain->GetSize(), 9u + 8u + 16u);

    ICacheGroupsModel* quote = Group(1);
    EXPECT_EQ(Text(quote, kOrigin), u"https_q'uote_0");
    ASSERT_EQ(quote->GetItemCount(), 2);
    EXPECT_EQ(Text(quote->GetItem(0), kKey), u"a'b");
    EXPECT_EQ(Text(quote->GetItem(0), kValue), u"hi");
    EXPECT_EQ(Text(quote->GetItem(1), kValue), u"ok");

    // A path that is not a local-storage file of its own, and a file the backup lacks: listed,
    // without items.
    EXPECT_EQ(Text(Group(2), kOrigin), u"../escape");
    EXPECT_EQ(Text(Group(2), kUrl), u"");
    EXPECT_EQ(Group(2)->GetItemCount(), 0);
    EXPECT_EQ(Group(3)->GetItemCount(), 0);
    EXPECT_EQ(status()->selectedCount, 4u + 3u + 2u);
    EXPECT_EQ(status()->selectedSize, plain->GetSize() + quote->GetSize());
}

TEST_F(LocalStorageTest, CleanRemovesSelectedPairsAndSelectedOriginsWithTheirFiles) {
    WriteLocalStorage();
    Scan("7.1.2");
    ASSERT_EQ(session_.GetResultCount0(), 4);
    Group(0)->Select(1);  // kept; of its pairs "theme" stays
    Group(0)->GetItem(0)->Select(1);
    Group(3)->Select(1);  // kept
    // Group 1 (quotes) and group 2 (the tracker's own path) stay selected.
    Clean();

    EXPECT_EQ(QueryRows(StorageCopy(kPlainFile), "SELECT key, value FROM ItemTable"),
              std::vector<std::string>{"theme|dark"});
    EXPECT_EQ(IntegrityCheck(StorageCopy(kPlainFile)), "ok");
    EXPECT_TRUE(QueryRows(StorageCopy(kQuoteFile), "SELECT key FROM ItemTable").empty());
    EXPECT_EQ(QueryRows(TrackerCopy(), "SELECT origin FROM Origins ORDER BY origin"),
              (std::vector<std::string>{"https_a.example_0", "https_gone_0"}));
    EXPECT_EQ(IntegrityCheck(TrackerCopy()), "ok");
    // 9 - (two pairs of a) - (both pairs of the quoted origin) - (the two selected origins).
    EXPECT_EQ(status()->selectedCount, 3u);

    // Completion deletes the selected origin's file from the backup and writes the edited
    // tracker and the plain origin's database back; the tracker is not deleted, whatever the
    // origin named as its path.
    ASSERT_TRUE(CConfigureTool::Instance().Complete());
    EXPECT_FALSE(platform::IsFile(
        SourceFile(kSafariApp, std::string("Library/WebKit/LocalStorage/") + kQuoteFile)));
    const std::string tracker = SourceFile(kSafariApp, kTrackerPath);
    EXPECT_EQ(QueryRows(tracker, "SELECT origin FROM Origins ORDER BY origin"),
              (std::vector<std::string>{"https_a.example_0", "https_gone_0"}));
    EXPECT_EQ(
        QueryRows(SourceFile(kSafariApp, std::string("Library/WebKit/LocalStorage/") + kPlainFile),
                  "SELECT key FROM ItemTable"),
        std::vector<std::string>{"theme"});
    ExpectManifestMatchesFiles();
}

// ---- The simulated phone ----

// The phone's web data, backed up by the backup tool, lies in the domains the configuration
// serves from: both scanners find what the image holds for its iOS version. The suite's name
// puts it among the tests that start the backup tool, which run one at a time.
class BackupToolWebData : public testing::SimDeviceTest,
                          public ::testing::WithParamInterface<const char*> {
  protected:
    bool BackUp(const std::string& udid) {
        BackupStatus backup{};
        CDeviceBackUp run(Utf8ToWide(udid), kBackupModeBackup, false, u"");
        run.SetStatus(&backup);
        run.Start();
        const bool ended = testing::WaitUntil(
            [&] { return std::atomic_ref<uint8_t>(backup.finished).load() == 1; }, 60000);
        return ended && backup.failed == 0;
    }
};

TEST_P(BackupToolWebData, BothScannersFindTheImagesWebData) {
    const std::string version = GetParam();
    ASSERT_TRUE(platform::SetEnv("XDG_DATA_HOME", folder_ / "appdata"));
    // The backup tool's pipe lives in a folder of this test's own, apart from other tests' runs.
    ASSERT_TRUE(platform::SetEnv("BRACKWATER_RUNTIME_DIR", folder_ / "pipes"));
    Listen();
    sim::ImageOptions options;
    options.seed = 5;
    options.iosVersion = version;
    const std::string image = MakeImage("phone", options);
    ASSERT_TRUE(platform::SetEnv("BRACKWATER_SIM_IMAGES", image));
    std::string udid;
    CIPhone* phone = Arrive(image, &udid);
    ASSERT_NE(phone, nullptr);
    ASSERT_TRUE(BackUp(udid));
    ASSERT_TRUE(CConfigureTool::Instance().CreateIn(phone, folder_ / "work", false));

    CScanDevice session(phone);
    alignas(8) unsigned char bytes[sizeof(BwScanStatus)] = {};
    session.SetStatusRecord(reinterpret_cast<BwScanStatus*>(bytes));
    session.StartScan(kJunkWebAppData);
    const bool seven = version.starts_with('7');
    ASSERT_EQ(session.GetResultCount0(), seven ? 3 : 4);
    int32_t items = 0;
    for (int32_t i = 0; i < session.GetResultCount0(); ++i) {
        auto* group = static_cast<ICacheGroupsModel*>(session.GetResult0(i));
        EXPECT_GT(group->GetItemCount(), 0) << i;
        items += group->GetItemCount();
    }
    // Each cache lists its manifest too.
    EXPECT_EQ(items, seven ? 11 : 15);

    session.StartScan(kJunkWebMail);
    ASSERT_EQ(session.GetResultCount0(), 2);
    EXPECT_EQ(static_cast<IMailModel*>(session.GetResult0(0))->GetMessageCount(), 6);
    EXPECT_EQ(static_cast<IMailModel*>(session.GetResult0(1))->GetMessageCount(), 5);
    EndListening();
}

INSTANTIATE_TEST_SUITE_P(Versions, BackupToolWebData, ::testing::Values("6.1.3", "7.1.2"));

}  // namespace
}  // namespace bw::web_app_test

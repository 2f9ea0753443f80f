// The surplus-attachments scanner on backups written by the test: the orphan cleanup of the SMS
// database, the listing of attachment files no row refers to, and the clean that takes the
// selected files and their manifest records out of the backup when the deep clean completes.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>

#include "backup/configure_test_support.h"
#include "backuptool/mbdb.h"
#include "brackwater/privacy.h"
#include "platform/text.h"
#include "privacy/surplus_files_junk.h"
#include "privacy/surplus_test_support.h"
#include "session/scan_device.h"
#include "support/canary.h"

namespace bw::testing {
namespace {

constexpr char kGuidA[] = "0A1B2C3D-0000-4000-8000-00000000000A";
constexpr char kGuidB[] = "0A1B2C3D-0000-4000-8000-00000000000B";
constexpr char kGuidC[] = "0A1B2C3D-0000-4000-8000-00000000000C";
constexpr char kGuidD[] = "0A1B2C3D-0000-4000-8000-00000000000D";
constexpr char kGuidE[] = "0A1B2C3D-0000-4000-8000-00000000000E";
constexpr char kSurplusSmsPath[] = "Library/SMS/sms.db";

std::string AttachmentPath(std::string_view guid, std::string_view name = "IMG_0001.JPG") {
    return "Library/SMS/Attachments/0a/01/" + std::string(guid) + "/" + std::string(name);
}

class SurplusFilesTest : public DeepCleanFixture {
  protected:
    // An SMS database built by `fill`, and the backup holding it beside `files`.
    template <class Fill>
    void WriteBackupWithSms(std::string_view version, Fill fill, std::vector<BackupFile> files) {
        const std::string built = temp_ / "built-sms.db";
        {
            SqliteFile db(built);
            fill(db);
        }
        files.push_back({"HomeDomain", kSurplusSmsPath, ReadFileBytes(built)});
        WriteBackup(files, version);
    }

    std::vector<std::string> ListedPaths(CSurplusFilesJunk& junk) {
        std::vector<std::string> paths;
        const ResultList& items = junk.Results(kResultSurplusFiles);
        for (size_t i = 0; i < items.size(); ++i)
            paths.push_back(items.At<CSurplusFileModel>(i)->record.path.text);
        return paths;
    }

    std::string WorkingSms() const {
        return platform::JoinPath(RestoreCopy(), FileName("HomeDomain", kSurplusSmsPath));
    }
};

// ---- iOS 6 and 7 ----

void FillSms6WithOrphans(SqliteFile& db) {
    CreateSms6Schema(db);
    db.Exec("INSERT INTO message (ROWID, guid) VALUES (1, 'm1'), (2, 'm2');");
    db.Exec(std::string("INSERT INTO attachment (ROWID, guid, filename) VALUES ") + "(1, '" +
            kGuidA + "', 'a'), (2, '" + kGuidB + "', 'b'), (3, '" + kGuidC + "', 'c'), (4, '" +
            kGuidD + "', 'd'), (5, '" + kGuidE + "', 'e');");
    // 1: joined to a message. 2: no join row. 3: joined to a message that is gone. 4: shared by a
    // message that is gone and one that is not. 5: joined to message 2.
    db.Exec("INSERT INTO message_attachment_join VALUES (1, 1), (99, 3), (98, 4), (2, 4), (2, 5);");
}

TEST_F(SurplusFilesTest, Ios6ScanRemovesUnjoinedRowsAndJoinRowsOfMissingMessages) {
    WriteBackupWithSms("6.1.3", FillSms6WithOrphans, {});
    CConfigureTool tool;
    ASSERT_TRUE(SetUpTool(tool, "6.1.3"));
    CSurplusFilesJunk junk(&tool);
    junk.Scan(nullptr);
    ASSERT_NE(junk.Manage(), nullptr);
    EXPECT_EQ(junk.Manage()->orphansRemoved, 2u);

    SqliteFile db(WorkingSms());
    EXPECT_EQ(db.Column("SELECT ROWID FROM attachment ORDER BY ROWID"),
              (std::vector<std::string>{"1", "4", "5"}));
    EXPECT_EQ(db.Column("SELECT message_id || ':' || attachment_id FROM message_attachment_join "
                        "ORDER BY message_id, attachment_id"),
              (std::vector<std::string>{"1:1", "2:4", "2:5", "98:4"}));
    EXPECT_EQ(db.Column("SELECT sql FROM sqlite_master WHERE name = 'delete_attachment_files'"),
              (std::vector<std::string>{"CREATE TRIGGER delete_attachment_files AFTER DELETE ON "
                                        "attachment BEGIN SELECT "
                                        "delete_attachment_path(old.filename); END"}));
    EXPECT_EQ(db.Column("PRAGMA integrity_check"), (std::vector<std::string>{"ok"}));
    // The backup's own file is untouched until the deep clean completes.
    EXPECT_EQ(ReadFileBytes(SourceFile("HomeDomain", kSurplusSmsPath)), files_.back().content);
}

TEST_F(SurplusFilesTest, ScanningTwiceFindsNoFurtherOrphansAndLeavesTheDatabaseAsItWas) {
    WriteBackupWithSms("7.1.2", FillSms6WithOrphans, {});
    CConfigureTool tool;
    ASSERT_TRUE(SetUpTool(tool, "7.1.2"));
    CSurplusFilesJunk first(&tool);
    first.Scan(nullptr);
    EXPECT_EQ(first.Manage()->orphansRemoved, 2u);
    const std::string afterFirst = ReadFileBytes(WorkingSms());

    CSurplusFilesJunk second(&tool);
    second.Scan(nullptr);
    EXPECT_EQ(second.Manage()->orphansRemoved, 0u);
    EXPECT_EQ(ReadFileBytes(WorkingSms()), afterFirst);
}

// The reader sees integers through 32 bits: 2^32 + 1 would read as 1, the ROWID of a row that a
// message refers to.
TEST_F(SurplusFilesTest, Ios6RowidsBeyondThirtyTwoBitsLeaveTheDatabaseAlone) {
    WriteBackupWithSms(
        "6.1.3",
        [](SqliteFile& db) {
            CreateSms6Schema(db);
            db.Exec("INSERT INTO message (ROWID, guid) VALUES (1, 'm1');");
            db.Exec(std::string("INSERT INTO attachment (ROWID, guid) VALUES (1, '") + kGuidA +
                    "'), (4294967297, '" + kGuidB + "');");
            db.Exec("INSERT INTO message_attachment_join VALUES (1, 1);");
        },
        {});
    CConfigureTool tool;
    ASSERT_TRUE(SetUpTool(tool, "6.1.3"));
    CSurplusFilesJunk junk(&tool);
    junk.Scan(nullptr);
    EXPECT_EQ(junk.Manage()->orphansRemoved, 0u);
    SqliteFile db(WorkingSms());
    EXPECT_EQ(db.Column("SELECT ROWID FROM attachment ORDER BY ROWID"),
              (std::vector<std::string>{"1", "4294967297"}));
}

// ---- iOS 5 ----

const std::vector<std::pair<std::string, std::string>>& Sms5Triggers() {
    static const std::vector<std::pair<std::string, std::string>> triggers = {
        {"delete_message",
         "CREATE TRIGGER delete_message AFTER DELETE ON message WHEN NOT read(old.flags) BEGIN "
         "UPDATE msg_group SET unread_count = (SELECT unread_count FROM msg_group WHERE ROWID = "
         "old.group_id) - 1 WHERE ROWID = old.group_id; END"},
        {"delete_newest_message",
         "CREATE TRIGGER delete_newest_message AFTER DELETE ON message WHEN old.ROWID = (SELECT "
         "newest_message FROM msg_group WHERE ROWID = old.group_id) BEGIN UPDATE msg_group SET "
         "newest_message = (SELECT ROWID FROM message WHERE group_id = old.group_id AND ROWID = "
         "(SELECT max(ROWID) FROM message WHERE group_id = old.group_id)) WHERE ROWID = "
         "old.group_id; END"},
        {"delete_pieces",
         "CREATE TRIGGER delete_pieces AFTER DELETE ON message BEGIN DELETE from msg_pieces where "
         "old.ROWID == msg_pieces.message_id; END"},
        {"insert_newest_message",
         "CREATE TRIGGER insert_newest_message AFTER INSERT ON message WHEN new.ROWID >= "
         "IFNULL((SELECT MAX(ROWID) FROM message WHERE message.group_id = new.group_id), 0) BEGIN "
         "UPDATE msg_group SET newest_message = new.ROWID WHERE ROWID = new.group_id; END"},
        {"insert_unread_message",
         "CREATE TRIGGER insert_unread_message AFTER INSERT ON message WHEN NOT read(new.flags) "
         "BEGIN UPDATE msg_group SET unread_count = (SELECT unread_count FROM msg_group WHERE "
         "ROWID = new.group_id) + 1 WHERE ROWID = new.group_id; END"},
        {"mark_message_read",
         "CREATE TRIGGER mark_message_read AFTER UPDATE ON message WHEN NOT read(old.flags) AND "
         "read(new.flags) BEGIN UPDATE msg_group SET unread_count = (SELECT unread_count FROM "
         "msg_group WHERE ROWID = new.group_id) - 1 WHERE ROWID = new.group_id; END"},
        {"mark_message_unread",
         "CREATE TRIGGER mark_message_unread AFTER UPDATE ON message WHEN read(old.flags) AND NOT "
         "read(new.flags) BEGIN UPDATE msg_group SET unread_count = (SELECT unread_count FROM "
         "msg_group WHERE ROWID = new.group_id) + 1 WHERE ROWID = new.group_id; END"},
    };
    return triggers;
}

void ExpectSms5TriggersBack(SqliteFile& db) {
    for (const auto& [name, text] : Sms5Triggers()) {
        EXPECT_EQ(db.Column("SELECT sql FROM sqlite_master WHERE type = 'trigger' AND name = '" +
                            name + "'"),
                  std::vector<std::string>{text})
            << name;
    }
    EXPECT_EQ(db.Column("SELECT count(*) FROM sqlite_master WHERE type = 'trigger'"),
              std::vector<std::string>{"7"});
}

TEST_F(SurplusFilesTest, Ios5ScanRemovesRowsNoMessageRefersToAndPutsTheTriggersBack) {
    // A GUID text carrying SQL (quoted for this literal only).
    const std::string quotedHostile = "x''); DELETE FROM madrid_attachment; --";
    WriteBackupWithSms(
        "5.1.1",
        [&](SqliteFile& db) {
            CreateSms5Schema(db);
            db.InsertBlob("INSERT INTO message (flags, madrid_attachmentInfo) VALUES (2, ?)",
                          InfoBlobAt66({kGuidA, kGuidB}));
            db.InsertBlob("INSERT INTO message (flags, madrid_attachmentInfo) VALUES (2, ?)",
                          InfoBlobAt103({kGuidC}));
            // Too short to hold an entry: refers to nothing.
            db.InsertBlob("INSERT INTO message (flags, madrid_attachmentInfo) VALUES (2, ?)",
                          std::string(66, '$'));
            db.Exec("INSERT INTO message (flags) VALUES (3);");
            db.Exec(std::string("INSERT INTO madrid_attachment (attachment_guid) VALUES ('") +
                    kGuidA + "'), ('" + kGuidB + "'), ('" + kGuidC + "'), ('" + kGuidD + "'), ('" +
                    quotedHostile + "'), (NULL);");
        },
        {});
    CConfigureTool tool;
    ASSERT_TRUE(SetUpTool(tool, "5.1.1"));
    CSurplusFilesJunk junk(&tool);
    junk.Scan(nullptr);
    EXPECT_EQ(junk.Manage()->orphansRemoved, 2u);

    SqliteFile db(WorkingSms());
    // The quoted text is one bound value: it removes its own row and nothing else.
    EXPECT_EQ(db.Column("SELECT attachment_guid FROM madrid_attachment ORDER BY ROWID"),
              (std::vector<std::string>{kGuidA, kGuidB, kGuidC, "NULL"}));
    EXPECT_EQ(db.Column("SELECT count(*) FROM message"), std::vector<std::string>{"4"});
    ExpectSms5TriggersBack(db);
    EXPECT_EQ(db.Column("PRAGMA integrity_check"), (std::vector<std::string>{"ok"}));
}

TEST_F(SurplusFilesTest, Ios5RowsGoWholesaleWhenNoMessageRefersToAnyAttachment) {
    WriteBackupWithSms(
        "5.0",
        [](SqliteFile& db) {
            CreateSms5Schema(db);
            db.Exec("INSERT INTO message (flags, text) VALUES (2, 'no attachment');");
            db.Exec(std::string("INSERT INTO madrid_attachment (attachment_guid) VALUES ('") +
                    kGuidA + "'), (NULL);");
        },
        {{"MediaDomain", AttachmentPath(kGuidA), "left over"}});
    CConfigureTool tool;
    ASSERT_TRUE(SetUpTool(tool, "5.0"));
    CSurplusFilesJunk junk(&tool);
    junk.Scan(nullptr);
    SqliteFile db(WorkingSms());
    EXPECT_EQ(db.Column("SELECT count(*) FROM madrid_attachment"), std::vector<std::string>{"0"});
    ExpectSms5TriggersBack(db);
    // Its row gone, the file is surplus in the same scan.
    EXPECT_EQ(ListedPaths(junk), std::vector<std::string>{AttachmentPath(kGuidA)});
}

// ---- The listing ----

// Attachments A and B have rows; C's row is an orphan the scan removes; D never had one.
void FillSms6ForListing(SqliteFile& db) {
    CreateSms6Schema(db);
    db.Exec("INSERT INTO message (ROWID, guid) VALUES (1, 'm1');");
    db.Exec(std::string("INSERT INTO attachment (ROWID, guid) VALUES (1, '") + kGuidA +
            "'), (2, '" + kGuidB + "'), (3, '" + kGuidC + "');");
    db.Exec("INSERT INTO message_attachment_join VALUES (1, 1), (1, 2);");
}

std::vector<BackupFile> ListingFiles() {
    std::string lowerB = kGuidB;
    std::transform(lowerB.begin(), lowerB.end(), lowerB.begin(), ::tolower);
    return {
        {"MediaDomain", "Library/SMS/Attachments", "", true},
        {"MediaDomain", "Library/SMS/Attachments/0a/01/" + std::string(kGuidD), "", true},
        {"MediaDomain", AttachmentPath(kGuidA), "referenced"},
        {"MediaDomain", AttachmentPath(kGuidA, "IMG_0001-preview.JPG"), "referenced too"},
        {"MediaDomain", "Library/SMS/Attachments/0a/01/" + lowerB + "/IMG_0002.JPG", "case"},
        {"MediaDomain", AttachmentPath(kGuidC), "orphan's file"},
        {"MediaDomain", AttachmentPath(kGuidD, "clip.mov"), "never referenced, longer"},
        {"MediaDomain", "Library/SMS/Drafts/" + std::string(kGuidD) + "/x.txt", "not below"},
        {"MediaDomain", "Library/SMS/AttachmentsX/" + std::string(kGuidD), "not below either"},
        {"HomeDomain", AttachmentPath(kGuidE), "another domain"},
    };
}

TEST_F(SurplusFilesTest, ListsOnlyAttachmentFilesNoRowRefersTo) {
    WriteBackupWithSms("6.1.3", FillSms6ForListing, ListingFiles());
    CConfigureTool tool;
    ASSERT_TRUE(SetUpTool(tool, "6.1.3"));
    alignas(8) unsigned char raw[552] = {};
    CSurplusFilesJunk junk(&tool);
    junk.SetStatusRecord(reinterpret_cast<BwScanStatus*>(raw));
    junk.Scan(nullptr);

    EXPECT_EQ(ListedPaths(junk), (std::vector<std::string>{AttachmentPath(kGuidC),
                                                           AttachmentPath(kGuidD, "clip.mov")}));
    const uint64_t size =
        std::string("orphan's file").size() + std::string("never referenced, longer").size();
    EXPECT_EQ(junk.SelectedCount(), 2u);
    EXPECT_EQ(junk.SelectedSize(), size);
    uint32_t shown = 0;
    uint64_t shownSize = 0;
    std::memcpy(&shown, raw + 532, sizeof shown);
    std::memcpy(&shownSize, raw + 536, sizeof shownSize);
    EXPECT_EQ(shown, 2u);
    EXPECT_EQ(shownSize, size);
    EXPECT_EQ(raw[548], 1);  // finished
}

TEST_F(SurplusFilesTest, ModelSlotsAnswerThroughTheHostInterface) {
    WriteBackupWithSms("6.1.3", FillSms6ForListing,
                       {{"MediaDomain", AttachmentPath(kGuidD), "twelve bytes"}});
    CConfigureTool tool;
    ASSERT_TRUE(SetUpTool(tool, "6.1.3"));
    CSurplusFilesJunk junk(&tool);
    junk.Scan(nullptr);
    ASSERT_EQ(junk.Results(kResultSurplusFiles).size(), 1u);
    auto* item = static_cast<ISurplusFileModel*>(junk.Results(kResultSurplusFiles).HostAt(0));
    const std::u16string name = Utf8ToWide(AttachmentPath(kGuidD));
    EXPECT_EQ(item->GetName(nullptr), name.size() + 2);
    std::u16string buffer(name.size() + 1, u'#');
    EXPECT_EQ(item->GetName(buffer.data()), name.size() + 2);
    EXPECT_EQ(buffer, name + u'\0');
    EXPECT_EQ(item->GetSize(), 12u);
    const auto* record = static_cast<const MbdbRecord*>(item->GetRecord());
    ASSERT_NE(record, nullptr);
    EXPECT_EQ(record->path.text, AttachmentPath(kGuidD));
    EXPECT_EQ(record->backupFileName, FileName("MediaDomain", AttachmentPath(kGuidD)));
    EXPECT_EQ(item->Select(0), 1);
    EXPECT_EQ(item->Select(1), 0);
    EXPECT_EQ(item->Select(0), 0);
    EXPECT_EQ(item->Select(1), 1);
}

// ---- The clean ----

TEST_F(SurplusFilesTest, CleanTakesOutExactlyTheSelectedFilesAndTheirRecords) {
    WriteBackupWithSms("6.1.3", FillSms6ForListing, ListingFiles());
    CConfigureTool tool;
    ASSERT_TRUE(SetUpTool(tool, "6.1.3"));
    CSurplusFilesJunk junk(&tool);
    junk.Scan(nullptr);
    ASSERT_EQ(junk.Results(kResultSurplusFiles).size(), 2u);
    junk.Results(kResultSurplusFiles).At<CSurplusFileModel>(1)->Select(1);  // keep clip.mov
    const TreeFingerprint before = FingerprintTree(Source());
    junk.Clean();
    // Nothing leaves the backup before the deep clean completes.
    EXPECT_EQ(FingerprintTree(Source()), before);
    ASSERT_TRUE(tool.Complete());

    const std::string removed = FileName("MediaDomain", AttachmentPath(kGuidC));
    const std::string sms = FileName("HomeDomain", kSurplusSmsPath);
    TreeFingerprint expected = before;
    TreeFingerprint after = FingerprintTree(Source());
    EXPECT_EQ(expected.erase(removed), 1u);
    EXPECT_EQ(after.count(removed), 0u);
    for (const std::string& name : {std::string("Manifest.mbdb"), sms}) {
        expected.erase(name);
        after.erase(name);
    }
    EXPECT_EQ(after, expected);

    std::vector<sim::backuptool::ManifestRecord> records;
    std::string error;
    ASSERT_TRUE(sim::backuptool::DecodeManifest(
        ReadFileBytes(platform::JoinPath(Source(), "Manifest.mbdb")), records, error))
        << error;
    std::vector<std::string> paths;
    for (const auto& record : records)
        paths.push_back(record.domain.value_or("") + ":" + record.path.value_or(""));
    std::vector<std::string> expectedPaths;
    for (const BackupFile& file : files_) {
        if (file.path != AttachmentPath(kGuidC))
            expectedPaths.push_back(file.domain + ":" + file.path);
    }
    EXPECT_EQ(paths, expectedPaths);
    // The orphan's row left the restored database too.
    SqliteFile db(SourceFile("HomeDomain", kSurplusSmsPath));
    EXPECT_EQ(db.Column("SELECT count(*) FROM attachment"), std::vector<std::string>{"2"});
}

// The completion takes out the records whose paths contain a removed one's path; a surplus file
// whose path a kept file's path extends therefore stays, and so does the kept file.
TEST_F(SurplusFilesTest, AFileWhosePathAKeptFileExtendsStaysInTheBackup) {
    const std::string shortPath = AttachmentPath(kGuidD);
    const std::string longPath = shortPath + ".part";
    const std::string otherPath = AttachmentPath(kGuidE);
    const std::string otherLong = otherPath + ".part";
    WriteBackupWithSms("6.1.3", FillSms6ForListing,
                       {{"MediaDomain", shortPath, "short"},
                        {"MediaDomain", longPath, "long"},
                        {"MediaDomain", otherPath, "other"},
                        {"MediaDomain", otherLong, "other long"}});
    CConfigureTool tool;
    ASSERT_TRUE(SetUpTool(tool, "6.1.3"));
    CSurplusFilesJunk junk(&tool);
    junk.Scan(nullptr);
    ASSERT_EQ(ListedPaths(junk),
              (std::vector<std::string>{shortPath, longPath, otherPath, otherLong}));
    junk.Results(kResultSurplusFiles).At<CSurplusFileModel>(1)->Select(1);  // keep longPath
    junk.Clean();
    ASSERT_TRUE(tool.Complete());
    EXPECT_TRUE(platform::IsFile(SourceFile("MediaDomain", shortPath)));
    EXPECT_TRUE(platform::IsFile(SourceFile("MediaDomain", longPath)));
    // Both selected: both go.
    EXPECT_FALSE(platform::PathExists(SourceFile("MediaDomain", otherPath)));
    EXPECT_FALSE(platform::PathExists(SourceFile("MediaDomain", otherLong)));
}

// ---- Hostile backups ----

TEST_F(SurplusFilesTest, RecordsLeadingOutOfTheAttachmentsFolderOrTheBackupAreNeverTouched) {
    const std::string outside = temp_ / "outside";
    PlantCanary(outside);
    const std::string escaping = "Library/SMS/Attachments/../../../../outside/file.txt";
    const std::string climbing = "Library/SMS/Attachments/0a/../../Preferences/x.plist";
    const std::string linked = AttachmentPath(kGuidE, "link.jpg");
    WriteBackupWithSms("6.1.3", FillSms6ForListing,
                       {{"MediaDomain", escaping, "escaping"},
                        {"MediaDomain", climbing, "climbing"},
                        {"MediaDomain", linked, "soon a link"},
                        {"MediaDomain", AttachmentPath(kGuidD), "surplus"}});
    // The backup file of one record is a link to a file outside the backup.
    const std::string linkFile = SourceFile("MediaDomain", linked);
    std::filesystem::remove(linkFile);
    std::filesystem::create_symlink(platform::JoinPath(outside, "file.txt"), linkFile);
    const TreeFingerprint canary = FingerprintTree(outside);

    CConfigureTool tool;
    ASSERT_TRUE(SetUpTool(tool, "6.1.3"));
    CSurplusFilesJunk junk(&tool);
    junk.Scan(nullptr);
    EXPECT_EQ(ListedPaths(junk), std::vector<std::string>{AttachmentPath(kGuidD)});
    // Even handed such a record directly, the clean refuses it.
    MbdbRecord forged = junk.Results(kResultSurplusFiles).At<CSurplusFileModel>(0)->record;
    forged.path.text = escaping;
    EXPECT_FALSE(junk.Manage()->RemoveFile(forged, {escaping}));
    junk.Clean();
    ASSERT_TRUE(tool.Complete());
    EXPECT_EQ(FingerprintTree(outside), canary);
    EXPECT_TRUE(platform::IsFile(SourceFile("MediaDomain", escaping)));
    EXPECT_TRUE(platform::IsFile(SourceFile("MediaDomain", climbing)));
    EXPECT_FALSE(platform::IsFile(SourceFile("MediaDomain", AttachmentPath(kGuidD))));
}

TEST(SurplusAttachmentRecords, OnlyRegularFilesBelowTheAttachmentsFolder) {
    MbdbRecord record;
    record.mode = 0100644;
    const auto accepts = [&](std::string path) {
        record.path.text = std::move(path);
        return IsAttachmentFileRecord(record);
    };
    EXPECT_TRUE(accepts("Library/SMS/Attachments/0a/01/x.jpg"));
    EXPECT_FALSE(accepts("Library/SMS/Attachments/"));
    EXPECT_FALSE(accepts("Library/SMS/Attachments"));
    EXPECT_FALSE(accepts("Library/SMS/Attachments//x.jpg"));
    EXPECT_FALSE(accepts("Library/SMS/Attachments/./x.jpg"));
    EXPECT_FALSE(accepts("Library/SMS/Attachments/0a/.."));
    EXPECT_FALSE(accepts("Library/SMS/Attachments/0a\\..\\..\\x"));
    EXPECT_FALSE(accepts("/Library/SMS/Attachments/x.jpg"));
    EXPECT_FALSE(accepts("library/sms/attachments/x.jpg"));
    record.mode = 040755;
    EXPECT_FALSE(accepts("Library/SMS/Attachments/0a/01/x.jpg"));
    record.mode = 0120755;
    EXPECT_FALSE(accepts("Library/SMS/Attachments/0a/01/x.jpg"));
}

TEST_F(SurplusFilesTest, AnUnreadableSmsDatabaseGivesNoCleanupAndNoItems) {
    {
        SqliteFile db(temp_ / "valid.db");
        FillSms6ForListing(db);
    }
    const std::string valid = ReadFileBytes(temp_ / "valid.db");
    ASSERT_GT(valid.size(), 2048u);
    for (const std::string& content :
         {valid.substr(0, 1024), std::string("not a database at all, just text"), std::string()}) {
        SCOPED_TRACE(content.size());
        std::filesystem::remove_all(Root());
        std::filesystem::remove_all(Work());
        WriteBackup({{"HomeDomain", kSurplusSmsPath, content},
                     {"MediaDomain", AttachmentPath(kGuidD), "would be surplus"}},
                    "6.1.3");
        CConfigureTool tool;
        ASSERT_TRUE(SetUpTool(tool, "6.1.3"));
        CSurplusFilesJunk junk(&tool);
        junk.Scan(nullptr);
        EXPECT_EQ(junk.Results(kResultSurplusFiles).size(), 0u);
        EXPECT_EQ(junk.Manage()->orphansRemoved, 0u);
        EXPECT_EQ(ReadFileBytes(WorkingSms()), content);
    }
}

TEST_F(SurplusFilesTest, WithoutAnSmsDatabaseOrWithAnotherVersionNothingIsListed) {
    WriteBackupWithSms("6.1.3", FillSms6WithOrphans,
                       {{"MediaDomain", AttachmentPath(kGuidD), "would be surplus"}});
    for (const char* version : {"8.0", "10.3", "4.3.5", ""}) {
        SCOPED_TRACE(version);
        CConfigureTool tool;
        ASSERT_TRUE(SetUpTool(tool, version, true));
        CSurplusFilesJunk junk(&tool);
        junk.Scan(nullptr);
        EXPECT_EQ(junk.Results(kResultSurplusFiles).size(), 0u);
        EXPECT_FALSE(platform::PathExists(WorkingSms()));  // never even copied
    }
    std::filesystem::remove(SourceFile("HomeDomain", kSurplusSmsPath));
    CConfigureTool tool;
    ASSERT_TRUE(SetUpTool(tool, "6.1.3", true));
    CSurplusFilesJunk junk(&tool);
    junk.Scan(nullptr);
    EXPECT_EQ(junk.Results(kResultSurplusFiles).size(), 0u);
}

// ---- Through the session ----

TEST_F(SurplusFilesTest, SessionScansAndCleansTypeEighteenThroughResultListTwelve) {
    WriteBackupWithSms("6.1.3", FillSms6ForListing, ListingFiles());
    CConfigureTool& tool = CConfigureTool::Instance();
    ASSERT_TRUE(SetUpTool(tool, "6.1.3"));
    alignas(8) unsigned char raw[552] = {};
    CScanDevice session(nullptr);
    session.SetStatusRecord(reinterpret_cast<BwScanStatus*>(raw));
    session.StartScan(kJunkSurplusAttachments);
    EXPECT_NE(dynamic_cast<CSurplusFilesJunk*>(session.Scanner()), nullptr);
    EXPECT_EQ(session.IsExtendedType(), 1);
    EXPECT_EQ(raw[548], 1);
    ASSERT_EQ(session.GetResultCount12(), 2);
    EXPECT_EQ(session.GetResultCount11(), 0);
    EXPECT_EQ(session.GetResult12(2), nullptr);
    EXPECT_EQ(session.GetResult12(-1), nullptr);
    auto* kept = static_cast<ISurplusFileModel*>(session.GetResult12(1));
    auto* cleaned = static_cast<ISurplusFileModel*>(session.GetResult12(0));
    std::u16string name(kept->GetName(nullptr), u'\0');
    kept->GetName(name.data());
    EXPECT_EQ(name.substr(0, name.find(u'\0')), Utf8ToWide(AttachmentPath(kGuidD, "clip.mov")));
    EXPECT_EQ(kept->Select(1), 0);

    session.StartClean();
    EXPECT_EQ(raw[548], 1);
    double progress = 0.0;
    std::memcpy(&progress, raw, sizeof progress);
    EXPECT_DOUBLE_EQ(progress, 100.0);
    ASSERT_TRUE(tool.Complete());
    const auto* record = static_cast<const MbdbRecord*>(cleaned->GetRecord());
    EXPECT_FALSE(platform::PathExists(platform::JoinPath(Source(), record->backupFileName)));
    EXPECT_TRUE(platform::IsFile(SourceFile("MediaDomain", AttachmentPath(kGuidD, "clip.mov"))));
}

}  // namespace
}  // namespace bw::testing

// The message scanner on an iOS 6 / 7 database in a backup: what it lists, what the clean deletes
// from the working copy and from the backup, and what it leaves.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <ctime>
#include <string>

#include "platform/text.h"
#include "privacy/sms_test_support.h"
#include "support/canary.h"

namespace bw::testing {
namespace {

// True for a statement that deletes from, updates or inserts into the table `message` itself
// (words compared in lower case, runs of blanks read as one).
bool ChangesMessageTable(const std::string& statement) {
    std::string words;
    for (char c : statement) {
        const bool blank = c == ' ' || c == '\t' || c == '\n' || c == '\r';
        if (blank) {
            if (!words.empty() && words.back() != ' ') words.push_back(' ');
        } else {
            words.push_back(static_cast<char>(std::tolower(static_cast<unsigned char>(c))));
        }
    }
    if (!words.empty() && words.back() != ' ') words.push_back(' ');
    for (const char* prefix : {"delete from message ", "update message ", "insert into message "}) {
        if (words.starts_with(prefix)) return true;
    }
    return false;
}

constexpr char kIos6GuidA[] = "0A1B2C3D-0000-4000-8000-00000000000A";
constexpr char kIos6GuidB[] = "0A1B2C3D-0000-4000-8000-00000000000B";
constexpr char kIos6GuidC[] = "0A1B2C3D-0000-4000-8000-00000000000C";
constexpr char kIos6HostileIdentifier[] = "o'brien%' OR 1=1; DROP TABLE chat; --";

std::string Ios6FileA() {
    return std::string("Library/SMS/Attachments/0a/10/") + kIos6GuidA + "/IMG_0001.JPG";
}
std::string Ios6FileB() {
    return std::string("Library/SMS/Attachments/0b/11/") + kIos6GuidB + "/../../it's 100%.mov";
}
std::string Ios6FileC() {
    return std::string("Library/SMS/Attachments/0c/12/") + kIos6GuidC + "/kept.png";
}
std::string Ios6FileUnrelated() {
    return "Library/SMS/Attachments/0d/13/FFFFFFFF-0000-4000-8000-00000000000F/other.jpg";
}

class SmsIos6 : public SmsBackupFixture {
  protected:
    // Chats 1 (+15550001: messages 1 and 2, 2 with attachment A), 2 (the hostile identifier:
    // message 3 with attachment C) and 3 (+15550003: messages 4 with attachment B, and 5).
    std::string MakeDatabase() {
        const std::string path = NewDatabasePath();
        TestDb db(path);
        CreateIos6Schema(db);
        db.Exec(
            "INSERT INTO handle (id) VALUES ('+15550001'), ('gone'), ('+15550003');"
            "DELETE FROM handle WHERE id = 'gone';");
        db.Bind(
            "INSERT INTO chat (guid, chat_identifier) VALUES (?, ?), (?, ?), (?, ?)",
            {"SMS;-;+15550001", "+15550001", std::string("iMessage;-;") + kIos6HostileIdentifier,
             kIos6HostileIdentifier, "SMS;-;+15550003", "+15550003"});
        db.Bind(
            "INSERT INTO message (text, subject, date, date_read, is_finished,"
            " cache_has_attachments, is_read, is_sent) VALUES"
            " ('hello', '', 389000000, 389000100, 1, 0, 1, 0),"
            " ('photo', 'Re: x', 389000200, 0, 1, 1, 0, 1),"
            " (?, ?, 389000300, 0, 0, 1, 0, 0),"
            " ('video', '', 389000400, 0, 1, 1, 1, 1),"
            " ('last', '', 389000500, 0, 1, 0, 1, 1)",
            {"x'); DELETE FROM message; --", "100% \"quoted\""});
        db.Bind(
            "INSERT INTO attachment (guid, created_date, start_date, filename) VALUES"
            " (?, 389000201, 389000202, '~/Library/SMS/Attachments/0a/10/IMG_0001.JPG'),"
            " (?, 389000401, 0, '../../etc/passwd'), (?, 389000301, 0, 'kept.png')",
            {kIos6GuidA, kIos6GuidB, kIos6GuidC});
        db.Exec(
            "INSERT INTO chat_message_join VALUES (1, 1), (1, 2), (2, 3), (3, 4), (3, 5);"
            "INSERT INTO message_attachment_join VALUES (2, 1), (4, 2), (3, 3);");
        return ReadBytes(path);
    }

    std::string MakeAddressBook() {
        const std::string path = NewDatabasePath();
        TestDb db(path);
        db.Exec(
            "CREATE TABLE ABPersonFullTextSearch_content (docid INTEGER PRIMARY KEY,"
            " c0First TEXT, c1Last TEXT, c15Phone TEXT);"
            "INSERT INTO ABPersonFullTextSearch_content VALUES"
            " (4, 'Ada', 'Lovelace', '+15550001 15550001');");
        return ReadBytes(path);
    }

    void SetUpBackup(const std::string& version = "6.1.3") {
        WriteSmsBackup(
            MakeDatabase(),
            {{"HomeDomain", "Library/AddressBook/AddressBook.sqlitedb", MakeAddressBook()},
             {"MediaDomain", Ios6FileA(), "jpeg-one"},
             {"MediaDomain", Ios6FileB(), "movie bytes!"},
             {"MediaDomain", Ios6FileC(), "png"},
             {"MediaDomain", Ios6FileUnrelated(), "unrelated"}},
            version);
    }
};

TEST_F(SmsIos6, ListsConversationsWithMessagesAttachmentsAndFiles) {
    SetUpBackup();
    Scan("6.1.3");
    ASSERT_NE(dynamic_cast<CSMSDataBase_6*>(scanner_.Database()), nullptr);
    ASSERT_EQ(ChatCount(), 3u);

    CSMSChatModel* first = Chat(0);
    EXPECT_EQ(first->rowId, 1);
    EXPECT_EQ(first->guid, u"SMS;-;+15550001");
    EXPECT_EQ(first->chatIdentifier, "+15550001");
    EXPECT_EQ(first->contactName, u"Ada Lovelace");
    EXPECT_EQ(first->GetMessageCount(), 2);
    EXPECT_EQ(first->GetAttachmentCount(), 1);
    // "hello" + "photo" + "Re: x" and the 8 bytes of the attachment's file.
    EXPECT_EQ(first->GetTotalSize(), 5u + 10u + 8u);

    CMessageModel* hello = first->messages[0].get();
    EXPECT_EQ(hello->text, u"hello");
    EXPECT_EQ(hello->date, 389000000);
    EXPECT_EQ(hello->readDate, 389000100);
    {
        // The date text is local time from the 2001 epoch, made when asked for.
        const std::time_t time = 389000000 + 978307200;
        std::tm local{};
        localtime_r(&time, &local);
        char expected[32];
        std::strftime(expected, sizeof expected, "%Y/%m/%d %H:%M:%S", &local);
        std::u16string text(hello->GetDateText(nullptr), u'\0');
        hello->GetDateText(text.data());
        EXPECT_EQ(WideToUtf8(text.c_str()), expected);
    }
    EXPECT_EQ(hello->IsFinished(), 1);
    EXPECT_EQ(hello->IsRead(), 1);
    EXPECT_EQ(hello->IsSent(), 0);
    EXPECT_EQ(hello->HasAttachments(), 0);

    CMessageModel* photo = first->messages[1].get();
    EXPECT_EQ(photo->subject, u"Re: x");
    EXPECT_EQ(photo->HasAttachments(), 1);
    ASSERT_EQ(photo->GetAttachmentCount(), 1);
    CAttachmentModel* attachment = photo->attachments[0].get();
    EXPECT_EQ(attachment->rowId, 1);
    EXPECT_EQ(attachment->createdDate, 389000201);
    EXPECT_EQ(attachment->startDate, 389000202);
    EXPECT_EQ(attachment->fileName, u"~/Library/SMS/Attachments/0a/10/IMG_0001.JPG");
    ASSERT_EQ(attachment->GetDetailCount(), 1);
    EXPECT_EQ(attachment->details[0]->relativePath, Ios6FileA());
    EXPECT_EQ(attachment->details[0]->backupFileName, FileName("MediaDomain", Ios6FileA()));
    EXPECT_EQ(attachment->details[0]->size, 8u);
    EXPECT_EQ(photo->GetAttachmentsSize(), 8u);

    // Quotes, "%" and SQL in identifiers and texts arrive as they were stored.
    CSMSChatModel* hostile = Chat(1);
    EXPECT_EQ(hostile->chatIdentifier, kIos6HostileIdentifier);
    EXPECT_EQ(hostile->contactName, u"");
    ASSERT_EQ(hostile->GetMessageCount(), 1);
    EXPECT_EQ(hostile->messages[0]->text, u"x'); DELETE FROM message; --");
    EXPECT_EQ(hostile->messages[0]->subject, u"100% \"quoted\"");
    ASSERT_EQ(Chat(2)->GetMessageCount(), 2);
    ASSERT_EQ(Chat(2)->messages[0]->GetAttachmentCount(), 1);
    EXPECT_EQ(Chat(2)->messages[0]->attachments[0]->details[0]->relativePath, Ios6FileB());

    // Every message counts towards the selection, with its attachments.
    EXPECT_EQ(status_.selectedCount, 5u);
    EXPECT_EQ(scanner_.SelectedSize(),
              first->GetTotalSize() + hostile->GetTotalSize() + Chat(2)->GetTotalSize());
    EXPECT_EQ(status_.finished, 1);
}

TEST_F(SmsIos6, VersionSevenUsesTheSameSchema) {
    SetUpBackup("7.1.2");
    Scan("7.1.2");
    EXPECT_NE(dynamic_cast<CSMSDataBase_6*>(scanner_.Database()), nullptr);
    EXPECT_EQ(ChatCount(), 3u);
}

TEST_F(SmsIos6, TwoDigitMajorVersionListsNothing) {
    SetUpBackup("10.3.3");
    Scan("10.3.3");
    EXPECT_EQ(scanner_.Database(), nullptr);
    EXPECT_EQ(ChatCount(), 0u);
    EXPECT_EQ(status_.finished, 1);
}

TEST_F(SmsIos6, CleanDeletesJoinRowsAndLetsTheDatabaseTriggersRemoveTheRest) {
    SetUpBackup();
    Scan("6.1.3");
    ASSERT_EQ(ChatCount(), 3u);
    Chat(1)->Select(1);  // the hostile conversation stays
    const std::string working = WorkingCopy();
    {
        StatementRecorder recorder;
        scanner_.Clean();
        const std::vector<std::string>& statements = StatementRecorder::Statements();
        ASSERT_FALSE(statements.empty());
        // The message table is only ever changed by the database's own triggers.
        for (const std::string& statement : statements)
            EXPECT_FALSE(ChangesMessageTable(statement)) << statement;
        EXPECT_NE(std::find(statements.begin(), statements.end(),
                            "delete  FROM message_attachment_join where attachment_id in (1)"),
                  statements.end());
        EXPECT_NE(std::find(statements.begin(), statements.end(),
                            "DELETE FROM chat_message_join where message_id in (4,5)"),
                  statements.end());
    }
    EXPECT_EQ(status_.finished, 1);

    TestDb db(working);
    EXPECT_EQ(db.Column("SELECT ROWID FROM chat ORDER BY ROWID"), std::vector<std::string>{"2"});
    EXPECT_EQ(db.Column("SELECT ROWID FROM message ORDER BY ROWID"), std::vector<std::string>{"3"});
    EXPECT_EQ(db.Column("SELECT guid FROM attachment"), std::vector<std::string>{kIos6GuidC});
    EXPECT_EQ(db.Value("SELECT text FROM message WHERE ROWID = 3"), "x'); DELETE FROM message; --");
    EXPECT_EQ(db.Value("SELECT sql FROM sqlite_master WHERE name = 'delete_attachment_files'"),
              "CREATE TRIGGER delete_attachment_files AFTER DELETE ON attachment BEGIN SELECT "
              "delete_attachment_path(old.filename); END");
    EXPECT_EQ(db.Value("SELECT value FROM _SqliteDatabaseProperties"
                       " WHERE key = '__IMDRecordSequenceNumber'"),
              "8");
    EXPECT_EQ(db.Value("SELECT seq FROM sqlite_sequence WHERE name = 'chat'"), "1");
    EXPECT_EQ(db.Value("SELECT seq FROM sqlite_sequence WHERE name = 'handle'"), "2");
    EXPECT_EQ(db.Value("SELECT seq FROM sqlite_sequence WHERE name = 'message'"), "1");
    EXPECT_EQ(db.Value("SELECT seq FROM sqlite_sequence WHERE name = 'attachment'"), "1");
    EXPECT_EQ(db.Value("PRAGMA integrity_check"), "ok");
    // The counts of the deleted messages leave the selection.
    EXPECT_EQ(status_.selectedCount, 1u);
    EXPECT_EQ(scanner_.SelectedSize(), Chat(1)->GetTotalSize());
}

TEST_F(SmsIos6, CompletionRemovesOnlyTheFilesOfDeletedMessages) {
    SetUpBackup();
    Scan("6.1.3");
    ASSERT_EQ(ChatCount(), 3u);
    Chat(1)->Select(1);
    scanner_.Clean();
    ASSERT_TRUE(tool_.Complete());
    EXPECT_FALSE(platform::PathExists(SourceFile("MediaDomain", Ios6FileA())));
    EXPECT_FALSE(platform::PathExists(SourceFile("MediaDomain", Ios6FileB())));
    EXPECT_EQ(ReadBytes(SourceFile("MediaDomain", Ios6FileC())), "png");
    EXPECT_EQ(ReadBytes(SourceFile("MediaDomain", Ios6FileUnrelated())), "unrelated");
    ManifestDataManager manifest(kTestUdid, Source(),
                                 platform::JoinPath(Source(), "Manifest.mbdb"));
    EXPECT_FALSE(manifest.HasRecord("MediaDomain", Ios6FileA()));
    EXPECT_FALSE(manifest.HasRecord("MediaDomain", Ios6FileB()));
    EXPECT_TRUE(manifest.HasRecord("MediaDomain", Ios6FileC()));
    // The edited database replaced the backup's, and the backup stays consistent.
    TestDb db(SourceFile("HomeDomain", "Library/SMS/sms.db"));
    EXPECT_EQ(db.Column("SELECT ROWID FROM chat"), std::vector<std::string>{"2"});
    ExpectManifestMatchesFiles();
}

TEST_F(SmsIos6, FailingStatementIsPassedOver) {
    const std::string path = NewDatabasePath();
    {
        TestDb db(path);
        CreateIos6Schema(db);
        db.Exec(
            "INSERT INTO chat (guid, chat_identifier) VALUES ('a', 'a'), ('b', 'b');"
            "INSERT INTO message (text) VALUES ('one'), ('two');"
            "INSERT INTO chat_message_join VALUES (1, 1), (2, 2);"
            "CREATE TRIGGER refuse AFTER DELETE ON chat_message_join WHEN old.message_id = 1"
            " BEGIN SELECT RAISE(ABORT, 'refused'); END;");
    }
    WriteSmsBackup(ReadBytes(path), {}, "6.1.3");
    Scan("6.1.3");
    ASSERT_EQ(ChatCount(), 2u);
    scanner_.Clean();
    TestDb db(WorkingCopy());
    // Conversation 1's join row could not go, but both conversations did, and the counters ran.
    EXPECT_EQ(db.Column("SELECT ROWID FROM chat"), std::vector<std::string>{});
    EXPECT_EQ(db.Column("SELECT message_id FROM chat_message_join"), std::vector<std::string>{"1"});
    EXPECT_EQ(db.Value("SELECT value FROM _SqliteDatabaseProperties"), "8");
    EXPECT_EQ(db.Value("SELECT seq FROM sqlite_sequence WHERE name = 'chat'"), "0");
}

TEST_F(SmsIos6, NotADatabaseListsNothingAndChangesNothing) {
    WriteSmsBackup("this is not an SQLite database, only some text", {}, "6.1.3");
    const FolderSnapshot before = Snapshot(Source());
    Scan("6.1.3");
    EXPECT_EQ(ChatCount(), 0u);
    EXPECT_EQ(status_.finished, 1);
    scanner_.Clean();
    EXPECT_EQ(ReadBytes(WorkingCopy()), "this is not an SQLite database, only some text");
    EXPECT_EQ(Snapshot(Source()), before);
}

TEST_F(SmsIos6, TruncatedDatabaseChangesNothing) {
    const std::string whole = MakeDatabase();
    const std::string truncated = whole.substr(0, whole.size() / 3);
    WriteSmsBackup(truncated, {}, "6.1.3");
    const FolderSnapshot before = Snapshot(Source());
    Scan("6.1.3");
    EXPECT_EQ(ChatCount(), 0u);
    scanner_.Clean();
    EXPECT_EQ(ReadBytes(WorkingCopy()), truncated);
    EXPECT_EQ(Snapshot(Source()), before);
    EXPECT_FALSE(IsDatabaseOpen());
}

TEST_F(SmsIos6, NothingOutsideTheBackupAndWorkingFoldersChanges) {
    const std::string canary = temp_ / "canary";
    PlantCanary(canary);
    const TreeFingerprint before = FingerprintTree(canary);
    SetUpBackup();
    Scan("6.1.3");
    ASSERT_EQ(ChatCount(), 3u);
    scanner_.Clean();
    ASSERT_TRUE(tool_.Complete());
    EXPECT_EQ(FingerprintTree(canary), before);
    // The attachment named with "../" went as a backup file, not as a path of its own.
    EXPECT_FALSE(platform::PathExists(SourceFile("MediaDomain", Ios6FileB())));
    ExpectManifestMatchesFiles();
}

TEST_F(SmsIos6, StopBeforeTheScanListsNothing) {
    SetUpBackup();
    scanner_.Stop();
    Scan("6.1.3");
    EXPECT_FALSE(scanner_.Scanning());
    EXPECT_EQ(ChatCount(), 0u);
    EXPECT_EQ(status_.finished, 1);
    // The database object's own flag, which Stop sets too, ends the listing by itself.
    scanner_.ClearStop();
    ASSERT_NE(scanner_.Database(), nullptr);
    scanner_.Database()->RequestStop();
    scanner_.ScanBackup("6.1.3", kTestUdid);
    EXPECT_EQ(ChatCount(), 0u);
}

TEST_F(SmsIos6, RescanListsTheDatabaseOnceAsItIsNow) {
    SetUpBackup();
    Scan("6.1.3");
    ASSERT_EQ(ChatCount(), 3u);
    {
        TestDb db(WorkingCopy());
        db.Exec("DELETE FROM chat WHERE ROWID = 2");
    }
    Scan("6.1.3");
    ASSERT_EQ(ChatCount(), 2u);
    EXPECT_EQ(Chat(1)->rowId, 3);
}

TEST_F(SmsIos6, MissingDatabaseListsNothing) {
    WriteBackup({{"HomeDomain", "Library", "", true}}, "6.1.3");
    ASSERT_TRUE(SetUpTool(tool_, "6.1.3"));
    scanner_.SetConfiguration(&tool_);
    scanner_.SetStatusRecord(&status_);
    // The device's values are read only for a database that is there.
    std::vector<std::string> asked;
    scanner_.ScanBackup([&](std::string_view key) {
        asked.emplace_back(key);
        return std::string("6.1.3");
    });
    EXPECT_TRUE(asked.empty());
    EXPECT_EQ(scanner_.Database(), nullptr);
    EXPECT_EQ(ChatCount(), 0u);
    EXPECT_EQ(status_.finished, 1);
}

}  // namespace
}  // namespace bw::testing

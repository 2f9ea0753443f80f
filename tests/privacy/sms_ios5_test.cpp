// The message scanner on an iOS 5 database in a backup: the attachment GUIDs read from each
// message's archived information, the conversation's address bound as data, and the clean with
// its trigger and counter handling.
#include <gtest/gtest.h>

#include "privacy/sms_attachment_info.h"
#include "privacy/sms_test_support.h"

namespace bw::testing {
namespace {

constexpr char kIos5GuidA[] = "5A5A5A5A-1111-4222-8333-00000000000A";
constexpr char kIos5GuidB[] = "5B5B5B5B-1111-4222-8333-00000000000B";
constexpr char kIos5GuidC[] = "5C5C5C5C-1111-4222-8333-00000000000C";
constexpr char kIos5GuidD[] = "5D5D5D5D-1111-4222-8333-00000000000D";
// Matches every row if it were pasted into the query.
constexpr char kIos5HostileHandle[] = "a'b%' OR '1'='1";

std::string Ios5FileOf(const char* guid) {
    return std::string("Library/SMS/Attachments/5x/00/") + guid + "/IMG.JPG";
}

class SmsIos5 : public SmsBackupFixture {
  protected:
    // Chats 1 (+15550001), 2 (the hostile handle), 3 (+15550003). Messages: 1 of a handle without
    // conversation, 2 in chat 2, 3 in chat 1 with attachment A (list marked at byte 66), 4 in
    // chat 1 with B and C (list at byte 103), 5 in chat 3. Attachment rows: D (1, no message),
    // A (2), B (3), C (4).
    std::string MakeDatabase(const std::string& extraSql = "") {
        const std::string path = NewDatabasePath();
        TestDb db(path);
        CreateIos5Schema(db);
        db.Bind(
            "INSERT INTO madrid_chat (chat_identifier, service_name) VALUES"
            " ('+15550001', 'SMS'), (?, 'iMessage'), ('+15550003', 'SMS')",
            {kIos5HostileHandle});
        const std::string insert =
            "INSERT INTO message (group_id, flags, text, subject, date, madrid_handle,"
            " madrid_date_read, madrid_date_delivered, madrid_attachmentInfo)"
            " VALUES (1, 2, ?, ?, ?, ?, 1336000100, 1336000050, ?)";
        db.Bind(insert, {"stray", "", "1336000000", "nobody", ""},
                {false, false, false, false, true});
        db.Bind(insert,
                {"it's 100%", "'; DROP TABLE message; --", "1336000001", kIos5HostileHandle, ""},
                {false, false, false, false, true});
        db.Bind(
            insert,
            {"one photo", "", "1336000002", "+15550001", AttachmentInfoBlob({kIos5GuidA}, true)},
            {false, false, false, false, true});
        db.Bind(insert,
                {"two photos", "s", "1336000003", "+15550001",
                 AttachmentInfoBlob({kIos5GuidB, kIos5GuidC}, false)},
                {false, false, false, false, true});
        db.Bind(insert, {"bye", "", "1336000004", "+15550003", ""},
                {false, false, false, false, true});
        db.Bind(
            "INSERT INTO madrid_attachment (attachment_guid, created_date, start_date,"
            " filename) VALUES (?, 1, 0, 'd'), (?, 1336000002, 5, '../a.jpg'),"
            " (?, 1336000003, 0, 'b.jpg'), (?, 1336000003, 0, 'c.jpg')",
            {kIos5GuidD, kIos5GuidA, kIos5GuidB, kIos5GuidC});
        if (!extraSql.empty()) db.Exec(extraSql);
        return ReadBytes(path);
    }

    void SetUpBackup(const std::string& extraSql = "") {
        WriteSmsBackup(MakeDatabase(extraSql),
                       {{"MediaDomain", Ios5FileOf(kIos5GuidA), "aaaa"},
                        {"MediaDomain", Ios5FileOf(kIos5GuidB), "bbbbbb"},
                        {"MediaDomain", Ios5FileOf(kIos5GuidC), "cc"},
                        {"MediaDomain", Ios5FileOf(kIos5GuidD), "dddddddd"}},
                       "5.1.1");
    }

    static void ExpectTriggersAsTheDeviceDefinesThem(TestDb& db) {
        for (const std::string& trigger : Ios5Triggers()) {
            const std::string name = trigger.substr(15, trigger.find(' ', 15) - 15);
            EXPECT_EQ(db.Value("SELECT sql FROM sqlite_master WHERE type = 'trigger' AND name = '" +
                               name + "'"),
                      trigger);
        }
        EXPECT_EQ(db.Value("SELECT count(*) FROM sqlite_master WHERE type = 'trigger'"), "7");
    }
};

TEST(SmsAttachmentInfo, GuidsFromBothListStarts) {
    EXPECT_EQ(AttachmentGuidsFromInfo(AttachmentInfoBlob({kIos5GuidA}, true)),
              std::vector<std::string>{kIos5GuidA});
    EXPECT_EQ(
        AttachmentGuidsFromInfo(AttachmentInfoBlob({kIos5GuidB, kIos5GuidC, kIos5GuidD}, false)),
        (std::vector<std::string>{kIos5GuidB, kIos5GuidC, kIos5GuidD}));
    // Shorter than 67 bytes: no list.
    EXPECT_TRUE(
        AttachmentGuidsFromInfo(AttachmentInfoBlob({kIos5GuidA}, true).substr(0, 66)).empty());
    // An entry cut short ends the list.
    const std::string two = AttachmentInfoBlob({kIos5GuidA, kIos5GuidB}, true);
    EXPECT_EQ(AttachmentGuidsFromInfo(two.substr(0, 66 + 38 + 20)),
              std::vector<std::string>{kIos5GuidA});
}

TEST_F(SmsIos5, ListsConversationsByBoundAddress) {
    SetUpBackup();
    Scan("5.1.1");
    ASSERT_NE(dynamic_cast<CSMSDataBase_5*>(scanner_.Database()), nullptr);
    ASSERT_EQ(ChatCount(), 3u);

    CSMSChatModel* first = Chat(0);
    EXPECT_EQ(first->chatIdentifier, "+15550001");
    EXPECT_EQ(first->serviceName, u"SMS");
    EXPECT_EQ(first->guid, u"");
    ASSERT_EQ(first->GetMessageCount(), 2);
    CMessageModel* one = first->messages[0].get();
    EXPECT_EQ(one->text, u"one photo");
    EXPECT_EQ(one->date, 1336000002);
    EXPECT_EQ(one->legacyReadDate, 1336000100);
    EXPECT_EQ(one->deliveredDate, 1336000050);
    EXPECT_EQ(one->readDate, 0);
    ASSERT_EQ(one->GetAttachmentCount(), 1);
    EXPECT_EQ(one->attachments[0]->guid, kIos5GuidA);
    EXPECT_EQ(one->attachments[0]->fileName, u"../a.jpg");
    EXPECT_EQ(one->attachments[0]->startDate, 5);
    ASSERT_EQ(one->attachments[0]->GetDetailCount(), 1);
    EXPECT_EQ(one->attachments[0]->details[0]->relativePath, Ios5FileOf(kIos5GuidA));
    EXPECT_EQ(one->GetAttachmentsSize(), 4u);
    CMessageModel* two = first->messages[1].get();
    ASSERT_EQ(two->GetAttachmentCount(), 2);
    EXPECT_EQ(two->attachments[0]->guid, kIos5GuidB);
    EXPECT_EQ(two->attachments[1]->guid, kIos5GuidC);
    EXPECT_EQ(two->GetAttachmentsSize(), 8u);
    EXPECT_EQ(first->GetAttachmentCount(), 3);

    // The hostile address finds its own message only; pasted, it would have found all five.
    CSMSChatModel* hostile = Chat(1);
    EXPECT_EQ(hostile->chatIdentifier, kIos5HostileHandle);
    EXPECT_EQ(hostile->serviceName, u"iMessage");
    ASSERT_EQ(hostile->GetMessageCount(), 1);
    EXPECT_EQ(hostile->messages[0]->text, u"it's 100%");
    EXPECT_EQ(hostile->messages[0]->subject, u"'; DROP TABLE message; --");
    EXPECT_EQ(hostile->messages[0]->GetAttachmentCount(), 0);
    EXPECT_EQ(Chat(2)->GetMessageCount(), 1);
    EXPECT_EQ(status_.finished, 1);
}

TEST_F(SmsIos5, CleanDeletesRowsPutsTriggersBackAndUpdatesCounters) {
    SetUpBackup();
    Scan("5.1.1");
    ASSERT_EQ(ChatCount(), 3u);
    Chat(1)->Select(1);
    scanner_.Clean();
    TestDb db(WorkingCopy());
    EXPECT_EQ(db.Column("SELECT ROWID FROM madrid_chat"), std::vector<std::string>{"2"});
    EXPECT_EQ(db.Column("SELECT ROWID FROM message ORDER BY ROWID"),
              (std::vector<std::string>{"1", "2"}));
    EXPECT_EQ(db.Column("SELECT attachment_guid FROM madrid_attachment"),
              std::vector<std::string>{kIos5GuidD});
    ExpectTriggersAsTheDeviceDefinesThem(db);
    EXPECT_EQ(db.Value("SELECT value FROM _SqliteDatabaseProperties"
                       " WHERE key = '__CPRecordSequenceNumber'"),
              "42");
    EXPECT_EQ(db.Value("SELECT seq FROM sqlite_sequence WHERE name = 'madrid_chat'"), "2");
    EXPECT_EQ(db.Value("SELECT seq FROM sqlite_sequence WHERE name = 'message'"), "2");
    EXPECT_EQ(db.Value("SELECT seq FROM sqlite_sequence WHERE name = 'madrid_attachment'"), "1");
    EXPECT_EQ(db.Value("PRAGMA integrity_check"), "ok");
    // The totals stay as the scan left them.
    EXPECT_EQ(status_.finished, 1);

    ASSERT_TRUE(tool_.Complete());
    EXPECT_FALSE(platform::PathExists(SourceFile("MediaDomain", Ios5FileOf(kIos5GuidA))));
    EXPECT_FALSE(platform::PathExists(SourceFile("MediaDomain", Ios5FileOf(kIos5GuidB))));
    EXPECT_FALSE(platform::PathExists(SourceFile("MediaDomain", Ios5FileOf(kIos5GuidC))));
    EXPECT_EQ(ReadBytes(SourceFile("MediaDomain", Ios5FileOf(kIos5GuidD))), "dddddddd");
    ExpectManifestMatchesFiles();
}

TEST_F(SmsIos5, FailingStatementStopsTheDeletionButTriggersComeBack) {
    // The device-side refusal of one message: conversation 1 goes, conversation 3 stays.
    SetUpBackup(
        "CREATE TRIGGER refuse BEFORE DELETE ON message WHEN old.ROWID = 5 BEGIN"
        " SELECT RAISE(ABORT, 'refused'); END;");
    Scan("5.1.1");
    ASSERT_EQ(ChatCount(), 3u);
    Chat(1)->Select(1);
    scanner_.Clean();
    TestDb db(WorkingCopy());
    EXPECT_EQ(db.Column("SELECT ROWID FROM madrid_chat ORDER BY ROWID"),
              (std::vector<std::string>{"2", "3"}));
    EXPECT_EQ(db.Column("SELECT ROWID FROM message ORDER BY ROWID"),
              (std::vector<std::string>{"1", "2", "5"}));
    // The counters were not touched.
    EXPECT_EQ(db.Value("SELECT value FROM _SqliteDatabaseProperties"
                       " WHERE key = '__CPRecordSequenceNumber'"),
              "41");
    EXPECT_EQ(db.Value("SELECT seq FROM sqlite_sequence WHERE name = 'madrid_chat'"), "3");
    EXPECT_EQ(db.Value("SELECT seq FROM sqlite_sequence WHERE name = 'message'"), "5");
    for (const std::string& trigger : Ios5Triggers()) {
        const std::string name = trigger.substr(15, trigger.find(' ', 15) - 15);
        EXPECT_EQ(db.Value("SELECT sql FROM sqlite_master WHERE name = '" + name + "'"), trigger);
    }
    EXPECT_EQ(db.Value("PRAGMA integrity_check"), "ok");
    EXPECT_FALSE(IsDatabaseOpen());
}

TEST_F(SmsIos5, NothingSelectedChangesNoRow) {
    SetUpBackup();
    Scan("5.1.1");
    for (size_t i = 0; i < ChatCount(); ++i)
        Chat(i)->Select(1);
    scanner_.Clean();
    TestDb db(WorkingCopy());
    EXPECT_EQ(db.Value("SELECT count(*) FROM madrid_chat"), "3");
    EXPECT_EQ(db.Value("SELECT count(*) FROM message"), "5");
    EXPECT_EQ(db.Value("SELECT count(*) FROM madrid_attachment"), "4");
    ExpectTriggersAsTheDeviceDefinesThem(db);
}

}  // namespace
}  // namespace bw::testing

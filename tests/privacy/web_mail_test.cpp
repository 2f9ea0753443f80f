// The web mail scanner: the browser's database index names the two mail sites' databases, whose
// messages are listed through the scan session from a backup folder the test writes, and the
// selected ones removed from the working copies; sqlite3 checks the files afterwards.
#include "privacy/web_mail.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "backup/configure_test_support.h"
#include "brackwater/scan.h"
#include "privacy/safari_test_support.h"
#include "privacy/sqlite_fixture.h"
#include "session/scan_device.h"
#include "support/canary.h"
#include "support/temp_folder.h"

namespace bw::web_mail_test {
namespace {

using testing::IntegrityCheck;
using testing::QueryRows;
using testing::ReadFileBytes;
using testing::RunSql;
using testing::Text;

constexpr char kIndexPath[] = "Library/WebKit/Databases/Databases.db";
constexpr char kIndexSchema[] =
    "CREATE TABLE Origins (origin TEXT UNIQUE ON CONFLICT REPLACE, quota INTEGER NOT NULL ON "
    "CONFLICT FAIL);"
    "CREATE TABLE Databases (guid INTEGER PRIMARY KEY AUTOINCREMENT, origin TEXT, name TEXT, "
    "displayName TEXT, estimatedSize INTEGER, path TEXT);";
constexpr char kFirstSchema[] =
    "CREATE TABLE message (mid TEXT PRIMARY KEY, fid TEXT, subject TEXT, fromEmail TEXT, toEmail "
    "TEXT, xapparentlyto TEXT, receivedDate INTEGER);";
constexpr char kSecondSchema[] =
    "CREATE TABLE cached_messages (messageId TEXT PRIMARY KEY, conversationid TEXT, subject "
    "TEXT, address_from TEXT, address_to TEXT, receivedDateMs INTEGER, localUpdate INTEGER);"
    "CREATE TABLE cached_conversations (conversationId TEXT, subject TEXT);";

// 1700000000 is 2023-11-14 22:13:20 UTC; the device is one hour ahead of UTC.
constexpr char kFirstRows[] =
    "INSERT INTO message VALUES ('1_abc', 'Inbox', 'Hello', 'ann@example.com', 'me@example.com', "
    "'', 1700000000);"
    "INSERT INTO message VALUES ('2_d''q', 'Inbox', '100% off', 'shop@example.com', '', "
    "'me+x@example.com', 1700003600);"
    "INSERT INTO message VALUES ('3'') OR 1=1 --', 'Sent', 'Re: Hello', 'me@example.com', "
    "'ann@example.com', '', 0);";
constexpr char kSecondRows[] =
    "INSERT INTO cached_messages VALUES ('m1', 'c1', 'Lunch?', 'bob@example.com', "
    "'me@example.com', 1700000000123, 0);"
    "INSERT INTO cached_messages VALUES ('m2', 'c1', 'Re: it''s on', 'me@example.com', "
    "'bob@example.com', 1700007200999, 1);"
    "INSERT INTO cached_conversations VALUES ('c1', 'Lunch?');";

std::string IndexRow(const std::string& origin, const std::string& path) {
    return "INSERT INTO Databases (origin, name, displayName, estimatedSize, path) VALUES ('" +
           origin + "', 'db', 'db', 5242880, '" + path + "');";
}

std::vector<std::u16string> Subjects(IMailModel* model) {
    std::vector<std::u16string> subjects;
    for (int32_t i = 0; i < model->GetMessageCount(); ++i)
        subjects.push_back(Text(model->GetMessage(i), &IMailMessage::GetSubject));
    return subjects;
}

class WebMailTest : public testing::DeepCleanFixture {
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

    static std::string SitePath(const std::string& origin, const std::string& file) {
        return "Library/WebKit/Databases/" + origin + "/" + file;
    }

    // The index lists an unrelated site, the second mail site, the first one spelt with
    // capitals, and a second database of the second site.
    void WriteTypicalBackup() {
        const std::string index = std::string(kIndexSchema) +
                                  IndexRow("https_news.example_0", "0000000000000001.db") +
                                  IndexRow("https_mail.google.com_0", "0000000000000002.db") +
                                  IndexRow("https_MAIL.Yahoo.com_0", "0000000000000003.db") +
                                  IndexRow("https_mail.google.com_1", "0000000000000004.db");
        WriteBackup({
            {"HomeDomain", kIndexPath, Database("index.db", index)},
            {"HomeDomain", SitePath("https_mail.google.com_0", "0000000000000002.db"),
             Database("second.db", std::string(kSecondSchema) + kSecondRows)},
            {"HomeDomain", SitePath("https_MAIL.Yahoo.com_0", "0000000000000003.db"),
             Database("first.db", std::string(kFirstSchema) + kFirstRows)},
            {"HomeDomain", SitePath("https_mail.google.com_1", "0000000000000004.db"),
             Database("other.db", std::string(kSecondSchema))},
        });
    }

    void Scan() {
        ASSERT_TRUE(SetUpTool(CConfigureTool::Instance()));
        before_ = testing::FingerprintTree(Source());
        session_.StartScan(kJunkWebMail);
        ASSERT_NE(dynamic_cast<CWebEmailJunk*>(session_.Scanner()), nullptr);
        EXPECT_EQ(status()->finished, 1);
    }

    void Clean() {
        status()->finished = 0;
        session_.StartClean();
        EXPECT_EQ(status()->finished, 1);
        EXPECT_EQ(testing::FingerprintTree(Source()), before_);
    }

    IMailModel* Model(int32_t index) {
        return static_cast<IMailModel*>(session_.GetResult0(index));
    }
    std::string Copy(const std::string& path) const {
        return RestoreCopy() + "/" + FileName("HomeDomain", path);
    }
    BwScanStatus* status() { return reinterpret_cast<BwScanStatus*>(bytes_); }

    testing::TempFolder databases_;
    CScanDevice session_{nullptr};
    alignas(8) unsigned char bytes_[sizeof(BwScanStatus)] = {};
    testing::TreeFingerprint before_;
};

TEST_F(WebMailTest, TheFirstDatabaseOfEachSiteIsReadWhateverTheCapitals) {
    WriteTypicalBackup();
    Scan();
    ASSERT_EQ(session_.GetResultCount0(), 2);
    IMailModel* first = Model(0);
    EXPECT_EQ(Text(first, &IMailModel::GetOrigin), u"https_MAIL.Yahoo.com_0");
    EXPECT_EQ(Text(first, &IMailModel::GetPath), u"0000000000000003.db");
    EXPECT_EQ(Subjects(first), (std::vector<std::u16string>{u"Hello", u"100% off", u"Re: Hello"}));
    EXPECT_EQ(first->GetMessage(3), nullptr);

    IMailMessage* offer = first->GetMessage(1);
    EXPECT_EQ(Text(offer, &IMailMessage::GetMessageId), u"2_d'q");
    EXPECT_EQ(Text(offer, &IMailMessage::GetGroupId), u"Inbox");
    EXPECT_EQ(Text(offer, &IMailMessage::GetSender), u"shop@example.com");
    // No "To" address: the address the message was delivered to.
    EXPECT_EQ(Text(offer, &IMailMessage::GetRecipients), u"me+x@example.com");
    EXPECT_EQ(offer->GetReceivedTime(), 1700003600);
    EXPECT_EQ(Text(offer, &IMailMessage::GetReceivedDateText), u"2023-11-15 00:13:20");
    EXPECT_EQ(Text(first->GetMessage(0), &IMailMessage::GetReceivedDateText),
              u"2023-11-14 23:13:20");
    EXPECT_EQ(Text(first->GetMessage(2), &IMailMessage::GetReceivedDateText), u"");

    IMailModel* second = Model(1);
    EXPECT_EQ(Text(second, &IMailModel::GetOrigin), u"https_mail.google.com_0");
    EXPECT_EQ(Subjects(second), (std::vector<std::u16string>{u"Lunch?", u"Re: it's on"}));
    IMailMessage* reply = second->GetMessage(1);
    EXPECT_EQ(Text(reply, &IMailMessage::GetGroupId), u"c1");
    // Milliseconds beyond 32 bits, shown in seconds.
    EXPECT_EQ(reply->GetReceivedTime(), 1700007200);
    EXPECT_EQ(Text(reply, &IMailMessage::GetReceivedDateText), u"2023-11-15 01:13:20");

    EXPECT_EQ(status()->selectedCount, 5u);
    EXPECT_DOUBLE_EQ(status()->progress, 100.0);
}

TEST_F(WebMailTest, AnIndexWithOnlyTheSecondSiteGivesOneModelFromItsLastRow) {
    const std::string index = std::string(kIndexSchema) +
                              IndexRow("https_webmail.example_0", "0000000000000001.db") +
                              IndexRow("https_mail.example_0", "0000000000000002.db") +
                              IndexRow("https_Mail.GOOGLE.com_0", "0000000000000003.db");
    WriteBackup({
        {"HomeDomain", kIndexPath, Database("index.db", index)},
        {"HomeDomain", SitePath("https_Mail.GOOGLE.com_0", "0000000000000003.db"),
         Database("second.db", std::string(kSecondSchema) + kSecondRows)},
    });
    Scan();
    ASSERT_EQ(session_.GetResultCount0(), 1);
    EXPECT_EQ(Text(Model(0), &IMailModel::GetOrigin), u"https_Mail.GOOGLE.com_0");
    EXPECT_EQ(Model(0)->GetMessageCount(), 2);
}

TEST_F(WebMailTest, CleanRemovesExactlyTheSelectedMessages) {
    WriteTypicalBackup();
    Scan();
    ASSERT_EQ(session_.GetResultCount0(), 2);
    Model(0)->Select(1);                 // both models are kept ...
    Model(0)->GetMessage(0)->Select(1);  // ... "Hello" stays; the two with quotes in their ids go
    Model(1)->Select(1);
    Model(1)->GetMessage(0)->Select(1);  // "Lunch?" stays; "Re: it's on" goes
    const std::string index = ReadFileBytes(Copy(kIndexPath));
    Clean();

    const std::string first = Copy(SitePath("https_MAIL.Yahoo.com_0", "0000000000000003.db"));
    EXPECT_EQ(QueryRows(first, "SELECT mid, subject FROM message ORDER BY mid"),
              std::vector<std::string>{"1_abc|Hello"});
    EXPECT_EQ(IntegrityCheck(first), "ok");
    const std::string second = Copy(SitePath("https_mail.google.com_0", "0000000000000002.db"));
    EXPECT_EQ(QueryRows(second, "SELECT messageId FROM cached_messages"),
              std::vector<std::string>{"m1"});
    EXPECT_EQ(QueryRows(second, "SELECT * FROM cached_conversations"),
              std::vector<std::string>{"c1|Lunch?"});
    EXPECT_EQ(IntegrityCheck(second), "ok");
    EXPECT_EQ(ReadFileBytes(Copy(kIndexPath)), index);
    EXPECT_EQ(status()->selectedCount, 5u - 3u);

    // Completion writes both edited databases back.
    ASSERT_TRUE(CConfigureTool::Instance().Complete());
    EXPECT_EQ(QueryRows(SourceFile("HomeDomain",
                                   SitePath("https_MAIL.Yahoo.com_0", "0000000000000003.db")),
                        "SELECT mid FROM message"),
              std::vector<std::string>{"1_abc"});
    ExpectManifestMatchesFiles();
}

TEST_F(WebMailTest, ASelectedModelLosesAllItsMessages) {
    WriteTypicalBackup();
    Scan();
    ASSERT_EQ(session_.GetResultCount0(), 2);
    Model(0)->Select(1);
    for (int32_t i = 0; i < 3; ++i)
        Model(0)->GetMessage(i)->Select(1);
    Clean();
    const std::string first = Copy(SitePath("https_MAIL.Yahoo.com_0", "0000000000000003.db"));
    EXPECT_EQ(QueryRows(first, "SELECT count(*) FROM message"), std::vector<std::string>{"3"});
    const std::string second = Copy(SitePath("https_mail.google.com_0", "0000000000000002.db"));
    EXPECT_EQ(QueryRows(second, "SELECT count(*) FROM cached_messages"),
              std::vector<std::string>{"0"});
}

// Origins and file names that climb out of the origin's folder, or name another file, give no
// model; databases that are not databases give models without messages. Nothing crashes and the
// backup folder keeps its bytes.
TEST_F(WebMailTest, HostileIndexesAndDatabasesGiveWhatTheyCanSafely) {
    const std::string index = std::string(kIndexSchema) +
                              IndexRow("../https_mail.yahoo.com_0", "0000000000000001.db") +
                              IndexRow("https_mail.google.com_0", "../Databases.db") +
                              IndexRow("https_mail.yahoo.com_0", "0000000000000003.db") +
                              IndexRow("https_mail.google.com_1", "0000000000000004.db");
    WriteBackup({
        {"HomeDomain", kIndexPath, Database("index.db", index)},
        {"HomeDomain", SitePath("https_mail.yahoo.com_0", "0000000000000003.db"),
         "SQLite format 3"},
        {"HomeDomain", SitePath("https_mail.google.com_1", "0000000000000004.db"),
         Database("other.db", std::string(kSecondSchema) + kSecondRows)},
    });
    Scan();
    // The first rows of each site are the hostile ones: the walk took them, and they give
    // nothing; the first site's real database is damaged.
    EXPECT_EQ(session_.GetResultCount0(), 0);
    EXPECT_EQ(status()->selectedCount, 0u);
    Clean();
}

TEST_F(WebMailTest, ADamagedOrMissingIndexListsNothing) {
    for (const std::string& bytes :
         {std::string("SQLite format 3\0", 16), std::string("plain text"),
          Database("empty.db", "CREATE TABLE Other (x);")}) {
        SCOPED_TRACE(bytes.size());
        const std::string path = databases_ / "index.db";
        ASSERT_TRUE(platform::WriteFileAtomic(path, bytes));
        EXPECT_TRUE(CWebMailDataBase::FindMailDatabases(path).empty());
        EXPECT_EQ(ReadFileBytes(path), bytes);
    }
    EXPECT_TRUE(CWebMailDataBase::FindMailDatabases(databases_ / "missing.db").empty());
    EXPECT_FALSE(platform::IsFile(databases_ / "missing.db"));
}

}  // namespace
}  // namespace bw::web_mail_test

// The call history scanner: calls grouped by contact name, their records as the host reads them,
// and the deletion of the selected calls from the working copy of the database.
#include "privacy/call_history_junk.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "backup/configure_test_support.h"
#include "brackwater/scan.h"
#include "platform/files.h"
#include "privacy/sqlite_fixture.h"
#include "session/scan_device.h"
#include "support/canary.h"
#include "support/temp_folder.h"

namespace bw {
namespace {

using testing::QueryRows;
using testing::ReadFileBytes;
using testing::RunSql;

constexpr char kCallSchema[] =
    "CREATE TABLE call (ROWID INTEGER PRIMARY KEY AUTOINCREMENT, address TEXT, date INTEGER, "
    "duration INTEGER, flags INTEGER, id INTEGER, name TEXT, country_code TEXT);";
constexpr char kContactSchema[] =
    "CREATE TABLE ABPersonFullTextSearch_content (docid INTEGER PRIMARY KEY, c0First TEXT, "
    "c1Last TEXT, c15Phone TEXT);";

// Five calls in "ORDER BY id" order: by number (-1), known docid with another number (7), two
// numbers of nobody (50, 60), no number at all (80).
constexpr char kCalls[] =
    "INSERT INTO call VALUES (1, '5550200', 1000, 30, 4, 50, '', 'us');"
    "INSERT INTO call VALUES (2, '+1 555 0100', 2000, 0, 5, 7, '', 'us');"
    "INSERT INTO call VALUES (3, '5550300', 3000, 0, 0, 60, '', 'us');"
    "INSERT INTO call VALUES (4, '', 4000, 12, 16, 80, '', 'us');"
    "INSERT INTO call VALUES (5, '5550400', 5000, 61, 65, -1, '', 'us');";
constexpr char kContacts[] =
    "INSERT INTO ABPersonFullTextSearch_content VALUES (3, 'Bob', 'Stone', '5550400 5550401');"
    "INSERT INTO ABPersonFullTextSearch_content VALUES (7, 'Ann', 'Lee', '+1 555 0199');";

std::u16string GroupName(ICallContactModel* group) {
    std::u16string text(group->GetContactName(nullptr), u'\0');
    group->GetContactName(text.data());
    return text.c_str();
}

std::vector<int32_t> RowIds(ICallContactModel* group) {
    std::vector<int32_t> ids;
    for (int32_t i = 0; i < group->GetCallCount(); ++i)
        ids.push_back(group->GetCall(i)->GetRowId());
    return ids;
}

TEST(CallType, FlagsAndDurationGiveTheTypeOfTheTable) {
    struct Case {
        int32_t flags, duration, type;
    };
    const Case cases[] = {
        {0, 0, 1},   {4, 0, 1},  {0, 5, 2},       {4, -3, 2},         {5, 0, 4},
        {9, 0, 4},   {5, -1, 4}, {5, 1, 3},       {9, 60, 3},         {16, 0, 5},
        {20, 0, 5},  {64, 0, 5}, {16, -2, 6},     {64, 9, 6},         {17, 0, 8},
        {21, -4, 8}, {65, 0, 8}, {17, 1, 7},      {21, 8, 7},         {65, 3, 7},
        {1, 0, 0},   {8, 10, 0}, {0x10005, 0, 4}, {0x7FFF0000, 1, 2}, {-65536 + 21, 2, 7},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(CallTypeOf(c.flags, c.duration), c.type) << c.flags << " " << c.duration;
    }
}

class CallHistoryTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_FALSE(temp_.path().empty());
        calls_ = temp_ / "call_history.db";
        contacts_ = temp_ / "AddressBook.sqlitedb";
        scanner_.SetStatusRecord(record());
    }

    void WriteDatabases(const std::string& calls = kCalls,
                        const std::string& contacts = kContacts) {
        RunSql(calls_, std::string(kCallSchema) + calls);
        RunSql(contacts_, std::string(kContactSchema) + contacts);
    }

    CCallHistoryManage& Load() {
        manage_ = std::make_unique<CCallHistoryManage>(calls_, contacts_, &scanner_);
        manage_->LoadCalls();
        return *manage_;
    }

    ICallContactModel* Group(int32_t index) {
        return static_cast<ICallContactModel*>(scanner_.Results(kResultCallContacts).HostAt(index));
    }

    BwScanStatus* record() { return reinterpret_cast<BwScanStatus*>(bytes_); }

    testing::TempFolder temp_;
    std::string calls_;
    std::string contacts_;
    alignas(8) unsigned char bytes_[sizeof(BwScanStatus)] = {};
    CCallHistoryJunk scanner_;
    std::unique_ptr<CCallHistoryManage> manage_;
};

TEST_F(CallHistoryTest, CallsAreGroupedByExactNameInTheOrderOfTheirFirstCall) {
    WriteDatabases();
    Load();
    ASSERT_EQ(scanner_.Results(kResultCallContacts).size(), 4u);
    // A number found in a contact's numbers, a known docid whatever the number, two numbers of
    // nobody in one empty-named group, and a call without a number.
    EXPECT_EQ(GroupName(Group(0)), u"Bob Stone");
    EXPECT_EQ(RowIds(Group(0)), std::vector<int32_t>{5});
    EXPECT_EQ(GroupName(Group(1)), u"Ann Lee");
    EXPECT_EQ(RowIds(Group(1)), std::vector<int32_t>{2});
    EXPECT_EQ(GroupName(Group(2)), u"");
    EXPECT_EQ(RowIds(Group(2)), (std::vector<int32_t>{1, 3}));
    EXPECT_EQ(GroupName(Group(3)), u"Unknown");
    EXPECT_EQ(RowIds(Group(3)), std::vector<int32_t>{4});
    for (int32_t i = 0; i < 4; ++i)
        EXPECT_EQ(Group(i)->GetSequenceNumber(), i);

    // The status record counts every call; the last progress is written before the last call.
    EXPECT_EQ(record()->selectedCount, 5u);
    EXPECT_EQ(record()->shownCount, 5u);
    EXPECT_EQ(record()->selectedSize, 0u);
    EXPECT_DOUBLE_EQ(record()->progress, 80.0);
    EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t*>(record()->message)), u"Unknown");
}

TEST_F(CallHistoryTest, RecordSlotsAnswerTheColumnsAndTheTwoCallRule) {
    WriteDatabases();
    Load();
    ICallHistoryModel* call = Group(1)->GetCall(0);
    ASSERT_NE(call, nullptr);
    ASSERT_EQ(call->GetAddress(nullptr), std::u16string(u"+1 555 0100").size() + 2);
    std::vector<BwChar> buffer(call->GetAddress(nullptr), u'#');
    call->GetAddress(buffer.data());
    EXPECT_EQ(std::u16string(buffer.data()), u"+1 555 0100");
    EXPECT_EQ(call->GetCallType(), 4);
    EXPECT_EQ(call->GetAddressBookId(), 7);
    EXPECT_DOUBLE_EQ(call->GetDate(), 2000.0);
    EXPECT_EQ(call->GetDuration(), 0);
    EXPECT_EQ(call->GetFlags(), 5);
    EXPECT_EQ(call->GetRowId(), 2);
    EXPECT_EQ(call->Select(0), 1);
    EXPECT_EQ(call->Select(1), 0);
    EXPECT_EQ(call->Select(0), 0);
    EXPECT_EQ(call->Select(1), 1);

    ICallContactModel* group = Group(2);
    EXPECT_EQ(group->GetCallCount(), 2);
    EXPECT_EQ(group->GetCall(-1), nullptr);
    EXPECT_EQ(group->GetCall(2), nullptr);
    EXPECT_EQ(group->GetContactName(nullptr), 2u);  // the empty name
    EXPECT_EQ(group->Select(0), 1);
    EXPECT_EQ(group->Select(1), 0);
    EXPECT_EQ(Group(4), nullptr);
}

TEST_F(CallHistoryTest, CleanDeletesExactlyTheSelectedCalls) {
    WriteDatabases();
    Load();
    // "Ann Lee" entirely kept; of the empty-named group only call 1 goes.
    Group(1)->Select(1);
    Group(1)->GetCall(0)->Select(1);
    Group(2)->Select(1);
    Group(2)->GetCall(1)->Select(1);
    manage_->DeleteSelected();

    EXPECT_EQ(
        QueryRows(calls_, "SELECT * FROM call ORDER BY ROWID"),
        (std::vector<std::string>{"2|+1 555 0100|2000|0|5|7||us", "3|5550300|3000|0|0|60||us"}));
    EXPECT_EQ(testing::IntegrityCheck(calls_), "ok");
    EXPECT_EQ(record()->selectedCount, 2u);
    EXPECT_EQ(record()->shownCount, 2u);
    EXPECT_DOUBLE_EQ(record()->progress, 100.0);
}

TEST_F(CallHistoryTest, AFailingDeleteKeepsItsGroupsCallsAndTheOthersStillGo) {
    WriteDatabases();
    RunSql(calls_,
           "CREATE TRIGGER keep BEFORE DELETE ON call WHEN old.ROWID = 2 "
           "BEGIN SELECT RAISE(ABORT, 'kept'); END;");
    Load();
    manage_->DeleteSelected();
    EXPECT_EQ(QueryRows(calls_, "SELECT ROWID FROM call"), std::vector<std::string>{"2"});
    EXPECT_EQ(record()->selectedCount, 1u);
    EXPECT_EQ(testing::IntegrityCheck(calls_), "ok");
}

TEST_F(CallHistoryTest, AStopBeforeTheLoadListsNothing) {
    WriteDatabases();
    scanner_.RequestStop();
    Load();
    EXPECT_TRUE(scanner_.Results(kResultCallContacts).empty());
    EXPECT_EQ(manage_->Contacts().Contacts().size(), 2u);  // the contacts come first
    EXPECT_EQ(record()->selectedCount, 0u);
}

TEST_F(CallHistoryTest, QuotesPercentAndSqlInTheDataAreListedAndDeletedAsData) {
    WriteDatabases(
        "INSERT INTO call VALUES (1, 'x''); DROP TABLE call; --', 10, 1, 0, -1, '', '');"
        "INSERT INTO call VALUES (2, '100%', 20, 1, 0, -1, '', '');"
        "INSERT INTO call VALUES (3, '5550999', 30, 1, 0, 9, '', '');",
        "INSERT INTO ABPersonFullTextSearch_content VALUES (9, 'O''Brien \"Bob\"', '%s%n', "
        "'5550999');");
    Load();
    ASSERT_EQ(scanner_.Results(kResultCallContacts).size(), 2u);
    EXPECT_EQ(GroupName(Group(0)), u"");
    EXPECT_EQ(RowIds(Group(0)), (std::vector<int32_t>{1, 2}));
    std::vector<BwChar> address(Group(0)->GetCall(0)->GetAddress(nullptr));
    Group(0)->GetCall(0)->GetAddress(address.data());
    EXPECT_EQ(std::u16string(address.data()), u"x'); DROP TABLE call; --");
    EXPECT_EQ(GroupName(Group(1)), u"O'Brien \"Bob\" %s%n");

    Group(0)->Select(1);
    Group(0)->GetCall(0)->Select(1);  // only "100%" of the first group
    manage_->DeleteSelected();
    EXPECT_EQ(QueryRows(calls_, "SELECT ROWID FROM call"), std::vector<std::string>{"1"});
    EXPECT_EQ(testing::IntegrityCheck(calls_), "ok");
}

TEST_F(CallHistoryTest, WithoutAnAddressBookEveryCallHasAnEmptyNameOrUnknown) {
    RunSql(calls_, std::string(kCallSchema) + kCalls);
    Load();
    ASSERT_EQ(scanner_.Results(kResultCallContacts).size(), 2u);
    EXPECT_EQ(GroupName(Group(0)), u"");
    EXPECT_EQ(RowIds(Group(0)), (std::vector<int32_t>{5, 2, 1, 3}));
    EXPECT_EQ(GroupName(Group(1)), u"Unknown");
}

TEST_F(CallHistoryTest, ADamagedDatabaseListsNothingAndIsNotChanged) {
    RunSql(contacts_, std::string(kContactSchema) + kContacts);
    // Not SQLite at all.
    temp_.Write("call_history.db", std::string(3000, 'x'));
    Load();
    EXPECT_TRUE(scanner_.Results(kResultCallContacts).empty());
    manage_->DeleteSelected();
    EXPECT_EQ(ReadFileBytes(calls_), std::string(3000, 'x'));

    // A real database cut short after its schema page: the calls' pages are missing.
    std::string rows = "BEGIN;";
    for (int i = 1; i <= 400; ++i) {
        rows += "INSERT INTO call VALUES (" + std::to_string(i) + ", '" + std::string(60, 'a') +
                "', 1, 1, 0, -1, '', '');";
    }
    platform::RemoveFile(calls_);
    RunSql(calls_, std::string(kCallSchema) + rows + "COMMIT;");
    std::string bytes = ReadFileBytes(calls_);
    ASSERT_GT(bytes.size(), 8192u);
    bytes.resize(bytes.size() / 2);
    temp_.Write("call_history.db", bytes);
    scanner_.ReleaseItems(kResultCallContacts);
    Load();
    EXPECT_TRUE(scanner_.Results(kResultCallContacts).empty());
    scanner_.Clean();
    EXPECT_EQ(ReadFileBytes(calls_), bytes);
}

// Through the session, as a host runs it: the working copy that the deep-clean configuration
// serves is listed and edited; the device's backup folder is not touched before completion.
class CallHistorySessionTest : public testing::DeepCleanFixture {};

TEST_F(CallHistorySessionTest, SessionListsGroupsInSlotsTwelveAndThirteenAndCleansTheCopy) {
    testing::TempFolder databases;
    const std::string calls = databases / "calls.db";
    const std::string contacts = databases / "contacts.db";
    RunSql(calls, std::string(kCallSchema) + kCalls);
    RunSql(contacts, std::string(kContactSchema) + kContacts);
    WriteBackup({
        {"WirelessDomain", "Library/CallHistory/call_history.db", ReadFileBytes(calls)},
        {"HomeDomain", "Library/AddressBook/AddressBook.sqlitedb", ReadFileBytes(contacts)},
    });
    ASSERT_TRUE(SetUpTool(CConfigureTool::Instance()));
    const testing::TreeFingerprint before = testing::FingerprintTree(Source());

    CScanDevice session(nullptr);
    alignas(8) unsigned char bytes[sizeof(BwScanStatus)] = {};
    auto* status = reinterpret_cast<BwScanStatus*>(bytes);
    session.SetStatusRecord(status);
    session.StartScan(kJunkCallHistory);
    ASSERT_NE(dynamic_cast<CCallHistoryJunk*>(session.Scanner()), nullptr);
    EXPECT_EQ(status->finished, 1);
    ASSERT_EQ(session.GetResultCount3(), 4);
    auto* first = static_cast<ICallContactModel*>(session.GetResult3(0));
    EXPECT_EQ(GroupName(first), u"Bob Stone");
    EXPECT_EQ(session.GetResult3(4), nullptr);
    for (int32_t i = 1; i < 4; ++i) {
        auto* group = static_cast<ICallContactModel*>(session.GetResult3(i));
        group->Select(1);
        for (int32_t c = 0; c < group->GetCallCount(); ++c)
            group->GetCall(c)->Select(1);
    }
    session.StartClean();
    EXPECT_EQ(status->finished, 1);

    const std::string copy =
        RestoreCopy() + "/" + FileName("WirelessDomain", "Library/CallHistory/call_history.db");
    EXPECT_EQ(QueryRows(copy, "SELECT ROWID FROM call ORDER BY ROWID"),
              (std::vector<std::string>{"1", "2", "3", "4"}));
    EXPECT_EQ(testing::IntegrityCheck(copy), "ok");
    EXPECT_EQ(testing::FingerprintTree(Source()), before);
}

}  // namespace
}  // namespace bw

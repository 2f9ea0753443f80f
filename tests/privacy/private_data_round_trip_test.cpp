// Calls, conversations, attachment files and removed applications' data from end to end on the
// simulator, for each iOS version: back the phone up, scan and clean through the scan session
// with a device, complete, restore, and judge the phone's own files and the backup's manifest
// with SQLite and the simulator's manifest reader. Exactly the chosen call group, conversation,
// stray attachment files and application domains go; every other file is byte for byte what it
// was; and the operations leave nothing open on the device. (The suite's name puts it in the
// group of tests that start the backup tool one at a time.)
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "backup/configure_tool.h"
#include "backuptool/mbdb.h"
#include "brackwater/privacy.h"
#include "brackwater/scan.h"
#include "device/host_utils.h"
#include "platform/files.h"
#include "platform/text.h"
#include "session/scan_device.h"
#include "sim/sqlite_rows.h"
#include "support/backup_round_trip.h"
#include "support/ios_versions.h"

namespace bw {
namespace {

namespace fs = std::filesystem;
using testing::ReadFileBytes;

template <class Record>
std::string TextOf(Record* record, size_t (Record::*getter)(BwChar*)) {
    std::u16string text((record->*getter)(nullptr), u'\0');
    (record->*getter)(text.data());
    return WideToUtf8(text.c_str());
}

// Select(0) reads the flag, Select(1) toggles it.
template <class Record>
void SetSelected(Record* record, bool wanted) {
    if ((record->Select(0) != 0) != wanted) record->Select(1);
}

// The domains that the backup's manifest names.
std::set<std::string> ManifestDomains(const std::string& backup) {
    std::vector<sim::backuptool::ManifestRecord> records;
    std::string error;
    EXPECT_TRUE(
        sim::backuptool::DecodeManifest(ReadFileBytes(backup + "/Manifest.mbdb"), records, error))
        << error;
    std::set<std::string> domains;
    for (const auto& record : records)
        domains.insert(record.domain.value_or(""));
    return domains;
}

class BackupRunPrivateData : public testing::BackupRoundTripTest,
                             public ::testing::WithParamInterface<const char*> {
  protected:
    bool Legacy() const { return GetParam()[0] == '5'; }
};

TEST_P(BackupRunPrivateData, ThePhoneLosesExactlyTheChosenItems) {
    std::string image, udid;
    CIPhone* phone = ArrivePhone(GetParam(), image, udid);
    ASSERT_NE(phone, nullptr);
    ASSERT_TRUE(RunTool(udid, kBackupModeBackup));
    const std::map<std::string, std::string> before = Files(image);
    const std::string smsPath = sim::ImagePath(image, "/var/mobile/Library/SMS/sms.db");
    const std::string callsPath =
        sim::ImagePath(image, "/var/wireless/Library/CallHistory/call_history.db");
    // The stores as they were, for SQLite to compare with afterwards.
    ASSERT_TRUE(platform::WriteFileAtomic(folder_ / "calls-before.db", before.at(callsPath)));
    ASSERT_TRUE(platform::WriteFileAtomic(folder_ / "sms-before.db", before.at(smsPath)));
    const std::string backup = GetBackupRoot() + "/" + udid;
    std::vector<sim::backuptool::ManifestRecord> records;
    std::string error;
    ASSERT_TRUE(
        sim::backuptool::DecodeManifest(ReadFileBytes(backup + "/Manifest.mbdb"), records, error))
        << error;
    ASSERT_TRUE(CConfigureTool::Instance().CreateIn(phone, folder_ / "work", false));

    BwScanStatus status{};
    CScanDevice session(phone);
    session.SetStatusRecord(&status);

    // Calls: only the first group's calls go.
    session.StartScan(kJunkCallHistory);
    ASSERT_GE(session.GetResultCount3(), 2);
    std::string goneCalls;
    for (int32_t g = 0; g < session.GetResultCount3(); ++g) {
        auto* group = static_cast<ICallContactModel*>(session.GetResult3(g));
        SetSelected(group, false);
        for (int32_t c = 0; c < group->GetCallCount(); ++c) {
            SetSelected(group->GetCall(c), g == 0);
            if (g != 0) continue;
            goneCalls += (goneCalls.empty() ? "" : ",");
            goneCalls += std::to_string(group->GetCall(c)->GetRowId());
        }
    }
    ASSERT_FALSE(goneCalls.empty());
    session.StartClean();

    // Messages: the first conversation with attachments goes.
    session.StartScan(kJunkMessages);
    ASSERT_GE(session.GetResultCount11(), 2);
    std::string goneChat;
    int32_t goneChatRow = -1;
    for (int32_t i = 0; i < session.GetResultCount11(); ++i) {
        auto* chat = static_cast<ISMSChatModel*>(session.GetResult11(i));
        const bool chosen = goneChatRow < 0 && chat->GetAttachmentCount() > 0;
        SetSelected(chat, chosen);
        if (!chosen) continue;
        goneChat = TextOf(chat, &ISMSChatModel::GetChatIdentifier);
        goneChatRow = chat->GetRowId();
    }
    ASSERT_GE(goneChatRow, 0);
    session.StartClean();

    // Stray attachment files: all go.
    session.StartScan(kJunkSurplusAttachments);
    ASSERT_GT(session.GetResultCount12(), 0);
    std::set<std::string> goneFiles;
    for (int32_t i = 0; i < session.GetResultCount12(); ++i) {
        auto* file = static_cast<ISurplusFileModel*>(session.GetResult12(i));
        ASSERT_NE(file->Select(0), 0);
        goneFiles.insert(
            sim::ImagePath(image, "/var/mobile/" + TextOf(file, &ISurplusFileModel::GetName)));
    }
    session.StartClean();

    // Removed applications: every one listed goes; Apple's own is never listed.
    session.StartScan(kJunkAppLeftovers);
    std::set<std::string> goneDomains;
    for (int32_t i = 0; i < session.GetResultCount7(); ++i) {
        auto* app = static_cast<IAppRemainModel*>(session.GetResult7(i));
        goneDomains.insert("AppDomain-" + TextOf(app, &IAppRemainModel::GetIdentifier));
    }
    // The phone has "com.coinwise.ledger" installed: a domain that differs only in case is its.
    EXPECT_EQ(goneDomains, std::set<std::string>{"AppDomain-com.flashcardly.decks"});
    session.StartClean();
    session.StartScan(kJunkCrashLogs);  // lets go of the private-data scanners

    // The scans and cleans closed every session, file and connection they opened on the phone.
    ExpectOpen(testing::kWiredAfc, testing::kWiredServices);

    ASSERT_TRUE(CConfigureTool::Instance().Complete());
    // The removed applications' records and files are gone from the backup; Apple's stays.
    const std::set<std::string> domains = ManifestDomains(backup);
    size_t goneBackupFiles = 0;
    for (const auto& record : records) {
        const std::string domain = record.domain.value_or("");
        if (goneDomains.count(domain) == 0) continue;
        EXPECT_EQ(domains.count(domain), 0u) << domain;
        if (!record.dataHash) continue;  // folders have no file
        ++goneBackupFiles;
        EXPECT_FALSE(fs::exists(backup + "/" +
                                sim::backuptool::BackupFileName(domain, record.path.value_or(""))));
    }
    EXPECT_GT(goneBackupFiles, 0u);
    EXPECT_EQ(domains.count("AppDomain-com.apple.podcasts"), 1u);

    ASSERT_TRUE(RunTool(udid, kBackupModeRestore));
    const std::map<std::string, std::string> after = Files(image);

    sim::SqliteFile callsOld(folder_ / "calls-before.db", SQLITE_OPEN_READONLY);
    sim::SqliteFile callsNew(callsPath, SQLITE_OPEN_READONLY);
    sim::SqliteFile smsOld(folder_ / "sms-before.db", SQLITE_OPEN_READONLY);
    sim::SqliteFile smsNew(smsPath, SQLITE_OPEN_READONLY);
    for (sim::SqliteFile* db : {&callsOld, &callsNew, &smsOld, &smsNew})
        ASSERT_TRUE(db->ok());
    for (sim::SqliteFile* db : {&callsNew, &smsNew})
        EXPECT_EQ(db->Column("pragma integrity_check"), std::vector<std::string>{"ok"});

    // Every file but the two stores is as it was, except the stray files and the conversation's
    // attachment files, which are gone.
    const std::string chatMessages =
        Legacy() ? "select ROWID from message where madrid_handle = '" + goneChat + "'"
                 : "select message_id from chat_message_join where chat_id = " +
                       std::to_string(goneChatRow);
    const std::string chatAttachments =
        Legacy()
            ? "select filename from madrid_attachment where message_id in (" + chatMessages + ")"
            : "select filename from attachment where ROWID in (select attachment_id from "
              "message_attachment_join where message_id in (" +
                  chatMessages + "))";
    // The conversation's files may be listed as stray too: the message clean removed their rows
    // before the stray-file scan ran.
    std::set<std::string> gone = goneFiles;
    const std::vector<std::string> chatFiles = smsOld.Column(chatAttachments);
    ASSERT_FALSE(chatFiles.empty());
    for (const std::string& name : chatFiles) {
        ASSERT_EQ(name.rfind("~/", 0), 0u) << name;
        gone.insert(sim::ImagePath(image, "/var/mobile/" + name.substr(2)));
    }
    std::map<std::string, std::string> expected = before;
    for (const std::string& path : gone)
        EXPECT_EQ(expected.erase(path), 1u) << path;
    for (const std::string& store : {smsPath, callsPath}) {
        EXPECT_EQ(expected.erase(store), 1u);
        EXPECT_EQ(after.count(store), 1u);
    }
    std::map<std::string, std::string> others = after;
    others.erase(smsPath);
    others.erase(callsPath);
    EXPECT_EQ(others.size(), expected.size());
    for (const auto& [path, bytes] : expected) {
        const auto found = others.find(path);
        ASSERT_NE(found, others.end()) << "gone: " << path;
        EXPECT_EQ(found->second, bytes) << path;
    }

    // The stores: the chosen rows are gone, every other row is the row it was.
    EXPECT_EQ(callsNew.RowTexts("select * from call"),
              callsOld.RowTexts("select * from call where ROWID not in (" + goneCalls + ")"));
    const std::string chats = Legacy() ? "madrid_chat" : "chat";
    ASSERT_NE(smsOld.Column("select count(*) from (" + chatMessages + ")"),
              std::vector<std::string>{"0"});
    EXPECT_EQ(smsNew.RowTexts("select * from message"),
              smsOld.RowTexts("select * from message where ROWID not in (" + chatMessages + ")"));
    EXPECT_EQ(smsNew.RowTexts("select * from " + chats),
              smsOld.RowTexts("select * from " + chats + " where ROWID <> " +
                              std::to_string(goneChatRow)));
    EndListening();
}

INSTANTIATE_TEST_SUITE_P(EachVersion, BackupRunPrivateData, bw::testing::EachIosVersion(),
                         bw::testing::IosVersionName);

}  // namespace
}  // namespace bw

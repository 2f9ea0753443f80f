// Deep-clean completion: the bytes of the backup folder after edited working copies and delete
// entries are applied, and hostile configuration keys.
#include <gtest/gtest.h>

#include <unistd.h>

#include "backup/configure_test_support.h"

namespace bw {
namespace {

using testing::DeepCleanFixture;
using testing::FolderSnapshot;
using testing::kTestUdid;
using testing::ReadFileBytes;
using testing::Sha1Bytes;
using testing::Snapshot;

class ConfigureCompleteTest : public DeepCleanFixture {
  protected:
    std::vector<MbdbRecord> SourceRecords() const {
        return ReadMbdb(ReadFileBytes(platform::JoinPath(Source(), "Manifest.mbdb"))).records;
    }
    CDicValueObj BackupInfoEntry(const std::string& key) const {
        const CDicValueObj info = ReadPlist(BackupCopy() + "/BackupInfo.plist");
        const CDicValueObj* entry = info.Find(key);
        return entry != nullptr ? *entry : CDicValueObj();
    }
};

TEST_F(ConfigureCompleteTest, EditedFileReplacesBackupFileAndItsRecordOnly) {
    WriteBackup(TypicalFiles());
    const FolderSnapshot before = Snapshot(Source());
    const std::vector<MbdbRecord> recordsBefore = SourceRecords();
    CConfigureTool tool;
    ASSERT_TRUE(SetUpTool(tool));
    const std::string copy = tool.CopySmsDatabase();
    const std::string edited = "sms database after the clean, longer than before";
    ASSERT_TRUE(platform::WriteFileAtomic(copy, edited));
    ASSERT_TRUE(tool.Complete());

    const std::string name = FileName("HomeDomain", "Library/SMS/sms.db");
    const FolderSnapshot after = Snapshot(Source());
    ASSERT_EQ(after.size(), before.size());  // no temporary or "Manifest-2.mbdb" left behind
    for (const auto& [file, bytes] : before) {
        if (file == name || file == "Manifest.mbdb") continue;
        EXPECT_EQ(after.at(file), bytes) << file;
    }
    EXPECT_EQ(after.at(name), edited);

    const std::vector<MbdbRecord> recordsAfter = SourceRecords();
    ASSERT_EQ(recordsAfter.size(), recordsBefore.size());
    for (size_t i = 0; i < recordsAfter.size(); ++i) {
        if (recordsBefore[i].backupFileName != name) {
            EXPECT_EQ(recordsAfter[i], recordsBefore[i]) << recordsBefore[i].path.text;
            continue;
        }
        EXPECT_EQ(recordsAfter[i].size, edited.size());
        EXPECT_EQ(recordsAfter[i].dataHash.raw, Sha1Bytes(edited));
        EXPECT_EQ(recordsAfter[i].fixedBytes, recordsBefore[i].fixedBytes);
        EXPECT_EQ(recordsAfter[i].path, recordsBefore[i].path);
    }
    ExpectManifestMatchesFiles();

    // The untouched original is kept, and the outcome is recorded.
    EXPECT_EQ(ReadFileBytes(BackupCopy() + "/" + name), "sms database v1");
    EXPECT_EQ(ReadFileBytes(BackupCopy() + "/Manifest.mbdb"), before.at("Manifest.mbdb"));
    const CDicValueObj entry = BackupInfoEntry(name);
    EXPECT_EQ(entry.GetBool("Result"), true);
    EXPECT_EQ(entry.GetString("Outcome"), "replaced");
    EXPECT_FALSE(platform::PathExists(BackupCopy() + "/DeepCleanPending.plist"));
}

TEST_F(ConfigureCompleteTest, UneditedCopiesLeaveTheBackupFolderUntouched) {
    WriteBackup(TypicalFiles());
    const FolderSnapshot before = Snapshot(Source());
    CConfigureTool tool;
    ASSERT_TRUE(SetUpTool(tool));
    ASSERT_FALSE(tool.CopySmsDatabase().empty());
    ASSERT_FALSE(tool.CopySafariCookies().empty());
    ASSERT_TRUE(tool.Complete());
    EXPECT_EQ(Snapshot(Source()), before);
    EXPECT_EQ(BackupInfoEntry(FileName("HomeDomain", "Library/SMS/sms.db")).GetBool("Result"),
              true);
}

TEST_F(ConfigureCompleteTest, MissingCopyOrFileOrAPathFindingAnotherRecordIsNotApplied) {
    WriteBackup(TypicalFiles());
    const FolderSnapshot before = Snapshot(Source());
    CConfigureTool tool;
    ASSERT_TRUE(SetUpTool(tool));
    const std::string sms = tool.CopySmsDatabase();
    const std::string cookies = tool.CopySafariCookies();
    ASSERT_TRUE(platform::WriteFileAtomic(cookies, "edited cookies"));
    ASSERT_TRUE(platform::RemoveFile(sms));
    // The backup lost the cookie file since it was served: nothing to replace.
    const std::string cookieName = FileName("HomeDomain", "Library/Cookies/Cookies.binarycookies");
    ASSERT_TRUE(platform::RemoveFile(platform::JoinPath(Source(), cookieName)));
    // An edited log whose "FullName" now finds the database before it.
    const std::string wal = tool.CopyWorkingFile("HomeDomain", "https_a.com_0.localstorage-wal", 6);
    ASSERT_TRUE(platform::WriteFileAtomic(wal, "edited wal"));
    const std::string walKey = wal.substr(wal.rfind('/') + 1);
    CDicValueObj walEntry = *tool.Configuration().Find(walKey);
    walEntry.Set("FullName", CDicValueObj::MakeString("https_a.com_0.localstorage"));
    ASSERT_TRUE(tool.Complete());

    FolderSnapshot expected = before;
    expected.erase(cookieName);
    EXPECT_EQ(Snapshot(Source()), expected);
    EXPECT_EQ(BackupInfoEntry(FileName("HomeDomain", "Library/SMS/sms.db")).GetBool("Result"),
              false);
    EXPECT_EQ(BackupInfoEntry(cookieName).GetBool("Result"), false);
    EXPECT_EQ(BackupInfoEntry(walKey).GetBool("Result"), false);
}

TEST_F(ConfigureCompleteTest, DeleteEntryRemovesItsOwnRecordsAndFiles) {
    WriteBackup(TypicalFiles());
    const FolderSnapshot before = Snapshot(Source());
    CConfigureTool tool;
    ASSERT_TRUE(SetUpTool(tool));
    std::string mailCopy;
    for (const std::string& copy : tool.CopyPushStoreFiles()) {
        if (copy.ends_with("com.example.mail.pushstore")) mailCopy = copy;
    }
    ASSERT_TRUE(tool.AddDeleteEntry(mailCopy, "HomeDomain", ".pushstore"));
    // A local-storage database switched to deletion takes its write-ahead log with it.
    const std::string storage =
        tool.CopyLocalStorageDatabase("LocalStorage/https_a.com_0.localstorage");
    EXPECT_FALSE(tool.MarkForDeletion(RestoreCopy() + "/unknown-file-name-that-is-long-enough"));
    ASSERT_TRUE(tool.MarkForDeletion(storage));
    EXPECT_EQ(tool.Configuration()
                  .Find(storage.substr(storage.rfind('/') + 1))
                  ->GetInteger("ExecuteType"),
              1);
    ASSERT_TRUE(tool.Complete());

    const std::vector<std::string> gone = {
        FileName("HomeDomain", "Library/SpringBoard/PushStore/com.example.mail.pushstore"),
        FileName("HomeDomain", "Library/Caches/Safari/LocalStorage/https_a.com_0.localstorage"),
        FileName("HomeDomain", "Library/Caches/Safari/LocalStorage/https_a.com_0.localstorage-wal"),
    };
    FolderSnapshot expected = before;
    for (const std::string& name : gone) {
        expected.erase(name);
        // Nothing leaves the backup without an untouched copy.
        EXPECT_EQ(ReadFileBytes(BackupCopy() + "/" + name), before.at(name));
    }
    FolderSnapshot after = Snapshot(Source());
    after.erase("Manifest.mbdb");
    expected.erase("Manifest.mbdb");
    EXPECT_EQ(after, expected);

    std::vector<std::string> paths;
    for (const MbdbRecord& record : SourceRecords())
        paths.push_back(record.path.text);
    EXPECT_EQ(paths.size(), files_.size() - 3);
    for (const std::string& name : gone) {
        for (const MbdbRecord& record : SourceRecords())
            EXPECT_NE(record.backupFileName, name);
    }
    // The other push store is not selected and stays.
    EXPECT_NE(std::find(paths.begin(), paths.end(),
                        "Library/SpringBoard/PushStore/com.example.chat.pushstore"),
              paths.end());
    ExpectManifestMatchesFiles();
    EXPECT_EQ(BackupInfoEntry(gone[0]).GetBool("Result"), true);
    EXPECT_EQ(BackupInfoEntry(gone[1]).GetString("Outcome"), "removed 2 file(s)");

    // Completing again changes nothing and keeps the outcomes.
    const FolderSnapshot done = Snapshot(Source());
    ASSERT_TRUE(tool.Complete());
    EXPECT_EQ(Snapshot(Source()), done);
    EXPECT_EQ(BackupInfoEntry(gone[0]).GetBool("Result"), true);
}

TEST_F(ConfigureCompleteTest, HostileAndShortKeysTouchNothing) {
    WriteBackup(TypicalFiles());
    const FolderSnapshot before = Snapshot(Source());
    // Files the hostile keys point at, outside the three folders.
    const std::string outside = temp_.Write("outside/victim-file-with-a-long-enough-name", "keep");
    const std::string outsideModify =
        temp_.Write("work/DeviceBackup/victim-file-with-a-long-enough-name", "keep too");
    CConfigureTool tool;
    ASSERT_TRUE(SetUpTool(tool));
    const std::string sms = tool.CopySmsDatabase();
    ASSERT_TRUE(platform::WriteFileAtomic(sms, "edited"));
    const std::string smsPath = "Library/SMS/sms.db";

    auto entry = [&](int64_t type, const std::string& fullName) {
        CDicValueObj value = CDicValueObj::MakeDictionary();
        value.Set("ExecuteType", CDicValueObj::MakeInteger(type));
        value.Set("Domain", CDicValueObj::MakeString("HomeDomain"));
        value.Set("FullName", CDicValueObj::MakeString(fullName));
        return value;
    };
    const std::vector<std::string> keys = {
        "../../../outside/victim-file-with-a-long-enough-name",
        "../victim-file-with-a-long-enough-name",
        outside,
        "../../victim-file-with-a-long-enough-name",
        "..\\..\\victim-file-with-a-long-enough-name-windows",
    };
    for (const std::string& key : keys) {
        tool.Configuration().Set(key, entry(0, smsPath));
        tool.Configuration().Set(key + "/", entry(1, smsPath));
    }
    // Thirty characters: looks like a delete entry for the chat store, but is a top-level value.
    const std::string shortKey = "com.example.chat.pushstore____";
    ASSERT_EQ(shortKey.size(), 30u);
    tool.Configuration().Set(shortKey, entry(1, ".pushstore"));
    ASSERT_TRUE(tool.Complete());
    EXPECT_EQ(tool.Configuration().Find(shortKey)->Find("Result"), nullptr);

    EXPECT_EQ(ReadFileBytes(outside), "keep");
    EXPECT_EQ(ReadFileBytes(outsideModify), "keep too");
    std::vector<platform::FolderEntry> entries;
    ASSERT_TRUE(platform::ListFolder(temp_ / "outside", entries));
    EXPECT_EQ(entries.size(), 1u);
    // Only the honest entry changed the backup; no delete entry removed the database.
    const std::string name = FileName("HomeDomain", smsPath);
    FolderSnapshot after = Snapshot(Source());
    EXPECT_EQ(after.at(name), "edited");
    EXPECT_EQ(after.size(), before.size());
    for (const std::string& key : keys) {
        const CDicValueObj* recorded = tool.Configuration().Find(key);
        ASSERT_NE(recorded, nullptr);
        EXPECT_EQ(recorded->GetBool("Result"), false);
    }
}

TEST_F(ConfigureCompleteTest, BackupFilesThatAreLinksAreNeitherReadNorWritten) {
    WriteBackup(TypicalFiles());
    const std::string outside = temp_.Write("outside/secret", "host secret");
    const std::string name = FileName("HomeDomain", "Library/Cookies/Cookies.binarycookies");
    const std::string link = platform::JoinPath(Source(), name);
    ASSERT_TRUE(platform::RemoveFile(link));
    ASSERT_EQ(::symlink(outside.c_str(), link.c_str()), 0);
    CConfigureTool tool;
    ASSERT_TRUE(SetUpTool(tool));
    EXPECT_EQ(tool.CopySafariCookies(), "");
    EXPECT_FALSE(platform::PathExists(RestoreCopy() + "/" + name));

    // An entry written by hand for that file is not applied either.
    temp_.Write("work/DeviceBackup/Restore/" + std::string(kTestUdid) + "/" + name, "overwrite");
    CDicValueObj value = CDicValueObj::MakeDictionary();
    value.Set("ExecuteType", CDicValueObj::MakeInteger(0));
    value.Set("Domain", CDicValueObj::MakeString("HomeDomain"));
    value.Set("FullName", CDicValueObj::MakeString("Cookies.binarycookies"));
    tool.Configuration().Set(name, value);
    ASSERT_TRUE(tool.Complete());
    EXPECT_EQ(ReadFileBytes(outside), "host secret");
    EXPECT_EQ(tool.Configuration().Find(name)->GetBool("Result"), false);
}

}  // namespace
}  // namespace bw

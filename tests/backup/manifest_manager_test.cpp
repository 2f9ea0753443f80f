// ManifestDataManager over a backup folder that the test writes.
#include <gtest/gtest.h>

#include <map>

#include "backup/manifest.h"
#include "backup/mbdb_builder.h"
#include "formats/sha1.h"
#include "platform/file_faults.h"
#include "platform/files.h"
#include "support/file_fault_loop.h"
#include "support/independent_sha1.h"
#include "support/temp_folder.h"

namespace bw {
namespace {

using testing::FileRecord;
using testing::MbdbBuilder;
using testing::MbdbRecordFields;
using testing::ReadFileBytes;

class ManifestManagerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_FALSE(temp_.path().empty());
        ASSERT_TRUE(platform::CreateFolders(backup_));
    }

    std::string WriteManifest(const MbdbBuilder& builder) {
        return temp_.Write("backup/Manifest.mbdb", builder.Bytes());
    }
    // Writes the backup file that stores a domain and path.
    std::string WriteBackupFile(std::string_view domain, std::string_view path,
                                std::string_view content = "content") {
        return temp_.Write("backup/" + MbdbBackupFileName(domain, path), content);
    }
    std::string BackupFilePath(std::string_view domain, std::string_view path) const {
        return platform::JoinPath(backup_, MbdbBackupFileName(domain, path));
    }
    ManifestDataManager Manager() const { return ManifestDataManager("udid", backup_, manifest_); }

    testing::TempFolder temp_;
    const std::string backup_ = temp_ / "backup";
    const std::string manifest_ = temp_ / "backup/Manifest.mbdb";
};

// Domains and paths chosen so that containment, order and exact domains can all be told apart.
MbdbBuilder SmsBackup() {
    MbdbBuilder builder;
    builder.Record(FileRecord("HomeDomainX", "Library/SMS/sms.db"));
    builder.Record(FileRecord("HomeDomain", "Library/SMS/sms.db-wal"));
    builder.Record(FileRecord("HomeDomain", "Library/SMS/sms.db"));
    builder.Record(FileRecord("MediaDomain", "Library/SMS/Attachments/ab/IMG_1.JPG"));
    builder.Record(FileRecord("MediaDomain", "Library/SMS/Attachments/cd/IMG_2.JPG"));
    builder.Record(FileRecord("MediaDomain", "DCIM/100APPLE/IMG_3.JPG"));
    builder.Record(FileRecord("AppDomain-com.example.notes", "Documents/a"));
    builder.Record(FileRecord("AppDomain-com.example.notes", "Documents/b"));
    builder.Record(FileRecord("AppDomain-org.sample.game", "Library/c"));
    return builder;
}

TEST_F(ManifestManagerTest, FindRecordMatchesContainedPathFirstInFileOrderWithExactDomain) {
    WriteManifest(SmsBackup());
    ManifestDataManager manager = Manager();
    const MbdbRecord record = manager.FindRecord("HomeDomain", "SMS/sms.db");
    EXPECT_EQ(record.domain.text, "HomeDomain");
    EXPECT_EQ(record.path.text, "Library/SMS/sms.db-wal");
    EXPECT_EQ(record.backupFileName, MbdbBackupFileName("HomeDomain", "Library/SMS/sms.db-wal"));
    EXPECT_TRUE(manager.HasRecord("HomeDomain", "Library/SMS/sms.db"));
    EXPECT_FALSE(manager.HasRecord("Home", "Library/SMS/sms.db"));
    EXPECT_FALSE(manager.HasRecord("HomeDomain", "sms.db.bak"));
    EXPECT_EQ(manager.FindRecord("homedomain", "SMS").backupFileName, "");
    EXPECT_EQ(manager.LastError(), "");
}

TEST_F(ManifestManagerTest, FindAllFilePathsAndListDomainRecords) {
    WriteManifest(SmsBackup());
    ManifestDataManager manager = Manager();
    EXPECT_EQ(manager.FindAllFilePaths("HomeDomain", "SMS/sms.db"),
              (std::vector<std::string>{
                  BackupFilePath("HomeDomain", "Library/SMS/sms.db-wal"),
                  BackupFilePath("HomeDomain", "Library/SMS/sms.db"),
              }));
    EXPECT_TRUE(manager.FindAllFilePaths("HomeDomai", "SMS").empty());
    const std::vector<MbdbRecord> notes = manager.ListDomainRecords("AppDomain-com.example.notes");
    ASSERT_EQ(notes.size(), 2u);
    EXPECT_EQ(notes[0].path.text, "Documents/a");
    EXPECT_EQ(notes[1].path.text, "Documents/b");
    EXPECT_TRUE(manager.ListDomainRecords("AppDomain-").empty());
}

TEST_F(ManifestManagerTest, EmptyManifestPathGivesEmptyAnswers) {
    WriteManifest(SmsBackup());
    ManifestDataManager manager("udid", backup_, "");
    EXPECT_EQ(manager.FindRecord("HomeDomain", "SMS").backupFileName, "");
    EXPECT_FALSE(manager.HasRecord("HomeDomain", "SMS"));
    EXPECT_EQ(manager.FindSmsDatabase(), "");
    EXPECT_TRUE(manager.ListAllFiles().empty());
    EXPECT_EQ(manager.Save(), "");
}

TEST_F(ManifestManagerTest, MissingManifestGivesEmptyAnswersAndSaysWhy) {
    ManifestDataManager manager = Manager();
    EXPECT_FALSE(manager.HasRecord("HomeDomain", ""));
    EXPECT_EQ(manager.LastError(), "cannot open file");
    EXPECT_TRUE(manager.FindAllFilePaths("HomeDomain", "").empty());
    EXPECT_TRUE(manager.CollectAppDomains().empty());
    EXPECT_EQ(manager.FindSmsDatabase(), "");
    EXPECT_EQ(manager.Save(), "");
    EXPECT_FALSE(platform::PathExists(manifest_));
    EXPECT_FALSE(platform::PathExists(temp_ / "backup/Manifest-2.mbdb"));
}

TEST_F(ManifestManagerTest, BadHeaderLoadsNothing) {
    WriteManifest(MbdbBuilder(std::string_view("mbdb\x06\x00", 6))
                      .Record(FileRecord("HomeDomain", "Library/SMS/sms.db")));
    ManifestDataManager manager = Manager();
    EXPECT_FALSE(manager.HasRecord("HomeDomain", "SMS"));
    EXPECT_EQ(manager.LastError(), "bad .mbdb file");
    EXPECT_TRUE(manager.Records().empty());
}

TEST_F(ManifestManagerTest, EmptyListIsReadAgainOnTheNextOperation) {
    ManifestDataManager manager = Manager();
    EXPECT_FALSE(manager.HasRecord("HomeDomain", "SMS/sms.db"));
    WriteManifest(SmsBackup());
    EXPECT_TRUE(manager.HasRecord("HomeDomain", "SMS/sms.db"));
    EXPECT_EQ(manager.LastError(), "");
}

TEST_F(ManifestManagerTest, RecordsAreReadOncePerObject) {
    WriteManifest(SmsBackup());
    ManifestDataManager manager = Manager();
    ASSERT_EQ(manager.Records().size(), 9u);
    WriteManifest(MbdbBuilder().Record(FileRecord("HomeDomain", "Other")));
    EXPECT_EQ(manager.Records().size(), 9u);
    EXPECT_FALSE(manager.HasRecord("HomeDomain", "Other"));
}

TEST_F(ManifestManagerTest, ForEachRecordGivesEveryRecordWithNothingLeftFromThePrevious) {
    MbdbBuilder builder;
    MbdbRecordFields full = FileRecord("HomeDomain", "Library/caf\xc3\xa9\xff", 7);
    full.linkTarget = "target";
    full.dataHash = std::string("\x00\x01", 2);
    full.encryptionKey = "key";
    full.properties = {{"a", "1"}, {"b", std::string("\xfe", 1)}};
    MbdbRecordFields bare;
    bare.domain = std::nullopt;
    bare.path = std::nullopt;
    bare.modifiedTime = 0;
    builder.Record(full).Record(bare).Record(full).Record(FileRecord("MediaDomain", "x"));
    WriteManifest(builder);
    std::vector<MbdbRecord> visited;
    ManifestDataManager manager = Manager();
    manager.ForEachRecord([&](const MbdbRecord& record) { visited.push_back(record); });
    EXPECT_EQ(visited, ReadMbdb(builder.Bytes()).records);
    EXPECT_EQ(manager.Records(), visited);
    ASSERT_EQ(visited.size(), 4u);
    EXPECT_TRUE(visited[1].properties.empty());
    EXPECT_FALSE(visited[1].dataHash.HasValue());
}

TEST_F(ManifestManagerTest, TruncatedManifestKeepsCompleteRecordsAndReportsTheOffset) {
    MbdbBuilder builder;
    builder.Record(FileRecord("HomeDomain", "Library/a"));
    const size_t cutRecord = builder.Size();
    builder.Record(FileRecord("HomeDomain", "Library/b"));
    temp_.Write("backup/Manifest.mbdb", builder.Bytes().substr(0, builder.Size() - 3));
    ManifestDataManager manager = Manager();
    EXPECT_TRUE(manager.HasRecord("HomeDomain", "Library/a"));
    EXPECT_FALSE(manager.HasRecord("HomeDomain", "Library/b"));
    EXPECT_EQ(manager.LastError(), "truncated record at offset " + std::to_string(cutRecord));
}

TEST_F(ManifestManagerTest, ListAllFilesReportsExistenceAndSize) {
    MbdbBuilder builder;
    builder.Record(FileRecord("HomeDomain", "Library/present"));
    builder.Record(FileRecord("HomeDomain", "Library/missing"));
    builder.Record(FileRecord("CameraRollDomain", "Media/empty"));
    WriteManifest(builder);
    WriteBackupFile("HomeDomain", "Library/present", "12345");
    WriteBackupFile("CameraRollDomain", "Media/empty", "");
    ManifestDataManager manager = Manager();
    using Item = ManifestDataManager::FileItem;
    EXPECT_EQ(manager.ListAllFiles(),
              (std::vector<Item>{
                  {"HomeDomain", "Library/present",
                   MbdbBackupFileName("HomeDomain", "Library/present"), true, 5},
                  {"HomeDomain", "Library/missing",
                   MbdbBackupFileName("HomeDomain", "Library/missing"), false, 0},
                  {"CameraRollDomain", "Media/empty",
                   MbdbBackupFileName("CameraRollDomain", "Media/empty"), true, 0},
              }));
}

TEST_F(ManifestManagerTest, FindSmsDatabaseAndAttachments) {
    WriteManifest(SmsBackup());
    WriteBackupFile("MediaDomain", "Library/SMS/Attachments/cd/IMG_2.JPG");
    WriteBackupFile("MediaDomain", "DCIM/100APPLE/IMG_3.JPG");
    ManifestDataManager manager = Manager();
    // Containment in file order: the write-ahead log comes first and is the answer.
    EXPECT_EQ(manager.FindSmsDatabase(), BackupFilePath("HomeDomain", "Library/SMS/sms.db-wal"));
    EXPECT_EQ(manager.FindSmsAttachmentFiles(),
              (std::vector<std::string>{
                  BackupFilePath("MediaDomain", "Library/SMS/Attachments/cd/IMG_2.JPG")}));
}

TEST_F(ManifestManagerTest, FindSmsDatabaseNeedsTheManifestFile) {
    WriteManifest(SmsBackup());
    ManifestDataManager manager = Manager();
    ASSERT_TRUE(manager.HasRecord("HomeDomain", "SMS/sms.db"));
    ASSERT_TRUE(platform::RemoveFile(manifest_));
    EXPECT_EQ(manager.FindSmsDatabase(), "");
}

TEST_F(ManifestManagerTest, CollectAppDomainsGivesTheIdentifiers) {
    MbdbBuilder builder = SmsBackup();
    builder.Record(FileRecord("XAppDomain-net.inside.name", "a"));
    WriteManifest(builder);
    ManifestDataManager manager = Manager();
    EXPECT_EQ(manager.CollectAppDomains(),
              (std::set<std::string>{"com.example.notes", "net.inside.name", "org.sample.game"}));
}

TEST_F(ManifestManagerTest, RemoveRecordsKeepsRecordsWhoseFileIsMissing) {
    WriteManifest(SmsBackup());
    const std::string present = WriteBackupFile("HomeDomain", "Library/SMS/sms.db");
    const std::string otherDomain = WriteBackupFile("HomeDomainX", "Library/SMS/sms.db");
    ManifestDataManager manager = Manager();
    EXPECT_EQ(manager.RemoveRecords("HomeDomain", {"nothing", "SMS/sms.db"}, false), 1u);
    EXPECT_TRUE(platform::IsFile(present));  // not asked to delete
    EXPECT_TRUE(platform::IsFile(otherDomain));
    EXPECT_EQ(manager.FindAllFilePaths("HomeDomain", "SMS"),
              (std::vector<std::string>{BackupFilePath("HomeDomain", "Library/SMS/sms.db-wal")}));
    EXPECT_TRUE(manager.HasRecord("HomeDomainX", "SMS/sms.db"));
    EXPECT_EQ(manager.Records().size(), 8u);
}

TEST_F(ManifestManagerTest, RemoveRecordsDeletesTheFilesWhenAsked) {
    WriteManifest(SmsBackup());
    const std::string first = WriteBackupFile("AppDomain-com.example.notes", "Documents/a");
    const std::string second = WriteBackupFile("AppDomain-com.example.notes", "Documents/b");
    const std::string unrelated = WriteBackupFile("AppDomain-org.sample.game", "Library/c");
    ManifestDataManager manager = Manager();
    EXPECT_EQ(manager.RemoveRecords("AppDomain-com.example.notes", {"Documents/"}, true), 2u);
    EXPECT_FALSE(platform::PathExists(first));
    EXPECT_FALSE(platform::PathExists(second));
    EXPECT_TRUE(platform::IsFile(unrelated));
    EXPECT_EQ(manager.CollectAppDomains(), (std::set<std::string>{"org.sample.game"}));

    // The removal reaches the disk only with Save.
    MbdbBuilder expected;
    expected.Record(FileRecord("HomeDomainX", "Library/SMS/sms.db"));
    expected.Record(FileRecord("HomeDomain", "Library/SMS/sms.db-wal"));
    expected.Record(FileRecord("HomeDomain", "Library/SMS/sms.db"));
    expected.Record(FileRecord("MediaDomain", "Library/SMS/Attachments/ab/IMG_1.JPG"));
    expected.Record(FileRecord("MediaDomain", "Library/SMS/Attachments/cd/IMG_2.JPG"));
    expected.Record(FileRecord("MediaDomain", "DCIM/100APPLE/IMG_3.JPG"));
    expected.Record(FileRecord("AppDomain-org.sample.game", "Library/c"));
    EXPECT_EQ(ReadFileBytes(manifest_), SmsBackup().Bytes());
    EXPECT_EQ(manager.Save(), manifest_);
    EXPECT_EQ(ReadFileBytes(manifest_), expected.Bytes());
}

TEST_F(ManifestManagerTest, RemovingEveryRecordSavesAnEmptyList) {
    MbdbBuilder builder;
    builder.Record(FileRecord("HomeDomain", "Library/a"));
    WriteManifest(builder);
    WriteBackupFile("HomeDomain", "Library/a");
    ManifestDataManager manager = Manager();
    EXPECT_EQ(manager.RemoveRecords("HomeDomain", {"Library/a"}, true), 1u);
    // An emptied list is not read again from the manifest still on disk.
    EXPECT_FALSE(manager.HasRecord("HomeDomain", "Library/a"));
    EXPECT_EQ(manager.Save(), manifest_);
    EXPECT_EQ(ReadFileBytes(manifest_), MbdbBuilder().Bytes());
}

TEST_F(ManifestManagerTest, UpdateRecordFromFileThenSaveWritesTheNewSizeAndHash) {
    MbdbBuilder builder;
    MbdbRecordFields sms = FileRecord("HomeDomain", "Library/SMS/sms.db", 999);
    sms.dataHash = std::string(20, '\x11');
    builder.Record(FileRecord("HomeDomain", "Library/other"));
    builder.Record(sms);
    WriteManifest(builder);
    const std::string edited = temp_.Write("edited.db", "the edited database");
    ManifestDataManager manager = Manager();
    const std::string hash = manager.UpdateRecordFromFile("HomeDomain", "SMS/sms.db", edited);
    EXPECT_EQ(hash, HexUpper(Sha1::Hash("the edited database")));
    EXPECT_EQ(manager.FindRecord("HomeDomain", "SMS/sms.db").size, 19u);

    ASSERT_EQ(manager.Save(), manifest_);
    MbdbBuilder expected;
    expected.Record(FileRecord("HomeDomain", "Library/other"));
    sms.size = 19;
    const Sha1::Digest digest = Sha1::Hash("the edited database");
    sms.dataHash = std::string(digest.begin(), digest.end());
    expected.Record(sms);
    EXPECT_EQ(ReadFileBytes(manifest_), expected.Bytes());
}

TEST_F(ManifestManagerTest, UpdateRecordFromFileWithoutRecordOrFileChangesNothing) {
    MbdbBuilder builder;
    builder.Record(FileRecord("HomeDomain", "Library/SMS/sms.db", 5));
    WriteManifest(builder);
    const std::string edited = temp_.Write("edited.db", "bytes");
    ManifestDataManager manager = Manager();
    EXPECT_EQ(manager.UpdateRecordFromFile("MediaDomain", "SMS/sms.db", edited), "");
    EXPECT_EQ(manager.UpdateRecordFromFile("HomeDomain", "SMS/sms.db", temp_ / "missing.db"), "");
    EXPECT_EQ(manager.UpdateRecordFromFile("HomeDomain", "SMS/sms.db", temp_.path()), "");
    EXPECT_EQ(manager.Save(), manifest_);
    EXPECT_EQ(ReadFileBytes(manifest_), builder.Bytes());
}

TEST_F(ManifestManagerTest, SaveOfAnUnchangedManifestIsByteIdenticalAndLeavesNoWorkFile) {
    MbdbBuilder builder(std::string_view("mbdb\x05\x00", 6));
    MbdbRecordFields hashed = FileRecord("HomeDomain", "Library/a", 77);
    hashed.dataHash = std::string("\x00\xff\x10\x7f\x80 bytes of a hash", 22);
    hashed.properties = {{"k", std::string("\x00\x01", 2)}};
    builder.Record(hashed).Record(FileRecord("MediaDomain", "DCIM/b"));
    WriteManifest(builder);
    ManifestDataManager manager = Manager();
    // Saving before any lookup writes the records as read, not an empty list.
    EXPECT_EQ(manager.Save(), manifest_);
    EXPECT_EQ(ReadFileBytes(manifest_), builder.Bytes());
    EXPECT_FALSE(platform::PathExists(temp_ / "backup/Manifest-2.mbdb"));
    std::vector<platform::FolderEntry> entries;
    ASSERT_TRUE(platform::ListFolder(backup_, entries));
    EXPECT_EQ(entries.size(), 1u);  // no temporary file left behind either
}

TEST_F(ManifestManagerTest, SaveWithBadHeaderWritesNothing) {
    const std::string bytes = MbdbBuilder(std::string_view("mbdb\x00\x00", 6))
                                  .Record(FileRecord("HomeDomain", "Library/a"))
                                  .Bytes();
    temp_.Write("backup/Manifest.mbdb", bytes);
    ManifestDataManager manager = Manager();
    EXPECT_EQ(manager.Save(), "");
    EXPECT_EQ(ReadFileBytes(manifest_), bytes);
    EXPECT_FALSE(platform::PathExists(temp_ / "backup/Manifest-2.mbdb"));
}

TEST_F(ManifestManagerTest, SaveLeavesFilesNamedLikeAWorkFileAlone) {
    MbdbBuilder builder;
    builder.Record(FileRecord("HomeDomain", "Library/a"));
    WriteManifest(builder);
    WriteBackupFile("HomeDomain", "Library/a");
    ASSERT_TRUE(platform::CreateFolders(temp_ / "backup/Manifest-2.mbdb/in-the-way"));
    temp_.Write("backup/Manifest.mbdb-2", "a neighbour");
    ManifestDataManager manager = Manager();
    ASSERT_EQ(manager.RemoveRecords("HomeDomain", {"a"}, false), 1u);
    EXPECT_EQ(manager.Save(), manifest_);
    EXPECT_EQ(ReadFileBytes(manifest_), MbdbBuilder().Bytes());
    EXPECT_TRUE(platform::IsFolder(temp_ / "backup/Manifest-2.mbdb/in-the-way"));
    EXPECT_EQ(ReadFileBytes(temp_ / "backup/Manifest.mbdb-2"), "a neighbour");
}

TEST_F(ManifestManagerTest, SaveFailsWithoutLeavingTheWorkFileWhenTheRenameFails) {
    MbdbBuilder builder;
    builder.Record(FileRecord("HomeDomain", "Library/a"));
    WriteManifest(builder);
    ManifestDataManager manager = Manager();
    ASSERT_TRUE(manager.HasRecord("HomeDomain", "Library/a"));
    // The manifest became a folder with contents: nothing can be renamed over it.
    ASSERT_TRUE(platform::RemoveFile(manifest_));
    ASSERT_TRUE(platform::CreateFolders(manifest_ + "/keep"));
    EXPECT_EQ(manager.Save(), "");
    EXPECT_TRUE(platform::IsFolder(manifest_ + "/keep"));
    EXPECT_FALSE(platform::PathExists(temp_ / "backup/Manifest-2.mbdb"));
}

TEST_F(ManifestManagerTest, SaveOfAWorkingCopyWithAnotherNameReplacesOnlyThatCopy) {
    MbdbBuilder builder;
    builder.Record(FileRecord("HomeDomain", "Library/a")).Record(FileRecord("HomeDomain", "b"));
    WriteManifest(builder);
    const std::string copy = temp_.Write("work/manifest.copy", builder.Bytes());
    WriteBackupFile("HomeDomain", "b");
    ManifestDataManager manager("udid", backup_, copy);
    ASSERT_EQ(manager.RemoveRecords("HomeDomain", {"b"}, false), 1u);
    EXPECT_EQ(manager.Save(), copy);
    EXPECT_EQ(ReadFileBytes(copy),
              MbdbBuilder().Record(FileRecord("HomeDomain", "Library/a")).Bytes());
    EXPECT_EQ(ReadFileBytes(manifest_), builder.Bytes());
    EXPECT_FALSE(platform::PathExists(copy + "-2"));
}

// A backup folder as the deep clean leaves it before the manifest save: files with their real
// sizes and hashes, and neighbours whose names earlier saves used for their work files.
class ManifestSaveFaultTest : public ManifestManagerTest {
  protected:
    struct File {
        std::string domain, path, content;
    };
    const std::vector<File> files_ = {
        {"HomeDomain", "Library/SMS/sms.db", "sms database"},
        {"HomeDomain", "Library/SMS/sms.db-wal", "its log"},
        {"MediaDomain", "Library/SMS/Attachments/ab/IMG_1.JPG", std::string(70000, 'j')},
        {"HomeDomain", "Library/SpringBoard/PushStore/com.example.mail.pushstore", "push"},
    };

    void WriteFolder() {
        platform::DeleteTree(backup_);
        MbdbBuilder builder;
        for (const File& file : files_) {
            MbdbRecordFields fields = FileRecord(file.domain, file.path, file.content.size());
            fields.dataHash = testing::IndependentSha1(file.content);
            builder.Record(fields);
            WriteBackupFile(file.domain, file.path, file.content);
        }
        WriteManifest(builder);
        temp_.Write("backup/Manifest-2.mbdb", "neighbour");
        temp_.Write("backup/Manifest.mbdb.brackwater-tmp", "neighbour");
    }

    // Takes the push store's record out and saves; true when saved.
    bool RemoveAndSave() {
        ManifestDataManager manager = Manager();
        if (manager.RemoveRecords("HomeDomain", {"PushStore/"}, false) != 1) return false;
        return manager.Save() == manifest_;
    }

    std::map<std::string, std::string> FolderBytes() const {
        std::map<std::string, std::string> bytes;
        std::vector<platform::FolderEntry> entries;
        platform::ListFolder(backup_, entries);
        for (const platform::FolderEntry& entry : entries)
            bytes[entry.name] = ReadFileBytes(platform::JoinPath(backup_, entry.name));
        return bytes;
    }

    // The manifest reads to its end and every record's file is there with its size and hash.
    void ExpectWhole() {
        const MbdbReadResult read = ReadMbdb(ReadFileBytes(manifest_));
        ASSERT_TRUE(read.headerMatches);
        EXPECT_EQ(read.error, "");
        EXPECT_GE(read.records.size(), files_.size() - 1);
        for (const MbdbRecord& record : read.records) {
            std::string content;
            ASSERT_TRUE(platform::ReadWholeFile(platform::JoinPath(backup_, record.backupFileName),
                                                content))
                << record.path.text;
            EXPECT_EQ(record.size, content.size()) << record.path.text;
            EXPECT_EQ(record.dataHash.raw, testing::IndependentSha1(content)) << record.path.text;
        }
    }
};

TEST_F(ManifestSaveFaultTest, EveryFailedFileCallLeavesTheOldOrTheNewManifestAndTheNextSaveEndsIt) {
    std::map<std::string, std::string> before, after;
    bool saved = false;
    for (const platform::FileFault fault :
         {platform::FileFault::kNatural, platform::FileFault::kIoError}) {
        testing::FileFaultLoop loop;
        loop.fault = fault;
        loop.prepare = [&] {
            WriteFolder();
            before = FolderBytes();
        };
        loop.run = [&] { saved = RemoveAndSave(); };
        loop.check = [&](uint64_t failedAt, platform::FileCall call) {
            const std::map<std::string, std::string> now = FolderBytes();
            ExpectWhole();
            if (failedAt == 0) {
                ASSERT_TRUE(saved);
                after = now;
                ASSERT_NE(after, before);
                return;
            }
            EXPECT_FALSE(saved);
            // Only the folder's flush comes after the rename: the new manifest is in place.
            const bool renamed = call == platform::FileCall::kSync && now == after;
            EXPECT_TRUE(now == before || renamed) << platform::FileCallName(call);
            ASSERT_TRUE(RemoveAndSave() || renamed);
            EXPECT_EQ(FolderBytes(), after);
            ExpectWhole();
        };
        const testing::FileFaultLoopResult result = testing::FailEveryFileCall(loop);
        // Create, the manifest's bytes, flush, rename, flush of the folder.
        EXPECT_GE(result.calls, 5u);
        EXPECT_EQ(result.hits, result.calls);
        EXPECT_EQ(result.Count(platform::FileCall::kRename), 1u);
        EXPECT_EQ(result.Count(platform::FileCall::kSync), 2u);
    }
}

TEST_F(ManifestSaveFaultTest, ACrashAtAnyFileCallLeavesTheOldOrTheNewManifest) {
    std::map<std::string, std::string> before, after;
    testing::FileFaultLoop loop;
    loop.crash = true;
    loop.prepare = [&] {
        WriteFolder();
        before = FolderBytes();
    };
    loop.run = [&] { RemoveAndSave(); };
    loop.check = [&](uint64_t failedAt, platform::FileCall) {
        std::map<std::string, std::string> now = FolderBytes();
        std::erase_if(now, [](const auto& item) {
            return item.first.starts_with(platform::kReplaceTempPrefix);
        });
        ExpectWhole();
        if (failedAt == 0) {
            after = now;
            return;
        }
        EXPECT_TRUE(now == before || now == after);
    };
    const testing::FileFaultLoopResult result = testing::FailEveryFileCall(loop);
    EXPECT_GE(result.calls, 5u);
    EXPECT_EQ(result.hits, result.calls);
}

}  // namespace
}  // namespace bw

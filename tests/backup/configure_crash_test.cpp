// Deep-clean completion with each of its file calls failing in turn, and with the process ending
// before each of them: the backup folder must stay a backup that restores, with every file old
// or new and never half of one, and the next run must finish the work.
#include <gtest/gtest.h>

#include <memory>
#include <set>

#include "backup/configure_test_support.h"
#include "platform/file_faults.h"
#include "support/file_fault_loop.h"

namespace bw {
namespace {

using platform::FileCall;
using testing::FolderSnapshot;
using testing::ReadFileBytes;
using testing::Snapshot;

constexpr std::string_view kEdited = "sms database after the clean: several rows fewer, new size";
constexpr char kPushStore[] = "Library/SpringBoard/PushStore/com.example.mail.pushstore";

class ConfigureFaultTest : public testing::DeepCleanFixture {
  protected:
    // A fresh set-up with one edited database and one deleted push store, ready for completion.
    void Prepare() {
        tool_.reset();
        ASSERT_TRUE(platform::DeleteTree(Root()));
        ASSERT_TRUE(platform::DeleteTree(Work()));
        WriteBackup(TypicalFiles());
        tool_ = std::make_unique<CConfigureTool>();
        ASSERT_TRUE(SetUpTool(*tool_));
        ASSERT_TRUE(platform::WriteFileAtomic(tool_->CopySmsDatabase(), kEdited));
        for (const std::string& copy : tool_->CopyPushStoreFiles()) {
            if (copy.ends_with("com.example.mail.pushstore")) {
                ASSERT_TRUE(tool_->AddDeleteEntry(copy, "HomeDomain", ".pushstore"));
            }
        }
        before_ = Snapshot(Source());
    }

    static std::vector<std::string> TemporaryFiles(const std::string& folder) {
        std::vector<std::string> found;
        platform::WalkTree(folder, [&](const std::string& path, const platform::FolderEntry& e) {
            if (e.name.starts_with(platform::kReplaceTempPrefix)) found.push_back(path);
            return true;
        });
        return found;
    }

    // The manifest reads completely, every record's file is there with its size and hash, and
    // every backup file is listed.
    void ExpectWholeBackup() {
        ExpectManifestMatchesFiles();
        const MbdbReadResult read =
            ReadMbdb(ReadFileBytes(platform::JoinPath(Source(), "Manifest.mbdb")));
        std::set<std::string> listed;
        for (const MbdbRecord& record : read.records)
            listed.insert(record.backupFileName);
        for (const auto& [name, bytes] : Snapshot(Source())) {
            if (name.size() != 40) continue;
            EXPECT_TRUE(listed.count(name)) << name << " is not listed";
        }
    }

    // Each name holds, in full, its old or its new bytes.
    void ExpectEachFileOldOrNew(const FolderSnapshot& now) {
        for (const auto& [name, bytes] : now) {
            const auto old = before_.find(name);
            const auto renewed = after_.find(name);
            EXPECT_TRUE((old != before_.end() && old->second == bytes) ||
                        (renewed != after_.end() && renewed->second == bytes))
                << name;
        }
    }

    std::unique_ptr<CConfigureTool> tool_;
    FolderSnapshot before_, after_;
};

TEST_F(ConfigureFaultTest, EveryFailedFileCallLeavesAWholeBackupThatTheNextCompletionFinishes) {
    bool completed = false;
    size_t exactlyOld = 0, exactlyNew = 0;
    testing::FileFaultLoop loop;
    loop.prepare = [&] { Prepare(); };
    loop.run = [&] { completed = tool_->Complete(); };
    loop.check = [&](uint64_t failedAt, FileCall call) {
        const FolderSnapshot now = Snapshot(Source());
        ExpectWholeBackup();
        EXPECT_EQ(TemporaryFiles(Root()), std::vector<std::string>{});
        EXPECT_EQ(TemporaryFiles(Work()), std::vector<std::string>{});
        if (failedAt == 0) {
            ASSERT_TRUE(completed);
            after_ = now;
            ASSERT_NE(after_, before_);
            return;
        }
        // Completion reports whether "BackupInfo.plist" was written; the entries tell the rest.
        (void)call;
        // Once the backup folder begins to change, a failure puts the old backup back (or, at
        // the very end, leaves the new one); only a failure while an entry is being prepared
        // leaves that one entry undone and the others done.
        ExpectEachFileOldOrNew(now);
        exactlyOld += now == before_ ? 1 : 0;
        exactlyNew += now == after_ ? 1 : 0;

        ASSERT_TRUE(tool_->Complete());
        EXPECT_EQ(Snapshot(Source()), after_);
        ExpectWholeBackup();
        EXPECT_FALSE(platform::PathExists(BackupCopy() + "/DeepCleanPending.plist"));
        EXPECT_EQ(TemporaryFiles(Root()), std::vector<std::string>{});
        const CDicValueObj info = ReadPlist(BackupCopy() + "/BackupInfo.plist");
        const CDicValueObj* sms = info.Find(FileName("HomeDomain", "Library/SMS/sms.db"));
        const CDicValueObj* push = info.Find(FileName("HomeDomain", kPushStore));
        ASSERT_TRUE(sms != nullptr && push != nullptr);
        EXPECT_EQ(sms->GetBool("Result"), true);
        EXPECT_EQ(push->GetBool("Result"), true);
    };
    const testing::FileFaultLoopResult result = testing::FailEveryFileCall(loop);
    // Seen: 27 calls: five for each of the working manifest, the pending list, the database,
    // the manifest and "BackupInfo.plist", one removal of the push store and one of the list.
    EXPECT_GE(result.calls, 27u);
    EXPECT_EQ(result.hits, result.calls);
    EXPECT_GE(result.Count(FileCall::kRename), 5u);
    EXPECT_GE(result.Count(FileCall::kRemove), 2u);
    EXPECT_GT(exactlyOld, 0u);
    EXPECT_GT(exactlyNew, 0u);
}

TEST_F(ConfigureFaultTest, ACrashAtAnyFileCallLeavesEachFileOldOrNewAndTheNextSetUpFinishes) {
    testing::FileFaultLoop loop;
    loop.crash = true;
    loop.prepare = [&] { Prepare(); };
    loop.run = [&] { tool_->Complete(); };
    loop.check = [&](uint64_t failedAt, FileCall) {
        FolderSnapshot now = Snapshot(Source());
        if (failedAt == 0) {
            after_ = now;
            ASSERT_NE(after_, before_);
            return;
        }
        std::erase_if(now, [](const auto& item) {
            return item.first.starts_with(platform::kReplaceTempPrefix);
        });
        ExpectEachFileOldOrNew(now);

        // The next set-up finishes what was begun, or finds nothing begun.
        CConfigureTool next;
        ASSERT_TRUE(SetUpTool(next));
        const FolderSnapshot recovered = Snapshot(Source());
        EXPECT_TRUE(recovered == before_ || recovered == after_);
        ExpectWholeBackup();
        EXPECT_EQ(TemporaryFiles(Source()), std::vector<std::string>{});
    };
    const testing::FileFaultLoopResult result = testing::FailEveryFileCall(loop);
    EXPECT_GE(result.calls, 27u);
    EXPECT_EQ(result.hits, result.calls);
}

}  // namespace
}  // namespace bw

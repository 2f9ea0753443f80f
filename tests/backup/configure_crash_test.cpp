// Deep-clean completion ended by a crash at each of its writes: the backup folder must still be a
// backup that restores, with every file old or new and never half of one.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include "backup/configure_test_support.h"

namespace bw {
namespace {

using testing::DeepCleanFixture;
using testing::FolderSnapshot;
using testing::ReadFileBytes;
using testing::Snapshot;

constexpr std::string_view kEdited = "sms database after the clean: several rows fewer, new size";

class ConfigureCrashTest : public DeepCleanFixture {
  protected:
    // Set-up, one edited database and one deleted push store, ready for completion.
    void Prepare(CConfigureTool& tool) {
        WriteBackup(TypicalFiles());
        ASSERT_TRUE(SetUpTool(tool));
        ASSERT_TRUE(platform::WriteFileAtomic(tool.CopySmsDatabase(), kEdited));
        for (const std::string& copy : tool.CopyPushStoreFiles()) {
            if (copy.ends_with("com.example.mail.pushstore")) {
                ASSERT_TRUE(tool.AddDeleteEntry(copy, "HomeDomain", ".pushstore"));
            }
        }
    }

    // Runs completion in a child process that ends itself before write step `stopAt` (0: never)
    // and reports how many steps it reached through its exit status.
    static int CompleteInChild(CConfigureTool& tool, int stopAt) {
        const pid_t child = ::fork();
        if (child == 0) {
            int last = 0;
            CConfigureTool::SetWriteStepHook([&](int step, std::string_view) {
                last = step;
                if (step == stopAt) ::_exit(200);
            });
            const bool done = tool.Complete();
            ::_exit(done ? last : 255);
        }
        int status = 0;
        ::waitpid(child, &status, 0);
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    // Every name in the folder holds, in full, the old or the new bytes of that name; the
    // manifest reads completely and never names a missing file.
    void ExpectOldOrNewEverywhere(const FolderSnapshot& before, const FolderSnapshot& after,
                                  int step) {
        for (const auto& [name, bytes] : Snapshot(Source())) {
            if (name.starts_with(".bw-")) continue;  // an unfinished copy, never renamed
            const auto old = before.find(name);
            const auto renewed = after.find(name);
            const bool isOld = old != before.end() && old->second == bytes;
            const bool isNew = renewed != after.end() && renewed->second == bytes;
            EXPECT_TRUE(isOld || isNew) << name << " at step " << step;
        }
        const MbdbReadResult read =
            ReadMbdb(ReadFileBytes(platform::JoinPath(Source(), "Manifest.mbdb")));
        ASSERT_TRUE(read.headerMatches) << step;
        EXPECT_EQ(read.error, "") << step;
        for (const MbdbRecord& record : read.records) {
            if ((record.mode & 0170000) != 0100000) continue;
            EXPECT_TRUE(platform::IsFile(platform::JoinPath(Source(), record.backupFileName)))
                << record.path.text << " at step " << step;
        }
    }
};

TEST_F(ConfigureCrashTest, CrashAtEveryWriteLeavesARestorableBackup) {
    // The end state and the number of writes, from a run that is not interrupted.
    FolderSnapshot before, after;
    int steps = 0;
    {
        CConfigureTool tool;
        Prepare(tool);
        before = Snapshot(Source());
        steps = CompleteInChild(tool, 0);
        ASSERT_GT(steps, 5);
        ASSERT_LT(steps, 200);
        after = Snapshot(Source());
        ASSERT_NE(after, before);
        ExpectManifestMatchesFiles();
    }
    for (int stopAt = 1; stopAt <= steps; ++stopAt) {
        SCOPED_TRACE(stopAt);
        ASSERT_TRUE(platform::DeleteTree(Root()));
        ASSERT_TRUE(platform::DeleteTree(Work()));
        CConfigureTool tool;
        Prepare(tool);
        ASSERT_EQ(Snapshot(Source()), before);
        ASSERT_EQ(CompleteInChild(tool, stopAt), 200);
        ExpectOldOrNewEverywhere(before, after, stopAt);

        // The next set-up finishes what was begun, or finds nothing begun: the folder is then
        // wholly the old backup or wholly the new one, and its manifest matches its files.
        CConfigureTool next;
        ASSERT_TRUE(SetUpTool(next));
        const FolderSnapshot recovered = Snapshot(Source());
        EXPECT_TRUE(recovered == before || recovered == after);
        ExpectManifestMatchesFiles();
    }
}

TEST_F(ConfigureCrashTest, InterruptedCompletionIsFinishedByTheNextCompletion) {
    FolderSnapshot before, after;
    {
        CConfigureTool tool;
        Prepare(tool);
        before = Snapshot(Source());
        ASSERT_GT(CompleteInChild(tool, 0), 0);
        after = Snapshot(Source());
    }
    ASSERT_TRUE(platform::DeleteTree(Root()));
    ASSERT_TRUE(platform::DeleteTree(Work()));
    CConfigureTool tool;
    Prepare(tool);
    // Stop at the manifest's rename: the database is already new, the manifest still old.
    const pid_t child = ::fork();
    if (child == 0) {
        CConfigureTool::SetWriteStepHook([](int, std::string_view what) {
            if (what == "rename Manifest.mbdb") ::_exit(201);
        });
        tool.Complete();
        ::_exit(0);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    ASSERT_EQ(WEXITSTATUS(status), 201);
    EXPECT_TRUE(platform::IsFile(BackupCopy() + "/DeepCleanPending.plist"));
    const std::string sms = FileName("HomeDomain", "Library/SMS/sms.db");
    EXPECT_EQ(ReadFileBytes(platform::JoinPath(Source(), sms)), kEdited);
    EXPECT_EQ(ReadFileBytes(platform::JoinPath(Source(), "Manifest.mbdb")),
              before.at("Manifest.mbdb"));

    // The same process object completes again (as a host retrying would).
    ASSERT_TRUE(tool.Complete());
    EXPECT_EQ(Snapshot(Source()), after);
    EXPECT_FALSE(platform::PathExists(BackupCopy() + "/DeepCleanPending.plist"));
    ExpectManifestMatchesFiles();
    const CDicValueObj info = ReadPlist(BackupCopy() + "/BackupInfo.plist");
    EXPECT_EQ(info.Find(sms)->GetBool("Result"), true);
    const std::string push =
        FileName("HomeDomain", "Library/SpringBoard/PushStore/com.example.mail.pushstore");
    EXPECT_EQ(info.Find(push)->GetBool("Result"), true);
}

}  // namespace
}  // namespace bw

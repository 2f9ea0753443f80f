// The refusals of the backup tool stand-in's restore: a backup that is damaged, incomplete,
// encrypted or points outside its domains stops the restore before the device changes. The
// restores that succeed are driven from the library (tests/backup/backup_tool_test.cpp,
// deep_clean_round_trip_test.cpp).
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "sim/backuptool_support.h"

namespace bw::testing {
namespace {

constexpr char kSmsDb[] = "var/mobile/Library/SMS/sms.db";
constexpr char kAttachment[] = "var/mobile/Library/SMS/Attachments/ab/03/IMG_0001.jpg";

class BackupToolRestoreTest : public BackupToolTest {
  protected:
    // A device with a fresh backup.
    void BackedUpDevice(sim::ImageOptions options = {}) {
        MakeDevice(options);
        const ToolRun run = RunTool(BackupRequest(udid_));
        EXPECT_TRUE(run.Succeeded()) << run.lastText;
    }

    std::string BackupFileOf(const std::string& domain, const std::string& path) {
        return BackupFolder() + "/" + ExpectedBackupFileName(domain, path);
    }

    // Equal before and after a run: the run changed nothing on the device.
    std::string DeviceTree() { return TreeChecksum(image_ + "/fs"); }
};

TEST_F(BackupToolRestoreTest, ABrokenBackupIsRefusedBeforeTheDeviceIsTouched) {
    BackedUpDevice();
    WriteDeviceFile(kSmsDb, "device state");
    const std::string device = DeviceTree();
    const std::string manifestPath = BackupFolder() + "/Manifest.mbdb";
    const std::string manifest = ReadFileBytes(manifestPath);

    // A listed file is missing.
    const std::string attachment =
        BackupFileOf("MediaDomain", "Library/SMS/Attachments/ab/03/IMG_0001.jpg");
    const std::string attachmentBytes = ReadFileBytes(attachment);
    ASSERT_TRUE(platform::RemoveFile(attachment));
    EXPECT_EQ(RunTool(RestoreRequest(udid_, udid_, false)).ErrorCode(), 104);
    EXPECT_EQ(DeviceTree(), device);
    ASSERT_TRUE(platform::WriteFileAtomic(attachment, attachmentBytes));

    // The manifest is cut short, or is no manifest.
    ASSERT_TRUE(platform::WriteFileAtomic(manifestPath, manifest.substr(0, manifest.size() - 7)));
    EXPECT_EQ(RunTool(RestoreRequest(udid_, udid_, false)).ErrorCode(), 104);
    ASSERT_TRUE(platform::WriteFileAtomic(manifestPath, "mbdx\x05\x00"));
    EXPECT_EQ(RunTool(RestoreRequest(udid_, udid_, false)).ErrorCode(), 104);
    ASSERT_TRUE(platform::RemoveFile(manifestPath));
    EXPECT_EQ(RunTool(RestoreRequest(udid_, udid_, false)).ErrorCode(), 104);
    EXPECT_EQ(DeviceTree(), device);
}

TEST_F(BackupToolRestoreTest, RecordsThatWouldLeaveTheirDomainAreRefused) {
    BackedUpDevice();
    const std::string device = DeviceTree();
    const std::string manifestPath = BackupFolder() + "/Manifest.mbdb";
    MbdbReadResult read = ReadMbdb(ReadFileBytes(manifestPath));
    ASSERT_TRUE(read.headerMatches);
    const std::vector<MbdbRecord> original = read.records;
    const MbdbRecord* sms = FindRecord(original, "HomeDomain", "Library/SMS/sms.db");
    ASSERT_NE(sms, nullptr);

    for (const std::string hostile : {"../../../../escaped", "Library/../../x", "/etc/passwd",
                                      "Media/in-the-wrong-domain", "Library//double"}) {
        SCOPED_TRACE(hostile);
        MbdbRecord record = *sms;
        record.path.raw = record.path.text = hostile;
        record.path.storedLength = static_cast<uint16_t>(hostile.size());
        std::vector<MbdbRecord> records = original;
        records.push_back(record);
        // Its backup file exists, so only the path can make it fail.
        platform::CopyFile(BackupFileOf("HomeDomain", "Library/SMS/sms.db"),
                           BackupFileOf("HomeDomain", hostile));
        ASSERT_TRUE(platform::WriteFileAtomic(manifestPath, WriteMbdb(read.header, records)));
        EXPECT_EQ(RunTool(RestoreRequest(udid_, udid_, false)).ErrorCode(), 104);
        EXPECT_EQ(DeviceTree(), device);
    }
    EXPECT_FALSE(platform::PathExists(folder_ / "escaped"));
}

TEST_F(BackupToolRestoreTest, ALinkOnTheDeviceIsNeverWrittenThrough) {
    BackedUpDevice();
    // The device now has a link where the backup has a folder; the restore replaces the link
    // and leaves the folder it pointed to alone.
    const std::string outside = folder_ / "outside";
    ASSERT_TRUE(platform::CreateFolders(outside));
    const std::string smsFolder = DevicePath("var/mobile/Library/SMS");
    ASSERT_TRUE(platform::DeleteTree(smsFolder));
    ASSERT_EQ(::symlink(outside.c_str(), smsFolder.c_str()), 0);
    ASSERT_TRUE(RunTool(RestoreRequest(udid_, udid_, false)).Succeeded());
    struct stat info {};
    ASSERT_EQ(::lstat(smsFolder.c_str(), &info), 0);
    EXPECT_TRUE(S_ISDIR(info.st_mode));
    EXPECT_EQ(ReadFileBytes(DevicePath(kSmsDb)), "SQLite format 3 messages");
    EXPECT_EQ(ReadFileBytes(DevicePath(kAttachment)), std::string(70000, 'j'));
    std::vector<platform::FolderEntry> entries;
    ASSERT_TRUE(platform::ListFolder(outside, entries));
    EXPECT_TRUE(entries.empty());
}

TEST_F(BackupToolRestoreTest, MissingFoldersEncryptedBackupsAndUnknownDevicesAreErrors) {
    sim::ImageOptions options;
    options.backupEncrypted = true;
    BackedUpDevice(options);
    const std::string device = DeviceTree();
    EXPECT_EQ(RunTool(RestoreRequest(udid_, udid_, false)).ErrorCode(), 105);
    EXPECT_EQ(RunTool(RestoreRequest(udid_, udid_ + "-missing", true)).ErrorCode(), 103);
    EXPECT_EQ(RunTool(RestoreRequest(std::string(40, 'e'), udid_, false)).ErrorCode(), 102);
    EXPECT_EQ(RunTool(RestoreRequest(udid_, "", true)).ErrorCode(), 101);
    EXPECT_EQ(RunTool(RestoreRequest(udid_, "../" + udid_, true)).ErrorCode(), 101);
    EXPECT_EQ(DeviceTree(), device);
}

// A backup file that no longer matches its record, cut short or changed at the same size, is
// refused as damaged before anything on the device changes.
TEST_F(BackupToolRestoreTest, ABackupFileThatDiffersFromItsRecordIsRefused) {
    BackedUpDevice();
    WriteDeviceFile(kSmsDb, "device state");
    WriteDeviceFile("var/mobile/Library/Notes/added.txt", "added after the backup");
    const std::string before = TreeChecksum(image_);
    const std::string attachment =
        BackupFileOf("MediaDomain", "Library/SMS/Attachments/ab/03/IMG_0001.jpg");
    const std::string original = ReadFileBytes(attachment);
    ASSERT_EQ(original.size(), 70000u);

    // Cut short by one byte.
    ASSERT_TRUE(platform::WriteFileAtomic(attachment, original.substr(0, 69999)));
    ToolRun run = RunTool(RestoreRequest(udid_, udid_, false));
    EXPECT_EQ(run.ErrorCode(), 107);
    EXPECT_NE(run.ErrorDescription().find("Library/SMS/Attachments/ab/03/IMG_0001.jpg"),
              std::string::npos)
        << run.ErrorDescription();
    EXPECT_NE(run.ErrorDescription().find("69999 bytes"), std::string::npos)
        << run.ErrorDescription();
    EXPECT_NE(run.exitCode, 0);
    EXPECT_EQ(TreeChecksum(image_), before);

    // The same size, one byte changed.
    std::string changed = original;
    changed[35000] = 'k';
    ASSERT_TRUE(platform::WriteFileAtomic(attachment, changed));
    run = RunTool(RestoreRequest(udid_, udid_, false));
    EXPECT_EQ(run.ErrorCode(), 107);
    EXPECT_NE(run.ErrorDescription().find("SHA-1"), std::string::npos) << run.ErrorDescription();
    EXPECT_EQ(TreeChecksum(image_), before);

    // Put back, the backup restores again.
    ASSERT_TRUE(platform::WriteFileAtomic(attachment, original));
    ASSERT_TRUE(RunTool(RestoreRequest(udid_, udid_, false)).Succeeded());
    EXPECT_EQ(ReadFileBytes(DevicePath(kSmsDb)), "SQLite format 3 messages");
    EXPECT_FALSE(platform::PathExists(DevicePath("var/mobile/Library/Notes/added.txt")));
    EXPECT_NE(TreeChecksum(image_), before);
}

// A restore stopped at any point (the tool ends at once when its progress reaches the injected
// percentage, as if killed) leaves every file and link the backup lists either as the device held
// it or as the backup holds it: never missing, empty, cut short or mixed. The stops fall while
// temporaries are written and while they are renamed, so some runs leave a mix of old and new
// entries; a full restore afterwards removes whatever temporaries the stopped runs left.
TEST_F(BackupToolRestoreTest, ARestoreStoppedAnywhereLeavesEveryFileOldOrNew) {
    constexpr int kFiles = 400;
    const std::string folder = "var/mobile/Media/Kept";
    const auto name = [&](int i) { return folder + "/f" + std::to_string(i) + ".txt"; };
    const auto backupBytes = [](int i) { return "as backed up " + std::to_string(i); };
    const auto deviceBytes = [](int i) {
        return "as the device holds it now, longer " + std::to_string(i);
    };
    MakeDevice();
    for (int i = 0; i < kFiles; ++i)
        WriteDeviceFile(name(i), backupBytes(i));
    ASSERT_EQ(::symlink("f1.txt", DevicePath(folder + "/link").c_str()), 0);
    ASSERT_TRUE(RunTool(BackupRequest(udid_)).Succeeded());
    for (int i = 0; i < kFiles; ++i)
        WriteDeviceFile(name(i), deviceBytes(i));
    ASSERT_TRUE(platform::RemoveFile(DevicePath(folder + "/link")));
    ASSERT_EQ(::symlink("f2.txt", DevicePath(folder + "/link").c_str()), 0);

    int mixedRuns = 0;
    for (int percent = 4; percent < 100; percent += 8) {
        SCOPED_TRACE("stopped at " + std::to_string(percent) + "%");
        platform::SetEnv("BRACKWATER_BACKUPTOOL_FAIL", "exit@" + std::to_string(percent));
        const ToolRun run = RunTool(RestoreRequest(udid_, udid_, false));
        EXPECT_EQ(run.exitCode, 3);
        int restored = 0;
        for (int i = 0; i < kFiles; ++i) {
            const std::string bytes = ReadFileBytes(DevicePath(name(i)));
            if (bytes == backupBytes(i)) {
                ++restored;
            } else {
                EXPECT_EQ(bytes, deviceBytes(i)) << name(i);
            }
        }
        std::string target(64, '\0');
        const ssize_t length =
            ::readlink(DevicePath(folder + "/link").c_str(), target.data(), target.size());
        target.resize(length > 0 ? static_cast<size_t>(length) : 0);
        EXPECT_TRUE(target == "f1.txt" || target == "f2.txt") << target;
        if (restored > 0 && restored < kFiles) ++mixedRuns;
    }
    EXPECT_GT(mixedRuns, 0);

    ::unsetenv("BRACKWATER_BACKUPTOOL_FAIL");
    ASSERT_TRUE(RunTool(RestoreRequest(udid_, udid_, false)).Succeeded());
    for (int i = 0; i < kFiles; ++i)
        EXPECT_EQ(ReadFileBytes(DevicePath(name(i))), backupBytes(i)) << name(i);
    std::string target(64, '\0');
    const ssize_t length =
        ::readlink(DevicePath(folder + "/link").c_str(), target.data(), target.size());
    target.resize(length > 0 ? static_cast<size_t>(length) : 0);
    EXPECT_EQ(target, "f1.txt");
    std::vector<std::string> leftovers;
    platform::WalkTree(image_ + "/fs", [&](const std::string& path, const platform::FolderEntry&) {
        if (std::string_view(path).ends_with(".bw-restore")) leftovers.push_back(path);
        return true;
    });
    EXPECT_TRUE(leftovers.empty()) << leftovers.front();
}

}  // namespace
}  // namespace bw::testing

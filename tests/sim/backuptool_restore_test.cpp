#include <sys/stat.h>

#include <gtest/gtest.h>

#include "sim/backuptool_support.h"

namespace bw::testing {
namespace {

constexpr char kSmsDb[] = "var/mobile/Library/SMS/sms.db";
constexpr char kAttachment[] = "var/mobile/Library/SMS/Attachments/ab/03/IMG_0001.jpg";

class BackupToolRestoreTest : public BackupToolTest {
  protected:
    // A device with a fresh backup; the device's tree as it was backed up.
    Tree BackedUpDevice(sim::ImageOptions options = {}) {
        MakeDevice(options);
        const ToolRun run = RunTool(BackupRequest(udid_));
        EXPECT_TRUE(run.Succeeded()) << run.lastText;
        return TreeSnapshot(image_ + "/fs");
    }

    std::string BackupFileOf(const std::string& domain, const std::string& path) {
        return BackupFolder() + "/" + MbdbBackupFileName(domain, path);
    }

    Tree DeviceTree() { return TreeSnapshot(image_ + "/fs"); }
};

TEST_F(BackupToolRestoreTest, AnEditedBackupFileReachesTheDeviceAndNothingElseChanges) {
    Tree expected = BackedUpDevice();
    // Deep clean: an edited copy replaces the backup file; the manifest is left as it was.
    const std::string edited = "SQLite format 3 cleaned";
    ASSERT_TRUE(
        platform::WriteFileAtomic(BackupFileOf("HomeDomain", "Library/SMS/sms.db"), edited));
    // Meanwhile the device changed: a file edited, one added, one removed, a folder added.
    WriteDeviceFile("var/mobile/Library/Notes/new.txt", "added later");
    WriteDeviceFile("var/mobile/Library/Preferences/empty.plist", "changed on the device");
    WriteDeviceFile("var/mobile/Library/Keyboard/sub/deeper/file", "x");
    ASSERT_TRUE(
        platform::RemoveFile(DevicePath("var/wireless/Library/CallHistory/call_history.db")));

    const ToolRun run = RunTool(RestoreRequest(udid_, udid_, false));
    ASSERT_TRUE(run.Succeeded()) << run.lastText;
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(run.percents.front(), 0);
    EXPECT_EQ(run.percents.back(), 100);
    for (size_t i = 1; i < run.percents.size(); ++i)
        EXPECT_LT(run.percents[i - 1], run.percents[i]);

    expected["var/mobile/Library/SMS/sms.db"].content = edited;
    const Tree actual = DeviceTree();
    for (const auto& [path, entry] : expected) {
        const auto found = actual.find(path);
        if (found == actual.end()) {
            ADD_FAILURE() << "missing after the restore: " << path;
        } else {
            EXPECT_EQ(found->second, entry) << path;
        }
    }
    for (const auto& [path, entry] : actual)
        EXPECT_EQ(expected.count(path), 1u) << "left on the device: " << path;
}

TEST_F(BackupToolRestoreTest, ModesAndTimesOfTheBackupAreRestored) {
    BackedUpDevice();
    const std::string notes = DevicePath(
        "var/mobile/Applications/0A1B2C3D-0000-4000-8000-00000000AAAA/Documents/notes.txt");
    struct stat before {};
    ASSERT_EQ(::lstat(notes.c_str(), &before), 0);
    WriteDeviceFile(
        "var/mobile/Applications/0A1B2C3D-0000-4000-8000-00000000AAAA/Documents/notes.txt",
        "rewritten");
    ASSERT_EQ(::chmod(notes.c_str(), 0600), 0);
    ASSERT_TRUE(RunTool(RestoreRequest(udid_, udid_, false)).Succeeded());
    struct stat after {};
    ASSERT_EQ(::lstat(notes.c_str(), &after), 0);
    EXPECT_EQ(ReadFileBytes(notes), "my notes");
    EXPECT_EQ(after.st_mode, before.st_mode);
    EXPECT_EQ(after.st_mtime, before.st_mtime);
}

TEST_F(BackupToolRestoreTest, RecordsTakenOutOfTheManifestAreRemovedFromTheDevice) {
    BackedUpDevice();
    {
        ManifestDataManager manifest(udid_, BackupFolder(), BackupFolder() + "/Manifest.mbdb");
        // Folder records have no backup file and stay; the file's record and file go.
        EXPECT_EQ(manifest.RemoveRecords("MediaDomain", {"Attachments/ab"}, true), 1u);
        ASSERT_FALSE(manifest.Save().empty());
    }
    ASSERT_TRUE(RunTool(RestoreRequest(udid_, udid_, false)).Succeeded());
    EXPECT_FALSE(platform::PathExists(DevicePath(kAttachment)));
    EXPECT_TRUE(platform::IsFolder(DevicePath("var/mobile/Library/SMS/Attachments/ab/03")));
    // The home domain's files around it stay.
    EXPECT_EQ(ReadFileBytes(DevicePath(kSmsDb)), "SQLite format 3 messages");
}

TEST_F(BackupToolRestoreTest, ACopyOfTheBackupRestoresFromItsOwnFolder) {
    BackedUpDevice();
    const std::string copy = BackupRoot() + "/" + udid_ + "-20260101-120000";
    ASSERT_TRUE(platform::RenamePath(BackupFolder(), copy));
    WriteDeviceFile(kSmsDb, "changed");
    const ToolRun run = RunTool(RestoreRequest(udid_, udid_ + "-20260101-120000", true));
    ASSERT_TRUE(run.Succeeded()) << run.lastText;
    EXPECT_EQ(ReadFileBytes(DevicePath(kSmsDb)), "SQLite format 3 messages");
}

TEST_F(BackupToolRestoreTest, ADomainOfAnApplicationNoLongerInstalledIsLeftOut) {
    BackedUpDevice();
    ASSERT_TRUE(platform::DeleteTree(
        DevicePath("var/mobile/Applications/0A1B2C3D-0000-4000-8000-00000000AAAA")));
    WriteDeviceFile(kSmsDb, "changed");
    ASSERT_TRUE(RunTool(RestoreRequest(udid_, udid_, false)).Succeeded());
    EXPECT_FALSE(platform::PathExists(
        DevicePath("var/mobile/Applications/0A1B2C3D-0000-4000-8000-00000000AAAA")));
    EXPECT_EQ(ReadFileBytes(DevicePath(kSmsDb)), "SQLite format 3 messages");
}

TEST_F(BackupToolRestoreTest, ABrokenBackupIsRefusedBeforeTheDeviceIsTouched) {
    BackedUpDevice();
    WriteDeviceFile(kSmsDb, "device state");
    const Tree device = DeviceTree();
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
    const Tree device = DeviceTree();
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

TEST_F(BackupToolRestoreTest, LinksGetTheirRecordedTargetsBack) {
    const Tree expected = BackedUpDevice();
    const std::string latest = DevicePath("var/mobile/Media/DCIM/Latest");
    const std::string photo = DevicePath("var/mobile/Media/DCIM/LatestPhoto.JPG");
    ASSERT_TRUE(platform::RemoveFile(latest));
    ASSERT_EQ(::symlink("../../..", latest.c_str()), 0);
    // A file where the backup has a link.
    ASSERT_TRUE(platform::RemoveFile(photo));
    ASSERT_TRUE(platform::WriteFileAtomic(photo, "not a link"));
    ASSERT_TRUE(RunTool(RestoreRequest(udid_, udid_, false)).Succeeded());
    const Tree actual = DeviceTree();
    EXPECT_EQ(actual.at("var/mobile/Media/DCIM/Latest"),
              expected.at("var/mobile/Media/DCIM/Latest"));
    EXPECT_EQ(actual.at("var/mobile/Media/DCIM/LatestPhoto.JPG"),
              expected.at("var/mobile/Media/DCIM/LatestPhoto.JPG"));
    EXPECT_EQ(actual.at("var/mobile/Media/DCIM/Latest").kind, 'l');
}

TEST_F(BackupToolRestoreTest, MissingFoldersEncryptedBackupsAndUnknownDevicesAreErrors) {
    sim::ImageOptions options;
    options.backupEncrypted = true;
    BackedUpDevice(options);
    const Tree device = DeviceTree();
    EXPECT_EQ(RunTool(RestoreRequest(udid_, udid_, false)).ErrorCode(), 105);
    EXPECT_EQ(RunTool(RestoreRequest(udid_, udid_ + "-missing", true)).ErrorCode(), 103);
    EXPECT_EQ(RunTool(RestoreRequest(std::string(40, 'e'), udid_, false)).ErrorCode(), 102);
    EXPECT_EQ(RunTool(RestoreRequest(udid_, "", true)).ErrorCode(), 101);
    EXPECT_EQ(RunTool(RestoreRequest(udid_, "../" + udid_, true)).ErrorCode(), 101);
    EXPECT_EQ(DeviceTree(), device);
}

TEST_F(BackupToolRestoreTest, AnInjectedErrorStopsTheRestoreWithItsCode) {
    BackedUpDevice();
    platform::SetEnv("BRACKWATER_BACKUPTOOL_FAIL", "error:77");
    WriteDeviceFile(kSmsDb, "device state");
    const ToolRun run = RunTool(RestoreRequest(udid_, udid_, false));
    EXPECT_EQ(run.ErrorCode(), 77);
    EXPECT_EQ(ReadFileBytes(DevicePath(kSmsDb)), "device state");
}

}  // namespace
}  // namespace bw::testing

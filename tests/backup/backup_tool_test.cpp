// Backups and restores of simulated devices through the backup tool stand-in, found beside the
// simulator's mobile device library as the registry names it.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "backup/backup_prepare.h"
#include "backup/device_backup.h"
#include "formats/plist_library.h"
#include "image/image_builder.h"
#include "platform/files.h"
#include "platform/text.h"
#include "support/build_paths.h"
#include "support/runtime_registry.h"
#include "support/sim_device.h"
#include "support/temp_folder.h"
#include "support/test_images.h"

namespace bw {
namespace {

class BackupTool : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_FALSE(folder_.path().empty());
        testing::UseRegistry(folder_,
                             testing::RuntimeRegistryText(
                                 BRACKWATER_SIM_RUNTIME_DIR,
                                 std::string(BRACKWATER_SIM_RUNTIME_DIR) + "/libMobileDevice.so"));
        if (GetBackupToolPathForTest().empty()) GTEST_SKIP() << "the backup tool is not built";
        ASSERT_TRUE(platform::CreateFolders(folder_ / "pipes"));
        ::setenv("BRACKWATER_RUNTIME_DIR", (folder_ / "pipes").c_str(), 1);
        ::setenv("XDG_DATA_HOME", (folder_ / "data").c_str(), 1);
        ::unsetenv("BRACKWATER_BACKUPTOOL_FAIL");
        ::unsetenv("BRACKWATER_BACKUPTOOL_DELAY_MS");
        sim::ImageOptions options;
        options.udid = "abcdef0123456789abcdef0123456789abcdef01";
        image_ = folder_ / "phone";
        std::string error;
        ASSERT_TRUE(testing::MakeTestImage(image_, options, error)) << error;
        ::setenv("BRACKWATER_SIM_IMAGES", image_.c_str(), 1);
        udid_ = Utf8ToWide(options.udid);
        root_ = folder_ / "data/Apple Computer/MobileSync/Backup";
    }

    static std::string GetBackupToolPathForTest() {
        const std::string tool = std::string(BRACKWATER_SIM_RUNTIME_DIR) + "/" + kBackupToolName;
        return platform::IsFile(tool) ? tool : std::string();
    }

    // Runs to the end and records every percentage the record showed.
    void Run(BackupStatus& status, int32_t mode, bool fromCopy = false,
             const std::u16string& folder = u"", std::vector<double>* seen = nullptr) {
        CDeviceBackUp run(udid_, mode, fromCopy, folder);
        run.SetStatus(&status);
        run.Start();
        ASSERT_TRUE(testing::WaitUntil(
            [&] {
                if (seen != nullptr && (seen->empty() || seen->back() != status.percent)) {
                    seen->push_back(status.percent);
                }
                return std::atomic_ref<uint8_t>(status.finished).load() == 1;
            },
            60000));
    }

    testing::TempFolder folder_;
    std::string image_;
    std::u16string udid_;
    std::string root_;
};

TEST_F(BackupTool, BackupWritesTheFolderWithRisingProgress) {
    ::setenv("BRACKWATER_BACKUPTOOL_DELAY_MS", "20", 1);
    BackupStatus status{};
    std::vector<double> seen;
    Run(status, kBackupModeBackup, false, u"", &seen);
    EXPECT_EQ(status.failed, 0);
    EXPECT_EQ(status.errorCode, 0);
    EXPECT_EQ(status.message[0], 0);
    EXPECT_EQ(status.percent, 100.0);
    for (size_t i = 1; i < seen.size(); ++i)
        EXPECT_LE(seen[i - 1], seen[i]);
    const std::string backup = platform::JoinPath(root_, WideToUtf8(udid_));
    for (const char* name : {"Manifest.mbdb", "Manifest.plist", "Info.plist", "Status.plist"}) {
        EXPECT_TRUE(platform::IsFile(platform::JoinPath(backup, name))) << name;
    }
    // The tool's own Info.plist does not mark the backup as this library's.
    EXPECT_FALSE(IsLibraryBackup(backup));
    EXPECT_FALSE(CheckDeviceRestore(nullptr, backup));
}

TEST_F(BackupTool, RestoreBringsBackAChangedDeviceFile) {
    BackupStatus backup{};
    Run(backup, kBackupModeBackup);
    ASSERT_EQ(backup.failed, 0);

    // Some file of the home domain, changed on the device after the backup.
    std::string changed;
    platform::WalkTree(sim::ImagePath(image_, "/var/mobile/Library/SpringBoard"),
                       [&](const std::string& path, const platform::FolderEntry& entry) {
                           if (changed.empty() && !entry.isFolder && !entry.isLink) changed = path;
                           return true;
                       });
    ASSERT_FALSE(changed.empty());
    const std::string original = testing::ReadFileBytes(changed);
    ASSERT_TRUE(platform::WriteFileAtomic(changed, "changed after the backup"));
    // And one the device gained after the backup, which the restore removes.
    const std::string added = sim::ImagePath(image_, "/var/mobile/Library/SpringBoard/added.txt");
    ASSERT_TRUE(platform::WriteFileAtomic(added, "new"));

    BackupStatus restore{};
    Run(restore, kBackupModeRestore);
    EXPECT_EQ(restore.failed, 0);
    EXPECT_EQ(restore.errorCode, 0);
    EXPECT_EQ(testing::ReadFileBytes(changed), original);
    EXPECT_FALSE(platform::PathExists(added));
}

TEST_F(BackupTool, RestoreFromACopyReadsTheNamedFolder) {
    BackupStatus backup{};
    Run(backup, kBackupModeBackup);
    ASSERT_EQ(backup.failed, 0);
    const std::string copy = root_ + "/" + WideToUtf8(udid_) + "-copy";
    ASSERT_TRUE(platform::RenamePath(platform::JoinPath(root_, WideToUtf8(udid_)), copy));

    // Without the copy flag the tool looks for the device's own folder, which is gone.
    BackupStatus missing{};
    Run(missing, kBackupModeRestore, false, Utf8ToWide(copy));
    EXPECT_EQ(missing.failed, 1);
    EXPECT_EQ(missing.errorCode, 103);

    BackupStatus restore{};
    Run(restore, kBackupModeRestore, true, Utf8ToWide(copy));
    EXPECT_EQ(restore.failed, 0);
    EXPECT_EQ(restore.percent, 100.0);
}

// Every path below the image with its mode, modification time and content.
std::map<std::string, std::string> ImageState(const std::string& image) {
    std::map<std::string, std::string> state;
    platform::WalkTree(image, [&](const std::string& path, const platform::FolderEntry& entry) {
        struct stat info {};
        if (::lstat(path.c_str(), &info) != 0) return false;
        std::string value = std::to_string(info.st_mode) + " " + std::to_string(info.st_mtime);
        if (!entry.isFolder && !entry.isLink) value += " " + testing::ReadFileBytes(path);
        state[path] = std::move(value);
        return true;
    });
    return state;
}

TEST_F(BackupTool, ADamagedBackupFileStopsTheRestoreBeforeTheDeviceChanges) {
    BackupStatus backup{};
    Run(backup, kBackupModeBackup);
    ASSERT_EQ(backup.failed, 0);
    // The largest stored file loses its second half behind the manifest's back.
    const std::string folder = platform::JoinPath(root_, WideToUtf8(udid_));
    std::vector<platform::FolderEntry> entries;
    ASSERT_TRUE(platform::ListFolder(folder, entries));
    std::string largest;
    uint64_t largestSize = 0;
    for (const platform::FolderEntry& entry : entries) {
        const std::string path = platform::JoinPath(folder, entry.name);
        const uint64_t size = platform::FileSize(path).value_or(0);
        if (entry.name.size() == 40 && size > largestSize) {
            largest = path;
            largestSize = size;
        }
    }
    ASSERT_GT(largestSize, 1u);
    const std::string bytes = testing::ReadFileBytes(largest);
    ASSERT_TRUE(platform::WriteFileAtomic(largest, bytes.substr(0, bytes.size() / 2)));
    const auto before = ImageState(image_);

    BackupStatus restore{};
    Run(restore, kBackupModeRestore);
    EXPECT_EQ(restore.failed, 1);
    EXPECT_EQ(restore.errorCode, 107);
    EXPECT_EQ(restore.message[0], 0);
    EXPECT_EQ(ImageState(image_), before);
}

TEST_F(BackupTool, ToolErrorsReachTheStatusRecord) {
    ::setenv("BRACKWATER_BACKUPTOOL_FAIL", "error:105@30", 1);
    BackupStatus status{};
    Run(status, kBackupModeBackup);
    EXPECT_EQ(status.failed, 1);
    EXPECT_EQ(status.errorCode, 105);
    EXPECT_EQ(status.message[0], 0);
    EXPECT_GE(status.percent, 0.0);
    EXPECT_LT(status.percent, 100.0);
}

TEST_F(BackupTool, UnknownDeviceIsReportedByTheTool) {
    BackupStatus status{};
    CDeviceBackUp run(u"0000000000000000000000000000000000000000", kBackupModeBackup, false, u"");
    run.SetStatus(&status);
    run.Start();
    ASSERT_TRUE(testing::WaitUntil([&] { return status.finished == 1; }, 60000));
    EXPECT_EQ(status.failed, 1);
    EXPECT_EQ(status.errorCode, 102);
}

TEST_F(BackupTool, InjectedToolFailuresMapToTheRecord) {
    ::setenv("BRACKWATER_BACKUPTOOL_FAIL", "no-connect", 1);
    BackupStatus noConnect{};
    Run(noConnect, kBackupModeBackup);
    EXPECT_EQ(noConnect.failed, 1);
    EXPECT_EQ(noConnect.errorCode, 2);

    ::setenv("BRACKWATER_BACKUPTOOL_FAIL", "unparsable@10", 1);
    BackupStatus unparsable{};
    Run(unparsable, kBackupModeBackup);
    EXPECT_EQ(unparsable.failed, 0);
    EXPECT_EQ(unparsable.errorCode, 0);

    ::setenv("BRACKWATER_BACKUPTOOL_FAIL", "real-percent", 1);
    BackupStatus real{};
    Run(real, kBackupModeBackup);
    EXPECT_EQ(real.failed, 0);
    EXPECT_EQ(real.percent, 0.0);

    ::setenv("BRACKWATER_BACKUPTOOL_FAIL", "exit@20", 1);
    BackupStatus ended{};
    Run(ended, kBackupModeBackup);
    EXPECT_EQ(ended.failed, 1);
    EXPECT_EQ(ended.errorCode, 2);
}

}  // namespace
}  // namespace bw

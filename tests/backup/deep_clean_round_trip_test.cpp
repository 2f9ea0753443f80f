// A deep clean from end to end on the simulator: back the phone up through the backup tool, edit a
// working copy of one of its files through the deep-clean configuration, complete, restore, and
// find exactly that file changed on the phone. (The suite's name puts it in the group of tests
// that start the backup tool one at a time.)
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <map>
#include <string>

#include "backup/configure_tool.h"
#include "backup/device_backup.h"
#include "device/host_utils.h"
#include "platform/text.h"
#include "support/sim_device.h"

namespace bw {
namespace {

using testing::ReadFileBytes;
using testing::SimDeviceTest;

class BackupRunDeepClean : public SimDeviceTest {
  protected:
    // Every regular file below the image's fs/ folder with its bytes.
    static std::map<std::string, std::string> Files(const std::string& image) {
        namespace fs = std::filesystem;
        std::map<std::string, std::string> files;
        for (const auto& entry : fs::recursive_directory_iterator(image + "/fs")) {
            if (entry.is_regular_file() && !entry.is_symlink()) {
                files[entry.path().string()] = ReadFileBytes(entry.path().string());
            }
        }
        return files;
    }

    bool RunTool(const std::string& udid, int32_t mode) {
        BackupStatus status{};
        CDeviceBackUp run(Utf8ToWide(udid), mode, false, u"");
        run.SetStatus(&status);
        run.Start();
        const bool ended = testing::WaitUntil(
            [&] { return std::atomic_ref<uint8_t>(status.finished).load() == 1; }, 60000);
        EXPECT_EQ(status.failed, 0) << WideToUtf8(status.message) << " " << status.errorCode;
        return ended && status.failed == 0;
    }
};

TEST_F(BackupRunDeepClean, AnEditedWorkingCopyReachesThePhoneAndNothingElseChanges) {
    ASSERT_TRUE(platform::SetEnv("XDG_DATA_HOME", folder_ / "appdata"));
    Listen();
    sim::ImageOptions options;
    options.seed = 11;
    options.iosVersion = "7.1.2";
    const std::string image = MakeImage("phone", options);
    // The backup tool is a process of its own: it finds the phone through the environment.
    ASSERT_TRUE(platform::SetEnv("BRACKWATER_SIM_IMAGES", image));
    std::string udid;
    CIPhone* phone = Arrive(image, &udid);
    ASSERT_NE(phone, nullptr);

    ASSERT_TRUE(RunTool(udid, kBackupModeBackup));
    const std::map<std::string, std::string> before = Files(image);

    CConfigureTool& tool = CConfigureTool::Instance();
    ASSERT_TRUE(tool.CreateIn(phone, folder_ / "work", false));
    // The identifier and version come from the device, the source from the backup root.
    EXPECT_EQ(tool.Udid(), udid);
    EXPECT_EQ(tool.ProductVersion(), "7.1.2");
    EXPECT_EQ(tool.SourceFolder(), GetBackupRoot() + "/" + udid);
    EXPECT_EQ(tool.BackupCopyFolder(), folder_ / ("work/DeviceBackup/Backup/" + udid));
    const std::string copy =
        tool.CopyWorkingFile("HomeDomain", "Library/SpringBoard/IconState.plist", 0);
    ASSERT_FALSE(copy.empty());
    const std::string onPhone =
        sim::ImagePath(image, "/var/mobile/Library/SpringBoard/IconState.plist");
    ASSERT_EQ(ReadFileBytes(copy), ReadFileBytes(onPhone));
    const std::string edited = ReadFileBytes(copy) + "<!-- edited -->\n";
    ASSERT_TRUE(platform::WriteFileAtomic(copy, edited));
    ASSERT_TRUE(tool.WriteBackupInfo());
    ASSERT_TRUE(tool.Complete());

    ASSERT_TRUE(RunTool(udid, kBackupModeRestore));
    const std::map<std::string, std::string> after = Files(image);
    EXPECT_EQ(ReadFileBytes(onPhone), edited);
    ASSERT_EQ(after.size(), before.size());
    for (const auto& [path, bytes] : before) {
        if (path == onPhone) continue;
        const auto found = after.find(path);
        ASSERT_NE(found, after.end()) << path;
        EXPECT_EQ(found->second, bytes) << path;
    }
    EndListening();
}

}  // namespace
}  // namespace bw

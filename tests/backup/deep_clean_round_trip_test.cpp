// A deep clean from end to end on the simulator: back the phone up through the backup tool, edit a
// working copy of one of its files through the deep-clean configuration, complete, restore, and
// find exactly that file changed on the phone. (The suite's name puts it in the group of tests
// that start the backup tool one at a time.)
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <string>

#include "backup/configure_tool.h"
#include "device/host_utils.h"
#include "platform/text.h"
#include "support/backup_round_trip.h"

namespace bw {
namespace {

using testing::ReadFileBytes;

using BackupRunDeepClean = testing::BackupRoundTripTest;

TEST_F(BackupRunDeepClean, AnEditedWorkingCopyReachesThePhoneAndNothingElseChanges) {
    std::string image, udid;
    CIPhone* phone = ArrivePhone("7.1.2", image, udid);
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

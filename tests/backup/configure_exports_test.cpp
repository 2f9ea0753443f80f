// The exported deep-clean functions without a device: nothing to set up, nothing written.
#include <gtest/gtest.h>

#include "backup/configure_test_support.h"
#include "brackwater/deepclean.h"

namespace bw {
namespace {

using testing::DeepCleanFixture;

class ConfigureExportsTest : public DeepCleanFixture {};

TEST_F(ConfigureExportsTest, WithoutADeviceNothingIsSetUpOrWritten) {
    const std::u16string work = u"/nonexistent-deep-clean-work";
    EXPECT_EQ(CreateConfigureToolExIn(nullptr, work.c_str()), 0);
    EXPECT_EQ(CConfigureTool::Instance().WorkPath(), "/nonexistent-deep-clean-work");
    EXPECT_EQ(CreateConfigureToolExIn(nullptr, nullptr), 0);
    EXPECT_EQ(CreateBackupInfo(), 0);
    EXPECT_EQ(DeepCleanComplete(), 0);
    EXPECT_FALSE(platform::PathExists("/nonexistent-deep-clean-work"));
}

TEST_F(ConfigureExportsTest, ExportsWorkOnTheProcessWideInstance) {
    WriteBackup(TypicalFiles());
    CConfigureTool& tool = CConfigureTool::Instance();
    ASSERT_TRUE(SetUpTool(tool));
    ASSERT_TRUE(platform::WriteFileAtomic(tool.CopySmsDatabase(), "edited"));
    EXPECT_EQ(CreateBackupInfo(), 1);
    EXPECT_TRUE(platform::IsFile(BackupCopy() + "/BackupInfo.plist"));
    EXPECT_EQ(DeepCleanComplete(), 1);
    EXPECT_EQ(testing::ReadFileBytes(SourceFile("HomeDomain", "Library/SMS/sms.db")), "edited");
    ExpectManifestMatchesFiles();
}

}  // namespace
}  // namespace bw

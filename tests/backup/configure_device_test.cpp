// Set-up with a simulated device: the identifier, version and time zone come
// from the device, the source folder from Apple's backup root.
#include <gtest/gtest.h>

#include "backup/configure_tool.h"
#include "backup/manifest.h"
#include "backup/mbdb_builder.h"
#include "device/host_utils.h"
#include "support/sim_device.h"

namespace bw {
namespace {

using testing::FileRecord;
using testing::MbdbBuilder;
using testing::ReadFileBytes;
using testing::SimDeviceTest;

class ConfigureDeviceTest : public SimDeviceTest {
  protected:
    // A backup with Safari's history in both domains that a version may choose.
    void WriteBackup(const std::string& folder) {
        MbdbBuilder builder;
        const std::pair<const char*, const char*> files[] = {
            {"AppDomain-com.apple.mobilesafari", "app history"},
            {"HomeDomain", "home history"},
        };
        for (const auto& [domain, content] : files) {
            builder.Record(FileRecord(domain, "Library/Safari/History.plist",
                                      std::string_view(content).size()));
            folder_.Write(folder + "/" + MbdbBackupFileName(domain, "Library/Safari/History.plist"),
                          content);
        }
        folder_.Write(folder + "/Manifest.mbdb", builder.Bytes());
    }
};

TEST_F(ConfigureDeviceTest, SetUpReadsTheDeviceAndFindsItsBackupInTheBackupRoot) {
    ASSERT_TRUE(platform::SetEnv("XDG_DATA_HOME", folder_ / "appdata"));
    Listen();
    sim::ImageOptions options;
    options.iosVersion = "7.1.2";
    std::string udid;
    CIPhone* phone = Arrive(MakeImage("phone", options), &udid);
    ASSERT_NE(phone, nullptr);
    const std::string root = GetBackupRoot();
    ASSERT_EQ(root.rfind(folder_.path(), 0), 0u) << root;
    WriteBackup(root.substr(folder_.path().size() + 1) + "/" + udid);

    CConfigureTool& tool = CConfigureTool::Instance();
    ASSERT_TRUE(tool.CreateIn(phone, folder_ / "work", false));
    EXPECT_EQ(tool.Udid(), udid);
    EXPECT_EQ(tool.ProductVersion(), "7.1.2");
    EXPECT_EQ(tool.SourceFolder(), root + "/" + udid);
    EXPECT_EQ(tool.BackupCopyFolder(), folder_ / ("work/DeviceBackup/Backup/" + udid));
    EXPECT_EQ(ReadFileBytes(tool.CopySafariHistory()), "app history");
    EXPECT_TRUE(tool.WriteBackupInfo());
    EXPECT_TRUE(tool.Complete());
    EndListening();
}

}  // namespace
}  // namespace bw

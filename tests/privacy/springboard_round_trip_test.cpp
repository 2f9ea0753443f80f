// Recent applications and push stores from end to end on the simulator: back the phone up, scan
// and clean both through the scan session, complete, restore, and find on the phone exactly the
// deselected recent applications left and exactly the selected push store gone. (The suite's
// name puts it in the group of tests that start the backup tool one at a time.)
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "backup/configure_tool.h"
#include "backup/device_backup.h"
#include "brackwater/apps.h"
#include "brackwater/privacy.h"
#include "brackwater/scan.h"
#include "platform/text.h"
#include "privacy/springboard_test_support.h"
#include "session/scan_device.h"

namespace bw {
namespace {

using testing::ReadFileBytes;

constexpr char kPhonePreferences[] = "/var/mobile/Library/Preferences/com.apple.springboard.plist";
constexpr char kPhoneSmsStore[] =
    "/var/mobile/Library/SpringBoard/PushStore/com.apple.MobileSMS.pushstore";

class BackupRunSpringboardClean : public testing::SimDeviceTest {
  protected:
    static std::map<std::string, std::string> Files(const std::string& image) {
        std::map<std::string, std::string> files;
        for (const auto& entry : std::filesystem::recursive_directory_iterator(image + "/fs")) {
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

    static std::u16string Identifier(IAppPushStoreModel* store) {
        std::u16string text(store->GetBundleIdentifier(nullptr), u'\0');
        store->GetBundleIdentifier(text.data());
        return text.c_str();
    }
};

TEST_F(BackupRunSpringboardClean, ThePhoneKeepsTheDeselectedAppsAndLosesTheSelectedStore) {
    ASSERT_TRUE(platform::SetEnv("XDG_DATA_HOME", folder_ / "appdata"));
    Listen();
    sim::ImageOptions options;
    options.iosVersion = "6.1.3";
    const std::string image = MakeImage("phone", options);
    ASSERT_TRUE(platform::SetEnv("BRACKWATER_SIM_IMAGES", image));
    std::string udid;
    CIPhone* phone = Arrive(image, &udid);
    ASSERT_NE(phone, nullptr);
    ASSERT_TRUE(RunTool(udid, kBackupModeBackup));
    const std::map<std::string, std::string> before = Files(image);
    ASSERT_TRUE(CConfigureTool::Instance().CreateIn(phone, folder_ / "work", false));

    BwScanStatus status{};
    CScanDevice session(phone);
    session.SetStatusRecord(&status);
    // The phone's recent list: Messages, Skyline, Safari, a removed game, Notebook. Only
    // Safari is deselected, so only Safari stays.
    session.StartScan(kJunkRecentApps);
    ASSERT_EQ(session.GetResultCount0(), 4);
    static_cast<IAppInfo*>(session.GetResult0(2))->Selected(1);
    session.StartClean();

    session.StartScan(kJunkPushNotifications);
    ASSERT_EQ(session.GetResultCount0(), 4);
    for (int32_t i = 0; i < 4; ++i) {
        auto* store = static_cast<IAppPushStoreModel*>(session.GetResult0(i));
        if (Identifier(store) != u"com.apple.MobileSMS") store->Select(1);
    }
    session.StartClean();
    ASSERT_TRUE(CConfigureTool::Instance().Complete());

    ASSERT_TRUE(RunTool(udid, kBackupModeRestore));
    const std::map<std::string, std::string> after = Files(image);
    const std::string preferences = sim::ImagePath(image, kPhonePreferences);
    const testing::LibplistTree list = testing::LibplistFile(preferences);
    ASSERT_NE(list, nullptr);
    EXPECT_EQ(testing::LibplistStrings(plist_dict_get_item(list.get(), "SBRecentDisplays")),
              std::vector<std::string>{"com.apple.mobilesafari"});
    const std::string sms = sim::ImagePath(image, kPhoneSmsStore);
    EXPECT_EQ(after.count(sms), 0u);
    ASSERT_EQ(after.size(), before.size() - 1);
    for (const auto& [path, bytes] : before) {
        if (path == preferences || path == sms) continue;
        const auto found = after.find(path);
        ASSERT_NE(found, after.end()) << path;
        EXPECT_EQ(found->second, bytes) << path;
    }
    session.StartScan(kJunkCrashLogs);  // lets go of the scanners before the phone leaves
    EndListening();
}

}  // namespace
}  // namespace bw

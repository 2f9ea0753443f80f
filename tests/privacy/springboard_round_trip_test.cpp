// Recent applications and push stores from end to end on the simulator: back the phone up, scan
// and clean both through the scan session, complete, restore, and find on the phone exactly the
// deselected recent applications left and exactly the selected push store gone. (The suite's
// name puts it in the group of tests that start the backup tool one at a time.)
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "backup/configure_tool.h"
#include "brackwater/apps.h"
#include "brackwater/privacy.h"
#include "brackwater/scan.h"
#include "platform/text.h"
#include "privacy/springboard_test_support.h"
#include "session/scan_device.h"
#include "support/backup_round_trip.h"

namespace bw {
namespace {

using testing::ReadFileBytes;

constexpr char kPhonePreferences[] = "/var/mobile/Library/Preferences/com.apple.springboard.plist";
constexpr char kPhoneSmsStore[] =
    "/var/mobile/Library/SpringBoard/PushStore/com.apple.MobileSMS.pushstore";

class BackupRunSpringboardClean : public testing::BackupRoundTripTest {
  protected:
    static std::u16string Identifier(IAppPushStoreModel* store) {
        std::u16string text(store->GetBundleIdentifier(nullptr), u'\0');
        store->GetBundleIdentifier(text.data());
        return text.c_str();
    }
};

TEST_F(BackupRunSpringboardClean, ThePhoneKeepsTheDeselectedAppsAndLosesTheSelectedStore) {
    std::string image, udid;
    CIPhone* phone = ArrivePhone("6.1.3", image, udid);
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

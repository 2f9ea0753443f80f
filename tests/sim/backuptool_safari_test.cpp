// A deep clean of Safari's history and saved tabs on the simulated phone, end to end: the backup
// tool stand-in backs the phone up (iOS 7 puts Safari's files in Safari's own domain), the
// scanners list the pages and tabs the phone holds, the clean edits the working copies,
// completion writes them into the backup, and the restore puts them on the phone, where libplist
// reads exactly the kept pages and tabs.
#include <gtest/gtest.h>
#include <plist/plist.h>

#include <algorithm>
#include <string>
#include <vector>

#include "backup/configure_tool.h"
#include "privacy/safari_test_support.h"
#include "privacy/suspend_page_junk.h"
#include "privacy/web_history_junk.h"
#include "session/scan_device.h"
#include "sim/backuptool_support.h"
#include "support/ios_versions.h"

namespace bw::testing {
namespace {

constexpr char kDeviceHistory[] = "var/mobile/Library/Safari/History.plist";
constexpr char kDeviceSuspendState[] = "var/mobile/Library/Safari/SuspendState.plist";

class BackupToolSafariTest : public BackupToolTest,
                             public ::testing::WithParamInterface<const char*> {
  protected:
    Node ReadDevice(const char* devicePath) {
        return ParseBytes(ReadFileBytes(DevicePath(devicePath)));
    }
};

TEST_P(BackupToolSafariTest, KeptPagesAndTabsAreWhatTheRestoredPhoneHolds) {
    sim::ImageOptions options;
    options.iosVersion = GetParam();
    MakeDevice(options, false);
    const Node history = ReadDevice(kDeviceHistory);
    const Node state = ReadDevice(kDeviceSuspendState);
    ASSERT_NE(history, nullptr);
    ASSERT_NE(state, nullptr);
    ASSERT_TRUE(RunTool(BackupRequest(udid_)).Succeeded());

    const std::string domain = SafariDomainFor(GetParam());
    ManifestDataManager manifest(udid_, BackupFolder(), BackupFolder() + "/Manifest.mbdb");
    EXPECT_FALSE(manifest.FindRecord(domain, "Library/Safari/History.plist").path.text.empty());
    EXPECT_FALSE(
        manifest.FindRecord(domain, "Library/Safari/SuspendState.plist").path.text.empty());

    CConfigureTool& tool = CConfigureTool::Instance();
    ASSERT_TRUE(
        tool.SetUpFromFolder({udid_, GetParam(), 0}, folder_ / "work", BackupFolder(), false));
    CScanDevice session(nullptr);

    // History: the first three pages kept.
    session.StartScan(kJunkSafariHistory);
    ASSERT_EQ(session.GetResultCount0(), 48);
    for (int32_t i = 0; i < 3; ++i)
        static_cast<IHistoryDataModel*>(session.GetResult0(i))->Select(1);
    session.StartClean();

    // Tabs: the first kept whole, the second loses its first page, the rest go.
    session.StartScan(kJunkSafariTabs);
    ASSERT_EQ(session.GetResultCount0(), 5);
    auto* first = static_cast<ISuspendStateModel*>(session.GetResult0(0));
    first->Select(1);
    for (int32_t e = 0; e < first->GetEntryCount(); ++e)
        first->GetEntry(e)->Select(1);
    auto* second = static_cast<ISuspendStateModel*>(session.GetResult0(1));
    second->Select(1);
    for (int32_t e = 1; e < second->GetEntryCount(); ++e)
        second->GetEntry(e)->Select(1);
    session.StartClean();

    ASSERT_TRUE(tool.Complete());
    ASSERT_TRUE(RunTool(RestoreRequest(udid_, udid_, false)).Succeeded());

    const Node pagesAfter = ReadDevice(kDeviceHistory);
    ASSERT_NE(pagesAfter, nullptr);
    std::vector<std::string> keptPages =
        ElementTexts(plist_dict_get_item(history.get(), "WebHistoryDates"));
    keptPages.resize(3);
    EXPECT_EQ(ElementTexts(plist_dict_get_item(pagesAfter.get(), "WebHistoryDates")), keptPages);

    const Node tabsAfter = ReadDevice(kDeviceSuspendState);
    ASSERT_NE(tabsAfter, nullptr);
    plist_t tabs = plist_dict_get_item(state.get(), "SafariStateDocuments");
    Node secondTab(plist_copy(plist_array_get_item(tabs, 1)));
    plist_array_remove_item(
        plist_dict_get_item(
            plist_dict_get_item(secondTab.get(), "SafariStateDocumentBackForwardList"), "entries"),
        0);
    EXPECT_EQ(
        ElementTexts(plist_dict_get_item(tabsAfter.get(), "SafariStateDocuments")),
        (std::vector<std::string>{XmlOf(plist_array_get_item(tabs, 0)), XmlOf(secondTab.get())}));
}

INSTANTIATE_TEST_SUITE_P(Versions, BackupToolSafariTest, bw::testing::EachIosVersion(),
                         bw::testing::IosVersionName);

}  // namespace
}  // namespace bw::testing

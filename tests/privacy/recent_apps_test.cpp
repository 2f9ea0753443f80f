// The recently running applications: SpringBoard's "SBRecentDisplays" in a backup that the test
// writes, listed through the scan session with the names and icons of a simulated phone's home
// screen, and the list that a clean writes back, read with libplist from the working copy and
// from the backup after completion.
#include "privacy/running_app_junk.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "backup/configure_test_support.h"
#include "brackwater/apps.h"
#include "brackwater/scan.h"
#include "privacy/springboard_test_support.h"
#include "session/scan_device.h"

namespace bw {
namespace {

using testing::LibplistFile;
using testing::LibplistStrings;
using testing::LibplistTree;
using testing::ReadFileBytes;
using testing::Text;

constexpr char kPreferences[] = "Library/Preferences/com.apple.springboard.plist";

std::string Icon(IAppInfo* record) {
    std::string bytes(record->GetIconData(nullptr), '\0');
    record->GetIconData(reinterpret_cast<unsigned char*>(bytes.data()));
    return bytes;
}

// The preferences file: the recent list (strings, and a number that is no identifier: 0) between
// other settings that a clean must keep.
std::string Preferences(const std::vector<std::string>& recent) {
    LibplistTree tree(plist_new_dict());
    plist_dict_set_item(tree.get(), "SBAutoLockTime", plist_new_uint(60));
    plist_t list = plist_new_array();
    for (const std::string& identifier : recent) {
        plist_array_append_item(
            list, identifier == "0" ? plist_new_uint(0) : plist_new_string(identifier.c_str()));
    }
    plist_dict_set_item(tree.get(), "SBRecentDisplays", list);
    plist_t nested = plist_new_dict();
    plist_dict_set_item(nested, "com.example.x", plist_new_bool(1));
    plist_dict_set_item(tree.get(), "SBIconBadges", nested);
    return testing::BinaryOf(tree.get());
}

// The same settings in the same order, leaving "SBRecentDisplays" aside.
bool SameOtherSettings(plist_t a, plist_t b) {
    LibplistTree left(plist_copy(a)), right(plist_copy(b));
    plist_dict_remove_item(left.get(), "SBRecentDisplays");
    plist_dict_remove_item(right.get(), "SBRecentDisplays");
    return testing::PlistXml(left.get()) == testing::PlistXml(right.get());
}

class RecentAppsTest : public testing::DeepCleanFixture {
  protected:
    void WriteRecent(const std::vector<std::string>& recent) {
        original_ = Preferences(recent);
        WriteBackup({{"HomeDomain", "Library", "", true},
                     {"HomeDomain", kPreferences, original_},
                     {"HomeDomain", "Library/Preferences/com.apple.other.plist", "other"}},
                    "7.1.2");
        ASSERT_TRUE(SetUpTool(CConfigureTool::Instance(), "7.1.2"));
    }

    IAppInfo* Listed(int32_t index) { return static_cast<IAppInfo*>(session_->GetResult0(index)); }

    std::string WorkingCopy() {
        return platform::JoinPath(RestoreCopy(), FileName("HomeDomain", kPreferences));
    }

    BwScanStatus* status() { return reinterpret_cast<BwScanStatus*>(bytes_); }

    void StartSession(CIPhone* device) {
        session_ = std::make_unique<CScanDevice>(device);
        session_->SetStatusRecord(status());
    }

    testing::SimPhone phone_;
    std::string original_;
    alignas(8) unsigned char bytes_[sizeof(BwScanStatus)] = {};
    std::unique_ptr<CScanDevice> session_;
};

TEST_F(RecentAppsTest, HomeScreenApplicationsAreListedAndTheCleanKeepsOnlyTheDeselected) {
    CIPhone* device = phone_.Start(temp_);
    ASSERT_NE(device, nullptr);
    WriteRecent({"com.nimbuslabs.skyline", "0", "com.retired.game", "com.tallyapps.tally",
                 "com.apple.mobilesafari", "com.linguaworks.cafelingo"});
    StartSession(device);
    session_->StartScan(kJunkRecentApps);

    // The number and the application that the home screen does not show are not listed.
    ASSERT_EQ(session_->GetResultCount0(), 4);
    EXPECT_EQ(Text(Listed(0), &IAppInfo::GetName), u"Skyline Weather");
    EXPECT_EQ(Text(Listed(0), &IAppInfo::GetIdentifier), u"com.nimbuslabs.skyline");
    EXPECT_EQ(Text(Listed(1), &IAppInfo::GetName), u"Tally");
    EXPECT_EQ(Text(Listed(2), &IAppInfo::GetName), u"Safari");
    EXPECT_EQ(Text(Listed(3), &IAppInfo::GetName), u"Caf\u00e9 Lingo");
    EXPECT_EQ(Listed(4), nullptr);
    // Icons from the phone: Tally's bundle has no icon file.
    EXPECT_TRUE(Icon(Listed(0)).starts_with("\x89PNG\r\n\x1a\n"));
    EXPECT_EQ(Icon(Listed(1)), "");
    for (int32_t i = 0; i < 4; ++i)
        EXPECT_EQ(Listed(i)->Selected(0), 1) << i;
    EXPECT_EQ(status()->selectedCount, 4u);
    EXPECT_DOUBLE_EQ(status()->progress, 100.0);
    EXPECT_EQ(status()->finished, 1);
    // The scan only reads its working copy.
    EXPECT_EQ(ReadFileBytes(WorkingCopy()), original_);

    Listed(1)->Selected(1);  // Tally and Safari stay
    Listed(2)->Selected(1);
    session_->StartClean();
    EXPECT_EQ(status()->finished, 1);
    EXPECT_EQ(status()->selectedCount, 2u);
    EXPECT_DOUBLE_EQ(status()->progress, 100.0);

    const std::string written = ReadFileBytes(WorkingCopy());
    EXPECT_TRUE(written.starts_with("bplist00"));
    const LibplistTree after = LibplistFile(WorkingCopy());
    ASSERT_NE(after, nullptr);
    EXPECT_EQ(LibplistStrings(plist_dict_get_item(after.get(), "SBRecentDisplays")),
              (std::vector<std::string>{"com.tallyapps.tally", "com.apple.mobilesafari"}));
    EXPECT_TRUE(SameOtherSettings(testing::ParseBytes(original_).get(), after.get()));

    // Completion puts the new list into the backup and leaves the other file as it was.
    const std::string otherBefore =
        ReadFileBytes(SourceFile("HomeDomain", "Library/Preferences/com.apple.other.plist"));
    ASSERT_TRUE(CConfigureTool::Instance().Complete());
    EXPECT_EQ(ReadFileBytes(SourceFile("HomeDomain", kPreferences)), written);
    EXPECT_EQ(ReadFileBytes(SourceFile("HomeDomain", "Library/Preferences/com.apple.other.plist")),
              otherBefore);
    ExpectManifestMatchesFiles();
}

TEST_F(RecentAppsTest, WithNothingSelectedTheCleanWritesTheListedApplicationsInOrder) {
    CIPhone* device = phone_.Start(temp_, "5.1.1");
    ASSERT_NE(device, nullptr);
    WriteRecent({"com.apple.MobileSMS", "com.retired.game", "com.paperfold.notebook",
                 "com.apple.MobileSMS"});
    StartSession(device);
    session_->StartScan(kJunkRecentApps);
    ASSERT_EQ(session_->GetResultCount0(), 3);
    for (int32_t i = 0; i < 3; ++i)
        Listed(i)->Selected(1);
    session_->StartClean();
    const LibplistTree after = LibplistFile(WorkingCopy());
    ASSERT_NE(after, nullptr);
    EXPECT_EQ(LibplistStrings(plist_dict_get_item(after.get(), "SBRecentDisplays")),
              (std::vector<std::string>{"com.apple.MobileSMS", "com.paperfold.notebook",
                                        "com.apple.MobileSMS"}));
    // Deselecting is the host's choice; the totals only lose what a clean removed.
    EXPECT_EQ(status()->selectedCount, 3u);
}

// Without a home screen to name the applications, or with files that hold no list, each scan
// ends, lists nothing, and leaves the file alone.
TEST_F(RecentAppsTest, WithoutAHomeScreenOrAListNothingIsListedAndNothingChanges) {
    CIPhone* device = phone_.Start(temp_);
    ASSERT_NE(device, nullptr);
    LibplistTree notArray(plist_new_dict());
    plist_dict_set_item(notArray.get(), "SBRecentDisplays",
                        plist_new_string("com.nimbuslabs.skyline"));
    LibplistTree topArray(plist_new_array());
    plist_array_append_item(topArray.get(), plist_new_string("com.nimbuslabs.skyline"));
    struct Case {
        std::string content;
        CIPhone* phone;
    };
    const Case cases[] = {
        {Preferences({"com.nimbuslabs.skyline", "com.apple.mobilesafari"}), nullptr},
        {"", device},
        {"not a list", device},
        {std::string("bplist00\xff\xff", 10), device},
        {testing::BinaryOf(notArray.get()), device},
        {testing::BinaryOf(topArray.get()), device},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.content.size());
        platform::DeleteTree(Root());
        platform::DeleteTree(Work());
        WriteBackup({{"HomeDomain", kPreferences, c.content}}, "7.1.2");
        ASSERT_TRUE(SetUpTool(CConfigureTool::Instance(), "7.1.2"));
        StartSession(c.phone);
        status()->finished = 0;
        session_->StartScan(kJunkRecentApps);
        EXPECT_EQ(status()->finished, 1);
        EXPECT_EQ(session_->GetResultCount0(), 0);
        status()->finished = 0;
        session_->StartClean();
        EXPECT_EQ(status()->finished, 1);
        EXPECT_EQ(ReadFileBytes(WorkingCopy()), c.content);
    }
}

}  // namespace
}  // namespace bw

// Leftovers of removed applications in a backup: which domains are leftovers, what the host reads
// of them, and a clean that takes exactly the selected domains out of the backup folder.
#include "privacy/app_remain_junk.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "backup/configure_test_support.h"
#include "brackwater/scan.h"
#include "session/scan_device.h"
#include "support/canary.h"

namespace bw {
namespace {

std::u16string LeftoverText(size_t (IAppRemainModel::*get)(BwChar*), IAppRemainModel* model) {
    std::u16string text((model->*get)(nullptr), u'\0');
    (model->*get)(text.data());
    return text.c_str();
}

std::u16string LeftoverFileName(IAppRemainFileModel* file) {
    std::u16string text(file->GetName(nullptr), u'\0');
    file->GetName(text.data());
    return text.c_str();
}

TEST(LeftoverIdentifiers, AppleInstalledAndCaseOnlyDifferencesAreNotLeftovers) {
    const std::set<std::string> backup = {"com.apple.mobilesafari", "COM.APPLE.Pages",
                                          "com.Example.Kept",       "com.example.kept.widget",
                                          "com.example.gone",       "org.other"};
    EXPECT_EQ(FindLeftoverIdentifiers(backup, {"com.example.kept"}),
              (std::vector<std::string>{"com.example.gone", "org.other"}));
    // An empty installed identifier hides nothing.
    EXPECT_EQ(FindLeftoverIdentifiers(backup, {"", "ORG.OTHER"}),
              (std::vector<std::string>{"com.Example.Kept", "com.example.gone",
                                        "com.example.kept.widget"}));
}

TEST(LeftoverIdentifiers, FilesAreSortedByTheirFirstFolder) {
    EXPECT_EQ(LeftoverFileCategory("Library/Caches/a"), "Library");
    EXPECT_EQ(LeftoverFileCategory("Documents/x.dat"), "Documents");
    EXPECT_EQ(LeftoverFileCategory("Preferences"), "Preferences");
    EXPECT_EQ(LeftoverFileCategory("LibraryX/a"), "Unknown");
    EXPECT_EQ(LeftoverFileCategory(""), "Unknown");
}

class AppRemainTest : public testing::DeepCleanFixture {
  protected:
    static std::vector<testing::BackupFile> Files() {
        return {
            {"HomeDomain", "Library/SMS/sms.db", "sms database"},
            {"AppDomain-com.apple.mobilesafari", "Library/Safari/History.plist", "history"},
            {"AppDomain-com.Example.Kept", "Documents/kept.dat", "kept by case"},
            {"AppDomain-com.example.gone", "", "", true},
            {"AppDomain-com.example.gone", "Library", "", true},
            {"AppDomain-com.example.gone", "Documents", "", true},
            {"AppDomain-com.example.gone", "Library/Preferences/com.example.gone.plist", "prefs"},
            {"AppDomain-com.example.gone", "Documents/save's 100%.dat", "save data!"},
            {"AppDomain-org.quoted'; DROP", "Library/a", "quoted"},
        };
    }

    void ScanWith(std::vector<std::string> installed) {
        auto* scanner = dynamic_cast<CAppRemainFilesJunk*>(session_.Scanner());
        ASSERT_NE(scanner, nullptr);
        scanner->ReleaseItems(kResultAppLeftovers);
        scanner->SetTotals(0, 0, 0);
        scanner->installedIdentifiers = std::move(installed);
        scanner->Scan(nullptr);
    }

    IAppRemainModel* Leftover(int32_t index) {
        return static_cast<IAppRemainModel*>(session_.GetResult7(index));
    }

    void SetUp() override {
        DeepCleanFixture::SetUp();
        WriteBackup(Files());
        ASSERT_TRUE(SetUpTool(CConfigureTool::Instance()));
        session_.SetStatusRecord(status());
        // Without a device there is no list of installed applications, and so no leftovers.
        session_.StartScan(kJunkAppLeftovers);
        EXPECT_EQ(status()->finished, 1);
        EXPECT_EQ(session_.GetResultCount7(), 0);
    }

    BwScanStatus* status() { return reinterpret_cast<BwScanStatus*>(bytes_); }

    alignas(8) unsigned char bytes_[sizeof(BwScanStatus)] = {};
    CScanDevice session_{nullptr};
};

TEST_F(AppRemainTest, LeftoversAreListedInSlotsTwentyAndTwentyOneWithTheirFiles) {
    ScanWith({"com.example.kept"});
    ASSERT_EQ(session_.GetResultCount7(), 2);
    IAppRemainModel* gone = Leftover(0);
    EXPECT_EQ(LeftoverText(&IAppRemainModel::GetIdentifier, gone), u"com.example.gone");
    EXPECT_EQ(gone->GetIdentifier(nullptr), std::u16string(u"com.example.gone").size() + 2);
    ASSERT_EQ(gone->GetFileCount(), 2);
    EXPECT_EQ(LeftoverFileName(gone->GetFile(0)), u"Library/Preferences/com.example.gone.plist");
    EXPECT_EQ(gone->GetFile(0)->GetSize(), 5u);
    EXPECT_EQ(LeftoverFileName(gone->GetFile(1)), u"Documents/save's 100%.dat");
    EXPECT_EQ(gone->GetFile(1)->GetSize(), 10u);
    EXPECT_EQ(gone->GetFile(2), nullptr);
    EXPECT_EQ(gone->GetFile(-1), nullptr);
    EXPECT_EQ(gone->GetTotalSize(), 15u);
    EXPECT_EQ(gone->Select(0), 1);
    EXPECT_EQ(gone->Select(1), 0);
    EXPECT_EQ(gone->Select(1), 1);
    EXPECT_EQ(LeftoverText(&IAppRemainModel::GetIdentifier, Leftover(1)), u"org.quoted'; DROP");
    EXPECT_EQ(Leftover(2), nullptr);

    EXPECT_EQ(status()->selectedCount, 3u);
    EXPECT_EQ(status()->shownCount, 3u);
    EXPECT_EQ(status()->selectedSize, 21u);
    EXPECT_DOUBLE_EQ(status()->progress, 100.0);
}

TEST_F(AppRemainTest, CleanRemovesTheSelectedDomainsRecordsAndFilesAndNothingElse) {
    ScanWith({"com.example.kept"});
    ASSERT_EQ(session_.GetResultCount7(), 2);
    Leftover(1)->Select(1);  // the quoted one stays
    testing::TreeFingerprint expected = testing::FingerprintTree(Source());
    const std::string prefs =
        FileName("AppDomain-com.example.gone", "Library/Preferences/com.example.gone.plist");
    const std::string save = FileName("AppDomain-com.example.gone", "Documents/save's 100%.dat");
    ASSERT_EQ(expected.erase(prefs), 1u);
    ASSERT_EQ(expected.erase(save), 1u);
    expected.erase("Manifest.mbdb");

    session_.StartClean();
    EXPECT_EQ(status()->finished, 1);
    EXPECT_EQ(status()->selectedCount, 0u);
    EXPECT_EQ(status()->selectedSize, 0u);
    EXPECT_EQ(status()->shownCount, 0u);

    testing::TreeFingerprint after = testing::FingerprintTree(Source());
    ASSERT_EQ(after.erase("Manifest.mbdb"), 1u);
    EXPECT_EQ(after, expected);
    std::string bytes;
    ASSERT_TRUE(platform::ReadWholeFile(Source() + "/Manifest.mbdb", bytes));
    const MbdbReadResult read = ReadMbdb(bytes);
    std::vector<std::string> kept;
    for (const MbdbRecord& record : read.records)
        kept.push_back(record.domain.text + ":" + record.path.text);
    EXPECT_EQ(kept, (std::vector<std::string>{
                        "HomeDomain:Library/SMS/sms.db",
                        "AppDomain-com.apple.mobilesafari:Library/Safari/History.plist",
                        "AppDomain-com.Example.Kept:Documents/kept.dat",
                        "AppDomain-org.quoted'; DROP:Library/a"}));
    ExpectManifestMatchesFiles();
    // What left the backup keeps an untouched copy beside the other untouched copies.
    EXPECT_EQ(testing::ReadFileBytes(BackupCopy() + "/" + prefs), "prefs");
    EXPECT_EQ(testing::ReadFileBytes(BackupCopy() + "/" + save), "save data!");
}

TEST_F(AppRemainTest, NothingSelectedChangesNothing) {
    ScanWith({"com.example.kept"});
    Leftover(0)->Select(1);
    Leftover(1)->Select(1);
    const testing::TreeFingerprint before = testing::FingerprintTree(Source());
    session_.StartClean();
    EXPECT_EQ(testing::FingerprintTree(Source()), before);
}

TEST_F(AppRemainTest, AnEmptyInstalledListIsNoListAndFindsNothing) {
    ScanWith({});
    EXPECT_EQ(session_.GetResultCount7(), 0);
    EXPECT_EQ(status()->selectedCount, 0u);
}

}  // namespace
}  // namespace bw

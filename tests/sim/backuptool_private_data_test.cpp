// The private data of an image in the backup tool stand-in's backups: the message store, address
// book, call history and attachments under the domains and paths the library looks them up by,
// the removed applications' data as application domains of its own, and a restore that writes the
// stores back byte for byte.
#include <gtest/gtest.h>

#include <filesystem>
#include <set>

#include "sim/backuptool_support.h"
#include "support/ios_versions.h"

namespace bw::testing {
namespace {

namespace fs = std::filesystem;

constexpr char kStoredSms[] = "var/mobile/Library/SMS/sms.db";
constexpr char kStoredAddressBook[] = "var/mobile/Library/AddressBook/AddressBook.sqlitedb";
constexpr char kStoredCallHistory[] = "var/wireless/Library/CallHistory/call_history.db";

class BackupToolPrivateDataTest : public BackupToolTest,
                                  public ::testing::WithParamInterface<const char*> {
  protected:
    void BackedUpDevice() {
        sim::ImageOptions options;
        options.iosVersion = GetParam();
        MakeDevice(options, false);
        const ToolRun run = RunTool(BackupRequest(udid_));
        ASSERT_TRUE(run.Succeeded()) << run.lastText << "(connected " << run.connected
                                     << ", exit status " << run.exitCode.value_or(-1) << ")";
    }

    std::string DeviceBytes(const std::string& devicePath) {
        return ReadFileBytes(DevicePath(devicePath));
    }
};

TEST_P(BackupToolPrivateDataTest, TheLibraryFindsEveryStoreInTheBackupAsOnTheDevice) {
    BackedUpDevice();
    ManifestDataManager manifest(udid_, BackupFolder(), BackupFolder() + "/Manifest.mbdb");

    const std::string sms = manifest.FindSmsDatabase();
    ASSERT_FALSE(sms.empty());
    EXPECT_EQ(ReadFileBytes(sms), DeviceBytes(kStoredSms));
    const MbdbRecord contacts = manifest.FindRecord("HomeDomain", "AddressBook.sqlitedb");
    EXPECT_EQ(contacts.path.text, "Library/AddressBook/AddressBook.sqlitedb");
    EXPECT_EQ(ReadFileBytes(BackupFolder() + "/" + contacts.backupFileName),
              DeviceBytes(kStoredAddressBook));
    const MbdbRecord calls = manifest.FindRecord("WirelessDomain", "call_history.db");
    EXPECT_EQ(calls.path.text, "Library/CallHistory/call_history.db");
    EXPECT_EQ(ReadFileBytes(BackupFolder() + "/" + calls.backupFileName),
              DeviceBytes(kStoredCallHistory));

    // 20 attachment rows, 2 of them without a file, and 3 files no row names.
    const std::vector<std::string> attachments = manifest.FindSmsAttachmentFiles();
    EXPECT_EQ(attachments.size(), 21u);
    for (const std::string& file : attachments) {
        const std::string name = file.substr(file.rfind('/') + 1);
        bool found = false;
        for (const MbdbRecord& record : manifest.ListDomainRecords("MediaDomain")) {
            if (record.backupFileName != name) continue;
            found = true;
            EXPECT_TRUE(record.path.text.starts_with("Library/SMS/Attachments/"))
                << record.path.text;
            EXPECT_EQ(ReadFileBytes(file), DeviceBytes("var/mobile/" + record.path.text));
        }
        EXPECT_TRUE(found) << file;
    }
}

TEST_P(BackupToolPrivateDataTest, RemovedApplicationsAreBackedUpAsDomainsButNotAsInstalled) {
    BackedUpDevice();
    ManifestDataManager manifest(udid_, BackupFolder(), BackupFolder() + "/Manifest.mbdb");
    const std::set<std::string> domains = manifest.CollectAppDomains();
    for (const char* id : {"com.apple.podcasts", "com.CoinWise.Ledger", "com.flashcardly.decks",
                           "com.coinwise.ledger"})
        EXPECT_EQ(domains.count(id), 1u) << id;
    EXPECT_FALSE(manifest
                     .FindRecord("AppDomain-com.apple.podcasts",
                                 "Library/Preferences/com.apple.podcasts.plist")
                     .backupFileName.empty());
    EXPECT_EQ(manifest.ListDomainRecords("AppDomain-com.CoinWise.Ledger").size(),
              manifest.ListDomainRecords("AppDomain-com.flashcardly.decks").size());

    // The backup's list of installed applications knows only the installed one.
    PlistValue info;
    ASSERT_TRUE(ReadPlist(BackupFolder() + "/Info.plist", info));
    const PlistValue* installed = info.Find("Installed Applications");
    ASSERT_NE(installed, nullptr);
    ASSERT_NE(installed->AsArray(), nullptr);
    std::set<std::string> ids;
    for (const PlistValue& id : *installed->AsArray())
        ids.insert(id.AsString() != nullptr ? *id.AsString() : "");
    EXPECT_EQ(ids.count("com.coinwise.ledger"), 1u);
    EXPECT_EQ(ids.count("com.CoinWise.Ledger"), 0u);
    EXPECT_EQ(ids.count("com.apple.podcasts"), 0u);
}

TEST_P(BackupToolPrivateDataTest, ARestoreWritesTheStoresBackByteForByte) {
    BackedUpDevice();
    const std::string sms = DeviceBytes(kStoredSms);
    const std::string contacts = DeviceBytes(kStoredAddressBook);
    const std::string calls = DeviceBytes(kStoredCallHistory);
    const std::string attachments = TreeChecksum(DevicePath("var/mobile/Library/SMS/Attachments"));
    // One removed application's data goes meanwhile: the restore must not bring it back.
    ASSERT_TRUE(platform::DeleteTree(image_ + "/removed-apps/com.apple.podcasts/Documents"));
    const std::string removedApps = TreeChecksum(image_ + "/removed-apps");
    const size_t containers = static_cast<size_t>(std::distance(
        fs::directory_iterator(DevicePath("var/mobile/Applications")), fs::directory_iterator()));

    WriteDeviceFile(kStoredSms, "SQLite format 3 edited");
    WriteDeviceFile(kStoredAddressBook, "");
    ASSERT_TRUE(platform::RemoveFile(DevicePath(kStoredCallHistory)));
    ASSERT_TRUE(platform::DeleteTree(DevicePath("var/mobile/Library/SMS/Attachments")));

    const ToolRun run = RunTool(RestoreRequest(udid_, udid_, false));
    ASSERT_TRUE(run.Succeeded()) << run.lastText;
    EXPECT_EQ(DeviceBytes(kStoredSms), sms);
    EXPECT_EQ(DeviceBytes(kStoredAddressBook), contacts);
    EXPECT_EQ(DeviceBytes(kStoredCallHistory), calls);
    EXPECT_EQ(TreeChecksum(DevicePath("var/mobile/Library/SMS/Attachments")), attachments);
    // The removed applications stay removed: no container appears, their data stays as it is.
    EXPECT_EQ(TreeChecksum(image_ + "/removed-apps"), removedApps);
    EXPECT_EQ(static_cast<size_t>(
                  std::distance(fs::directory_iterator(DevicePath("var/mobile/Applications")),
                                fs::directory_iterator())),
              containers);
}

// A removed application's folder that is a link (or a name no bundle has) would put the host's
// files into the backup: it is left out, the real ones are kept.
TEST_F(BackupToolTest, RemovedApplicationFoldersThatAreLinksOrOddNamesAreNotBackedUp) {
    MakeDevice({}, false);
    const std::string host = folder_.Write("host/secret.txt", "host file");
    fs::create_directory_symlink(fs::path(host).parent_path(),
                                 image_ + "/removed-apps/com.example.linked");
    fs::create_directories(image_ + "/removed-apps/bad name/Documents");
    folder_.Write("image/removed-apps/bad name/Documents/x", "x");
    const ToolRun run = RunTool(BackupRequest(udid_));
    ASSERT_TRUE(run.Succeeded()) << run.lastText;

    ManifestDataManager manifest(udid_, BackupFolder(), BackupFolder() + "/Manifest.mbdb");
    const std::set<std::string> domains = manifest.CollectAppDomains();
    EXPECT_EQ(domains.count("com.example.linked"), 0u);
    EXPECT_EQ(domains.count("bad name"), 0u);
    EXPECT_EQ(domains.count("com.apple.podcasts"), 1u);
    for (const MbdbRecord& record : manifest.Records())
        EXPECT_EQ(record.path.text.find("secret"), std::string::npos) << record.path.text;
}

INSTANTIATE_TEST_SUITE_P(Versions, BackupToolPrivateDataTest, bw::testing::EachIosVersion(),
                         bw::testing::IosVersionName);

}  // namespace
}  // namespace bw::testing

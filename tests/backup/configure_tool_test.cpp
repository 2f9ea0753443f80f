// Deep-clean set-up and configuration entries over a backup folder the test writes.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <ctime>

#include "backup/configure_test_support.h"

namespace bw {
namespace {

using testing::BackupFile;
using testing::DeepCleanFixture;
using testing::kTestUdid;
using testing::ReadFileBytes;

class ConfigureToolTest : public DeepCleanFixture {};

TEST(ConfigureTextTest, DescriptionsSafariDomainsAndPlainFileNames) {
    const std::pair<int, const char*> descriptions[] = {
        {1, "Modify  Message and Attachments File"},
        {4, "Modify  Safari Cookie File"},
        {8, "Modify  Contact  File"},
        {10, "Modify  WebEmail History  File"},
        {9, "Modify  File"},
        {2, "Modify  File"},
    };
    for (const auto& [kind, text] : descriptions)
        EXPECT_EQ(ConfigureDescription(kind), text) << kind;

    // Only the seventh major version kept Safari's files in its own application domain.
    const std::pair<const char*, const char*> domains[] = {
        {"7.1.2", "AppDomain-com.apple.mobilesafari"},
        {"7", "AppDomain-com.apple.mobilesafari"},
        {"6.1.3", "HomeDomain"},
        {"8.0", "HomeDomain"},
        {"17.0", "HomeDomain"},
        {"", "HomeDomain"},
    };
    for (const auto& [version, domain] : domains)
        EXPECT_EQ(SafariDomainFor(version), domain) << version;

    const std::pair<std::string_view, bool> names[] = {
        {"0123456789abcdef0123456789abcdef01234567", true},
        {"com.example.mail.pushstore", true},
        {"", false},
        {"..", false},
        {".", false},
        {"../x", false},
        {"/etc/passwd", false},
        {"a\\b", false},
        {std::string_view("a\0b", 3), false},
    };
    for (const auto& [name, plain] : names)
        EXPECT_EQ(IsPlainFileName(name), plain) << ::testing::PrintToString(std::string(name));
}

TEST_F(ConfigureToolTest, SetUpCopiesManifestFilesAndStartsConfiguration) {
    WriteBackup(TypicalFiles());
    CConfigureTool tool;
    ASSERT_TRUE(SetUpTool(tool));
    EXPECT_EQ(tool.SourceFolder(), Source());
    EXPECT_EQ(tool.BackupCopyFolder(), BackupCopy());
    EXPECT_EQ(tool.RestoreCopyFolder(), RestoreCopy());
    for (const char* name : {"Manifest.mbdb", "Info.plist", "Manifest.plist"}) {
        const std::string original = ReadFileBytes(platform::JoinPath(Source(), name));
        EXPECT_EQ(ReadFileBytes(platform::JoinPath(BackupCopy(), name)), original) << name;
        EXPECT_EQ(ReadFileBytes(platform::JoinPath(RestoreCopy(), name)), original) << name;
    }
    ASSERT_NE(tool.Manifest(), nullptr);
    EXPECT_EQ(tool.Manifest()->ManifestPath(), RestoreCopy() + "/Manifest.mbdb");
    EXPECT_EQ(tool.Manifest()->BackupFolder(), Source());

    const CDicValueObj& config = tool.Configuration();
    EXPECT_EQ(config.GetString("Larkspur Version"), "1.0.0.0");
    EXPECT_EQ(config.GetString("iTunes Backup"), "7F3A2B1C9D8E4F60");
    const auto date = config.GetDate("Backup Date");
    ASSERT_TRUE(date.has_value());
    EXPECT_EQ(date->year, 126);
    EXPECT_EQ(date->hour, 3);
    EXPECT_EQ(date->second, 5);
    EXPECT_TRUE(EntryKeys(tool).empty());
}

TEST_F(ConfigureToolTest, SetUpWithoutManifestServesNothing) {
    WriteBackup(TypicalFiles(), "6.1.3", /*withManifest=*/false);
    CConfigureTool tool;
    EXPECT_FALSE(SetUpTool(tool));
    EXPECT_EQ(tool.Manifest(), nullptr);
    EXPECT_EQ(tool.CopySmsDatabase(), "");
    EXPECT_TRUE(tool.CopyPushStoreFiles().empty());
    EXPECT_TRUE(EntryKeys(tool).empty());
    // The top level alone is still a configuration worth recording.
    EXPECT_TRUE(tool.WriteBackupInfo());
}

TEST_F(ConfigureToolTest, EarlierWorkFoldersAreArchivedUnderTheBackupDate) {
    WriteBackup(TypicalFiles());
    ::setenv("TZ", "UTC", 1);
    ::tzset();
    ASSERT_TRUE(platform::CreateFolders(BackupCopy()));
    ASSERT_TRUE(platform::CreateFolders(RestoreCopy()));
    temp_.Write("work/DeviceBackup/Backup/" + std::string(kTestUdid) + "/old", "earlier");
    CConfigureTool tool;
    ASSERT_TRUE(SetUpTool(tool));
    // 03:04:05 UTC plus the device's offset of one hour, shown in the host's zone (UTC).
    const std::string archive =
        Work() + "/DeviceBackup/Backup/" + std::string(kTestUdid) + "-20260102-040405";
    EXPECT_EQ(ReadFileBytes(archive + "/old"), "earlier");
    EXPECT_TRUE(platform::IsFolder(Work() + "/DeviceBackup/Restore/" + std::string(kTestUdid) +
                                   "-20260102-040405"));
    EXPECT_FALSE(platform::PathExists(BackupCopy() + "/old"));

    // Set up again within the same second: the first archive is kept, the second gets a counter.
    CConfigureTool again;
    ASSERT_TRUE(SetUpTool(again));
    EXPECT_EQ(ReadFileBytes(archive + "/old"), "earlier");
    EXPECT_TRUE(platform::IsFile(archive + "-2/Manifest.mbdb"));
}

TEST_F(ConfigureToolTest, DeleteCurrentRemovesEarlierWorkFolders) {
    WriteBackup(TypicalFiles());
    temp_.Write("work/DeviceBackup/Backup/" + std::string(kTestUdid) + "/old", "earlier");
    CConfigureTool tool;
    ASSERT_TRUE(SetUpTool(tool, "6.1.3", /*deleteCurrent=*/true));
    std::vector<platform::FolderEntry> entries;
    ASSERT_TRUE(platform::ListFolder(Work() + "/DeviceBackup/Backup", entries));
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].name, kTestUdid);
    EXPECT_FALSE(platform::PathExists(BackupCopy() + "/old"));
}

TEST_F(ConfigureToolTest, IdentifierThatIsNotAPlainNameMakesNoFolders) {
    WriteBackup(TypicalFiles());
    CConfigureTool tool;
    for (const char* udid : {"../escape", "/tmp/abs", "", ".."}) {
        EXPECT_FALSE(tool.SetUp(ConfigureDeviceFacts{udid, "6.1.3", 0}, Work(), Root(), false));
        EXPECT_EQ(tool.CopySmsDatabase(), "");
    }
    EXPECT_FALSE(platform::PathExists(Work()));
    EXPECT_FALSE(platform::PathExists(temp_ / "escape"));
}

TEST_F(ConfigureToolTest, EveryScannerServesItsFileWithCopiesAndOneModifyEntry) {
    std::vector<BackupFile> files = TypicalFiles();
    files.push_back({"HomeDomain", "Library/WebKit/Databases/Databases.db", "web databases"});
    WriteBackup(files);
    CConfigureTool tool;
    ASSERT_TRUE(SetUpTool(tool));
    const struct {
        std::string copy;
        std::string domain, path, content, fullName, description;
    } cases[] = {
        {tool.CopySafariCookies(), "HomeDomain", "Library/Cookies/Cookies.binarycookies", "cookies",
         "Cookies.binarycookies", "Modify  Safari Cookie File"},
        {tool.CopySmsDatabase(), "HomeDomain", "Library/SMS/sms.db", "sms database v1",
         "SMS/sms.db", "Modify  Message and Attachments File"},
        {tool.CopyAddressBook(), "HomeDomain", "Library/AddressBook/AddressBook.sqlitedb",
         "contacts", "AddressBook.sqlitedb", "Modify  Contact  File"},
        {tool.CopyCallHistory(), "WirelessDomain", "Library/CallHistory/call_history.db", "calls",
         "call_history.db", "Modify  File"},
        {tool.CopyLocalStorageDatabase(
             "Library/Caches/Safari/LocalStorage/https_a.com_0.localstorage"),
         "HomeDomain", "Library/Caches/Safari/LocalStorage/https_a.com_0.localstorage", "storage",
         "Library/Caches/Safari/LocalStorage/https_a.com_0.localstorage",
         "Modify  Web App Cache File"},
        // Two scanners over one database share the first one's entry.
        {tool.CopyWebAppDatabases(), "HomeDomain", "Library/WebKit/Databases/Databases.db",
         "web databases", "WebKit/Databases/Databases.db", "Modify  Web App Cache File"},
        {tool.CopyWebMailDatabases(), "HomeDomain", "Library/WebKit/Databases/Databases.db",
         "web databases", "WebKit/Databases/Databases.db", "Modify  Web App Cache File"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        const std::string name = FileName(c.domain, c.path);
        EXPECT_EQ(c.copy, RestoreCopy() + "/" + name);
        EXPECT_EQ(ReadFileBytes(c.copy), c.content);
        EXPECT_EQ(ReadFileBytes(BackupCopy() + "/" + name), c.content);
        const CDicValueObj* entry = tool.Configuration().Find(name);
        ASSERT_NE(entry, nullptr);
        std::vector<std::string> keys;
        for (const auto& [key, value] : *entry->Dictionary())
            keys.push_back(key);
        EXPECT_EQ(keys, (std::vector<std::string>{"ExecuteType", "Description", "Note", "Domain",
                                                  "FullName", "Result"}));
        EXPECT_EQ(entry->GetInteger("ExecuteType"), 0);
        EXPECT_EQ(entry->GetString("Description"), c.description);
        EXPECT_EQ(entry->GetString("Note"), "");
        EXPECT_EQ(entry->GetString("Domain"), c.domain);
        EXPECT_EQ(entry->GetString("FullName"), c.fullName);
        EXPECT_EQ(entry->GetBool("Result"), false);
    }
    EXPECT_EQ(EntryKeys(tool).size(), 6u);
    // Files the backup lacks, and a folder record, which has no backup file, serve nothing.
    EXPECT_EQ(tool.CopySpringboardPlist(), "");
    EXPECT_EQ(tool.CopySuspendState(), "");
    EXPECT_EQ(tool.CopyWebAppCacheDatabase(), "");
    EXPECT_EQ(tool.CopyWorkingFile("HomeDomain", "Library", 1), "");
    EXPECT_EQ(EntryKeys(tool).size(), 6u);
}

TEST_F(ConfigureToolTest, SafariFilesComeFromTheDomainOfTheVersion) {
    WriteBackup(TypicalFiles(), "7.1.2");
    CConfigureTool seven;
    ASSERT_TRUE(SetUpTool(seven, "7.1.2"));
    const std::string copy = seven.CopySafariHistory();
    EXPECT_EQ(ReadFileBytes(copy), "app history");
    const CDicValueObj* entry = seven.Configuration().Find(
        FileName("AppDomain-com.apple.mobilesafari", "Library/Safari/History.plist"));
    ASSERT_NE(entry, nullptr);
    EXPECT_EQ(entry->GetString("Domain"), "AppDomain-com.apple.mobilesafari");
    EXPECT_EQ(entry->GetString("Description"), "Modify  Safari History File");

    for (const char* version : {"6.1.3", "8.0"}) {
        CConfigureTool other;
        ASSERT_TRUE(SetUpTool(other, version, /*deleteCurrent=*/true));
        EXPECT_EQ(ReadFileBytes(other.CopySafariHistory()), "home history") << version;
    }
}

TEST_F(ConfigureToolTest, SameFileTwiceIsOneEntryAndKeepsTheEdits) {
    WriteBackup(TypicalFiles());
    CConfigureTool tool;
    ASSERT_TRUE(SetUpTool(tool));
    const std::string first = tool.CopySmsDatabase();
    ASSERT_FALSE(first.empty());
    ASSERT_TRUE(platform::WriteFileAtomic(first, "edited by the scanner"));
    const std::string second = tool.CopySmsDatabase();
    EXPECT_EQ(second, first);
    EXPECT_EQ(ReadFileBytes(second), "edited by the scanner");
    EXPECT_EQ(EntryKeys(tool).size(), 1u);
    // The untouched copy stays untouched.
    EXPECT_EQ(ReadFileBytes(BackupCopy() + "/" + FileName("HomeDomain", "Library/SMS/sms.db")),
              "sms database v1");
}

TEST_F(ConfigureToolTest, PushStoresAreNamedAfterTheDeviceFileAndAddNoModifyEntry) {
    WriteBackup(TypicalFiles());
    CConfigureTool tool;
    ASSERT_TRUE(SetUpTool(tool));
    std::vector<std::string> copies = tool.CopyPushStoreFiles();
    std::sort(copies.begin(), copies.end());
    ASSERT_EQ(copies.size(), 2u);
    EXPECT_EQ(copies[0], RestoreCopy() + "/com.example.chat.pushstore");
    EXPECT_EQ(copies[1], RestoreCopy() + "/com.example.mail.pushstore");
    EXPECT_EQ(ReadFileBytes(copies[1]), "push a");
    EXPECT_TRUE(EntryKeys(tool).empty());

    // The delete entry is keyed by the backup file name, which outlasts the short device name.
    ASSERT_TRUE(tool.AddDeleteEntry(copies[1], "HomeDomain", ".pushstore", "Notifications"));
    const std::string name =
        FileName("HomeDomain", "Library/SpringBoard/PushStore/com.example.mail.pushstore");
    ASSERT_EQ(EntryKeys(tool), std::vector<std::string>{name});
    const CDicValueObj* entry = tool.Configuration().Find(name);
    EXPECT_EQ(entry->GetInteger("ExecuteType"), 1);
    EXPECT_EQ(entry->GetString("Parent"), "Notifications");
    EXPECT_EQ(entry->GetString("FullName"), ".pushstore");
    // Unknown working copies and hostile names add nothing.
    EXPECT_FALSE(tool.AddDeleteEntry("nothing-served-here", "HomeDomain", ".pushstore"));
    EXPECT_FALSE(tool.AddDeleteEntry("../../../../../../../../../../../../etc", "HomeDomain", "x"));
    EXPECT_EQ(EntryKeys(tool).size(), 1u);
}

TEST_F(ConfigureToolTest, BackupInfoIsTheConfigurationAsABinaryList) {
    WriteBackup(TypicalFiles());
    CConfigureTool tool;
    ASSERT_TRUE(SetUpTool(tool));
    tool.CopySmsDatabase();
    ASSERT_TRUE(tool.WriteBackupInfo());
    const std::string bytes = ReadFileBytes(BackupCopy() + "/BackupInfo.plist");
    EXPECT_EQ(bytes.substr(0, 8), "bplist00");
    CDicValueObj read;
    readPlistFromString(bytes, read, 1);
    EXPECT_TRUE(PlistEquals(read, tool.Configuration()));
}

}  // namespace
}  // namespace bw

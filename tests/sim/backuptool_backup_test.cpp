#include <sys/stat.h>

#include <gtest/gtest.h>

#include <set>

#include "sim/backuptool_support.h"

namespace bw::testing {
namespace {

// Where a domain's relative paths start on the device.
std::string DeviceBase(const std::string& domain, const std::map<std::string, std::string>& apps) {
    if (domain == "WirelessDomain") return "var/wireless";
    if (domain.starts_with("AppDomain-")) {
        const auto app = apps.find(domain.substr(10));
        if (app != apps.end()) return app->second;
    }
    return "var/mobile";
}

class BackupToolBackupTest : public BackupToolTest {};

TEST_F(BackupToolBackupTest, EveryRecordHasItsFileWithTheDevicesSizeHashAndMetadata) {
    MakeDevice();
    const ToolRun run = RunTool(BackupRequest(udid_));
    ASSERT_TRUE(run.connected);
    EXPECT_TRUE(run.Succeeded()) << run.lastText;
    EXPECT_EQ(run.exitCode, 0);

    const std::vector<MbdbRecord> records = Records(BackupFolder());
    ASSERT_FALSE(records.empty());
    const std::map<std::string, std::string> apps = AppContainers();
    ASSERT_EQ(apps.count("com.example.test"), 1u);
    std::set<std::string> named;
    size_t files = 0;
    for (const MbdbRecord& record : records) {
        SCOPED_TRACE(record.domain.text + " " + record.path.text);
        EXPECT_EQ(record.backupFileName,
                  ExpectedBackupFileName(record.domain.text, record.path.text));
        named.insert(record.backupFileName);
        const std::string device =
            DevicePath(DeviceBase(record.domain.text, apps) + "/" + record.path.text);
        struct stat info {};
        ASSERT_EQ(::lstat(device.c_str(), &info), 0);
        EXPECT_EQ(record.mode, info.st_mode & 0xFFFF);
        EXPECT_EQ(record.inode, static_cast<uint64_t>(info.st_ino));
        EXPECT_EQ(record.userId, info.st_uid);
        EXPECT_EQ(record.groupId, info.st_gid);
        EXPECT_EQ(record.modifiedTime, static_cast<uint32_t>(info.st_mtime));
        EXPECT_FALSE(record.encryptionKey.HasValue());
        const std::string stored = BackupFolder() + "/" + record.backupFileName;
        if (S_ISREG(info.st_mode)) {
            ++files;
            const std::string content = ReadFileBytes(device);
            ASSERT_TRUE(platform::IsFile(stored));
            EXPECT_EQ(ReadFileBytes(stored), content);
            EXPECT_EQ(record.size, content.size());
            EXPECT_EQ(platform::FileSize(stored), record.size);
            EXPECT_EQ(record.dataHash.text, Sha1Hex(content, true));
            EXPECT_EQ(record.dataHash.storedLength, 20);
            EXPECT_EQ(record.protectionClass, 3);  // iOS 7
        } else {
            EXPECT_EQ(record.size, 0u);
            EXPECT_FALSE(record.dataHash.HasValue());
            EXPECT_FALSE(platform::PathExists(stored));
        }
        if (S_ISLNK(info.st_mode)) {
            std::string target(256, '\0');
            target.resize(static_cast<size_t>(::readlink(device.c_str(), target.data(), 256)));
            EXPECT_EQ(record.linkTarget.text, target);
        } else {
            EXPECT_FALSE(record.linkTarget.HasValue());
        }
    }
    EXPECT_GE(files, 9u);

    // Nothing else lies in the folder than the records' files and the four property lists.
    std::vector<platform::FolderEntry> entries;
    ASSERT_TRUE(platform::ListFolder(BackupFolder(), entries));
    for (const platform::FolderEntry& entry : entries) {
        const bool plist = entry.name == "Manifest.mbdb" || entry.name == "Manifest.plist" ||
                           entry.name == "Info.plist" || entry.name == "Status.plist";
        EXPECT_TRUE(plist || named.count(entry.name) == 1) << entry.name;
    }
    EXPECT_EQ(entries.size(), files + 4);
    // The backup is complete: nothing is left beside it.
    EXPECT_FALSE(platform::PathExists(BackupFolder() + ".incomplete"));
}

TEST_F(BackupToolBackupTest, FilesGoToTheirDomains) {
    MakeDevice();
    ASSERT_TRUE(RunTool(BackupRequest(udid_)).Succeeded());
    const std::vector<MbdbRecord> records = Records(BackupFolder());

    const MbdbRecord* sms = FindRecord(records, "HomeDomain", "Library/SMS/sms.db");
    ASSERT_NE(sms, nullptr);
    // Names and hashes worked out once, outside both programs.
    EXPECT_EQ(sms->backupFileName, "3d0d7e5fb2ce288813306e4d4636395e047a3d28");
    EXPECT_TRUE(platform::IsFile(BackupFolder() + "/3d0d7e5fb2ce288813306e4d4636395e047a3d28"));
    const MbdbRecord* notes =
        FindRecord(records, "AppDomain-com.example.test", "Documents/notes.txt");
    ASSERT_NE(notes, nullptr);
    EXPECT_EQ(notes->backupFileName, "9903335f5c5cb99ead4fce27931d085ed32996ef");
    // SHA-1 of "my notes".
    EXPECT_EQ(notes->dataHash.text, "47FE48A4527BF0C303126BFE708298A241645016");
    EXPECT_NE(FindRecord(records, "HomeDomain", "Library/Preferences/empty.plist"), nullptr);
    EXPECT_NE(FindRecord(records, "MediaDomain", "Library/SMS/Attachments/ab/03/IMG_0001.jpg"),
              nullptr);
    EXPECT_NE(FindRecord(records, "MediaDomain", "Library/SMS/Attachments"), nullptr);
    EXPECT_EQ(FindRecord(records, "MediaDomain", "Library/SMS"), nullptr);
    EXPECT_NE(FindRecord(records, "CameraRollDomain", "Media/DCIM/100APPLE/IMG_0001.JPG"), nullptr);
    const MbdbRecord* latest = FindRecord(records, "CameraRollDomain", "Media/DCIM/Latest");
    ASSERT_NE(latest, nullptr);
    EXPECT_TRUE(S_ISLNK(latest->mode));
    EXPECT_EQ(latest->linkTarget.text, "100APPLE");
    EXPECT_NE(FindRecord(records, "MediaDomain", "Media/Books"), nullptr);
    EXPECT_NE(FindRecord(records, "WirelessDomain", "Library/CallHistory/call_history.db"),
              nullptr);
    EXPECT_NE(FindRecord(records, "AppDomain-com.example.test", "Documents/notes.txt"), nullptr);
    // iOS 7 keeps Safari's files in the Safari application's domain.
    EXPECT_NE(
        FindRecord(records, "AppDomain-com.apple.mobilesafari", "Library/Safari/History.plist"),
        nullptr);

    for (const MbdbRecord& record : records) {
        const std::string& path = record.path.text;
        SCOPED_TRACE(record.domain.text + " " + path);
        EXPECT_FALSE(path.empty());
        if (record.domain.text == "HomeDomain") {
            EXPECT_FALSE(path.starts_with("Media"));
            EXPECT_FALSE(path.starts_with("Applications"));
            EXPECT_FALSE(path.starts_with("Library/SMS/Attachments"));
            EXPECT_FALSE(path.starts_with("Library/Safari"));
        }
        if (record.domain.text == "MediaDomain") {
            EXPECT_FALSE(path.starts_with("Media/DCIM"));
            EXPECT_FALSE(path.starts_with("Media/PhotoData"));
        }
        // Applications are installed, not backed up.
        EXPECT_EQ(path.find("Test.app"), std::string::npos);
    }
    // The manifest lists folders before what they hold.
    std::map<std::string, size_t> position;
    for (size_t i = 0; i < records.size(); ++i)
        position[records[i].domain.text + "/" + records[i].path.text] = i;
    for (size_t i = 0; i < records.size(); ++i) {
        const std::string& path = records[i].path.text;
        const size_t slash = path.rfind('/');
        if (slash == std::string::npos) continue;
        const auto parent = position.find(records[i].domain.text + "/" + path.substr(0, slash));
        if (parent != position.end()) {
            EXPECT_LT(parent->second, i) << path;
        }
    }
}

TEST_F(BackupToolBackupTest, SafariStaysInTheHomeDomainBeforeIos7) {
    sim::ImageOptions options;
    options.iosVersion = "6.1.3";
    MakeDevice(options);
    ASSERT_TRUE(RunTool(BackupRequest(udid_)).Succeeded());
    const std::vector<MbdbRecord> records = Records(BackupFolder());
    const MbdbRecord* history = FindRecord(records, "HomeDomain", "Library/Safari/History.plist");
    ASSERT_NE(history, nullptr);
    EXPECT_EQ(history->protectionClass, 4);
    for (const MbdbRecord& record : records)
        EXPECT_NE(record.domain.text, "AppDomain-com.apple.mobilesafari");
}

TEST_F(BackupToolBackupTest, PropertyListsDescribeTheDeviceAndTheBackup) {
    MakeDevice();
    ASSERT_TRUE(RunTool(BackupRequest(udid_)).Succeeded());

    PlistValue manifest;
    ASSERT_TRUE(ReadPlist(BackupFolder() + "/Manifest.plist", manifest));
    EXPECT_EQ(manifest.Find("IsEncrypted")->AsBoolean(), false);
    const PlistValue* lockdown = manifest.Find("Lockdown");
    ASSERT_NE(lockdown, nullptr);
    EXPECT_EQ(*lockdown->Find("UniqueDeviceID")->AsString(), udid_);
    EXPECT_EQ(*lockdown->Find("ProductVersion")->AsString(), "7.1.2");
    const PlistValue* apps = manifest.Find("Applications");
    ASSERT_NE(apps, nullptr);
    const PlistValue* test = apps->Find("com.example.test");
    ASSERT_NE(test, nullptr);
    EXPECT_EQ(*test->Find("CFBundleVersion")->AsString(), "2.1");

    std::string infoText = ReadFileBytes(BackupFolder() + "/Info.plist");
    EXPECT_TRUE(infoText.starts_with("<?xml")) << "Info.plist is XML";
    PlistValue info;
    ASSERT_TRUE(ReadPlist(BackupFolder() + "/Info.plist", info));
    std::string upper = udid_;
    for (char& c : upper)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    EXPECT_EQ(*info.Find("Unique Identifier")->AsString(), upper);
    EXPECT_EQ(*info.Find("Target Identifier")->AsString(), udid_);
    EXPECT_EQ(*info.Find("Target Type")->AsString(), "Device");
    EXPECT_EQ(*info.Find("Product Version")->AsString(), "7.1.2");
    EXPECT_NE(info.Find("Last Backup Date")->AsDate(), std::nullopt);
    EXPECT_NE(info.Find("ICCID"), nullptr);
    // Only the library marks a backup as its own.
    EXPECT_EQ(info.Find("Larkspur Version"), nullptr);
    const PlistValue* installed = info.Find("Installed Applications");
    ASSERT_NE(installed, nullptr);
    // Every application with a container, ours among them.
    const std::map<std::string, std::string> containers = AppContainers();
    ASSERT_EQ(installed->AsArray()->size(), containers.size());
    for (const PlistValue& id : *installed->AsArray())
        EXPECT_EQ(containers.count(*id.AsString()), 1u) << *id.AsString();
    EXPECT_EQ(apps->AsDictionary()->size(), containers.size());

    PlistValue status;
    ASSERT_TRUE(ReadPlist(BackupFolder() + "/Status.plist", status));
    EXPECT_EQ(*status.Find("SnapshotState")->AsString(), "finished");
    EXPECT_EQ(status.Find("IsFullBackup")->AsBoolean(), true);
}

TEST_F(BackupToolBackupTest, AnEncryptingDeviceWithoutRadioIsDescribedSo) {
    sim::ImageOptions options;
    options.backupEncrypted = true;
    options.hasSim = false;
    MakeDevice(options);
    ASSERT_TRUE(RunTool(BackupRequest(udid_)).Succeeded());
    PlistValue manifest;
    ASSERT_TRUE(ReadPlist(BackupFolder() + "/Manifest.plist", manifest));
    EXPECT_EQ(manifest.Find("IsEncrypted")->AsBoolean(), true);
    PlistValue info;
    ASSERT_TRUE(ReadPlist(BackupFolder() + "/Info.plist", info));
    EXPECT_EQ(info.Find("ICCID"), nullptr);
    EXPECT_EQ(info.Find("Phone Number"), nullptr);
}

TEST_F(BackupToolBackupTest, ProgressRisesFromZeroToAHundredInWholeNumbers) {
    MakeDevice();
    const ToolRun run = RunTool(BackupRequest(udid_));
    ASSERT_TRUE(run.Succeeded());
    ASSERT_GE(run.percents.size(), 3u);
    EXPECT_EQ(run.percents.front(), 0);
    EXPECT_EQ(run.percents.back(), 100);
    for (size_t i = 1; i < run.percents.size(); ++i)
        EXPECT_LT(run.percents[i - 1], run.percents[i]);
    for (const PlistValue& message : run.progress)
        EXPECT_EQ(message.Find("AMSBackupPercentageKey")->Kind(), PlistKind::kInteger);
}

TEST_F(BackupToolBackupTest, ANewBackupReplacesTheOldFolderAndAFailedOneKeepsIt) {
    MakeDevice();
    ASSERT_TRUE(RunTool(BackupRequest(udid_)).Succeeded());
    const std::string stale = BackupFolder() + "/stale-file";
    ASSERT_TRUE(platform::WriteFileAtomic(stale, "old"));
    ASSERT_TRUE(RunTool(BackupRequest(udid_)).Succeeded());
    EXPECT_FALSE(platform::PathExists(stale));
    EXPECT_FALSE(Records(BackupFolder()).empty());

    // A backup that fails half way leaves the previous one as it was.
    ASSERT_TRUE(platform::WriteFileAtomic(stale, "old"));
    const std::string manifestBefore = ReadFileBytes(BackupFolder() + "/Manifest.mbdb");
    WriteDeviceFile("var/mobile/Library/new.txt", "new");
    platform::SetEnv("BRACKWATER_BACKUPTOOL_FAIL", "error:150@50");
    const ToolRun failed = RunTool(BackupRequest(udid_));
    EXPECT_EQ(failed.ErrorCode(), 150);
    ASSERT_FALSE(failed.percents.empty());
    EXPECT_LT(failed.percents.back(), 50);
    EXPECT_NE(failed.exitCode, 0);
    EXPECT_EQ(ReadFileBytes(stale), "old");
    EXPECT_EQ(ReadFileBytes(BackupFolder() + "/Manifest.mbdb"), manifestBefore);
    EXPECT_FALSE(platform::PathExists(BackupFolder() + ".incomplete"));
}

TEST_F(BackupToolBackupTest, AnUnknownDeviceOrABadRequestIsAnErrorMessage) {
    MakeDevice();
    const ToolRun unknown = RunTool(BackupRequest(std::string(40, 'f')));
    EXPECT_EQ(unknown.ErrorCode(), 102);
    EXPECT_FALSE(platform::PathExists(BackupRoot() + "/" + std::string(40, 'f')));

    EXPECT_EQ(RunTool(BackupRequest("")).ErrorCode(), 101);
    EXPECT_EQ(RunTool(BackupRequest("..")).ErrorCode(), 101);
    EXPECT_EQ(RunTool(BackupRequest("a/../../x")).ErrorCode(), 101);
    // Identifiers go into the request unescaped; one that breaks the XML is refused, not guessed.
    EXPECT_EQ(RunTool(BackupRequest(udid_ + "&")).ErrorCode(), 101);
    EXPECT_EQ(RunTool("no property list").ErrorCode(), 101);
    EXPECT_EQ(RunTool(RequestOpening() + "<key>AMSRequestKey</key><string>AMSOther</string>"
                                         "</dict></plist>")
                  .ErrorCode(),
              101);

    // Without the image list the tool knows no device at all.
    ::unsetenv("BRACKWATER_SIM_IMAGES");
    EXPECT_EQ(RunTool(BackupRequest(udid_)).ErrorCode(), 102);
    // The device's identifier matches whatever its letter case.
    platform::SetEnv("BRACKWATER_SIM_IMAGES", "/nonexistent:" + image_);
    std::string upper = udid_;
    for (char& c : upper)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    EXPECT_TRUE(RunTool(BackupRequest(upper)).Succeeded());
}

TEST_F(BackupToolBackupTest, InjectedFailuresReachTheLibraryAsItWouldSeeThem) {
    MakeDevice();
    platform::SetEnv("BRACKWATER_BACKUPTOOL_FAIL", "error");
    ToolRun run = RunTool(BackupRequest(udid_));
    EXPECT_EQ(run.ErrorCode(), 199);
    EXPECT_TRUE(run.percents.empty());

    platform::SetEnv("BRACKWATER_BACKUPTOOL_FAIL", "exit@30");
    run = RunTool(BackupRequest(udid_));
    EXPECT_TRUE(run.last.IsEmpty());
    EXPECT_EQ(run.lastText, "");
    ASSERT_FALSE(run.percents.empty());
    EXPECT_LT(run.percents.back(), 30);

    platform::SetEnv("BRACKWATER_BACKUPTOOL_FAIL", "unparsable@10");
    run = RunTool(BackupRequest(udid_));
    EXPECT_FALSE(run.lastParsed);
    EXPECT_FALSE(run.lastText.empty());

    platform::SetEnv("BRACKWATER_BACKUPTOOL_FAIL", "real-percent");
    run = RunTool(BackupRequest(udid_));
    EXPECT_TRUE(run.Succeeded());
    ASSERT_FALSE(run.progress.empty());
    EXPECT_EQ(run.progress.front().Find("AMSBackupPercentageKey")->Kind(), PlistKind::kReal);

    platform::SetEnv("BRACKWATER_BACKUPTOOL_FAIL", "no-final");
    run = RunTool(BackupRequest(udid_));
    EXPECT_EQ(run.percents.back(), 100);
    EXPECT_TRUE(run.last.IsEmpty());
    EXPECT_TRUE(platform::IsFile(BackupFolder() + "/Manifest.mbdb"));

    platform::SetEnv("BRACKWATER_BACKUPTOOL_FAIL", "no-connect");
    run = RunTool(BackupRequest(udid_), 1000);
    EXPECT_FALSE(run.connected);
}

}  // namespace
}  // namespace bw::testing

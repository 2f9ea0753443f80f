// The backup tool stand-in against backups and devices built to make it reach the host: device
// folders that are links to somewhere else, modes no phone file has, and names the host cannot
// create. Each run ends with nothing outside the image changed, and a refused restore with
// nothing inside it changed either.
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <climits>
#include <filesystem>

#include "sim/backuptool_support.h"
#include "support/canary.h"

namespace bw::testing {
namespace {

namespace fs = std::filesystem;

constexpr char kSmsPath[] = "Library/SMS/sms.db";

class BackupToolHostileRestore : public BackupToolTest {
  protected:
    void BackedUpDevice() {
        MakeDevice();
        const ToolRun run = RunTool(BackupRequest(udid_));
        ASSERT_TRUE(run.Succeeded()) << run.lastText << " connected " << run.connected << " exit "
                                     << run.exitCode.value_or(-1);
        manifestPath_ = BackupFolder() + "/Manifest.mbdb";
        read_ = ReadMbdb(ReadFileBytes(manifestPath_));
        ASSERT_TRUE(read_.headerMatches);
    }

    // The record of `path` in `domain`, copied, with its path replaced by `newPath`.
    MbdbRecord Renamed(const char* domain, const char* path, const std::string& newPath) {
        const MbdbRecord* found = FindRecord(read_.records, domain, path);
        EXPECT_NE(found, nullptr) << path;
        MbdbRecord record = found != nullptr ? *found : MbdbRecord{};
        record.path.raw = record.path.text = newPath;
        record.path.storedLength = static_cast<uint16_t>(newPath.size());
        return record;
    }

    static void SetMode(MbdbRecord& record, uint16_t mode) {
        record.fixedBytes[0] = static_cast<uint8_t>(mode >> 8);
        record.fixedBytes[1] = static_cast<uint8_t>(mode & 0xFF);
        record.mode = mode;
    }

    // A file record of HomeDomain at `path` whose backup file holds the SMS database's bytes.
    MbdbRecord CopyOfSmsAt(const std::string& path) {
        const std::string from =
            BackupFolder() + "/" + ExpectedBackupFileName("HomeDomain", kSmsPath);
        const std::string to = BackupFolder() + "/" + ExpectedBackupFileName("HomeDomain", path);
        EXPECT_TRUE(platform::CopyFile(from, to));
        return Renamed("HomeDomain", kSmsPath, path);
    }

    void WriteManifest(const std::vector<MbdbRecord>& records) {
        ASSERT_TRUE(platform::WriteFileAtomic(manifestPath_, WriteMbdb(read_.header, records)));
    }

    // Moves the device folder `devicePath` to `outside` (planting a canary there) and leaves a
    // link to it in its place: a device whose folder leads out of its image.
    void MoveOutAndLink(const std::string& devicePath, const std::string& outside) {
        const std::string inside = DevicePath(devicePath);
        fs::rename(inside, outside);
        PlantCanary(outside);
        ASSERT_EQ(::symlink(outside.c_str(), inside.c_str()), 0);
    }

    std::string manifestPath_;
    MbdbReadResult read_;
};

// A restore to a device whose var or var/mobile is a link to a folder elsewhere on the host would
// remove that folder's unlisted files and write the backup into it. It is refused instead, and
// so is a backup of such a device, which would carry the host's files away.
TEST_F(BackupToolHostileRestore, DomainFoldersThatAreLinksAreNeitherRestoredNorBackedUp) {
    for (const char* linked : {"var", "var/mobile"}) {
        SCOPED_TRACE(linked);
        BackedUpDevice();
        const std::string outside = folder_ / (std::string("outside-") + (linked[3] ? "m" : "v"));
        MoveOutAndLink(linked, outside);
        ASSERT_TRUE(
            platform::WriteFileAtomic(outside + "/host-only.txt", "never listed by the backup"));
        const TreeFingerprint before = FingerprintTree(outside);
        const TreeFingerprint imageBefore = FingerprintTree(image_);

        const ToolRun restore = RunTool(RestoreRequest(udid_, udid_, false));
        EXPECT_EQ(restore.ErrorCode(), 108) << restore.lastText;
        EXPECT_EQ(FingerprintTree(outside), before);
        EXPECT_EQ(FingerprintTree(image_), imageBefore);

        ASSERT_TRUE(platform::DeleteTree(BackupFolder()));
        const ToolRun backup = RunTool(BackupRequest(udid_));
        EXPECT_EQ(backup.ErrorCode(), 104) << backup.lastText;
        EXPECT_FALSE(platform::PathExists(BackupFolder()));
        EXPECT_EQ(FingerprintTree(outside), before);

        ASSERT_TRUE(platform::DeleteTree(image_));
        ASSERT_TRUE(platform::DeleteTree(outside));
    }
}

// Set-ID bits, the sticky bit and write access for others are host permissions a phone's files
// never need; a backup that records them gets plain modes.
TEST_F(BackupToolHostileRestore, RestoredFilesKeepOnlyAPhonesPermissionBits) {
    BackedUpDevice();
    struct Case {
        const char* path;
        uint16_t mode;
        mode_t expected;
    };
    const Case cases[] = {
        {"Library/suid.db", S_IFREG | 04777, 0755},
        {"Library/sgid.db", S_IFREG | 02777, 0755},
        {"Library/shared.db", S_IFREG | 0666, 0644},
        {"Library/sticky", S_IFDIR | 01777, 0755},
    };
    std::vector<MbdbRecord> records = read_.records;
    for (const Case& item : cases) {
        MbdbRecord record = S_ISDIR(item.mode) ? Renamed("HomeDomain", "Library/SMS", item.path)
                                               : CopyOfSmsAt(item.path);
        SetMode(record, item.mode);
        records.push_back(record);
    }
    WriteManifest(records);
    const ToolRun run = RunTool(RestoreRequest(udid_, udid_, false));
    ASSERT_TRUE(run.Succeeded()) << run.lastText;
    for (const Case& item : cases) {
        struct stat info {};
        ASSERT_EQ(::lstat(DevicePath(std::string("var/mobile/") + item.path).c_str(), &info), 0)
            << item.path;
        EXPECT_EQ(info.st_mode & 07777, item.expected) << item.path;
    }
}

// Names a restore would only fail on once it had started removing the device's files: all of
// them are found in the check, the restore is refused, and the device is as it was.
TEST_F(BackupToolHostileRestore, NamesTheHostCannotCreateAreRefusedBeforeAnyChange) {
    BackedUpDevice();
    WriteDeviceFile("var/mobile/Library/Notes/added.txt", "added after the backup");

    std::string deep = "Library";
    while (deep.size() <= PATH_MAX)
        deep += "/" + std::string(200, 'd');
    MbdbRecord link = Renamed("HomeDomain", "Library/SMS", "Library/hop");
    SetMode(link, S_IFLNK | 0755);
    link.linkTarget.raw = link.linkTarget.text = "Preferences";
    link.linkTarget.storedLength = static_cast<uint16_t>(link.linkTarget.raw.size());

    struct Hostile {
        const char* what;
        std::vector<MbdbRecord> extra;
    };
    const Hostile hostiles[] = {
        {"a 300-byte name", {CopyOfSmsAt("Library/" + std::string(300, 'n'))}},
        {"a name too long for its temporary file",
         {CopyOfSmsAt("Library/" + std::string(250, 't'))}},
        {"a path longer than the host takes", {CopyOfSmsAt(deep + "/x.db")}},
        {"a file below a link of the same backup", {link, CopyOfSmsAt("Library/hop/x.db")}},
        {"a file below a file of the same backup", {CopyOfSmsAt("Library/SMS/sms.db/x.db")}},
    };
    const TreeFingerprint before = FingerprintTree(image_);
    for (const Hostile& hostile : hostiles) {
        SCOPED_TRACE(hostile.what);
        std::vector<MbdbRecord> records = read_.records;
        records.insert(records.end(), hostile.extra.begin(), hostile.extra.end());
        WriteManifest(records);
        const ToolRun run = RunTool(RestoreRequest(udid_, udid_, false));
        EXPECT_EQ(run.ErrorCode(), 108) << run.lastText;
        EXPECT_EQ(FingerprintTree(image_), before);
    }

    // The same backup without them restores, and removes what it does not list.
    WriteManifest(read_.records);
    ASSERT_TRUE(RunTool(RestoreRequest(udid_, udid_, false)).Succeeded());
    EXPECT_FALSE(platform::PathExists(DevicePath("var/mobile/Library/Notes/added.txt")));
}

// MediaDomain holds Library/SMS/Attachments but not Library: a restore of that domain alone walks
// through the device's Library and never replaces it, so a link there would stop it halfway. It
// is refused before the media area changes, and nothing behind the link changes either.
TEST_F(BackupToolHostileRestore, ALinkOnTheWayToADomainsPartIsRefusedBeforeAnyChange) {
    BackedUpDevice();
    std::vector<MbdbRecord> media;
    for (const MbdbRecord& record : read_.records) {
        if (record.domain.text == "MediaDomain") media.push_back(record);
    }
    ASSERT_NE(FindRecord(media, "MediaDomain", "Library/SMS/Attachments/ab/03/IMG_0001.jpg"),
              nullptr);
    WriteManifest(media);
    WriteDeviceFile("var/mobile/Media/added.txt", "added after the backup");
    const std::string outside = folder_ / "outside";
    MoveOutAndLink("var/mobile/Library", outside);
    const TreeFingerprint outsideBefore = FingerprintTree(outside);
    const TreeFingerprint imageBefore = FingerprintTree(image_);

    const ToolRun run = RunTool(RestoreRequest(udid_, udid_, false));
    EXPECT_EQ(run.ErrorCode(), 108) << run.lastText;
    EXPECT_EQ(FingerprintTree(image_), imageBefore);
    EXPECT_EQ(FingerprintTree(outside), outsideBefore);
}

}  // namespace
}  // namespace bw::testing

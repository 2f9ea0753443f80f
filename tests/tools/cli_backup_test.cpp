// The command-line host's backup commands, run as a program against a simulator image and the
// backup tool stand-in; backups are checked on the bytes in the backup root, restores on the
// image's files. (The suite's name puts it in the group of tests that start the backup tool one
// at a time.)

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <utime.h>

#include <algorithm>
#include <ctime>
#include <string>
#include <vector>

#include "formats/sha1.h"
#include "image/image_builder.h"
#include "platform/files.h"
#include "support/canary.h"
#include "support/cli_run.h"
#include "support/temp_folder.h"
#include "support/test_images.h"

namespace bw {
namespace {

using testing::CliRun;

class BackupToolCommands : public ::testing::Test {
  protected:
    void SetUp() override {
        image = folder / "phone";
        std::string error;
        ASSERT_TRUE(testing::MakeTestImage(image, options, error)) << error;
    }

    CliRun Run(const std::string& arguments, const std::string& environment = "") {
        // The program ends with the device runtime's threads still running (the runtime stays
        // loaded for the life of a process), and the leak checker of a sanitizer build cannot
        // stop such a process to inspect it; the library's own leak checks run in-process.
        return testing::RunCli(folder,
                               environment + " ASAN_OPTIONS=detect_leaks=0 XDG_CACHE_HOME=" +
                                   folder / "cache" + " XDG_DATA_HOME=" + folder / "data",
                               arguments);
    }
    CliRun Sim(const std::string& arguments, const std::string& environment = "") {
        return Run("--sim=" + image + " " + arguments, environment);
    }

    std::string Media(const std::string& path) const {
        return sim::ImagePath(image, path, sim::ImageRoot::Media);
    }
    // The folder `backup` printed.
    static std::string BackedUpFolder(const CliRun& run) {
        const std::string prefix = "backed up to ";
        EXPECT_EQ(run.out.rfind(prefix, 0), 0u) << run.out;
        std::string folder = run.out.substr(std::min(prefix.size(), run.out.size()));
        while (!folder.empty() && folder.back() == '\n')
            folder.pop_back();
        return folder;
    }

    // The text of "key": in one JSON line of `manifest list --json`, quotes stripped; the texts
    // there (hex digits and numbers) hold no escapes.
    static std::string Field(const std::string& line, const std::string& key) {
        const std::string marker = "\"" + key + "\":";
        const size_t at = line.find(marker);
        if (at == std::string::npos) return {};
        size_t start = at + marker.size();
        if (start < line.size() && line[start] == '"') {
            ++start;
            return line.substr(start, line.find('"', start) - start);
        }
        return line.substr(start, line.find_first_of(",}", start) - start);
    }

    std::string Root() const { return folder / "data/Apple Computer/MobileSync/Backup"; }
    std::string Udid() {
        const CliRun devices = Sim("devices --json");
        EXPECT_EQ(devices.status, 0) << devices.err;
        return Field(devices.out, "udid");
    }
    // The folders `backups --json` lists, in its order.
    std::vector<std::string> KeptFolders() {
        const CliRun listed = Sim("backups --json");
        EXPECT_EQ(listed.status, 0) << listed.err;
        std::vector<std::string> folders;
        for (size_t start = 0; start < listed.out.size();) {
            const size_t end = std::min(listed.out.find('\n', start), listed.out.size());
            folders.push_back(Field(listed.out.substr(start, end - start), "folder"));
            start = end + 1;
        }
        return folders;
    }
    // A backup folder as this library marks its own, with only an Info.plist.
    void PlantKeptBackup(const std::string& name, const std::string& dateElement) {
        folder.Write("data/Apple Computer/MobileSync/Backup/" + name + "/Info.plist",
                     "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
                     "<key>Larkspur Version</key><string>1.0</string>" +
                         dateElement + "</dict></plist>\n");
    }

    testing::TempFolder folder;
    sim::ImageOptions options;
    std::string image;
};

TEST_F(BackupToolCommands, BackupWritesAManifestWhoseFilesMatchAndRestoreUndoesChanges) {
    const CliRun backup = Sim("backup");
    ASSERT_EQ(backup.status, 0) << backup.err;
    const std::string backupFolder = BackedUpFolder(backup);
    EXPECT_EQ(Run("verify '" + backupFolder + "'").status, 0);

    // Every file record names a file of the backup with the record's size and SHA-1.
    const CliRun listed = Run("manifest list '" + backupFolder + "' --json");
    ASSERT_EQ(listed.status, 0) << listed.err;
    size_t files = 0;
    size_t lineStart = 0;
    while (lineStart < listed.out.size()) {
        const size_t lineEnd = std::min(listed.out.find('\n', lineStart), listed.out.size());
        const std::string line = listed.out.substr(lineStart, lineEnd - lineStart);
        lineStart = lineEnd + 1;
        const std::string hash = Field(line, "hash"), file = Field(line, "file");
        if (hash.size() != 40 || file.size() != 40) continue;  // folders and links
        ++files;
        const std::string path = backupFolder + "/" + file;
        EXPECT_TRUE(platform::IsFile(path)) << path;
        const std::string bytes = testing::ReadFileBytes(path);
        EXPECT_EQ(bytes.size(), std::stoull(Field(line, "size"))) << path;
        EXPECT_EQ(HexLower(Sha1::Hash(bytes)), hash) << path;
    }
    EXPECT_GT(files, 20u);

    // Change the phone, then restore: the added file goes, the removed photo comes back.
    const std::string photo = Media("/DCIM/100APPLE/IMG_0002.JPG");
    const std::string photoBytes = testing::ReadFileBytes(photo);
    ASSERT_FALSE(photoBytes.empty());
    ASSERT_TRUE(platform::RemoveFile(photo));
    folder.Write("extra.txt", "extra");
    ASSERT_EQ(Sim("push " + folder / "extra.txt" + " /Downloads/extra.txt").status, 0);
    const CliRun restore = Sim("restore");
    ASSERT_EQ(restore.status, 0) << restore.err;
    EXPECT_EQ(testing::ReadFileBytes(photo), photoBytes);
    EXPECT_FALSE(platform::IsFile(Media("/Downloads/extra.txt")));
}

TEST_F(BackupToolCommands, BackupsListsTheKeptBackupsWithinTheLimit) {
    const CliRun none = Sim("backups --json");
    ASSERT_EQ(none.status, 0) << none.err;
    EXPECT_EQ(none.out, "");
    for (int i = 0; i < 3; ++i) {
        ASSERT_EQ(Sim("backup --keep 2").status, 0);
    }
    const CliRun kept = Sim("backups --json");
    ASSERT_EQ(kept.status, 0) << kept.err;
    EXPECT_EQ(std::count(kept.out.begin(), kept.out.end(), '\n'), 2) << kept.out;
    EXPECT_NE(kept.out.find("\"version\":\""), std::string::npos);
    // --replace deletes the current backup instead of archiving it.
    ASSERT_EQ(Sim("backup --keep 5 --replace").status, 0);
    const CliRun replaced = Sim("backups --json");
    EXPECT_EQ(std::count(replaced.out.begin(), replaced.out.end(), '\n'), 2) << replaced.out;
}

TEST_F(BackupToolCommands, FailuresGiveTheMessageAndErrorCode) {
    const auto count = [](const std::string& text, const std::string& part) {
        size_t found = 0;
        for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
            ++found;
        return found;
    };
    // The tool's own line once, then ours once, saying what the bare code means.
    const CliRun tool = Sim("backup", "BRACKWATER_BACKUPTOOL_FAIL=error:199");
    EXPECT_EQ(tool.status, 1);
    EXPECT_EQ(count(tool.err, "199"), 2u) << tool.err;
    EXPECT_EQ(count(tool.err, "\n"), 2u) << tool.err;
    EXPECT_TRUE(tool.err.ends_with(
        "brackwater: backup failed: the backup tool reported a failure and gave no description "
        "(error code 199)\n"))
        << tool.err;
    // A tool that ends without a result: one line, and it says what happened.
    const CliRun ended = Sim("backup", "BRACKWATER_BACKUPTOOL_FAIL=exit@50");
    EXPECT_EQ(ended.status, 1);
    EXPECT_EQ(ended.err,
              "brackwater: backup failed: the backup tool never connected, or ended before it "
              "gave a result (error code 2)\n");

    const CliRun missing = Sim("restore");
    EXPECT_EQ(missing.status, 1);
    EXPECT_NE(missing.err.find("no complete backup of this device"), std::string::npos)
        << missing.err;
    // A current folder that no run of this tool finished is named, not taken.
    folder.Write("data/Apple Computer/MobileSync/Backup/" + Udid() + "/Manifest.plist", "x");
    const CliRun unfinished = Sim("restore");
    EXPECT_EQ(unfinished.status, 1);
    EXPECT_NE(unfinished.err.find("name it to restore it anyway"), std::string::npos)
        << unfinished.err;

    const CliRun outside = Sim("restore " + folder.path());
    EXPECT_EQ(outside.status, 1);
    EXPECT_NE(outside.err.find("not a folder of the backup root"), std::string::npos);

    const CliRun foreign = Run("verify " + folder.path());
    EXPECT_EQ(foreign.status, 1);

    for (const char* usage : {"backup --keep x", "backup --keep -1", "backup extra", "restore a b",
                              "restore --bogus", "verify", "backups extra"}) {
        SCOPED_TRACE(usage);
        EXPECT_EQ(Sim(usage).status, 2);
    }
}

TEST_F(BackupToolCommands, AnEncryptingPhoneIsRefusedBeforeAnythingMoves) {
    options.backupEncrypted = true;
    std::string error;
    ASSERT_TRUE(testing::MakeTestImage(image, options, error)) << error;
    const CliRun run = Sim("backup");
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find("encrypts"), std::string::npos) << run.err;
    EXPECT_FALSE(platform::IsFolder(folder / "data/Apple Computer/MobileSync/Backup"));
}

TEST_F(BackupToolCommands, AFailedBackupWithKeepOneLeavesTheEarlierBackupToRestore) {
    const CliRun first = Sim("backup --keep 1");
    ASSERT_EQ(first.status, 0) << first.err;
    const testing::TreeFingerprint earlier = testing::FingerprintTree(BackedUpFolder(first));
    const std::string photo = Media("/DCIM/100APPLE/IMG_0002.JPG");
    const std::string photoBytes = testing::ReadFileBytes(photo);
    ASSERT_TRUE(platform::RemoveFile(photo));

    // --replace first, while the earlier backup is still the current one.
    for (const char* arguments : {"backup --keep 1 --replace", "backup --keep 1"}) {
        SCOPED_TRACE(arguments);
        const CliRun failed = Sim(arguments, "BRACKWATER_BACKUPTOOL_FAIL=error:199@50");
        EXPECT_EQ(failed.status, 1);
        // The earlier backup is still there, byte for byte (under an archive name).
        const std::vector<std::string> kept = KeptFolders();
        ASSERT_EQ(kept.size(), 1u);
        EXPECT_EQ(testing::FingerprintTree(kept[0]), earlier);
    }
    const CliRun restore = Sim("restore");
    ASSERT_EQ(restore.status, 0) << restore.err;
    EXPECT_EQ(testing::ReadFileBytes(photo), photoBytes);
}

TEST_F(BackupToolCommands, AFailedBackupWithTheDefaultKeepLeavesTheNewestToRestore) {
    ASSERT_EQ(Sim("backup").status, 0);
    folder.Write("second.txt", "made between the two backups");
    ASSERT_EQ(Sim("push " + folder / "second.txt" + " /Downloads/second.txt").status, 0);
    const CliRun second = Sim("backup");
    ASSERT_EQ(second.status, 0) << second.err;
    ASSERT_TRUE(platform::RemoveFile(Media("/Downloads/second.txt")));

    const CliRun failed = Sim("backup", "BRACKWATER_BACKUPTOOL_FAIL=exit@30");
    EXPECT_EQ(failed.status, 1);
    EXPECT_EQ(KeptFolders().size(), 2u);
    EXPECT_FALSE(platform::IsFolder(BackedUpFolder(second)));  // archived, not complete

    // Restored from the newer archive, the one that holds the second file.
    const CliRun restore = Sim("restore");
    ASSERT_EQ(restore.status, 0) << restore.err;
    EXPECT_EQ(testing::ReadFileBytes(Media("/Downloads/second.txt")),
              "made between the two backups");
    EXPECT_NE(restore.out.find(BackedUpFolder(second) + "-"), std::string::npos) << restore.out;

    // A named archive restores that archive: the older one, from before the second file.
    const std::vector<std::string> kept = KeptFolders();
    ASSERT_EQ(kept.size(), 2u);
    // (Two backups within one second differ only by a suffix: compare whole names.)
    const std::string older = restore.out == "restored " + kept[0] + "\n" ? kept[1] : kept[0];
    ASSERT_EQ(restore.out, "restored " + (older == kept[0] ? kept[1] : kept[0]) + "\n");
    const CliRun restoreOlder = Sim("restore '" + older + "'");
    ASSERT_EQ(restoreOlder.status, 0) << restoreOlder.err;
    EXPECT_FALSE(platform::PathExists(Media("/Downloads/second.txt")));
}

TEST_F(BackupToolCommands, KeepingPrunesTheOldestByDateAfterSuccessAndNeverTheNewBackup) {
    const std::string udid = Udid();
    ASSERT_EQ(udid.size(), 40u);
    // Name order and date order disagree: the date decides.
    PlantKeptBackup(udid + "-aa", "<key>Last Backup Date</key><date>2014-02-01T00:00:00Z</date>");
    PlantKeptBackup(udid + "-zz", "<key>Last Backup Date</key><date>2013-02-01T00:00:00Z</date>");
    const testing::TreeFingerprint newer = testing::FingerprintTree(Root() + "/" + udid + "-aa");

    const CliRun kept2 = Sim("backup --keep 2");
    ASSERT_EQ(kept2.status, 0) << kept2.err;
    EXPECT_FALSE(platform::PathExists(Root() + "/" + udid + "-zz"));
    EXPECT_EQ(testing::FingerprintTree(Root() + "/" + udid + "-aa"), newer);
    EXPECT_EQ(KeptFolders().size(), 2u);

    // Keeping none still keeps the backup just made.
    const CliRun kept0 = Sim("backup --keep 0");
    ASSERT_EQ(kept0.status, 0) << kept0.err;
    const std::vector<std::string> left = KeptFolders();
    ASSERT_EQ(left.size(), 1u);
    EXPECT_EQ(left[0], Root() + "/" + udid);
    EXPECT_EQ(Run("verify '" + left[0] + "'").status, 0);
}

TEST_F(BackupToolCommands, RestoreRefusesAManifestThatSaysEncryptedInAnyForm) {
    const CliRun backup = Sim("backup");
    ASSERT_EQ(backup.status, 0) << backup.err;
    const std::string manifest = BackedUpFolder(backup) + "/Manifest.plist";
    const std::string photo = Media("/DCIM/100APPLE/IMG_0002.JPG");
    const std::string photoBytes = testing::ReadFileBytes(photo);
    ASSERT_TRUE(platform::RemoveFile(photo));
    const testing::TreeFingerprint phone = testing::FingerprintTree(Media("/"));

    const auto withValue = [&](const std::string& value) {
        ASSERT_TRUE(platform::WriteFileAtomic(
            manifest,
            "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">"
            "<dict><key>Version</key><string>9.1</string><key>IsEncrypted</key>" +
                value + "</dict></plist>\n"));
    };
    for (const char* value : {"<integer>1</integer>", "<string>YES</string>", "<real>0.0</real>",
                              "<dict/>", "<true/>"}) {
        SCOPED_TRACE(value);
        withValue(value);
        const CliRun run = Sim("restore");
        EXPECT_EQ(run.status, 1);
        EXPECT_NE(run.err.find("the backup is encrypted"), std::string::npos) << run.err;
        EXPECT_EQ(testing::FingerprintTree(Media("/")), phone);
    }
    ASSERT_TRUE(platform::WriteFileAtomic(manifest, "no property list"));
    const CliRun unreadable = Sim("restore");
    EXPECT_EQ(unreadable.status, 1);
    EXPECT_NE(unreadable.err.find("cannot tell whether the backup is encrypted"), std::string::npos)
        << unreadable.err;
    EXPECT_EQ(testing::FingerprintTree(Media("/")), phone);

    withValue("<false/>");
    const CliRun restore = Sim("restore");
    ASSERT_EQ(restore.status, 0) << restore.err;
    EXPECT_EQ(testing::ReadFileBytes(photo), photoBytes);
}

TEST_F(BackupToolCommands, BackupDatesAreShownZeroPadded) {
    const std::string udid = Udid();
    ASSERT_EQ(udid.size(), 40u);
    // No "Last Backup Date": the date comes from the Info.plist's time, 2026-01-26 01:35:26 local.
    PlantKeptBackup(udid + "-undated", "");
    std::tm local{};
    local.tm_year = 126, local.tm_mon = 0, local.tm_mday = 26;
    local.tm_hour = 1, local.tm_min = 35, local.tm_sec = 26, local.tm_isdst = -1;
    const utimbuf times{std::mktime(&local), std::mktime(&local)};
    ASSERT_EQ(::utime((Root() + "/" + udid + "-undated/Info.plist").c_str(), &times), 0);

    const CliRun json = Sim("backups --json");
    ASSERT_EQ(json.status, 0) << json.err;
    EXPECT_EQ(Field(json.out, "date"), "20260126-013526") << json.out;
    const CliRun text = Sim("backups");
    ASSERT_EQ(text.status, 0) << text.err;
    EXPECT_NE(text.out.find(" 20260126-013526 "), std::string::npos) << text.out;
    EXPECT_EQ(text.out.find("2026126"), std::string::npos) << text.out;
}

}  // namespace
}  // namespace bw

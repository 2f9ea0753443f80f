// The command-line host's backup commands, run as a program against a simulator image and the
// backup tool stand-in; backups are checked on the bytes in the backup root, restores on the
// image's files. (The suite's name puts it in the group of tests that start the backup tool one
// at a time.)

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "formats/sha1.h"
#include "image/image_builder.h"
#include "platform/files.h"
#include "support/cli_run.h"
#include "support/temp_folder.h"

namespace bw {
namespace {

using testing::CliRun;

class BackupToolCommands : public ::testing::Test {
  protected:
    void SetUp() override {
        image = folder / "phone";
        std::string error;
        ASSERT_TRUE(sim::CreateImage(image, options, error)) << error;
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
    const CliRun tool = Sim("backup", "BRACKWATER_BACKUPTOOL_FAIL=error:199");
    EXPECT_EQ(tool.status, 1);
    EXPECT_NE(tool.err.find("error code 199"), std::string::npos) << tool.err;
    // The last line is ours (the tool may say more on its own error stream before it).
    EXPECT_NE(tool.err.find("brackwater: backup failed: "), std::string::npos) << tool.err;

    const CliRun missing = Sim("restore");
    EXPECT_EQ(missing.status, 1);
    EXPECT_NE(missing.err.find("no such backup folder"), std::string::npos) << missing.err;

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
    ASSERT_TRUE(sim::CreateImage(image, options, error)) << error;
    const CliRun run = Sim("backup");
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find("encrypts"), std::string::npos) << run.err;
    EXPECT_FALSE(platform::IsFolder(folder / "data/Apple Computer/MobileSync/Backup"));
}

}  // namespace
}  // namespace bw

// brackwater backup [--keep N] [--replace], restore [FOLDER] [--from-copy], backups [--json] and
// verify FOLDER: the device's backups through the backup tool, in the backup root.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <string>
#include <thread>

#include "backup_folders.h"
#include "brackwater/backup.h"
#include "cli.h"
#include "device_session.h"
#include "simulator_setup.h"
#include "text.h"

namespace cli {

std::string BackupRoot() {
    return TwoCallText([](char16_t* buffer) { return BrackwaterBackupRoot(buffer); });
}

// The run cannot be stopped once the tool has it, so Ctrl-C keeps its default meaning here.
bool RunTool(const std::string& udid, int32_t mode, bool fromCopy, const std::string& folder,
             std::string& failure) {
    BackupStatus status{};
    IDeviceBackUp* run =
        DeviceBackUpNewEx(ToWide(udid).c_str(), mode, fromCopy ? 1 : 0, ToWide(folder).c_str());
    if (run == nullptr) {
        failure = "cannot start the backup tool";
        return false;
    }
    run->SetStatus(&status);
    run->Start();
    const bool draw = ::isatty(STDERR_FILENO) == 1;
    // The record is written by the library's threads; `finished` is set last.
    while (__atomic_load_n(&status.finished, __ATOMIC_ACQUIRE) == 0) {
        if (draw) {
            const double percent = std::clamp(status.percent, 0.0, 100.0);
            std::fprintf(stderr, "\r\033[K[%-20s] %5.1f%%  %s",
                         std::string(static_cast<size_t>(percent / 5.0), '#').c_str(), percent,
                         Printable(ToUtf8(status.message)).c_str());
            std::fflush(stderr);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    if (draw) std::fprintf(stderr, "\r\033[K");
    DeviceBackUpDelete(&run);
    if (status.failed != 0) {
        const std::string message = ToUtf8(status.message);
        failure = message.empty()
                      ? ErrorCodeMeaning(status.errorCode)
                      : message + " (error code " + std::to_string(status.errorCode) + ")";
        if (status.errorCode == 1) {
            failure += MissingFromDeviceRuntime("a backup or restore", "backup tool");
        }
        return false;
    }
    return true;
}

std::string ErrorCodeMeaning(int32_t code) {
    const std::string number = " (error code " + std::to_string(code) + ")";
    switch (code) {
        case 1:
            return "the backup tool could not be started: is the device runtime's backup tool "
                   "installed?" +
                   number;
        case 2:
            return "the backup tool never connected, or ended before it gave a result" + number;
        default:
            // The tool's codes are its own; what it printed about the failure is already above.
            return "the backup tool reported a failure and gave no description" + number;
    }
}

namespace {

std::vector<std::string> ListKeptBackups(CIPhone* device) {
    std::vector<std::string> folders;
    BrackwaterDeviceBackups(
        device,
        [](void* context, const BwChar* folder, const BwChar*, const BwChar*) {
            static_cast<std::vector<std::string>*>(context)->push_back(ToUtf8(folder));
        },
        &folders);
    return folders;
}

// The library gives a backup without a "Last Backup Date" the date of its Info.plist with month
// and day unpadded, so "2026126" could be January 26 or December 6. Such a text is shown padded
// like the others ("%Y%m%d-%H%M%S"), from the same local time of the same file. A padded text
// has 15 characters; an unpadded one that long is already padded.
std::string PaddedBackupDate(const std::string& folder, const std::string& date) {
    if (date.empty() || date.size() == 15) return date;
    struct stat info {};
    if (::stat((folder + "/Info.plist").c_str(), &info) != 0) return date;
    std::tm local{};
    if (::localtime_r(&info.st_mtime, &local) == nullptr) return date;
    char text[32];
    const size_t length = std::strftime(text, sizeof text, "%Y%m%d-%H%M%S", &local);
    return length == 0 ? date : std::string(text, length);
}

}  // namespace

int RunBackup(Arguments& args) {
    constexpr const char* kUsage = "brackwater [--sim[=IMAGE]] backup [--keep N] [--replace]";
    std::string keepText = "3";
    bool missing = false;
    TakeOption(args.words, "--keep", keepText, missing);
    const bool replace = TakeFlag(args.words, "--replace");
    char* end = nullptr;
    const long keep = std::strtol(keepText.c_str(), &end, 10);
    if (missing || keepText.empty() || *end != '\0' || keep < 0 || keep > 1000) {
        return UsageError("--keep needs a number of backups from 0 to 1000", kUsage);
    }
    if (!args.words.empty()) return UsageError("unexpected argument " + args.words[0], kUsage);

    DeviceSession session;
    std::string error;
    CIPhone* device = session.Open(args, error);
    if (device == nullptr) return Fail(error);
    const std::string udid = DeviceText(device, "UniqueDeviceID");
    if (CheckDeviceBackUpEncryptionE(device) == 0) {
        return Fail(
            "the device encrypts its backups (or did not answer); this tool makes "
            "unencrypted backups only");
    }
    IBackupPrepareWork* prepare = GetBackupPrepareWorkInstance();
    if (prepare == nullptr) return Fail("cannot prepare the backup folder");
    // The preparation would remove the oldest backup (or with --replace the current one) before
    // the new one exists, and a failed run would then leave fewer backups than before. So it only
    // archives the current backup here; what goes, goes once the new backup is complete.
    const std::vector<std::string> before = ListKeptBackups(device);
    prepare->Init(device, 0, INT32_MAX);
    prepare->Prepare();

    std::string failure;
    if (!RunTool(udid, kBackupModeBackup, false, "", failure)) {
        return Fail("backup failed: " + failure);
    }
    const std::string folder = BackupRoot() + "/" + udid;
    ICreateInfoPlist* info = CreateInfoObjNewEx(device, ToWide(folder).c_str());
    const bool written = info != nullptr && info->WriteInfoPlist() != 0;
    CreateInfoObjDelete(&info);
    if (!written) return Fail("backup made in " + folder + ", but its Info.plist was not written");
    if (replace && std::find(before.begin(), before.end(), folder) != before.end()) {
        // The archive the preparation just made of the backup this one replaces: the one kept
        // backup that was not there before. Anything less certain removes nothing.
        std::vector<std::string> made;
        for (const std::string& kept : ListKeptBackups(device)) {
            if (kept != folder && std::find(before.begin(), before.end(), kept) == before.end()) {
                made.push_back(kept);
            }
        }
        if (made.size() != 1 || BrackwaterRemoveBackup(device, ToWide(made[0]).c_str()) != 1) {
            return Fail("backed up to " + folder + ", but the backup it replaces was not removed");
        }
    }
    if (BrackwaterPruneBackups(device, static_cast<int32_t>(keep)) < 0) {
        return Fail("backed up to " + folder + ", but the older backups could not be pruned");
    }
    std::printf("backed up to %s\n", Printable(folder).c_str());
    return 0;
}

int RunRestore(Arguments& args) {
    constexpr const char* kUsage = "brackwater [--sim[=IMAGE]] restore [FOLDER] [--from-copy]";
    const bool fromCopy = TakeFlag(args.words, "--from-copy");
    if (const std::string unknown = UnknownOption(args.words); !unknown.empty()) {
        return UsageError("unknown option " + unknown, kUsage);
    }
    if (args.words.size() > 1) return UsageError("give at most one FOLDER", kUsage);

    DeviceSession session;
    std::string error;
    CIPhone* device = session.Open(args, error);
    if (device == nullptr) return Fail(error);
    const std::string udid = DeviceText(device, "UniqueDeviceID");
    const std::string root = BackupRoot();
    std::string folder;
    if (args.words.empty()) {
        folder = BackupToRestore(device, udid);
        if (folder.empty()) {
            const std::string current = root + "/" + udid;
            std::error_code missing;
            if (std::filesystem::is_directory(current, missing)) {
                return Fail("no complete backup of this device in " + root + " (" + current +
                            " was not finished by this tool; name it to restore it anyway)");
            }
            return Fail("no complete backup of this device in " + root);
        }
    } else {
        folder = args.words[0];
        if (const std::string bad = NotUtf8Message("FOLDER", folder); !bad.empty()) {
            return Fail(bad);
        }
    }
    std::error_code failed;
    const std::filesystem::path canonical = std::filesystem::weakly_canonical(folder, failed);
    if (failed || !std::filesystem::is_directory(canonical, failed)) {
        return Fail(folder + ": no such backup folder");
    }
    // The backup tool looks its source up by name in the backup root, so a folder elsewhere
    // would silently restore another backup.
    if (canonical.parent_path() != std::filesystem::weakly_canonical(root, failed)) {
        return Fail(folder + ": not a folder of the backup root " + root);
    }
    // The library's check answers only for a boolean true; any other value that is there and
    // not false may still mean a password is needed, which this tool cannot give.
    std::string unreadable;
    switch (ManifestEncryption(canonical.string(), unreadable)) {
        case Encryption::kEncrypted:
            return Fail(folder + ": the backup is encrypted");
        case Encryption::kUnreadable:
            return Fail(folder + ": cannot tell whether the backup is encrypted: " + unreadable);
        case Encryption::kNone:
            break;
    }
    if (CheckDeviceRestoreEx(device, ToWide(canonical.string()).c_str()) != 0) {
        return Fail(folder + ": the backup is encrypted");
    }
    std::string failure;
    // Without the copy flag the request names the device's current backup as the source, so an
    // archive (or any other folder) is named only with it.
    const bool namedSource = fromCopy || canonical.filename() != udid;
    if (!RunTool(udid, kBackupModeRestore, namedSource, canonical.string(), failure)) {
        return Fail("restore failed: " + failure);
    }
    std::printf("restored %s\n", Printable(canonical.string()).c_str());
    return 0;
}

int RunBackups(Arguments& args) {
    constexpr const char* kUsage = "brackwater [--sim[=IMAGE]] backups [--json]";
    if (!args.words.empty()) return UsageError("unexpected argument " + args.words[0], kUsage);
    DeviceSession session;
    std::string error;
    CIPhone* device = session.Open(args, error);
    if (device == nullptr) return Fail(error);
    struct Context {
        bool json;
    } context{args.json};
    const int count = BrackwaterDeviceBackups(
        device,
        [](void* raw, const BwChar* wideFolder, const BwChar* libraryDate,
           const BwChar* wideVersion) {
            const std::string folder = ToUtf8(wideFolder), version = ToUtf8(wideVersion);
            const std::string date = PaddedBackupDate(folder, ToUtf8(libraryDate));
            if (static_cast<Context*>(raw)->json) {
                std::printf("{\"folder\":%s,\"date\":%s,\"version\":%s}\n",
                            JsonString(folder).c_str(), JsonString(date).c_str(),
                            JsonString(version).c_str());
            } else {
                std::printf("%s  %-20s %s\n", Printable(folder).c_str(), Printable(date).c_str(),
                            Printable(version).c_str());
            }
        },
        &context);
    if (count < 0) return Fail("cannot list the device's backups");
    if (count == 0 && !args.json) std::printf("no backups of this device\n");
    return 0;
}

int RunVerify(Arguments& args) {
    constexpr const char* kUsage = "brackwater verify FOLDER";
    if (args.words.size() != 1) return UsageError("give one FOLDER", kUsage);
    if (const std::string bad = NotUtf8Message("FOLDER", args.words[0]); !bad.empty()) {
        return Fail(bad);
    }
    if (VerifyBackUp(ToWide(args.words[0]).c_str()) == 0) {
        return Fail(args.words[0] + ": not a backup made by this library");
    }
    std::printf("%s: a backup made by this library\n", Printable(args.words[0]).c_str());
    return 0;
}

}  // namespace cli

// brackwater backup [--keep N] [--replace], restore [FOLDER] [--from-copy], backups [--json] and
// verify FOLDER: the device's backups through the backup tool, in the backup root.
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>

#include "brackwater/backup.h"
#include "cli.h"
#include "device_session.h"
#include "text.h"

namespace cli {

namespace {

std::string BackupRoot() {
    const size_t length = BrackwaterBackupRoot(nullptr, 0);
    std::string root(length + 1, '\0');
    BrackwaterBackupRoot(root.data(), root.size());
    root.resize(length);
    return root;
}

// Runs one backup or restore and waits for its end, drawing the progress on a terminal. The run
// cannot be stopped once the tool has it, so Ctrl-C keeps its default meaning here.
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
        failure = (message.empty() ? "" : message + ", ") + "error code " +
                  std::to_string(status.errorCode);
        return false;
    }
    return true;
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
    prepare->Init(device, replace ? 1 : 0, static_cast<int32_t>(keep));
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
    std::printf("backed up to %s\n", folder.c_str());
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
    std::string folder = args.words.empty() ? root + "/" + udid : args.words[0];
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
    if (CheckDeviceRestoreEx(device, ToWide(canonical.string()).c_str()) != 0) {
        return Fail(folder + ": the backup is encrypted");
    }
    std::string failure;
    if (!RunTool(udid, kBackupModeRestore, fromCopy, canonical.string(), failure)) {
        return Fail("restore failed: " + failure);
    }
    std::printf("restored %s\n", canonical.string().c_str());
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
        [](void* raw, const char* folder, const char* date, const char* version) {
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
    if (VerifyBackUp(ToWide(args.words[0]).c_str()) == 0) {
        return Fail(args.words[0] + ": not a backup made by this library");
    }
    std::printf("%s: a backup made by this library\n", args.words[0].c_str());
    return 0;
}

}  // namespace cli

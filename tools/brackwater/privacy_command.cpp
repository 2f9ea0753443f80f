// brackwater privacy scan TYPE... [--json] and privacy clean TYPE... [--keep GLOB]... [--only
// GLOB]...: the private data a fresh backup of the device holds (calls, conversations, removed
// applications' data, attachment files no message refers to). Cleaning edits the backup and
// restores it to the device.
#include <stdlib.h>

#include <algorithm>
#include <climits>
#include <csignal>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "backup_folders.h"
#include "brackwater/backup.h"
#include "brackwater/deepclean.h"
#include "brackwater/inspect.h"
#include "brackwater/privacy.h"
#include "brackwater/scan.h"
#include "cli.h"
#include "device_session.h"
#include "privacy_items.h"
#include "scan_progress.h"
#include "simulator_setup.h"
#include "text.h"
#include "type_words.h"

namespace cli {

namespace {

constexpr NamedType kPrivacyTypes[] = {
    {kJunkCallHistory, "calls"},
    {kJunkMessages, "messages"},
    {kJunkSafariTabs, "safari-tabs"},
    {kJunkSafariCookies, "safari-cookies"},
    {kJunkSafariHistory, "safari-history"},
    {kJunkWebAppData, "web-app-data"},
    {kJunkWebMail, "web-mail"},
    {kJunkRecentApps, "recent-apps"},
    {kJunkPushNotifications, "notifications"},
    {kJunkAppLeftovers, "app-leftovers"},
    {kJunkSurplusAttachments, "attachments"},
};

const char* TypeName(int number) {
    return TypeNameIn(kPrivacyTypes, number);
}

bool ParseTypes(const std::vector<std::string>& words, std::vector<int>& types,
                std::string& problem) {
    return ParseTypeWords(words, kPrivacyTypes, "privacy",
                          " (calls, messages, safari-tabs, safari-cookies, safari-history, "
                          "web-app-data, web-mail, recent-apps, notifications, app-leftovers, "
                          "attachments, their numbers 8 to 18, or all)",
                          types, problem);
}

// A fresh backup of the device in its backup folder. Earlier backups are archived, never
// pruned: a deep clean must not cost the user a backup they kept.
bool FreshBackup(CIPhone* device, const std::string& udid, std::string& error) {
    if (CheckDeviceBackUpEncryptionE(device) == 0) {
        error =
            "the device encrypts its backups (or did not answer); this tool reads "
            "unencrypted backups only";
        return false;
    }
    IBackupPrepareWork* prepare = GetBackupPrepareWorkInstance();
    if (prepare == nullptr) {
        error = "cannot prepare the backup folder";
        return false;
    }
    prepare->Init(device, 0, INT32_MAX);
    prepare->Prepare();
    std::string failure;
    if (!RunTool(udid, kBackupModeBackup, false, "", failure)) {
        error = "backup failed: " + failure;
        return false;
    }
    const std::string folder = BackupRoot() + "/" + udid;
    ICreateInfoPlist* info = CreateInfoObjNewEx(device, ToWide(folder).c_str());
    const bool written = info != nullptr && info->WriteInfoPlist() != 0;
    CreateInfoObjDelete(&info);
    if (!written) error = "backup made in " + folder + ", but its Info.plist was not written";
    return written;
}

// Runs the session's scan (or clean) of one type with a progress bar; false when interrupted.
bool RunStage(IScanDevice* session, BwScanStatus& status, int type, bool clean) {
    session->SetStatusRecord(&status);
    {
        ProgressWatch watch(session, status);
        if (clean) {
            session->StartClean();
        } else {
            session->StartScan(type);
        }
    }
    return !g_interrupted;
}

class InterruptHandler {
  public:
    InterruptHandler() {
        g_interrupted = false;
        struct sigaction action {};
        action.sa_handler = OnInterrupt;
        ::sigaction(SIGINT, &action, &previous_);
    }
    ~InterruptHandler() { ::sigaction(SIGINT, &previous_, nullptr); }

  private:
    struct sigaction previous_ {};
};

// Scans (and with a choice cleans) each type in the session and prints what it found (or
// removed); false when Ctrl-C stopped it.
bool RunTypes(IScanDevice* session, const std::vector<int>& types, const Choice* choice,
              bool json) {
    BwScanStatus status{};
    InterruptHandler interrupts;
    for (int type : types) {
        if (!RunStage(session, status, type, false)) return false;
        std::vector<FoundItem> items = FoundItems(session, type);
        if (choice == nullptr) {
            const size_t found = PrintItems(items, TypeName(type), false, json);
            if (!json) std::printf("%s: %zu found\n", TypeName(type), found);
            continue;
        }
        Choose(items, *choice);
        Freeze(items);
        if (!RunStage(session, status, type, true)) return false;
        const size_t removed = PrintItems(items, TypeName(type), true, json);
        if (!json) std::printf("%s: %zu removed\n", TypeName(type), removed);
    }
    return true;
}

// A folder of our own for the working copies of one read of a backup folder, removed with
// everything in it at the end. mkdtemp makes it new and private (0700), so nothing another user
// placed in the shared temporary folder is used.
class PrivateWorkFolder {
  public:
    PrivateWorkFolder() {
        const char* base = std::getenv("TMPDIR");
        std::string pattern =
            std::string(base != nullptr && *base == '/' ? base : "/tmp") + "/brackwater-XXXXXX";
        if (::mkdtemp(pattern.data()) != nullptr) path_ = pattern;
    }
    ~PrivateWorkFolder() {
        std::error_code ignored;
        if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
    }
    PrivateWorkFolder(const PrivateWorkFolder&) = delete;
    PrivateWorkFolder& operator=(const PrivateWorkFolder&) = delete;
    const std::string& path() const { return path_; }

  private:
    std::string path_;
};

// A text value of the folder's Info.plist; empty when missing or not a plain string.
std::string InfoText(const std::string& json, const char* key) {
    const std::optional<std::string> value = TopLevelValue(json, key);
    if (!value || value->size() < 2 || value->front() != '"' || value->back() != '"') return {};
    const std::string text = value->substr(1, value->size() - 2);
    // The two values read here (a version and a hexadecimal identifier) need no escapes.
    return text.find('\\') == std::string::npos ? text : std::string();
}

// Reads an existing backup folder of iOS 5 to 7 without its device. Only the working copies in
// a private folder are ever written; the backup folder is read.
int RunPrivacyOnFolder(const std::string& folder, const std::vector<int>& types, bool json) {
    std::error_code failed;
    if (!std::filesystem::is_directory(folder, failed)) {
        return Fail(folder + ": no such backup folder");
    }
    if (!std::filesystem::is_regular_file(folder + "/Manifest.mbdb", failed)) {
        return Fail(folder + ": no Manifest.mbdb; only backups of iOS 5 to 7 can be read");
    }
    std::string info;
    if (!BrackwaterPlistConvert(ToWide(folder + "/Info.plist").c_str(), u"json", u"library",
                                AppendToString, &info)) {
        return Fail(folder + "/Info.plist: " + LibraryError());
    }
    const std::string udid = InfoText(info, "Unique Identifier");
    const std::string version = InfoText(info, "Product Version");
    if (udid.empty() || version.empty()) {
        return Fail(folder + "/Info.plist has no \"Unique Identifier\" or \"Product Version\"");
    }
    if (version.size() < 2 || version[1] != '.' || version[0] < '5' || version[0] > '7') {
        return Fail(folder + ": a backup of iOS " + version + "; only iOS 5 to 7 can be read");
    }
    PrivateWorkFolder work;
    if (work.path().empty()) return Fail("cannot make a private working folder");
    if (BrackwaterDeepCleanFromFolder(ToWide(folder).c_str(), ToWide(udid).c_str(),
                                      ToWide(version).c_str(), ToWide(work.path()).c_str()) == 0) {
        return Fail(folder + ": cannot read the backup (its manifest or identifier is unusable)");
    }
    IScanDevice* session = BrackwaterScanBackupNew();
    if (session == nullptr) return Fail("cannot open a scan session");
    const bool completed = RunTypes(session, types, nullptr, json);
    ScanDeviceDelete(session);
    if (!completed) {
        std::fprintf(stderr, "brackwater: stopped\n");
        return 130;
    }
    return 0;
}

int RunPrivacyOnDevice(Arguments& args, const std::vector<int>& types, const Choice* choice) {
    DeviceSession devices;
    std::string error;
    CIPhone* device = devices.Open(args, error);
    if (device == nullptr) return Fail(error);
    const std::string udid = DeviceText(device, "UniqueDeviceID");
    if (!FreshBackup(device, udid, error)) return Fail(error);
    const std::string cache = CacheFolder();
    if (cache.empty()) return Fail("no home folder for the deep clean's working folders");
    // The working folders hold copies of the phone's messages and calls: earlier ones are
    // deleted at set-up rather than archived (the backup itself was archived above), and the
    // current ones go once the run has finished. A completion cut off half-way stays for the
    // next set-up, which finishes it first.
    const std::string work = cache + "/deepclean";
    GetBackupPrepareWorkInstance()->Init(device, 1, INT32_MAX);
    if (CreateConfigureToolExIn(device, ToWide(work).c_str()) == 0) {
        return Fail("cannot set up the deep clean: the backup in " + BackupRoot() + "/" + udid +
                    " has no readable manifest");
    }
    IScanDevice* session = ScanDeviceNew(device);
    if (session == nullptr) return Fail("cannot open a scan session on the device");
    const bool completed = RunTypes(session, types, choice, args.json);
    ScanDeviceDelete(session);
    if (!completed) {
        std::fprintf(stderr, "brackwater: stopped; the device was not changed\n");
        return 130;
    }
    std::error_code ignored;
    if (choice == nullptr) {
        std::filesystem::remove_all(work, ignored);
        return 0;
    }
    if (DeepCleanComplete() == 0) return Fail("cannot write the cleaned files into the backup");
    std::filesystem::remove_all(work, ignored);
    std::string failure;
    if (!RunTool(udid, kBackupModeRestore, false, BackupRoot() + "/" + udid, failure)) {
        return Fail("restore of the cleaned backup failed: " + failure);
    }
    if (!args.json) std::printf("restored the cleaned backup to the device\n");
    return 0;
}

}  // namespace

int RunPrivacy(Arguments& args) {
    constexpr const char* kUsage =
        "brackwater [--sim[=IMAGE]] privacy scan TYPE... [--json]\n"
        "       brackwater privacy scan TYPE... --backup FOLDER [--json]\n"
        "       brackwater [--sim[=IMAGE]] privacy clean TYPE... [--keep GLOB]... [--only GLOB]...";
    if (args.words.empty() || (args.words[0] != "scan" && args.words[0] != "clean")) {
        return UsageError("privacy needs scan or clean", kUsage);
    }
    const bool clean = args.words[0] == "clean";
    args.words.erase(args.words.begin());
    Choice choice;
    for (auto [name, globs] : {std::pair{"--keep", &choice.keep}, {"--only", &choice.only}}) {
        for (;;) {
            std::string glob;
            bool missing = false;
            if (!TakeOption(args.words, name, glob, missing)) break;
            if (missing || glob.empty())
                return UsageError(std::string(name) + " needs a GLOB", kUsage);
            if (!clean) return UsageError(std::string(name) + " belongs to clean", kUsage);
            globs->push_back(glob);
        }
    }
    std::string folder;
    bool missing = false;
    const bool hasFolder = TakeOption(args.words, "--backup", folder, missing);
    if (hasFolder && (missing || folder.empty()))
        return UsageError("--backup needs a FOLDER", kUsage);
    if (hasFolder && clean)
        return UsageError("--backup belongs to scan; clean works on the device", kUsage);
    if (!choice.keep.empty() && !choice.only.empty()) {
        return UsageError("give --keep or --only, not both", kUsage);
    }
    if (const std::string unknown = UnknownOption(args.words); !unknown.empty()) {
        return UsageError("unknown option " + unknown, kUsage);
    }
    std::vector<int> types;
    std::string problem;
    if (!ParseTypes(args.words, types, problem)) return UsageError(problem, kUsage);
    if (hasFolder) {
        // The leftovers of removed applications are told apart from installed ones, and the
        // recent applications are named, by asking the device.
        for (const int needsDevice : {kJunkAppLeftovers, kJunkRecentApps}) {
            const auto found = std::find(types.begin(), types.end(), needsDevice);
            if (found == types.end()) continue;
            if (args.words.size() == 1 && args.words[0] == "all") {
                types.erase(found);
                continue;
            }
            return UsageError(std::string(TypeName(needsDevice)) +
                                  " needs the device; a --backup FOLDER gives every other type",
                              kUsage);
        }
        if (const std::string bad = NotUtf8Message("FOLDER", folder); !bad.empty()) {
            return Fail(bad);
        }
        return RunPrivacyOnFolder(folder, types, args.json);
    }
    return RunPrivacyOnDevice(args, types, clean ? &choice : nullptr);
}

}  // namespace cli

// brackwater [--sim[=IMAGE]] [--wire[=IMAGE]] [--udid UDID] [--afc2] [--json] COMMAND ...: the
// command-line host of the library.
#include <cstring>
#include <string>

#include "brackwater/brackwater.h"
#include "cli.h"
#include "text.h"

namespace {

constexpr const char* kUsage =
    "brackwater [--sim[=IMAGE]] [--wire[=IMAGE]] [--udid UDID] [--afc2] [--json] COMMAND ...\n"
    "  --sim[=IMAGE[:IMAGE...]]  use simulated devices: the IMAGE folders, or the demo iPhone\n"
    "  --wire[=IMAGE[:IMAGE...]] the same, served over the real device protocols (usbmuxd,\n"
    "                  lockdown, AFC) and reached through the libimobiledevice runtime\n"
    "  --udid UDID     the device to use when several are connected\n"
    "  --afc2          the device's whole file system instead of its media area\n"
    "commands:\n"
    "  devices [--wait SECONDS] [--json]\n"
    "  ls DEVICE_PATH [-l]\n"
    "  pull DEVICE_PATH HOST_PATH\n"
    "  push HOST_PATH DEVICE_PATH\n"
    "  rm [-r] DEVICE_PATH\n"
    "  mkdir DEVICE_PATH\n"
    "  apps [--icons DIR] [--json]\n"
    "  info [--json]\n"
    "  rename NAME\n"
    "  screenshot FILE.png\n"
    "  restart [--wait]\n"
    "  photos albums [--json]\n"
    "  photos list [ALBUM] [--json]\n"
    "  photos thumbs DIR [ALBUM]\n"
    "  photos pull DIR [ALBUM|--all]\n"
    "  scan TYPE... [--json]       TYPE: a number, a name or all\n"
    "  clean TYPE... [--keep GLOB]...\n"
    "  privacy scan TYPE... [--json]  TYPE: calls, messages, app-leftovers, attachments or all\n"
    "  privacy clean TYPE... [--keep GLOB]... [--only GLOB]...\n"
    "  backup [--keep N] [--replace]\n"
    "  restore [FOLDER] [--from-copy]\n"
    "  backups [--json]\n"
    "  verify FOLDER\n"
    "  plist convert FILE --to json|xml|binary [-o OUT] [--codec library|own]\n"
    "  manifest list PATH [--json]\n"
    "  manifest resave MBDB\n"
    "  demo [--keep] [--wire]\n"
    "  version";

struct CommandEntry {
    const char* name;
    int (*run)(cli::Arguments&);
};

int RunVersion(cli::Arguments&) {
    std::printf("brackwater %s\n", cli::LibraryVersion().c_str());
    return 0;
}

constexpr CommandEntry kCommands[] = {
    {"devices", cli::RunDevices},   {"ls", cli::RunList},
    {"pull", cli::RunPull},         {"push", cli::RunPush},
    {"rm", cli::RunRemove},         {"mkdir", cli::RunMakeDirectory},
    {"apps", cli::RunApps},         {"info", cli::RunInfo},
    {"rename", cli::RunRename},     {"screenshot", cli::RunScreenshot},
    {"restart", cli::RunRestart},   {"photos", cli::RunPhotos},
    {"scan", cli::RunScan},         {"clean", cli::RunClean},
    {"privacy", cli::RunPrivacy},   {"backup", cli::RunBackup},
    {"restore", cli::RunRestore},   {"backups", cli::RunBackups},
    {"verify", cli::RunVerify},     {"plist", cli::RunPlist},
    {"manifest", cli::RunManifest}, {"demo", cli::RunDemo},
    {"version", RunVersion},
};

// Takes the global options out of the words, wherever they stand. False on a usage error.
bool TakeGlobalOptions(cli::Arguments& args, std::string& problem) {
    std::vector<std::string>& words = args.words;
    for (auto word = words.begin(); word != words.end();) {
        if (*word == "--sim") {
            args.sim = "";
        } else if (word->starts_with("--sim=")) {
            args.sim = word->substr(6);
            if (args.sim->empty()) {
                problem = "--sim= needs an IMAGE folder";
                return false;
            }
        } else if (*word == "--wire") {
            args.wire = "";
        } else if (word->starts_with("--wire=")) {
            args.wire = word->substr(7);
            if (args.wire->empty()) {
                problem = "--wire= needs an IMAGE folder";
                return false;
            }
        } else {
            ++word;
            continue;
        }
        word = words.erase(word);
    }
    if (args.sim && args.wire) {
        problem = "--sim and --wire exclude each other";
        return false;
    }
    bool missing = false;
    cli::TakeOption(words, "--udid", args.udid, missing);
    if (missing) {
        problem = "--udid needs a UDID";
        return false;
    }
    args.afc2 = cli::TakeFlag(words, "--afc2");
    args.json = cli::TakeFlag(words, "--json");
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    cli::Arguments args;
    for (int i = 1; i < argc; ++i)
        args.words.emplace_back(argv[i]);
    if (args.words.empty() || args.words[0] == "--help" || args.words[0] == "-h" ||
        args.words[0] == "help") {
        std::printf("%s\n", kUsage);
        return args.words.empty() ? cli::kExitUsage : 0;
    }
    std::string problem;
    if (!TakeGlobalOptions(args, problem)) return cli::UsageError(problem, kUsage);
    if (args.words.empty()) return cli::UsageError("no command given", kUsage);
    const std::string command = args.words.front();
    args.words.erase(args.words.begin());
    for (const CommandEntry& entry : kCommands) {
        if (command == entry.name) return entry.run(args);
    }
    return cli::UsageError("unknown command \"" + command + "\"", kUsage);
}

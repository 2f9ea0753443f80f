// brackwater [--json] COMMAND ...: the command-line host of the library.
#include <cstring>
#include <string>

#include "brackwater/brackwater.h"
#include "cli.h"

namespace {

constexpr const char* kUsage =
    "brackwater [--json] COMMAND ...\n"
    "commands:\n"
    "  plist convert FILE --to json|xml|binary [-o OUT] [--codec library|own]\n"
    "  manifest list PATH [--json]\n"
    "  manifest resave MBDB\n"
    "  demo\n"
    "  version";

struct CommandEntry {
    const char* name;
    int (*run)(cli::Arguments&);
};

int RunVersion(cli::Arguments&) {
    std::printf("brackwater %s\n", BrackwaterVersion());
    return 0;
}

constexpr CommandEntry kCommands[] = {
    {"plist", cli::RunPlist},
    {"manifest", cli::RunManifest},
    {"demo", cli::RunDemo},
    {"version", RunVersion},
};

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
    args.json = cli::TakeFlag(args.words, "--json");
    if (args.words.empty()) return cli::UsageError("no command given", kUsage);
    const std::string command = args.words.front();
    args.words.erase(args.words.begin());
    for (const CommandEntry& entry : kCommands) {
        if (command == entry.name) return entry.run(args);
    }
    return cli::UsageError("unknown command \"" + command + "\"", kUsage);
}

// brackwater manifest list PATH [--json]
// brackwater manifest resave MBDB
#include <cstdio>
#include <string>

#include "brackwater/inspect.h"
#include "cli.h"
#include "text.h"

namespace cli {

namespace {

constexpr const char* kUsage =
    "brackwater manifest list PATH [--json]\n"
    "       brackwater manifest resave MBDB";

}  // namespace

int RunManifest(Arguments& args) {
    std::vector<std::string>& words = args.words;
    if (words.empty()) return UsageError("missing subcommand", kUsage);
    const std::string sub = words[0];
    words.erase(words.begin());
    if (const std::string unknown = UnknownOption(words); !unknown.empty()) {
        return UsageError("unknown option " + unknown, kUsage);
    }
    if (sub != "list" && sub != "resave") {
        return UsageError("unknown subcommand \"" + sub + "\"", kUsage);
    }
    if (words.size() != 1) return UsageError("give exactly one PATH", kUsage);

    if (const std::string bad = NotUtf8Message("PATH", words[0]); !bad.empty()) return Fail(bad);
    const std::u16string path = ToWide(words[0]);
    if (sub == "list") {
        if (!BrackwaterManifestList(path.c_str(), args.json ? 1 : 0, WriteToFile, stdout)) {
            return Fail(LibraryError());
        }
        return std::fflush(stdout) == 0 ? 0 : Fail("cannot write to standard output");
    }
    if (!BrackwaterManifestResave(path.c_str())) return Fail(LibraryError());
    return 0;
}

}  // namespace cli

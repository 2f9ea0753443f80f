// brackwater plist convert FILE --to json|xml|binary [-o OUT] [--codec library|own]
#include <cstdio>
#include <string>

#include "brackwater/inspect.h"
#include "cli.h"
#include "output_file.h"
#include "text.h"

namespace cli {

namespace {

constexpr const char* kUsage =
    "brackwater plist convert FILE --to json|xml|binary [-o OUT] [--codec library|own]";

}  // namespace

int RunPlist(Arguments& args) {
    std::vector<std::string>& words = args.words;
    if (words.empty() || words[0] != "convert") {
        return UsageError(
            words.empty() ? "missing subcommand" : "unknown subcommand \"" + words[0] + "\"",
            kUsage);
    }
    words.erase(words.begin());
    std::string format, output, codec = "library";
    bool missing = false;
    const bool hasFormat = TakeOption(words, "--to", format, missing);
    const bool hasOutput = TakeOption(words, "-o", output, missing);
    TakeOption(words, "--codec", codec, missing);
    if (missing) return UsageError("an option is missing its value", kUsage);
    if (const std::string unknown = UnknownOption(words); !unknown.empty()) {
        return UsageError("unknown option " + unknown, kUsage);
    }
    if (words.size() != 1) return UsageError("give exactly one FILE", kUsage);
    if (!hasFormat) return UsageError("--to is required", kUsage);
    if (format != "json" && format != "xml" && format != "binary") {
        return UsageError("--to takes json, xml or binary", kUsage);
    }
    if (codec != "library" && codec != "own") {
        return UsageError("--codec takes library or own", kUsage);
    }

    if (const std::string bad = NotUtf8Message("FILE", words[0]); !bad.empty()) return Fail(bad);
    std::string converted;
    if (!BrackwaterPlistConvert(ToWide(words[0]).c_str(), ToWide(format).c_str(),
                                ToWide(codec).c_str(), AppendToString, &converted)) {
        return Fail(LibraryError());
    }
    if (!hasOutput || output == "-") {
        WriteToFile(stdout, converted.data(), converted.size());
        return std::fflush(stdout) == 0 ? 0 : Fail("cannot write to standard output");
    }
    std::string failure;
    if (!WriteOutputFile(output, converted, failure)) return Fail(output + ": " + failure);
    return 0;
}

}  // namespace cli

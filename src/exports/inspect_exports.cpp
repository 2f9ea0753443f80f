// Exported inspection functions: thin wrappers that turn results into the host's sink and a
// one-line message for BrackwaterLastError. Nothing may be thrown across them.
#include <string>

#include "brackwater/inspect.h"
#include "exports/host_text.h"
#include "inspect/manifest_listing.h"
#include "inspect/plist_convert.h"

using bw::exports::Fail;

namespace {

// The path argument as UTF-8, or a message for the last error; `path` is empty then.
bool InspectedPath(const BwChar* wide, std::string& path) {
    if (wide == nullptr) return Fail("missing argument") != 0;
    if (!bw::exports::HostTextToUtf8(wide, path)) return Fail("the path is not valid UTF-16") != 0;
    return true;
}

}  // namespace

extern "C" BRACKWATER_API int BrackwaterPlistConvert(const BwChar* path, const BwChar* format,
                                                     const BwChar* codec, BwOutputSink sink,
                                                     void* context) {
    using bw::inspect::PlistOutput;
    using bw::inspect::PlistReader;
    bw::exports::ClearLastError();
    std::string file;
    try {
        if (format == nullptr || sink == nullptr) return Fail("missing argument");
        if (!InspectedPath(path, file)) return 0;
        std::string form, reader = "library";
        if (!bw::exports::HostTextToUtf8(format, form) ||
            (codec != nullptr && !bw::exports::HostTextToUtf8(codec, reader))) {
            return Fail("the output form or codec is not valid UTF-16");
        }
        PlistOutput output;
        if (form == "json") {
            output = PlistOutput::kJson;
        } else if (form == "xml") {
            output = PlistOutput::kXml;
        } else if (form == "binary") {
            output = PlistOutput::kBinary;
        } else {
            return Fail("unknown output form \"" + form + "\"");
        }
        if (reader != "library" && reader != "own") {
            return Fail("unknown codec \"" + reader + "\"");
        }
        std::string converted, problem;
        if (!bw::inspect::ConvertPlistFile(
                file, output, reader == "own" ? PlistReader::kOwn : PlistReader::kLibrary,
                converted, problem)) {
            return Fail(file + ": " + problem);
        }
        sink(context, converted.data(), converted.size());
        return 1;
    } catch (const std::exception& e) {
        return Fail((file.empty() ? std::string("(no path)") : file) + ": " + e.what());
    }
}

extern "C" BRACKWATER_API int BrackwaterManifestList(const BwChar* path, int json,
                                                     BwOutputSink sink, void* context) {
    bw::exports::ClearLastError();
    std::string file;
    try {
        if (sink == nullptr) return Fail("missing argument");
        if (!InspectedPath(path, file)) return 0;
        std::string problem;
        const bool listed = bw::inspect::ListManifest(
            file, json != 0,
            [&](const std::string& line) { sink(context, line.data(), line.size()); }, problem);
        return listed ? 1 : Fail(problem);
    } catch (const std::exception& e) {
        return Fail((file.empty() ? std::string("(no path)") : file) + ": " + e.what());
    }
}

extern "C" BRACKWATER_API int BrackwaterManifestResave(const BwChar* path) {
    bw::exports::ClearLastError();
    std::string file;
    try {
        if (!InspectedPath(path, file)) return 0;
        std::string problem;
        return bw::inspect::ResaveManifest(file, problem) ? 1 : Fail(problem);
    } catch (const std::exception& e) {
        return Fail((file.empty() ? std::string("(no path)") : file) + ": " + e.what());
    }
}

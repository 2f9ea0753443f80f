// Exported inspection functions: thin wrappers that turn results into the host's sink and a
// one-line error text. Nothing may be thrown across them.
#include <algorithm>
#include <cstring>
#include <string>

#include "brackwater/inspect.h"
#include "inspect/manifest_listing.h"
#include "inspect/plist_convert.h"

namespace {

int Report(char* error, size_t errorSize, const std::string& message) {
    if (error != nullptr && errorSize > 0) {
        const size_t length = std::min(message.size(), errorSize - 1);
        std::memcpy(error, message.data(), length);
        error[length] = '\0';
    }
    return 0;
}

std::string Describe(const char* path) {
    return path != nullptr ? path : "(no path)";
}

}  // namespace

extern "C" int BrackwaterPlistConvert(const char* path, const char* format, const char* codec,
                                      BwOutputSink sink, void* context, char* error,
                                      size_t errorSize) {
    using bw::inspect::PlistOutput;
    using bw::inspect::PlistReader;
    try {
        if (path == nullptr || format == nullptr || sink == nullptr) {
            return Report(error, errorSize, "missing argument");
        }
        const std::string form = format;
        const std::string reader = codec != nullptr ? codec : "library";
        PlistOutput output;
        if (form == "json") {
            output = PlistOutput::kJson;
        } else if (form == "xml") {
            output = PlistOutput::kXml;
        } else if (form == "binary") {
            output = PlistOutput::kBinary;
        } else {
            return Report(error, errorSize, "unknown output form \"" + form + "\"");
        }
        if (reader != "library" && reader != "own") {
            return Report(error, errorSize, "unknown codec \"" + reader + "\"");
        }
        std::string converted, problem;
        if (!bw::inspect::ConvertPlistFile(
                path, output, reader == "own" ? PlistReader::kOwn : PlistReader::kLibrary,
                converted, problem)) {
            return Report(error, errorSize, Describe(path) + ": " + problem);
        }
        sink(context, converted.data(), converted.size());
        return 1;
    } catch (const std::exception& e) {
        return Report(error, errorSize, Describe(path) + ": " + e.what());
    }
}

extern "C" int BrackwaterManifestList(const char* path, int json, BwOutputSink sink, void* context,
                                      char* error, size_t errorSize) {
    try {
        if (path == nullptr || sink == nullptr) return Report(error, errorSize, "missing argument");
        std::string problem;
        const bool listed = bw::inspect::ListManifest(
            path, json != 0,
            [&](const std::string& line) { sink(context, line.data(), line.size()); }, problem);
        return listed ? 1 : Report(error, errorSize, problem);
    } catch (const std::exception& e) {
        return Report(error, errorSize, Describe(path) + ": " + e.what());
    }
}

extern "C" int BrackwaterManifestResave(const char* path, char* error, size_t errorSize) {
    try {
        if (path == nullptr) return Report(error, errorSize, "missing argument");
        std::string problem;
        return bw::inspect::ResaveManifest(path, problem) ? 1 : Report(error, errorSize, problem);
    } catch (const std::exception& e) {
        return Report(error, errorSize, Describe(path) + ": " + e.what());
    }
}

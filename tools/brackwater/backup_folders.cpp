#include "backup_folders.h"

#include <unistd.h>

#include <vector>

#include "brackwater/backup.h"
#include "brackwater/inspect.h"
#include "cli.h"
#include "text.h"

namespace cli {

namespace {

size_t SkipSpace(std::string_view json, size_t at) {
    while (at < json.size() &&
           (json[at] == ' ' || json[at] == '\n' || json[at] == '\t' || json[at] == '\r'))
        ++at;
    return at;
}

// The position after the string that starts at `at` (a quote), or npos.
size_t SkipString(std::string_view json, size_t at) {
    for (size_t i = at + 1; i < json.size(); ++i) {
        if (json[i] == '\\') {
            ++i;
        } else if (json[i] == '"') {
            return i + 1;
        }
    }
    return std::string_view::npos;
}

// The position after the value that starts at `at`, or npos.
size_t SkipValue(std::string_view json, size_t at) {
    if (at >= json.size()) return std::string_view::npos;
    if (json[at] == '"') return SkipString(json, at);
    if (json[at] != '{' && json[at] != '[') {
        const size_t end = json.find_first_of(",}] \n\t\r", at);
        return end == at ? std::string_view::npos : end;
    }
    int depth = 0;
    for (size_t i = at; i < json.size();) {
        const char c = json[i];
        if (c == '"') {
            i = SkipString(json, i);
            if (i == std::string_view::npos) return i;
            continue;
        }
        if (c == '{' || c == '[') ++depth;
        if ((c == '}' || c == ']') && --depth == 0) return i + 1;
        ++i;
    }
    return std::string_view::npos;
}

// The property list at `path` as JSON; false (with the library's message) when it does not parse.
bool ConvertToJson(const std::string& path, std::string& json, std::string& error) {
    if (!BrackwaterPlistConvert(ToWide(path).c_str(), u"json", u"library", AppendToString, &json)) {
        error = LibraryError();
        return false;
    }
    return true;
}

// The "Last Backup Date" of a backup folder as ISO text (which sorts by time), or empty.
std::string LastBackupDate(const std::string& folder) {
    std::string json, error;
    if (!ConvertToJson(folder + "/Info.plist", json, error)) return {};
    const std::optional<std::string> date = TopLevelValue(json, "Last Backup Date");
    if (!date) return {};
    return TopLevelValue(*date, "$date").value_or("");
}

}  // namespace

std::optional<std::string> TopLevelValue(std::string_view json, std::string_view key) {
    size_t at = SkipSpace(json, 0);
    if (at >= json.size() || json[at] != '{') return std::nullopt;
    at = SkipSpace(json, at + 1);
    while (at < json.size() && json[at] == '"') {
        const size_t keyEnd = SkipString(json, at);
        if (keyEnd == std::string_view::npos) return std::nullopt;
        // The converter writes a key with escapes only where it has quotes, backslashes or
        // control characters, none of which the keys asked for here contain.
        const std::string_view name = json.substr(at + 1, keyEnd - at - 2);
        at = SkipSpace(json, keyEnd);
        if (at >= json.size() || json[at] != ':') return std::nullopt;
        const size_t valueStart = SkipSpace(json, at + 1);
        const size_t valueEnd = SkipValue(json, valueStart);
        if (valueEnd == std::string_view::npos) return std::nullopt;
        if (name == key) return std::string(json.substr(valueStart, valueEnd - valueStart));
        at = SkipSpace(json, valueEnd);
        if (at >= json.size() || json[at] != ',') return std::nullopt;
        at = SkipSpace(json, at + 1);
    }
    return std::nullopt;
}

Encryption ManifestEncryption(const std::string& folder, std::string& error) {
    const std::string manifest = folder + "/Manifest.plist";
    if (::access(manifest.c_str(), F_OK) != 0) return Encryption::kNone;
    std::string json;
    if (!ConvertToJson(manifest, json, error)) return Encryption::kUnreadable;
    const std::optional<std::string> value = TopLevelValue(json, "IsEncrypted");
    return !value || *value == "false" ? Encryption::kNone : Encryption::kEncrypted;
}

std::string BackupToRestore(CIPhone* device, const std::string& udid) {
    std::vector<std::string> complete;
    BrackwaterDeviceBackups(
        device,
        [](void* context, const BwChar* folder, const BwChar*, const BwChar*) {
            static_cast<std::vector<std::string>*>(context)->push_back(ToUtf8(folder));
        },
        &complete);
    std::string newest, newestDate;
    for (const std::string& folder : complete) {
        if (folder.substr(folder.rfind('/') + 1) == udid) return folder;
        // Listed in name order: on equal dates (or none) the later name wins.
        const std::string date = LastBackupDate(folder);
        if (newest.empty() || date >= newestDate) newest = folder, newestDate = date;
    }
    return newest;
}

}  // namespace cli

#include "inspect/manifest_listing.h"

#include <cstdio>

#include "backup/manifest.h"
#include "formats/sha1.h"
#include "inspect/json.h"
#include "platform/debug_output.h"
#include "platform/files.h"

namespace bw::inspect {

namespace {

struct ManifestLocation {
    std::string backupFolder;
    std::string manifestPath;
};

ManifestLocation Locate(const std::string& path) {
    if (platform::IsFolder(path)) return {path, platform::JoinPath(path, "Manifest.mbdb")};
    const size_t slash = path.rfind('/');
    return {slash == std::string::npos ? "." : path.substr(0, slash == 0 ? 1 : slash), path};
}

// "drwxr-xr-x" from a record's mode, the way ls shows it.
std::string ModeText(uint16_t mode) {
    std::string text = "?---------";
    switch (mode & 0xF000) {
        case 0x4000:
            text[0] = 'd';
            break;
        case 0x8000:
            text[0] = '-';
            break;
        case 0xA000:
            text[0] = 'l';
            break;
        default:
            break;
    }
    static constexpr char kBits[] = "rwxrwxrwx";
    for (int i = 0; i < 9; ++i) {
        if (mode & (0400 >> i)) text[static_cast<size_t>(i + 1)] = kBits[i];
    }
    return text;
}

void AppendOptionalHex(std::string& out, const MbdbValue& value) {
    if (!value.HasValue() || value.raw.empty()) {
        out += "null";
    } else {
        AppendJsonString(out, HexLower(value.raw));
    }
}

void AppendField(std::string& out, const char* name, uint64_t number) {
    out += ",\"";
    out += name;
    out += "\":";
    out += std::to_string(number);
}

std::string JsonLine(const MbdbRecord& record, bool exists) {
    std::string out = "{\"domain\":";
    AppendJsonString(out, record.domain.text);
    out += ",\"path\":";
    AppendJsonString(out, record.path.text);
    out += ",\"target\":";
    if (record.linkTarget.HasValue()) {
        AppendJsonString(out, record.linkTarget.text);
    } else {
        out += "null";
    }
    out += ",\"hash\":";
    AppendOptionalHex(out, record.dataHash);
    out += ",\"key\":";
    AppendOptionalHex(out, record.encryptionKey);
    AppendField(out, "mode", record.mode);
    AppendField(out, "inode", record.inode);
    AppendField(out, "uid", record.userId);
    AppendField(out, "gid", record.groupId);
    AppendField(out, "mtime", record.modifiedTime);
    AppendField(out, "atime", record.accessedTime);
    AppendField(out, "ctime", record.createdTime);
    AppendField(out, "size", record.size);
    AppendField(out, "protection", record.protectionClass);
    out += ",\"properties\":{";
    for (size_t i = 0; i < record.properties.size(); ++i) {
        const MbdbProperty& property = record.properties[i];
        if (i > 0) out += ",";
        AppendJsonString(out, property.name.text);
        out += ":";
        AppendJsonString(
            out, property.value.storedAsText ? property.value.raw : HexLower(property.value.raw));
    }
    out += "},\"file\":";
    AppendJsonString(out, record.backupFileName);
    out += exists ? ",\"exists\":true}\n" : ",\"exists\":false}\n";
    return out;
}

std::string TextLine(const MbdbRecord& record) {
    char head[96];
    std::snprintf(head, sizeof head, "%s %s %12llu ", record.backupFileName.c_str(),
                  ModeText(record.mode).c_str(), static_cast<unsigned long long>(record.size));
    // Record paths come from someone else's backup: no raw control characters on a terminal.
    std::string line = head + platform::EscapeControlCharacters(record.domain.text) + " " +
                       platform::EscapeControlCharacters(record.path.text);
    if (record.linkTarget.HasValue()) {
        line += " -> " + platform::EscapeControlCharacters(record.linkTarget.text);
    }
    return line + "\n";
}

}  // namespace

bool ListManifest(const std::string& path, bool json,
                  const std::function<void(const std::string& line)>& line, std::string& error) {
    const ManifestLocation where = Locate(path);
    ManifestDataManager manifest("", where.backupFolder, where.manifestPath);
    manifest.ForEachRecord([&](const MbdbRecord& record) {
        if (json) {
            const bool exists =
                platform::IsFile(platform::JoinPath(where.backupFolder, record.backupFileName));
            line(JsonLine(record, exists));
        } else {
            line(TextLine(record));
        }
    });
    if (!manifest.LastError().empty()) {
        error = where.manifestPath + ": " + manifest.LastErrorDetail();
        return false;
    }
    return true;
}

bool ResaveManifest(const std::string& path, std::string& error) {
    const ManifestLocation where = Locate(path);
    ManifestDataManager manifest("", where.backupFolder, where.manifestPath);
    manifest.Load();
    // A manifest that did not read completely is left alone: saving it would drop the records
    // after the damage.
    if (!manifest.LastError().empty()) {
        error = where.manifestPath + ": " + manifest.LastErrorDetail() + " (not saved)";
        return false;
    }
    if (manifest.Save().empty()) {
        error = where.manifestPath + ": cannot write the manifest";
        return false;
    }
    return true;
}

}  // namespace bw::inspect

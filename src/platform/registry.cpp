#include "platform/registry.h"

#include <array>
#include <cctype>

#include "platform/environment.h"
#include "platform/files.h"

namespace bw::platform {

namespace {

std::string Upper(std::string_view text) {
    std::string out(text);
    for (char& c : out)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return out;
}

std::string_view Trim(std::string_view text) {
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.front()))) {
        text.remove_prefix(1);
    }
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back()))) {
        text.remove_suffix(1);
    }
    return text;
}

struct RootName {
    RegistryRoot root;
    std::string_view full;
    std::string_view shortName;
};

constexpr std::array<RootName, 4> kRoots{{
    {RegistryRoot::ClassesRoot, "HKEY_CLASSES_ROOT", "HKCR"},
    {RegistryRoot::CurrentUser, "HKEY_CURRENT_USER", "HKCU"},
    {RegistryRoot::LocalMachine, "HKEY_LOCAL_MACHINE", "HKLM"},
    {RegistryRoot::Users, "HKEY_USERS", "HKU"},
}};

std::string_view RootText(RegistryRoot root) {
    for (const RootName& name : kRoots) {
        if (name.root == root) return name.full;
    }
    return {};
}

// "HKLM\Software\X\" -> "HKEY_LOCAL_MACHINE\SOFTWARE\X" (upper case, no trailing separator), or
// empty when the root is unknown.
std::string NormalisedKey(std::string_view path) {
    while (!path.empty() && path.back() == '\\')
        path.remove_suffix(1);
    const size_t slash = path.find('\\');
    const std::string root = Upper(path.substr(0, slash));
    for (const RootName& name : kRoots) {
        if (root == name.full || root == name.shortName) {
            std::string key(name.full);
            if (slash != std::string_view::npos) key += Upper(path.substr(slash));
            return key;
        }
    }
    return {};
}

std::string FullKey(RegistryRoot root, std::string_view key) {
    while (!key.empty() && key.front() == '\\')
        key.remove_prefix(1);
    std::string path(RootText(root));
    // Appended in place: g++ 12 at -O3 reports a false overlapping copy for "\\" + std::string.
    if (!key.empty()) path.append(1, '\\').append(key);
    return NormalisedKey(path);
}

// Reads a quoted string starting at text[0] == '"'; sets `rest` to what follows the closing
// quote. Nullopt when the string never closes.
std::optional<std::string> ReadQuoted(std::string_view text, std::string_view& rest) {
    std::string out;
    for (size_t i = 1; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '"') {
            rest = text.substr(i + 1);
            return out;
        }
        if (c == '\\' && i + 1 < text.size() && (text[i + 1] == '\\' || text[i + 1] == '"')) {
            out.push_back(text[++i]);
        } else {
            out.push_back(c);
        }
    }
    return std::nullopt;
}

// The value part after "=": a quoted string or dword:XXXXXXXX. Other types (hex:, deletions) are
// not used by the library and read as absent.
std::optional<std::string> ParseValue(std::string_view text) {
    text = Trim(text);
    if (!text.empty() && text.front() == '"') {
        std::string_view rest;
        auto value = ReadQuoted(text, rest);
        if (!value || !Trim(rest).empty()) return std::nullopt;
        return value;
    }
    constexpr std::string_view kDword = "dword:";
    if (text.size() > kDword.size() && Upper(text.substr(0, kDword.size())) == "DWORD:") {
        const std::string_view digits = text.substr(kDword.size());
        if (digits.size() > 8) return std::nullopt;
        uint32_t number = 0;
        for (char c : digits) {
            if (!std::isxdigit(static_cast<unsigned char>(c))) return std::nullopt;
            number = number * 16 + static_cast<uint32_t>(std::isdigit(static_cast<unsigned char>(c))
                                                             ? c - '0'
                                                             : std::tolower(c) - 'a' + 10);
        }
        return std::to_string(number);
    }
    return std::nullopt;
}

RegistryFile LoadRegistryFile() {
    std::string text;
    if (!ReadWholeFile(RegistryFilePath(), text, kMaxRegistryFileBytes)) return RegistryFile{};
    return RegistryFile::Parse(text);
}

}  // namespace

RegistryFile RegistryFile::Parse(std::string_view text) {
    RegistryFile file;
    std::map<std::string, std::string>* current = nullptr;
    // Files saved by Windows tools are often UTF-16; ours are UTF-8, with or without a mark.
    if (text.starts_with("\xEF\xBB\xBF")) text.remove_prefix(3);
    while (!text.empty()) {
        const size_t end = text.find('\n');
        std::string_view line = Trim(text.substr(0, end));
        text = end == std::string_view::npos ? std::string_view{} : text.substr(end + 1);
        if (line.empty() || line.front() == ';') continue;
        if (line.front() == '[') {
            current = nullptr;
            if (line.back() != ']' || line.size() < 3 || line[1] == '-') continue;
            const std::string key = NormalisedKey(line.substr(1, line.size() - 2));
            if (!key.empty()) current = &file.keys_[key];
            continue;
        }
        if (current == nullptr) continue;
        std::string name;
        std::string_view rest;
        if (line.front() == '@') {
            rest = Trim(line.substr(1));
        } else if (line.front() == '"') {
            auto quoted = ReadQuoted(line, rest);
            if (!quoted) continue;
            name = Upper(*quoted);
            rest = Trim(rest);
        } else {
            continue;
        }
        if (rest.empty() || rest.front() != '=') continue;
        if (auto value = ParseValue(rest.substr(1))) (*current)[name] = std::move(*value);
    }
    return file;
}

std::optional<std::string> RegistryFile::Read(RegistryRoot root, std::string_view key,
                                              std::string_view name) const {
    const auto found = keys_.find(FullKey(root, key));
    if (found == keys_.end()) return std::nullopt;
    const auto value = found->second.find(Upper(name));
    if (value == found->second.end()) return std::nullopt;
    return value->second;
}

bool RegistryFile::HasKey(RegistryRoot root, std::string_view key) const {
    return keys_.contains(FullKey(root, key));
}

std::string RegistryFilePath() {
    if (auto path = GetEnv("BRACKWATER_REGISTRY"); path && !path->empty()) return *path;
    // Without a home there is no registry file: an empty path reads as an empty registry.
    const std::string config = XdgFolder("XDG_CONFIG_HOME", ".config");
    return config.empty() ? std::string() : JoinPath(config, "brackwater/registry.reg");
}

std::optional<std::string> ReadRegistryString(RegistryRoot root, std::string_view key,
                                              std::string_view name) {
    return LoadRegistryFile().Read(root, key, name);
}

bool RegistryKeyExists(RegistryRoot root, std::string_view key) {
    return LoadRegistryFile().HasKey(root, key);
}

std::string EscapeRegistryString(std::string_view value) {
    std::string out;
    for (char c : value) {
        if (c == '\\' || c == '"') out.push_back('\\');
        out.push_back(c);
    }
    return out;
}

}  // namespace bw::platform

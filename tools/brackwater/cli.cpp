#include "cli.h"

#include "text.h"

#include <algorithm>

namespace cli {

int Fail(std::string_view message) {
    // Messages carry paths and names from outside.
    const std::string line = Printable(message);
    std::fprintf(stderr, "brackwater: %s\n", line.c_str());
    return kExitFailure;
}

int UsageError(std::string_view message, std::string_view usage) {
    std::fprintf(stderr, "brackwater: %.*s\nusage: %.*s\n", static_cast<int>(message.size()),
                 message.data(), static_cast<int>(usage.size()), usage.data());
    return kExitUsage;
}

bool TakeOption(std::vector<std::string>& words, std::string_view name, std::string& value,
                bool& missingValue) {
    for (size_t i = 0; i < words.size(); ++i) {
        const std::string& word = words[i];
        if (word == name) {
            if (i + 1 >= words.size()) {
                missingValue = true;
                words.erase(words.begin() + static_cast<std::ptrdiff_t>(i));
                return true;
            }
            value = words[i + 1];
            words.erase(words.begin() + static_cast<std::ptrdiff_t>(i),
                        words.begin() + static_cast<std::ptrdiff_t>(i + 2));
            return true;
        }
        if (word.size() > name.size() && word.starts_with(name) && word[name.size()] == '=') {
            value = word.substr(name.size() + 1);
            words.erase(words.begin() + static_cast<std::ptrdiff_t>(i));
            return true;
        }
    }
    return false;
}

bool TakeFlag(std::vector<std::string>& words, std::string_view name) {
    const auto found = std::find(words.begin(), words.end(), name);
    if (found == words.end()) return false;
    words.erase(found);
    return true;
}

std::string UnknownOption(const std::vector<std::string>& words) {
    for (const std::string& word : words) {
        if (word.size() > 1 && word[0] == '-') return word;
    }
    return {};
}

std::string JsonString(std::string_view text) {
    std::string out = "\"";
    for (char c : text) {
        if (c == '"' || c == '\\') {
            out.push_back('\\');
            out.push_back(c);
        } else if (static_cast<unsigned char>(c) < 0x20) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned>(c));
            out += escaped;
        } else {
            out.push_back(c);
        }
    }
    return out + "\"";
}

void WriteToFile(void* file, const char* bytes, size_t length) {
    std::fwrite(bytes, 1, length, static_cast<std::FILE*>(file));
}

void AppendToString(void* text, const char* bytes, size_t length) {
    static_cast<std::string*>(text)->append(bytes, length);
}

}  // namespace cli

#include "platform/debug_output.h"

#include <cstdio>

namespace bw::platform {

std::string EscapeControlCharacters(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte >= 0x20 && byte != 0x7F) {
            out.push_back(c);
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\t') {
            out += "\\t";
        } else if (c == '\r') {
            out += "\\r";
        } else {
            char escaped[5];
            std::snprintf(escaped, sizeof escaped, "\\x%02X", byte);
            out += escaped;
        }
    }
    return out;
}

void DebugOutput(std::string_view line) {
    const std::string text = "brackwater: " + std::string(line) + "\n";
    std::fwrite(text.data(), 1, text.size(), stderr);
}

}  // namespace bw::platform

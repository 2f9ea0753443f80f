#include "inspect/json.h"

#include <charconv>
#include <cmath>
#include <cstdio>

#include "platform/clock.h"
#include "platform/text.h"

namespace bw::inspect {

namespace {

bool IsValidUtf8(std::string_view text) {
    for (unsigned char c : text) {
        if (c >= 0x80) return WideToUtf8(Utf8ToWide(text)) == text;
    }
    return true;
}

}  // namespace

void AppendJsonString(std::string& out, std::string_view utf8) {
    std::string repaired;
    if (!IsValidUtf8(utf8)) {
        repaired = WideToUtf8(Utf8ToWide(utf8));
        utf8 = repaired;
    }
    out.push_back('"');
    for (char c : utf8) {
        switch (c) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            case '\b':
                out += "\\b";
                break;
            case '\f':
                out += "\\f";
                break;
            default:
                if (static_cast<unsigned char>(c) < 0x20) {
                    char escaped[8];
                    std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned>(c));
                    out += escaped;
                } else {
                    out.push_back(c);
                }
        }
    }
    out.push_back('"');
}

void AppendJsonReal(std::string& out, double value) {
    if (std::isnan(value)) {
        out += "\"nan\"";
    } else if (std::isinf(value)) {
        out += value > 0 ? "\"inf\"" : "\"-inf\"";
    } else {
        char text[64];
        const auto result = std::to_chars(text, text + sizeof text, value);
        std::string_view number(text, static_cast<size_t>(result.ptr - text));
        out += number;
        // Keep a real recognisable as one: 2.0 prints as "2" otherwise.
        if (number.find_first_of(".eE") == std::string_view::npos) out += ".0";
    }
}

std::string IsoUtcText(int64_t unixSeconds) {
    const std::tm tm = platform::UtcCalendar(unixSeconds);
    char text[40];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02dZ", tm.tm_year + 1900,
                  tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec);
    return text;
}

}  // namespace bw::inspect

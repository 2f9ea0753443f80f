// Text conversion between the host interface's UTF-16 and the UTF-8 used everywhere inside. The
// code-point steps are here too, inline, so that the property-list codec can stream text through
// the same decoding rules without building a temporary string.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace bw {

// Unpaired surrogates and invalid UTF-8 sequences become U+FFFD, so a conversion never fails and
// never drops the rest of the text.
std::string WideToUtf8(std::u16string_view text);
std::u16string Utf8ToWide(std::string_view text);

inline constexpr char32_t kReplacementCharacter = 0xFFFD;

// Lower case of the ASCII letters only: names and keys from devices and backups are compared this
// way, and other bytes (UTF-8 included) stay as they are, whatever the process locale.
inline std::string AsciiLower(std::string_view text) {
    std::string lower(text);
    for (char& c : lower)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return lower;
}

// Decodes one UTF-8 sequence at text[i] and advances i past it. Overlong forms, surrogates,
// values above U+10FFFF and truncated sequences each become one U+FFFD.
inline char32_t DecodeUtf8(std::string_view text, size_t& i) {
    const auto lead = static_cast<unsigned char>(text[i++]);
    if (lead < 0x80) return lead;
    int extra;
    char32_t cp;
    char32_t minimum;
    if ((lead & 0xE0) == 0xC0) {
        extra = 1, cp = lead & 0x1F, minimum = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
        extra = 2, cp = lead & 0x0F, minimum = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
        extra = 3, cp = lead & 0x07, minimum = 0x10000;
    } else {
        return kReplacementCharacter;
    }
    for (int k = 0; k < extra; ++k) {
        if (i >= text.size()) return kReplacementCharacter;
        const auto next = static_cast<unsigned char>(text[i]);
        if ((next & 0xC0) != 0x80) return kReplacementCharacter;
        cp = (cp << 6) | (next & 0x3F);
        ++i;
    }
    if (cp < minimum || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
        return kReplacementCharacter;
    return cp;
}

// Calls unit(char16_t) once or twice: the UTF-16 form of one code point.
template <typename Unit>
inline void EncodeUtf16(char32_t cp, Unit unit) {
    if (cp < 0x10000) {
        unit(static_cast<char16_t>(cp));
    } else {
        cp -= 0x10000;
        unit(static_cast<char16_t>(0xD800 + (cp >> 10)));
        unit(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
    }
}

// Joins a surrogate pair, or gives U+FFFD for a surrogate that has no partner. `hasLow` says
// whether `low` follows `lead` at all; the return tells the caller whether `low` was used.
inline bool CombineUtf16(char32_t lead, bool hasLow, char32_t low, char32_t& cp) {
    if (lead >= 0xD800 && lead <= 0xDBFF && hasLow && low >= 0xDC00 && low <= 0xDFFF) {
        cp = 0x10000 + ((lead - 0xD800) << 10) + (low - 0xDC00);
        return true;
    }
    cp = (lead >= 0xD800 && lead <= 0xDFFF) ? kReplacementCharacter : lead;
    return false;
}

inline size_t Utf8Length(char32_t cp) {
    return cp < 0x80 ? 1 : cp < 0x800 ? 2 : cp < 0x10000 ? 3 : 4;
}

// Writes the UTF-8 form of cp at p (Utf8Length(cp) bytes) and returns the end.
inline char* PutUtf8(char* p, char32_t cp) {
    if (cp < 0x80) {
        *p++ = static_cast<char>(cp);
    } else if (cp < 0x800) {
        *p++ = static_cast<char>(0xC0 | (cp >> 6));
        *p++ = static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        *p++ = static_cast<char>(0xE0 | (cp >> 12));
        *p++ = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        *p++ = static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        *p++ = static_cast<char>(0xF0 | (cp >> 18));
        *p++ = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        *p++ = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        *p++ = static_cast<char>(0x80 | (cp & 0x3F));
    }
    return p;
}

}  // namespace bw

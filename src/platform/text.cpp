#include "platform/text.h"

namespace bw {

std::string WideToUtf8(std::u16string_view text) {
    std::string out;
    out.reserve(text.size());
    char buffer[4];
    for (size_t i = 0; i < text.size(); ++i) {
        const bool hasLow = i + 1 < text.size();
        char32_t cp;
        if (CombineUtf16(text[i], hasLow, hasLow ? text[i + 1] : 0, cp)) ++i;
        out.append(buffer, PutUtf8(buffer, cp));
    }
    return out;
}

std::u16string Utf8ToWide(std::string_view text) {
    std::u16string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size();)
        EncodeUtf16(DecodeUtf8(text, i), [&](char16_t unit) { out.push_back(unit); });
    return out;
}

}  // namespace bw

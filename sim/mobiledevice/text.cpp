#include "text.h"

#include <vector>

namespace bw::sim::md {

std::optional<std::string> Utf8Text(CFStringRef text) {
    if (text == nullptr || CFGetTypeID(text) != CFStringGetTypeID()) return std::nullopt;
    const CFIndex length = CFStringGetLength(text);
    // A C string ends at U+0000, so text holding one would arrive cut short: refuse it.
    std::vector<UniChar> units(static_cast<size_t>(length));
    CFStringGetCharacters(text, CFRange{0, length}, units.data());
    for (const UniChar unit : units)
        if (unit == 0) return std::nullopt;
    const CFIndex size = CFStringGetMaximumSizeForEncoding(length, kCFStringEncodingUTF8) + 1;
    if (size <= 0) return std::nullopt;
    std::vector<char> buffer(static_cast<size_t>(size));
    if (!CFStringGetCString(text, buffer.data(), size, kCFStringEncodingUTF8)) return std::nullopt;
    return std::string(buffer.data());
}

CFStringRef NewCFString(std::string_view utf8) {
    return CFStringCreateWithBytes(nullptr, reinterpret_cast<const UInt8*>(utf8.data()),
                                   static_cast<CFIndex>(utf8.size()), kCFStringEncodingUTF8, false);
}

}  // namespace bw::sim::md

#include "cf_bridge.h"

#include <cstdlib>
#include <cstring>
#include <vector>

#include "mapping.h"

namespace bw::imd {

std::optional<std::string> TextOf(CFTypeRef value, size_t limit) {
    if (value == nullptr || CFGetTypeID(value) != CFStringGetTypeID()) return std::nullopt;
    const auto string = static_cast<CFStringRef>(value);
    const CFIndex units = CFStringGetLength(string);
    if (units < 0 || static_cast<size_t>(units) > limit) return std::nullopt;
    const CFIndex capacity = CFStringGetMaximumSizeForEncoding(units, kCFStringEncodingUTF8) + 1;
    std::vector<char> buffer(static_cast<size_t>(capacity), '\0');
    if (!CFStringGetCString(string, buffer.data(), capacity, kCFStringEncodingUTF8)) {
        return std::nullopt;
    }
    std::string text(buffer.data());
    // A NUL inside the string ends the C text early; the units then do not add up.
    std::vector<UniChar> characters(static_cast<size_t>(units));
    if (units > 0) CFStringGetCharacters(string, CFRange{0, units}, characters.data());
    for (const UniChar unit : characters) {
        if (unit == 0) return std::nullopt;
    }
    if (text.size() > limit) return std::nullopt;
    return text;
}

CFStringRef MakeString(const std::string& text) {
    if (!IsUtf8(text)) return nullptr;
    return CFStringCreateWithBytes(kCFAllocatorDefault, reinterpret_cast<const UInt8*>(text.data()),
                                   static_cast<CFIndex>(text.size()), kCFStringEncodingUTF8, false);
}

CFTypeRef CFFromPlist(plist_t node) {
    if (node == nullptr) return nullptr;
    char* bytes = nullptr;
    uint32_t length = 0;
    plist_to_bin(node, &bytes, &length);
    if (bytes == nullptr) return nullptr;
    CFTypeRef value = nullptr;
    if (length > 0 && length <= kMaxMessageBytes) {
        CFDataRef data = CFDataCreate(kCFAllocatorDefault, reinterpret_cast<const UInt8*>(bytes),
                                      static_cast<CFIndex>(length));
        if (data != nullptr) {
            value = CFPropertyListCreateWithData(kCFAllocatorDefault, data,
                                                 kCFPropertyListImmutable, nullptr, nullptr);
            CFRelease(data);
        }
    }
    std::free(bytes);
    return value;
}

plist_t PlistFromCF(CFTypeRef value) {
    if (value == nullptr) return nullptr;
    CFDataRef data = CFPropertyListCreateData(kCFAllocatorDefault, value,
                                              kCFPropertyListBinaryFormat_v1_0, 0, nullptr);
    if (data == nullptr) return nullptr;
    plist_t node = nullptr;
    const CFIndex length = CFDataGetLength(data);
    if (length > 0 && static_cast<uint64_t>(length) <= kMaxMessageBytes) {
        plist_from_bin(reinterpret_cast<const char*>(CFDataGetBytePtr(data)),
                       static_cast<uint32_t>(length), &node);
    }
    CFRelease(data);
    return node;
}

std::optional<std::string> PlistString(plist_t dictionary, const char* key) {
    if (dictionary == nullptr || plist_get_node_type(dictionary) != PLIST_DICT) return std::nullopt;
    plist_t node = plist_dict_get_item(dictionary, key);
    return PlistText(node);
}

std::optional<std::string> PlistText(plist_t node) {
    if (node == nullptr || plist_get_node_type(node) != PLIST_STRING) return std::nullopt;
    // Read in place with its length: a text from outside may hold a NUL, which libplist's copy
    // refuses by aborting.
    uint64_t length = 0;
    const char* text = plist_get_string_ptr(node, &length);
    if (text == nullptr || length > (1u << 20)) return std::nullopt;
    std::string copy(text, static_cast<size_t>(length));
    if (copy.find('\0') != std::string::npos) return std::nullopt;
    return copy;
}

}  // namespace bw::imd

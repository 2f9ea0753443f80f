#include "messages.h"

#include <vector>

namespace bw::sim::ath {

CFMutableDictionaryRef NewDictionary() {
    return CFDictionaryCreateMutable(nullptr, 0, &kCFTypeDictionaryKeyCallBacks,
                                     &kCFTypeDictionaryValueCallBacks);
}

void SetValue(CFMutableDictionaryRef dictionary, const char* key, CFTypeRef value) {
    if (dictionary == nullptr || value == nullptr) return;
    const CFStringRef name = CFStringCreateWithCString(nullptr, key, kCFStringEncodingUTF8);
    if (name == nullptr) return;
    CFDictionarySetValue(dictionary, name, value);
    CFRelease(name);
}

CFTypeRef GetValue(CFDictionaryRef dictionary, const char* key) {
    if (!IsOfType(dictionary, CFDictionaryGetTypeID())) return nullptr;
    const CFStringRef name = CFStringCreateWithCString(nullptr, key, kCFStringEncodingUTF8);
    if (name == nullptr) return nullptr;
    const CFTypeRef value = CFDictionaryGetValue(dictionary, name);
    CFRelease(name);
    return value;
}

bool IsOfType(CFTypeRef value, CFTypeID type) {
    return value != nullptr && CFGetTypeID(value) == type;
}

std::optional<std::string> Utf8(CFStringRef text) {
    if (!IsOfType(text, CFStringGetTypeID())) return std::nullopt;
    const CFIndex size =
        CFStringGetMaximumSizeForEncoding(CFStringGetLength(text), kCFStringEncodingUTF8) + 1;
    std::vector<char> buffer(static_cast<size_t>(size));
    if (!CFStringGetCString(text, buffer.data(), size, kCFStringEncodingUTF8)) return std::nullopt;
    return std::string(buffer.data());
}

CFDictionaryRef NewMessage(uint32_t session, CFStringRef command, CFDictionaryRef params) {
    if (!IsOfType(command, CFStringGetTypeID())) return nullptr;
    if (params != nullptr && !IsOfType(params, CFDictionaryGetTypeID())) return nullptr;
    CFMutableDictionaryRef message = NewDictionary();
    if (message == nullptr) return nullptr;
    SetValue(message, "Command", command);
    if (params != nullptr) {
        SetValue(message, "Params", params);
    } else {
        const CFMutableDictionaryRef empty = NewDictionary();
        SetValue(message, "Params", empty);
        if (empty != nullptr) CFRelease(empty);
    }
    const int64_t number = session;
    const CFNumberRef sessionNumber = CFNumberCreate(nullptr, kCFNumberSInt64Type, &number);
    SetValue(message, "Session", sessionNumber);
    if (sessionNumber != nullptr) CFRelease(sessionNumber);
    return message;
}

CFDictionaryRef NewMessage(uint32_t session, const char* command, CFDictionaryRef params) {
    const CFStringRef name = CFStringCreateWithCString(nullptr, command, kCFStringEncodingUTF8);
    const CFDictionaryRef message = NewMessage(session, name, params);
    if (name != nullptr) CFRelease(name);
    return message;
}

}  // namespace bw::sim::ath

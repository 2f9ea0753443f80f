// Property lists through the CoreFoundation stand-in: any bytes must give NULL or a value that
// writes in both formats, reads back equal, and frees completely.
#include <cstdint>
#include <cstdlib>
#include <initializer_list>
#include <string>
#include <vector>

#include "cf/CoreFoundation.h"
#include "fuzz_seeds.h"

namespace {

std::string Bytes(CFDataRef data) {
    std::string out(reinterpret_cast<const char*>(CFDataGetBytePtr(data)),
                    static_cast<size_t>(CFDataGetLength(data)));
    CFRelease(data);
    return out;
}

// A small tree of every kind, in both formats.
std::vector<std::string> Seeds() {
    CFMutableDictionaryRef dict = CFDictionaryCreateMutable(
        nullptr, 0, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks);
    CFStringRef name = CFStringCreateWithCString(nullptr, "DeviceName", 0x08000100);
    CFStringRef value = CFStringCreateWithCString(nullptr, "iPh\xC3\xB6ne", 0x08000100);
    CFDictionarySetValue(dict, name, value);
    const long long number = 1234567890123LL;
    CFNumberRef count = CFNumberCreate(nullptr, 11, &number);
    CFStringRef countKey = CFStringCreateWithCString(nullptr, "Count", 0x08000100);
    CFDictionarySetValue(dict, countKey, count);
    CFMutableArrayRef array = CFArrayCreateMutable(nullptr, 0, &kCFTypeArrayCallBacks);
    CFArrayAppendValue(array, kCFBooleanTrue);
    const unsigned char raw[] = {0, 1, 2, 255};
    CFDataRef data = CFDataCreate(nullptr, raw, sizeof raw);
    CFArrayAppendValue(array, data);
    CFStringRef arrayKey = CFStringCreateWithCString(nullptr, "List", 0x08000100);
    CFDictionarySetValue(dict, arrayKey, array);
    std::vector<std::string> seeds{Bytes(CFPropertyListCreateData(nullptr, dict, 100, 0, nullptr)),
                                   Bytes(CFPropertyListCreateData(nullptr, dict, 200, 0, nullptr))};
    for (CFTypeRef object : {static_cast<CFTypeRef>(dict), static_cast<CFTypeRef>(name),
                             static_cast<CFTypeRef>(value), static_cast<CFTypeRef>(count),
                             static_cast<CFTypeRef>(countKey), static_cast<CFTypeRef>(array),
                             static_cast<CFTypeRef>(data), static_cast<CFTypeRef>(arrayKey)}) {
        CFRelease(object);
    }
    return seeds;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    bw::fuzz::MaybeWriteSeeds(Seeds());
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const long live = BwSimCFLiveObjects();
    CFDataRef bytes = CFDataCreate(nullptr, data, static_cast<CFIndex>(size));
    CFPropertyListRef list =
        CFPropertyListCreateWithData(nullptr, bytes, size % 3, nullptr, nullptr);
    if (list != nullptr) {
        for (CFPropertyListFormat format : {CFPropertyListFormat{100}, CFPropertyListFormat{200}}) {
            CFDataRef written = CFPropertyListCreateData(nullptr, list, format, 0, nullptr);
            if (written == nullptr) continue;
            CFPropertyListRef again =
                CFPropertyListCreateWithData(nullptr, written, 0, nullptr, nullptr);
            if (again == nullptr) abort();
            // XML keeps dates to the second, so only binary must be exact.
            if (format == 200 && !CFEqual(again, list)) abort();
            CFRelease(again);
            CFRelease(written);
        }
        CFRelease(list);
    }
    CFRelease(bytes);
    if (BwSimCFLiveObjects() != live) abort();
    return 0;
}

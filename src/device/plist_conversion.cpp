#include "device/plist_conversion.h"

#include "device/runtime_values.h"

namespace bw {

namespace {

using CFData = CFOwned<rt::CFDataRef>;
using CFPropertyList = CFOwned<rt::CFPropertyListRef>;

CFData MakeData(std::string_view bytes) {
    // CoreFoundation counts in CFIndex and copies the bytes; an empty input has nothing to parse.
    if (bytes.empty()) return {};
    return CFData(Runtime().CFDataCreate(nullptr, reinterpret_cast<const rt::UInt8*>(bytes.data()),
                                         static_cast<rt::CFIndex>(bytes.size())));
}

std::string BytesOf(const CFData& data) {
    if (!data) return {};
    const rt::CFIndex length = Runtime().CFDataGetLength(data.get());
    const rt::UInt8* bytes = Runtime().CFDataGetBytePtr(data.get());
    if (length <= 0 || bytes == nullptr) return {};
    return std::string(reinterpret_cast<const char*>(bytes), static_cast<size_t>(length));
}

}  // namespace

std::string XmlPlistToBinary(std::string_view xml) {
    if (!RuntimeLoaded() || Runtime().CFPropertyListCreateData == nullptr) return {};
    const CFData data = MakeData(xml);
    if (!data) return {};
    // The old reader also takes binary lists; an error text it may hand back is ours to release.
    rt::CFStringRef errorText = nullptr;
    const CFPropertyList list(Runtime().CFPropertyListCreateFromXMLData(
        nullptr, data.get(), rt::kCFPropertyListImmutable, &errorText));
    const CFString error(errorText);
    if (!list) return {};
    rt::CFErrorRef writeError = nullptr;
    const CFData binary(Runtime().CFPropertyListCreateData(
        nullptr, list.get(), rt::kCFPropertyListBinaryFormat, 0, &writeError));
    const CFOwned<rt::CFErrorRef> writeErrorOwner(writeError);
    return BytesOf(binary);
}

std::string BinaryPlistToXml(std::string_view binary) {
    if (!RuntimeLoaded()) return {};
    const CFData data = MakeData(binary);
    if (!data) return {};
    rt::CFErrorRef readError = nullptr;
    const CFPropertyList list(Runtime().CFPropertyListCreateWithData(
        nullptr, data.get(), rt::kCFPropertyListImmutable, nullptr, &readError));
    const CFOwned<rt::CFErrorRef> readErrorOwner(readError);
    if (!list) return {};
    return BytesOf(CFData(Runtime().CFPropertyListCreateXMLData(nullptr, list.get())));
}

}  // namespace bw

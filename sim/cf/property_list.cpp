// Property lists in and out of bytes, XML and binary, over libplist; and the error objects the
// readers and writers report with.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "cf_plist.h"
#include "device/plist_guard.h"
#include "device/plist_library.h"
#include "objects.h"

namespace bw::sim::cf {
namespace {

CFErrorRef NewError(CFIndex code, std::u16string description) {
    return Handle<CFErrorRef>(NewObject<ErrorObject>(code, std::move(description)));
}

void Report(CFErrorRef* error, CFIndex code, const char16_t* description) {
    if (error == nullptr) return;
    try {
        *error = NewError(code, description);
    } catch (...) {
        *error = nullptr;
    }
}

uint64_t ReadBigEndian(const unsigned char* bytes, size_t count) {
    uint64_t value = 0;
    for (size_t i = 0; i < count; ++i)
        value = (value << 8) | bytes[i];
    return value;
}

// libplist asserts, and so ends the process, when it hands out a dictionary key holding a zero
// character, which a binary list can spell. This visits every dictionary in the object table
// (reachable or not, so every bound is checked here again) and each key object once.
bool BinaryKeysHaveNoZeroCharacter(std::string_view bytes) {
    const auto* data = reinterpret_cast<const unsigned char*>(bytes.data());
    const size_t size = bytes.size();
    if (size < 8 + 32) return false;
    const unsigned char* trailer = data + size - 32;
    const size_t offsetSize = trailer[6];
    const size_t refSize = trailer[7];
    const uint64_t count = ReadBigEndian(trailer + 8, 8);
    const uint64_t table = ReadBigEndian(trailer + 24, 8);
    if (offsetSize < 1 || offsetSize > 8 || refSize < 1 || refSize > 8) return false;
    if (table > size - 32 || count > (size - 32 - table) / offsetSize) return false;

    auto objectAt = [&](uint64_t index) -> std::optional<size_t> {
        const uint64_t offset = ReadBigEndian(data + table + index * offsetSize, offsetSize);
        if (offset < 8 || offset >= table) return std::nullopt;
        return static_cast<size_t>(offset);
    };
    // A count in the marker's low nibble, or (0xF) as the integer object after it.
    auto countAt = [&](uint8_t marker, size_t& pos) -> std::optional<uint64_t> {
        if ((marker & 0xF) != 0xF) return marker & 0xF;
        if (pos >= table || (data[pos] >> 4) != 0x1 || (data[pos] & 0xF) > 3) return std::nullopt;
        const size_t width = size_t{1} << (data[pos] & 0xF);
        if (table - pos - 1 < width) return std::nullopt;
        const uint64_t value = ReadBigEndian(data + pos + 1, width);
        pos += 1 + width;
        return value;
    };
    auto keyHasZero = [&](size_t offset) {
        const uint8_t marker = data[offset];
        const size_t unit = (marker >> 4) == 0x6 ? 2 : 1;
        if ((marker >> 4) != 0x5 && (marker >> 4) != 0x6) return false;
        size_t pos = offset + 1;
        const std::optional<uint64_t> length = countAt(marker, pos);
        if (!length || *length > (table - pos) / unit) return false;
        for (uint64_t i = 0; i < *length; ++i) {
            if (data[pos + i * unit] == 0 && (unit == 1 || data[pos + i * unit + 1] == 0)) {
                return true;
            }
        }
        return false;
    };

    std::vector<bool> keyChecked(static_cast<size_t>(count), false);
    for (uint64_t index = 0; index < count; ++index) {
        const std::optional<size_t> offset = objectAt(index);
        if (!offset || (data[*offset] >> 4) != 0xD) continue;
        size_t pos = *offset + 1;
        const std::optional<uint64_t> entries = countAt(data[*offset], pos);
        if (!entries || *entries > (table - pos) / refSize) continue;
        for (uint64_t k = 0; k < *entries; ++k) {
            const uint64_t key = ReadBigEndian(data + pos + k * refSize, refSize);
            if (key >= count || keyChecked[key]) continue;
            keyChecked[key] = true;
            const std::optional<size_t> keyOffset = objectAt(key);
            if (keyOffset && keyHasZero(*keyOffset)) return false;
        }
    }
    return true;
}

// libplist trusts the offsets, references and nesting it reads, so bytes reach it only after the
// structural checks the library itself runs before handing bytes to libplist. Old-style
// (OpenStep) text lists are not read: no device service or backup file uses them.
plist_t ParseBytes(std::string_view bytes, CFPropertyListFormat& format) {
    plist_t root = nullptr;
    if (bytes.empty() || bytes.size() > kPlistMaxInputBytes) return nullptr;
    if (IsBinaryPlist(bytes)) {
        if (!BinaryPlistLooksSafe(bytes) || !BinaryKeysHaveNoZeroCharacter(bytes)) return nullptr;
        plist_from_bin(bytes.data(), static_cast<uint32_t>(bytes.size()), &root);
        format = kCFPropertyListBinaryFormat_v1_0;
    } else {
        if (!XmlPlistLooksSafe(bytes)) return nullptr;
        plist_from_xml(bytes.data(), static_cast<uint32_t>(bytes.size()), &root);
        format = kCFPropertyListXMLFormat_v1_0;
    }
    return root;
}

CFPropertyListRef Parse(CFDataRef data, CFOptionFlags options, CFPropertyListFormat* format) {
    const DataObject* object = As<DataObject>(data);
    if (object == nullptr) return nullptr;
    CFPropertyListFormat found = 0;
    plist_t root = ParseBytes(object->bytes, found);
    if (root == nullptr) return nullptr;
    CFPropertyListRef result = BwSimCFFromPlistWithOptions(root, options);
    plist_free(root);
    if (result != nullptr && format != nullptr) *format = found;
    return result;
}

}  // namespace
}  // namespace bw::sim::cf

using namespace bw::sim::cf;

extern "C" {

CFTypeID CFErrorGetTypeID(void) {
    return kErrorType;
}

CFIndex CFErrorGetCode(CFErrorRef err) {
    const ErrorObject* error = As<ErrorObject>(err);
    return error != nullptr ? error->code : 0;
}

CFStringRef CFErrorCopyDescription(CFErrorRef err) {
    const ErrorObject* error = As<ErrorObject>(err);
    if (error == nullptr) return nullptr;
    try {
        return NewString(error->description);
    } catch (...) {
        return nullptr;
    }
}

CFPropertyListRef CFPropertyListCreateWithData(CFAllocatorRef, CFDataRef data,
                                               CFOptionFlags options, CFPropertyListFormat* format,
                                               CFErrorRef* error) {
    if (error != nullptr) *error = nullptr;
    CFPropertyListRef result = Parse(data, options, format);
    if (result == nullptr) {
        Report(error, kCFPropertyListReadCorruptError,
               u"The data is not a property list in XML or binary form, or it is damaged.");
    }
    return result;
}

// Despite the name this reads binary lists too, as the real function does.
CFPropertyListRef CFPropertyListCreateFromXMLData(CFAllocatorRef, CFDataRef xmlData,
                                                  CFOptionFlags mutabilityOption,
                                                  CFStringRef* errorString) {
    if (errorString != nullptr) *errorString = nullptr;
    CFPropertyListRef result = Parse(xmlData, mutabilityOption, nullptr);
    if (result == nullptr && errorString != nullptr) {
        try {
            *errorString = NewString(u"The data is not a property list, or it is damaged.");
        } catch (...) {
            *errorString = nullptr;
        }
    }
    return result;
}

CFDataRef CFPropertyListCreateData(CFAllocatorRef, CFPropertyListRef propertyList,
                                   CFPropertyListFormat format, CFOptionFlags, CFErrorRef* error) {
    if (error != nullptr) *error = nullptr;
    // Callers pass the format as a 32-bit int as often as a CFIndex.
    const auto wanted = static_cast<int32_t>(format);
    if (wanted != kCFPropertyListXMLFormat_v1_0 && wanted != kCFPropertyListBinaryFormat_v1_0) {
        Report(error, kCFPropertyListWriteStreamError,
               u"Only XML and binary property lists can be written.");
        return nullptr;
    }
    plist_t root = BwSimCFToPlist(propertyList);
    if (root == nullptr) {
        Report(error, kCFPropertyListWriteStreamError,
               u"The value is not a property list, or it cannot be written as one.");
        return nullptr;
    }
    char* bytes = nullptr;
    uint32_t length = 0;
    if (wanted == kCFPropertyListXMLFormat_v1_0) {
        plist_to_xml(root, &bytes, &length);
    } else {
        plist_to_bin(root, &bytes, &length);
    }
    plist_free(root);
    CFDataRef data = nullptr;
    if (bytes != nullptr) {
        data = CFDataCreate(nullptr, reinterpret_cast<const UInt8*>(bytes), length);
        if (wanted == kCFPropertyListXMLFormat_v1_0) {
            plist_to_xml_free(bytes);
        } else {
            plist_to_bin_free(bytes);
        }
    }
    if (data == nullptr) {
        Report(error, kCFPropertyListWriteStreamError, u"The property list could not be written.");
    }
    return data;
}

CFDataRef CFPropertyListCreateXMLData(CFAllocatorRef alloc, CFPropertyListRef propertyList) {
    return CFPropertyListCreateData(alloc, propertyList, kCFPropertyListXMLFormat_v1_0, 0, nullptr);
}

}  // extern "C"

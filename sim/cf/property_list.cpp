// Property lists in and out of bytes, XML and binary, over libplist; and the error objects the
// readers and writers report with.
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

#include "cf_plist.h"
#include "common/plist_input_check.h"
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

// libplist trusts the offsets, references and nesting it reads, and aborts on a dictionary key
// with a zero character, so bytes reach it only through the simulator's structural checks.
// Old-style (OpenStep) text lists are not read: no device service or backup file uses them.
PlistTree ParseBytes(std::string_view bytes, CFPropertyListFormat& format) {
    format = LooksLikeBinaryPlist(bytes) ? kCFPropertyListBinaryFormat_v1_0
                                         : kCFPropertyListXMLFormat_v1_0;
    return ParseCheckedPlist(bytes);
}

CFPropertyListRef Parse(CFDataRef data, CFOptionFlags options, CFPropertyListFormat* format) {
    const DataObject* object = As<DataObject>(data);
    if (object == nullptr) return nullptr;
    CFPropertyListFormat found = 0;
    const PlistTree root = ParseBytes(object->bytes, found);
    if (root == nullptr) return nullptr;
    CFPropertyListRef result = BwSimCFFromPlistWithOptions(root.get(), options);
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
    const bw::sim::PlistTree root(BwSimCFToPlist(propertyList));
    if (root == nullptr) {
        Report(error, kCFPropertyListWriteStreamError,
               u"The value is not a property list, or it cannot be written as one.");
        return nullptr;
    }
    char* bytes = nullptr;
    uint32_t length = 0;
    if (wanted == kCFPropertyListXMLFormat_v1_0) {
        plist_to_xml(root.get(), &bytes, &length);
    } else {
        plist_to_bin(root.get(), &bytes, &length);
    }
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

// Byte buffers and dates.
#include <cstring>
#include <string>
#include <utility>

#include "objects.h"

using namespace bw::sim::cf;

extern "C" {

CFTypeID CFDataGetTypeID(void) {
    return kDataType;
}

CFDataRef CFDataCreate(CFAllocatorRef, const UInt8* bytes, CFIndex length) {
    if (length < 0 || (bytes == nullptr && length > 0)) {
        CountMisuse();
        return nullptr;
    }
    try {
        std::string copy(reinterpret_cast<const char*>(bytes), static_cast<size_t>(length));
        return Handle<CFDataRef>(NewObject<DataObject>(std::move(copy), false));
    } catch (...) {
        return nullptr;
    }
}

// The capacity is a hint here, as it is in current versions of the real library.
CFMutableDataRef CFDataCreateMutable(CFAllocatorRef, CFIndex capacity) {
    if (capacity < 0) {
        CountMisuse();
        return nullptr;
    }
    return Handle<CFMutableDataRef>(NewObject<DataObject>(std::string(), true));
}

CFIndex CFDataGetLength(CFDataRef theData) {
    const DataObject* data = As<DataObject>(theData);
    return data != nullptr ? static_cast<CFIndex>(data->bytes.size()) : 0;
}

const UInt8* CFDataGetBytePtr(CFDataRef theData) {
    const DataObject* data = As<DataObject>(theData);
    return data != nullptr ? reinterpret_cast<const UInt8*>(data->bytes.data()) : nullptr;
}

UInt8* CFDataGetMutableBytePtr(CFMutableDataRef theData) {
    DataObject* data = As<DataObject>(theData);
    if (data == nullptr) return nullptr;
    if (!data->isMutable) {
        CountMisuse();
        return nullptr;
    }
    return reinterpret_cast<UInt8*>(data->bytes.data());
}

void CFDataAppendBytes(CFMutableDataRef theData, const UInt8* bytes, CFIndex length) {
    DataObject* data = As<DataObject>(theData);
    if (data == nullptr) return;
    if (!data->isMutable || length < 0 || (bytes == nullptr && length > 0)) {
        CountMisuse();
        return;
    }
    try {
        data->bytes.append(reinterpret_cast<const char*>(bytes), static_cast<size_t>(length));
    } catch (...) {
        CountMisuse();  // a length no buffer can hold
    }
}

CFTypeID CFDateGetTypeID(void) {
    return kDateType;
}

CFDateRef CFDateCreate(CFAllocatorRef, CFAbsoluteTime at) {
    return Handle<CFDateRef>(NewObject<DateObject>(at));
}

CFAbsoluteTime CFDateGetAbsoluteTime(CFDateRef theDate) {
    const DateObject* date = As<DateObject>(theDate);
    return date != nullptr ? date->at : 0;
}

}  // extern "C"

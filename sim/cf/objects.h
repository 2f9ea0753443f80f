// The object model behind the CF handles: every handle points at an ObjectHeader, the first part
// of one of the object structs below.
#pragma once

#include <atomic>
#include <cstdint>
#include <new>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "CoreFoundation.h"

namespace bw::sim::cf {

// Fixed type identifiers: nothing registers types at run time here.
enum TypeId : CFTypeID {
    kStringType = 1,
    kNumberType,
    kBooleanType,
    kDataType,
    kDateType,
    kArrayType,
    kDictionaryType,
    kErrorType,
    kForeignType,  // an object of another stand-in library (cf_foreign.h)
    kTypeCount,
};

inline constexpr uint32_t kLiveMagic = 0x4346'4c56;  // "CFLV"
inline constexpr uint32_t kDeadMagic = 0x4346'4444;  // "CFDD"

struct ObjectHeader {
    constexpr ObjectHeader(TypeId type, bool immortal) : type(type), immortal(immortal) {}

    std::atomic<uint32_t> magic{kLiveMagic};
    const TypeId type;
    const bool immortal;
    std::atomic<long> references{1};
    ObjectHeader* nextToDestroy = nullptr;
};

// What stays at a freed object's address while it sits in quarantine: the magic sits where a
// live header keeps it, so a late release or lookup sees a dead object instead of reused memory.
struct Tombstone {
    std::atomic<uint32_t> magic{kDeadMagic};
};

struct StringObject : ObjectHeader {
    static constexpr TypeId kType = kStringType;
    explicit StringObject(std::u16string text)
        : ObjectHeader(kType, false), text(std::move(text)) {}
    std::u16string text;
};

// Integers are kept as 64-bit signed values, floats as doubles (a Float32 is exact in a
// double); `type` is the canonical type the number was made with.
struct NumberObject : ObjectHeader {
    static constexpr TypeId kType = kNumberType;
    NumberObject(CFNumberType type, int64_t integer, double real)
        : ObjectHeader(kType, false), type(type), integer(integer), real(real) {}
    CFNumberType type;
    int64_t integer;
    double real;
    bool IsFloat() const { return type == kCFNumberFloat32Type || type == kCFNumberFloat64Type; }
};

struct BooleanObject : ObjectHeader {
    static constexpr TypeId kType = kBooleanType;
    constexpr explicit BooleanObject(bool value) : ObjectHeader(kType, true), value(value) {}
    const bool value;
};

struct DataObject : ObjectHeader {
    static constexpr TypeId kType = kDataType;
    DataObject(std::string bytes, bool isMutable)
        : ObjectHeader(kType, false), bytes(std::move(bytes)), isMutable(isMutable) {}
    std::string bytes;  // std::string: data() is never null, even when empty
    const bool isMutable;
};

struct DateObject : ObjectHeader {
    static constexpr TypeId kType = kDateType;
    explicit DateObject(CFAbsoluteTime at) : ObjectHeader(kType, false), at(at) {}
    CFAbsoluteTime at;
};

struct ArrayObject : ObjectHeader {
    static constexpr TypeId kType = kArrayType;
    ArrayObject(const CFArrayCallBacks& callbacks, bool isMutable)
        : ObjectHeader(kType, false), callbacks(callbacks), isMutable(isMutable) {}
    const CFArrayCallBacks callbacks;
    const bool isMutable;
    std::vector<const void*> values;
};

struct DictionaryObject : ObjectHeader {
    static constexpr TypeId kType = kDictionaryType;
    DictionaryObject(const CFDictionaryKeyCallBacks& keyCallbacks,
                     const CFDictionaryValueCallBacks& valueCallbacks, bool isMutable)
        : ObjectHeader(kType, false),
          keyCallbacks(keyCallbacks),
          valueCallbacks(valueCallbacks),
          isMutable(isMutable) {}
    const CFDictionaryKeyCallBacks keyCallbacks;
    const CFDictionaryValueCallBacks valueCallbacks;
    const bool isMutable;
    // Insertion order, so property lists come out in the order they were built or read.
    std::vector<std::pair<const void*, const void*>> entries;
    std::unordered_multimap<CFHashCode, size_t> slotsByHash;
};

struct ErrorObject : ObjectHeader {
    static constexpr TypeId kType = kErrorType;
    ErrorObject(CFIndex code, std::u16string description)
        : ObjectHeader(kType, false), code(code), description(std::move(description)) {}
    CFIndex code;
    std::u16string description;
};

// Runs a foreign object's finalizer and destroys it (foreign.cpp).
void DestroyForeign(ObjectHeader* header);

// Counts a call the real library would crash or assert on.
void CountMisuse();

// The header behind a handle, when the handle is a live object of this library; null otherwise
// (null, small or misaligned pointers, freed objects still in quarantine).
ObjectHeader* LiveObject(CFTypeRef cf);

// The object behind a handle when it is live and of type T; null (and a counted misuse) otherwise.
template <class T>
T* As(CFTypeRef cf) {
    ObjectHeader* header = LiveObject(cf);
    if (header == nullptr || header->type != T::kType) {
        CountMisuse();
        return nullptr;
    }
    return static_cast<T*>(header);
}

void NoteCreated(TypeId type);

// A new object with one reference, or null when memory runs out.
template <class T, class... Args>
T* NewObject(Args&&... args) {
    void* raw = ::operator new(sizeof(T), std::nothrow);
    if (raw == nullptr) return nullptr;
    try {
        T* object = new (raw) T(std::forward<Args>(args)...);
        NoteCreated(T::kType);
        return object;
    } catch (...) {
        ::operator delete(raw);
        return nullptr;
    }
}

// The retain and release members of the kCFType callback structs.
const void* RetainObject(CFAllocatorRef allocator, const void* value);
void ReleaseObject(CFAllocatorRef allocator, const void* value);

// The handle of an object (null stays null).
template <class Ref>
Ref Handle(ObjectHeader* object) {
    return reinterpret_cast<Ref>(object);
}

// Releases through a container's callback, for values the container retained on the way in.
inline void ReleaseWith(CFArrayReleaseCallBack release, const void* value) {
    if (release != nullptr) release(nullptr, value);
}
inline const void* RetainWith(CFArrayRetainCallBack retain, const void* value) {
    return retain != nullptr ? retain(nullptr, value) : value;
}

// Per-type parts of CFEqual, CFHash and destruction, each in its type's file.
bool NumbersEqual(const NumberObject& a, const NumberObject& b);
CFHashCode NumberHash(const NumberObject& number);
CFHashCode StringHash(const std::u16string& text);
bool ArraysEqual(const ArrayObject& a, const ArrayObject& b);
bool DictionariesEqual(const DictionaryObject& a, const DictionaryObject& b);
void ReleaseArrayValues(ArrayObject& array);

// Take over one reference to the value (and key) that the caller made, as the property-list
// reader does; false (and the references released) when memory runs out. A dictionary key
// already present keeps its first value, and the new pair is released.
bool AdoptValue(ArrayObject& array, const void* value);
bool AdoptEntry(DictionaryObject& dictionary, const void* key, const void* value);
void ReleaseDictionaryEntries(DictionaryObject& dictionary);

// Strings in and out of UTF-8, for property lists and descriptions. FromUtf8 is strict: invalid
// UTF-8 gives false. ToUtf8 gives false for unpaired surrogates.
bool FromUtf8(const char* bytes, size_t length, std::u16string& out);
bool ToUtf8(const std::u16string& text, std::string& out);
CFStringRef NewString(std::u16string text);

}  // namespace bw::sim::cf

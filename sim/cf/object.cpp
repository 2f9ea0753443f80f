// Reference counting, destruction, the counters tests read, and the calls that work on any
// object (CFRetain, CFRelease, CFGetTypeID, CFEqual, CFHash, CFCopyDescription).
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <utility>

#include "objects.h"

namespace bw::sim::cf {
namespace {

// Everything here is constant-initialised: the tests start many processes, and the library loads
// this file into each of them, so loading must not run any code.
constinit std::atomic<long> g_liveObjects{0};
constinit std::atomic<long> g_createdObjects{0};
constinit std::atomic<long> g_misuses{0};
constinit std::atomic<long> g_liveByType[kTypeCount] = {};

// A freed object's memory is kept back for the next kQuarantineSlots frees, so that a release of
// an object that is already gone finds a tombstone (and is counted) rather than reused memory.
// Beyond that window an over-release is undefined behaviour, as it is in the real library.
constexpr size_t kQuarantineSlots = 1024;
constinit std::mutex g_quarantineLock;
constinit void* g_quarantine[kQuarantineSlots] = {};
constinit size_t g_quarantineNext = 0;

void Quarantine(void* raw) {
    void* evicted = nullptr;
    {
        std::lock_guard<std::mutex> lock(g_quarantineLock);
        evicted = std::exchange(g_quarantine[g_quarantineNext], raw);
        g_quarantineNext = (g_quarantineNext + 1) % kQuarantineSlots;
    }
    ::operator delete(evicted);
}

template <class T>
void DestroyAs(ObjectHeader* header) {
    static_cast<T*>(header)->~T();
}

void DestroyOne(ObjectHeader* header) {
    const TypeId type = header->type;
    void* raw = header;
    switch (type) {
        case kStringType:
            DestroyAs<StringObject>(header);
            break;
        case kNumberType:
            DestroyAs<NumberObject>(header);
            break;
        case kDataType:
            DestroyAs<DataObject>(header);
            break;
        case kDateType:
            DestroyAs<DateObject>(header);
            break;
        case kArrayType:
            ReleaseArrayValues(*static_cast<ArrayObject*>(header));
            DestroyAs<ArrayObject>(header);
            break;
        case kDictionaryType:
            ReleaseDictionaryEntries(*static_cast<DictionaryObject*>(header));
            DestroyAs<DictionaryObject>(header);
            break;
        case kErrorType:
            DestroyAs<ErrorObject>(header);
            break;
        case kForeignType:
            DestroyForeign(header);
            break;
        case kBooleanType:
        case kTypeCount:
            return;  // immortal, or not an object: never reaches here
    }
    new (raw) Tombstone();
    g_liveByType[type].fetch_sub(1, std::memory_order_relaxed);
    g_liveObjects.fetch_sub(1, std::memory_order_relaxed);
    Quarantine(raw);
}

// Objects whose count reached zero are destroyed by a loop on the releasing thread rather than
// by recursion: freeing a container releases its values, which may free containers in turn, and
// a list nested thousands deep must not exhaust the stack.
thread_local ObjectHeader* t_pendingDestruction = nullptr;
thread_local bool t_destroying = false;

void Dispose(ObjectHeader* header) {
    header->magic.store(kDeadMagic, std::memory_order_relaxed);
    header->nextToDestroy = t_pendingDestruction;
    t_pendingDestruction = header;
    if (t_destroying) return;
    t_destroying = true;
    while (t_pendingDestruction != nullptr) {
        ObjectHeader* next = t_pendingDestruction;
        t_pendingDestruction = next->nextToDestroy;
        DestroyOne(next);
    }
    t_destroying = false;
}

CFHashCode BytesHash(const void* bytes, size_t length) {
    uint64_t hash = 0xcbf29ce484222325ull;  // FNV-1a
    const auto* p = static_cast<const unsigned char*>(bytes);
    for (size_t i = 0; i < length; ++i)
        hash = (hash ^ p[i]) * 0x100000001b3ull;
    return hash;
}

std::string Describe(ObjectHeader* header) {
    char text[64];
    switch (header->type) {
        case kStringType: {
            std::string utf8;
            ToUtf8(static_cast<StringObject*>(header)->text, utf8);
            return utf8;
        }
        case kNumberType: {
            const auto* number = static_cast<NumberObject*>(header);
            if (number->IsFloat()) {
                std::snprintf(text, sizeof text, "%.17g", number->real);
            } else {
                std::snprintf(text, sizeof text, "%lld", static_cast<long long>(number->integer));
            }
            return text;
        }
        case kBooleanType:
            return static_cast<BooleanObject*>(header)->value ? "true" : "false";
        case kDataType:
            std::snprintf(text, sizeof text, "<data: %zu bytes>",
                          static_cast<DataObject*>(header)->bytes.size());
            return text;
        case kDateType:
            std::snprintf(text, sizeof text, "<date: %.17g s since 2001-01-01>",
                          static_cast<DateObject*>(header)->at);
            return text;
        case kArrayType:
            std::snprintf(text, sizeof text, "<array: %zu values>",
                          static_cast<ArrayObject*>(header)->values.size());
            return text;
        case kDictionaryType:
            std::snprintf(text, sizeof text, "<dictionary: %zu entries>",
                          static_cast<DictionaryObject*>(header)->entries.size());
            return text;
        case kErrorType: {
            std::string utf8;
            ToUtf8(static_cast<ErrorObject*>(header)->description, utf8);
            return utf8;
        }
        case kForeignType:
            return "<foreign object>";
        case kTypeCount:
            break;
    }
    return {};
}

}  // namespace

void CountMisuse() {
    g_misuses.fetch_add(1, std::memory_order_relaxed);
}

void NoteCreated(TypeId type) {
    g_liveByType[type].fetch_add(1, std::memory_order_relaxed);
    g_liveObjects.fetch_add(1, std::memory_order_relaxed);
    g_createdObjects.fetch_add(1, std::memory_order_relaxed);
}

ObjectHeader* LiveObject(CFTypeRef cf) {
    const auto address = reinterpret_cast<uintptr_t>(cf);
    // No object lives in the first page; callers of containers with custom callbacks often use
    // small integers as keys or values.
    if (address < 4096 || address % alignof(ObjectHeader) != 0) return nullptr;
    const auto* magic = static_cast<const std::atomic<uint32_t>*>(cf);
    if (magic->load(std::memory_order_relaxed) != kLiveMagic) return nullptr;
    return static_cast<ObjectHeader*>(const_cast<void*>(cf));
}

const void* RetainObject(CFAllocatorRef, const void* value) {
    return CFRetain(value);
}

void ReleaseObject(CFAllocatorRef, const void* value) {
    CFRelease(value);
}

}  // namespace bw::sim::cf

using namespace bw::sim::cf;

extern "C" {

const CFAllocatorRef kCFAllocatorDefault = nullptr;

CFTypeRef CFRetain(CFTypeRef cf) {
    ObjectHeader* header = LiveObject(cf);
    if (header == nullptr) {
        CountMisuse();
        return cf;
    }
    if (!header->immortal) header->references.fetch_add(1, std::memory_order_relaxed);
    return cf;
}

// The real library halts on CFRelease(NULL); here it is counted instead, like a release of an
// object already freed (while its memory sits in quarantine).
void CFRelease(CFTypeRef cf) {
    ObjectHeader* header = LiveObject(cf);
    if (header == nullptr) {
        CountMisuse();
        return;
    }
    if (header->immortal) return;
    const long before = header->references.fetch_sub(1, std::memory_order_acq_rel);
    if (before > 1) return;
    if (before < 1) {
        // Another thread released the last reference at the same moment.
        CountMisuse();
        return;
    }
    Dispose(header);
}

CFIndex CFGetRetainCount(CFTypeRef cf) {
    ObjectHeader* header = LiveObject(cf);
    if (header == nullptr) {
        CountMisuse();
        return 0;
    }
    return header->immortal ? LONG_MAX : header->references.load(std::memory_order_relaxed);
}

CFTypeID CFGetTypeID(CFTypeRef cf) {
    ObjectHeader* header = LiveObject(cf);
    if (header == nullptr) {
        CountMisuse();
        return 0;
    }
    return header->type;
}

Boolean CFEqual(CFTypeRef cf1, CFTypeRef cf2) {
    ObjectHeader* a = LiveObject(cf1);
    ObjectHeader* b = LiveObject(cf2);
    if (a == nullptr || b == nullptr) {
        CountMisuse();
        return cf1 == cf2;
    }
    if (a == b) return true;
    if (a->type != b->type) return false;
    switch (a->type) {
        case kStringType:
            return static_cast<StringObject*>(a)->text == static_cast<StringObject*>(b)->text;
        case kNumberType:
            return NumbersEqual(*static_cast<NumberObject*>(a), *static_cast<NumberObject*>(b));
        case kDataType:
            return static_cast<DataObject*>(a)->bytes == static_cast<DataObject*>(b)->bytes;
        case kDateType: {
            const double x = static_cast<DateObject*>(a)->at;
            const double y = static_cast<DateObject*>(b)->at;
            return x == y || (std::isnan(x) && std::isnan(y));  // as numbers do
        }
        case kArrayType:
            return ArraysEqual(*static_cast<ArrayObject*>(a), *static_cast<ArrayObject*>(b));
        case kDictionaryType:
            return DictionariesEqual(*static_cast<DictionaryObject*>(a),
                                     *static_cast<DictionaryObject*>(b));
        case kErrorType: {
            const auto* x = static_cast<ErrorObject*>(a);
            const auto* y = static_cast<ErrorObject*>(b);
            return x->code == y->code && x->description == y->description;
        }
        case kBooleanType:  // two booleans exist, and distinct pointers differ in value
        case kForeignType:  // identity objects
        case kTypeCount:
            break;
    }
    return false;
}

CFHashCode CFHash(CFTypeRef cf) {
    ObjectHeader* header = LiveObject(cf);
    if (header == nullptr) {
        CountMisuse();
        return reinterpret_cast<uintptr_t>(cf);
    }
    switch (header->type) {
        case kStringType:
            return StringHash(static_cast<StringObject*>(header)->text);
        case kNumberType:
            return NumberHash(*static_cast<NumberObject*>(header));
        case kBooleanType:
            return static_cast<BooleanObject*>(header)->value ? 1 : 0;
        case kDataType: {
            const std::string& bytes = static_cast<DataObject*>(header)->bytes;
            return BytesHash(bytes.data(), bytes.size());
        }
        case kDateType: {
            double at = static_cast<DateObject*>(header)->at;
            if (at == 0) at = 0;  // -0.0 equals 0.0, so it must hash alike
            if (std::isnan(at)) return 0x7ff8;
            return BytesHash(&at, sizeof at);
        }
        // Containers hash by size: equal containers have equal sizes, and hashing the values
        // would make every lookup walk whole trees.
        case kArrayType:
            return static_cast<ArrayObject*>(header)->values.size();
        case kDictionaryType:
            return static_cast<DictionaryObject*>(header)->entries.size();
        case kErrorType:
            return static_cast<CFHashCode>(static_cast<ErrorObject*>(header)->code);
        case kForeignType:
            return reinterpret_cast<uintptr_t>(cf);
        case kTypeCount:
            break;
    }
    return 0;
}

CFStringRef CFCopyDescription(CFTypeRef cf) {
    ObjectHeader* header = LiveObject(cf);
    if (header == nullptr) {
        CountMisuse();
        return nullptr;
    }
    if (header->type == kStringType) return static_cast<CFStringRef>(CFRetain(cf));
    try {
        const std::string utf8 = Describe(header);
        std::u16string text;
        if (!FromUtf8(utf8.data(), utf8.size(), text)) return nullptr;
        return NewString(std::move(text));
    } catch (...) {
        return nullptr;
    }
}

long BwSimCFLiveObjects(void) {
    return g_liveObjects.load(std::memory_order_relaxed);
}

long BwSimCFLiveObjectsOfType(CFTypeID type) {
    if (type == 0 || type >= kTypeCount) return 0;
    return g_liveByType[type].load(std::memory_order_relaxed);
}

long BwSimCFTotalCreated(void) {
    return g_createdObjects.load(std::memory_order_relaxed);
}

long BwSimCFMisuses(void) {
    return g_misuses.load(std::memory_order_relaxed);
}

}  // extern "C"

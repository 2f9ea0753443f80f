// Dictionaries: keys found by the hash and equality callbacks (by value for CF objects), values
// kept through the callbacks the dictionary was made with.
#include <optional>

#include "objects.h"

using namespace bw::sim::cf;

namespace bw::sim::cf {
namespace {

const CFDictionaryKeyCallBacks kNoKeyCallbacks = {};
const CFDictionaryValueCallBacks kNoValueCallbacks = {};

CFHashCode HashOf(const DictionaryObject& dictionary, const void* key) {
    return dictionary.keyCallbacks.hash != nullptr ? dictionary.keyCallbacks.hash(key)
                                                   : reinterpret_cast<uintptr_t>(key);
}

std::optional<size_t> SlotOf(const DictionaryObject& dictionary, const void* key) {
    const auto [first, last] = dictionary.slotsByHash.equal_range(HashOf(dictionary, key));
    for (auto it = first; it != last; ++it) {
        const void* stored = dictionary.entries[it->second].first;
        if (stored == key || (dictionary.keyCallbacks.equal != nullptr &&
                              dictionary.keyCallbacks.equal(stored, key))) {
            return it->second;
        }
    }
    return std::nullopt;
}

// Stores a pair the dictionary already holds references to; false when memory ran out.
bool Store(DictionaryObject& dictionary, const void* key, const void* value) {
    const CFHashCode hash = HashOf(dictionary, key);
    try {
        dictionary.entries.emplace_back(key, value);
    } catch (...) {
        return false;
    }
    try {
        dictionary.slotsByHash.emplace(hash, dictionary.entries.size() - 1);
        return true;
    } catch (...) {
        dictionary.entries.pop_back();
        return false;
    }
}

void ReleasePair(const DictionaryObject& dictionary, const void* key, const void* value) {
    ReleaseWith(dictionary.keyCallbacks.release, key);
    ReleaseWith(dictionary.valueCallbacks.release, value);
}

void Insert(DictionaryObject& dictionary, const void* key, const void* value) {
    const void* keptKey = RetainWith(dictionary.keyCallbacks.retain, key);
    const void* keptValue = RetainWith(dictionary.valueCallbacks.retain, value);
    if (!Store(dictionary, keptKey, keptValue)) ReleasePair(dictionary, keptKey, keptValue);
}

// The new value is retained before the old one is released: they may be the same object.
void Replace(DictionaryObject& dictionary, size_t slot, const void* value) {
    const void* keptValue = RetainWith(dictionary.valueCallbacks.retain, value);
    const void* old = dictionary.entries[slot].second;
    dictionary.entries[slot].second = keptValue;
    ReleaseWith(dictionary.valueCallbacks.release, old);
}

DictionaryObject* Mutable(CFMutableDictionaryRef theDict) {
    DictionaryObject* dictionary = As<DictionaryObject>(theDict);
    if (dictionary != nullptr && !dictionary->isMutable) {
        CountMisuse();
        return nullptr;
    }
    return dictionary;
}

DictionaryObject* NewDictionary(const CFDictionaryKeyCallBacks* keyCallBacks,
                                const CFDictionaryValueCallBacks* valueCallBacks, bool isMutable) {
    return NewObject<DictionaryObject>(
        keyCallBacks != nullptr ? *keyCallBacks : kNoKeyCallbacks,
        valueCallBacks != nullptr ? *valueCallBacks : kNoValueCallbacks, isMutable);
}

}  // namespace

bool DictionariesEqual(const DictionaryObject& a, const DictionaryObject& b) {
    if (a.entries.size() != b.entries.size()) return false;
    for (const auto& [key, value] : a.entries) {
        const std::optional<size_t> slot = SlotOf(b, key);
        if (!slot) return false;
        const void* other = b.entries[*slot].second;
        if (value != other &&
            (a.valueCallbacks.equal == nullptr || !a.valueCallbacks.equal(value, other))) {
            return false;
        }
    }
    return true;
}

bool AdoptEntry(DictionaryObject& dictionary, const void* key, const void* value) {
    const bool duplicate = SlotOf(dictionary, key).has_value();
    if (!duplicate && Store(dictionary, key, value)) return true;
    ReleasePair(dictionary, key, value);
    return duplicate;
}

void ReleaseDictionaryEntries(DictionaryObject& dictionary) {
    for (const auto& [key, value] : dictionary.entries)
        ReleasePair(dictionary, key, value);
    dictionary.entries.clear();
    dictionary.slotsByHash.clear();
}

}  // namespace bw::sim::cf

extern "C" {

const CFDictionaryKeyCallBacks kCFTypeDictionaryKeyCallBacks = {
    0, RetainObject, ReleaseObject, CFCopyDescription, CFEqual, CFHash};
const CFDictionaryValueCallBacks kCFTypeDictionaryValueCallBacks = {0, RetainObject, ReleaseObject,
                                                                    CFCopyDescription, CFEqual};

CFTypeID CFDictionaryGetTypeID(void) {
    return kDictionaryType;
}

// A key given twice keeps its first value, as CFDictionaryAddValue would.
CFDictionaryRef CFDictionaryCreate(CFAllocatorRef, const void** keys, const void** values,
                                   CFIndex numValues, const CFDictionaryKeyCallBacks* keyCallBacks,
                                   const CFDictionaryValueCallBacks* valueCallBacks) {
    if (numValues < 0 || ((keys == nullptr || values == nullptr) && numValues > 0)) {
        CountMisuse();
        return nullptr;
    }
    DictionaryObject* dictionary = NewDictionary(keyCallBacks, valueCallBacks, false);
    if (dictionary == nullptr) return nullptr;
    for (CFIndex i = 0; i < numValues; ++i) {
        if (!SlotOf(*dictionary, keys[i])) Insert(*dictionary, keys[i], values[i]);
    }
    return Handle<CFDictionaryRef>(dictionary);
}

// The capacity is a hint here, as it is in current versions of the real library.
CFMutableDictionaryRef CFDictionaryCreateMutable(CFAllocatorRef, CFIndex capacity,
                                                 const CFDictionaryKeyCallBacks* keyCallBacks,
                                                 const CFDictionaryValueCallBacks* valueCallBacks) {
    if (capacity < 0) {
        CountMisuse();
        return nullptr;
    }
    return Handle<CFMutableDictionaryRef>(NewDictionary(keyCallBacks, valueCallBacks, true));
}

CFIndex CFDictionaryGetCount(CFDictionaryRef theDict) {
    const DictionaryObject* dictionary = As<DictionaryObject>(theDict);
    return dictionary != nullptr ? static_cast<CFIndex>(dictionary->entries.size()) : 0;
}

Boolean CFDictionaryContainsKey(CFDictionaryRef theDict, const void* key) {
    const DictionaryObject* dictionary = As<DictionaryObject>(theDict);
    return dictionary != nullptr && SlotOf(*dictionary, key).has_value();
}

const void* CFDictionaryGetValue(CFDictionaryRef theDict, const void* key) {
    const DictionaryObject* dictionary = As<DictionaryObject>(theDict);
    if (dictionary == nullptr) return nullptr;
    const std::optional<size_t> slot = SlotOf(*dictionary, key);
    return slot ? dictionary->entries[*slot].second : nullptr;
}

void CFDictionaryGetKeysAndValues(CFDictionaryRef theDict, const void** keys, const void** values) {
    const DictionaryObject* dictionary = As<DictionaryObject>(theDict);
    if (dictionary == nullptr) return;
    for (size_t i = 0; i < dictionary->entries.size(); ++i) {
        if (keys != nullptr) keys[i] = dictionary->entries[i].first;
        if (values != nullptr) values[i] = dictionary->entries[i].second;
    }
}

void CFDictionaryAddValue(CFMutableDictionaryRef theDict, const void* key, const void* value) {
    DictionaryObject* dictionary = Mutable(theDict);
    if (dictionary != nullptr && !SlotOf(*dictionary, key)) Insert(*dictionary, key, value);
}

// An existing key keeps the key object it was added with; only the value changes.
void CFDictionarySetValue(CFMutableDictionaryRef theDict, const void* key, const void* value) {
    DictionaryObject* dictionary = Mutable(theDict);
    if (dictionary == nullptr) return;
    if (const std::optional<size_t> slot = SlotOf(*dictionary, key)) {
        Replace(*dictionary, *slot, value);
    } else {
        Insert(*dictionary, key, value);
    }
}

// Removal is rare (no caller of this library removes anything), so the hash index is simply
// rebuilt.
void CFDictionaryRemoveValue(CFMutableDictionaryRef theDict, const void* key) {
    DictionaryObject* dictionary = Mutable(theDict);
    if (dictionary == nullptr) return;
    const std::optional<size_t> slot = SlotOf(*dictionary, key);
    if (!slot) return;
    const auto [oldKey, oldValue] = dictionary->entries[*slot];
    dictionary->entries.erase(dictionary->entries.begin() + static_cast<ptrdiff_t>(*slot));
    dictionary->slotsByHash.clear();
    for (size_t i = 0; i < dictionary->entries.size(); ++i)
        dictionary->slotsByHash.emplace(HashOf(*dictionary, dictionary->entries[i].first), i);
    ReleasePair(*dictionary, oldKey, oldValue);
}

}  // extern "C"

// Arrays: values kept through the callbacks the array was made with.
#include "objects.h"

using namespace bw::sim::cf;

namespace bw::sim::cf {
namespace {

const CFArrayCallBacks kNoCallbacks = {};

ArrayObject* NewArray(const CFArrayCallBacks* callbacks, bool isMutable) {
    return NewObject<ArrayObject>(callbacks != nullptr ? *callbacks : kNoCallbacks, isMutable);
}

bool ValuesEqual(CFArrayEqualCallBack equal, const void* a, const void* b) {
    return a == b || (equal != nullptr && equal(a, b));
}

}  // namespace

bool ArraysEqual(const ArrayObject& a, const ArrayObject& b) {
    if (a.values.size() != b.values.size()) return false;
    for (size_t i = 0; i < a.values.size(); ++i) {
        if (!ValuesEqual(a.callbacks.equal, a.values[i], b.values[i])) return false;
    }
    return true;
}

bool AdoptValue(ArrayObject& array, const void* value) {
    try {
        array.values.push_back(value);
        return true;
    } catch (...) {
        ReleaseWith(array.callbacks.release, value);
        return false;
    }
}

void ReleaseArrayValues(ArrayObject& array) {
    for (const void* value : array.values)
        ReleaseWith(array.callbacks.release, value);
    array.values.clear();
}

}  // namespace bw::sim::cf

extern "C" {

const CFArrayCallBacks kCFTypeArrayCallBacks = {0, RetainObject, ReleaseObject, CFCopyDescription,
                                                CFEqual};

CFTypeID CFArrayGetTypeID(void) {
    return kArrayType;
}

CFArrayRef CFArrayCreate(CFAllocatorRef, const void** values, CFIndex numValues,
                         const CFArrayCallBacks* callBacks) {
    if (numValues < 0 || (values == nullptr && numValues > 0)) {
        CountMisuse();
        return nullptr;
    }
    ArrayObject* array = NewArray(callBacks, false);
    if (array == nullptr) return nullptr;
    try {
        array->values.reserve(static_cast<size_t>(numValues));
    } catch (...) {
        CFRelease(array);
        return nullptr;
    }
    for (CFIndex i = 0; i < numValues; ++i)
        array->values.push_back(RetainWith(array->callbacks.retain, values[i]));
    return Handle<CFArrayRef>(array);
}

// The capacity is a hint here, as it is in current versions of the real library.
CFMutableArrayRef CFArrayCreateMutable(CFAllocatorRef, CFIndex capacity,
                                       const CFArrayCallBacks* callBacks) {
    if (capacity < 0) {
        CountMisuse();
        return nullptr;
    }
    return Handle<CFMutableArrayRef>(NewArray(callBacks, true));
}

CFIndex CFArrayGetCount(CFArrayRef theArray) {
    const ArrayObject* array = As<ArrayObject>(theArray);
    return array != nullptr ? static_cast<CFIndex>(array->values.size()) : 0;
}

const void* CFArrayGetValueAtIndex(CFArrayRef theArray, CFIndex idx) {
    const ArrayObject* array = As<ArrayObject>(theArray);
    if (array == nullptr) return nullptr;
    if (idx < 0 || static_cast<size_t>(idx) >= array->values.size()) {
        CountMisuse();
        return nullptr;
    }
    return array->values[static_cast<size_t>(idx)];
}

void CFArrayAppendValue(CFMutableArrayRef theArray, const void* value) {
    ArrayObject* array = As<ArrayObject>(theArray);
    if (array == nullptr) return;
    if (!array->isMutable) {
        CountMisuse();
        return;
    }
    const void* kept = RetainWith(array->callbacks.retain, value);
    try {
        array->values.push_back(kept);
    } catch (...) {
        ReleaseWith(array->callbacks.release, kept);
    }
}

}  // extern "C"

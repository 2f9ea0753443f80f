// Numbers (typed, converted on the way out) and the two booleans.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <optional>

#include "objects.h"

// The boolean objects are the handle types themselves, so the exported handles can be
// constant-initialised with their addresses.
struct __CFBoolean : bw::sim::cf::BooleanObject {
    using BooleanObject::BooleanObject;
};

namespace bw::sim::cf {
namespace {

constinit __CFBoolean g_true{true};
constinit __CFBoolean g_false{false};

struct NumberKind {
    CFNumberType canonical;
    size_t size;
    bool isFloat;
};

// Callers often pass the type as a 32-bit int into a 64-bit parameter, so only the low 32 bits
// are read.
std::optional<NumberKind> KindOf(CFNumberType type) {
    switch (static_cast<int32_t>(type)) {
        case kCFNumberSInt8Type:
        case kCFNumberCharType:
            return NumberKind{kCFNumberSInt8Type, 1, false};
        case kCFNumberSInt16Type:
        case kCFNumberShortType:
            return NumberKind{kCFNumberSInt16Type, 2, false};
        case kCFNumberSInt32Type:
        case kCFNumberIntType:
            return NumberKind{kCFNumberSInt32Type, 4, false};
        case kCFNumberSInt64Type:
        case kCFNumberLongType:
        case kCFNumberLongLongType:
        case kCFNumberCFIndexType:
        case kCFNumberNSIntegerType:
            return NumberKind{kCFNumberSInt64Type, 8, false};
        case kCFNumberFloat32Type:
        case kCFNumberFloatType:
            return NumberKind{kCFNumberFloat32Type, 4, true};
        case kCFNumberFloat64Type:
        case kCFNumberDoubleType:
        case kCFNumberCGFloatType:
            return NumberKind{kCFNumberFloat64Type, 8, true};
        default:
            return std::nullopt;
    }
}

template <class T>
T Load(const void* from) {
    T value;
    std::memcpy(&value, from, sizeof value);
    return value;
}

template <class T>
void Store(void* to, T value) {
    std::memcpy(to, &value, sizeof value);
}

constexpr double kTwoTo63 = 9223372036854775808.0;

// The double as a 64-bit integer when it is one exactly.
std::optional<int64_t> ExactInteger(double value) {
    if (!(value >= -kTwoTo63 && value < kTwoTo63) || std::trunc(value) != value) {
        return std::nullopt;
    }
    return static_cast<int64_t>(value);
}

template <class T>
bool StoreInteger(void* to, int64_t value) {
    Store(to, static_cast<T>(value));  // wraps like the real library; the result says so
    return value >= std::numeric_limits<T>::min() && value <= std::numeric_limits<T>::max();
}

bool StoreIntegerAs(size_t size, void* to, int64_t value) {
    switch (size) {
        case 1:
            return StoreInteger<int8_t>(to, value);
        case 2:
            return StoreInteger<int16_t>(to, value);
        case 4:
            return StoreInteger<int32_t>(to, value);
        default:
            return StoreInteger<int64_t>(to, value);
    }
}

// Floats go to integers toward zero; out of range they saturate (NaN gives 0). Lossy whenever a
// fraction is dropped or the value does not fit.
bool StoreRealAsInteger(size_t size, void* to, double value) {
    if (std::isnan(value)) {
        StoreIntegerAs(size, to, 0);
        return false;
    }
    const double whole = std::trunc(value);
    int64_t integer = 0;
    if (whole >= kTwoTo63) {
        integer = std::numeric_limits<int64_t>::max();
    } else if (whole < -kTwoTo63) {
        integer = std::numeric_limits<int64_t>::min();
    } else {
        integer = static_cast<int64_t>(whole);
    }
    const int bits = static_cast<int>(size * 8);
    if (bits < 64) {
        const int64_t max = (int64_t{1} << (bits - 1)) - 1;
        integer = std::clamp(integer, -max - 1, max);
    }
    StoreIntegerAs(size, to, integer);
    return whole == value && static_cast<double>(integer) == whole;
}

bool StoreRealAsFloat(void* to, double value) {
    float narrow = 0;
    if (std::isfinite(value) && std::fabs(value) > std::numeric_limits<float>::max()) {
        // Converting an out-of-range double to float is undefined in C++.
        narrow = value > 0 ? std::numeric_limits<float>::infinity()
                           : -std::numeric_limits<float>::infinity();
    } else {
        narrow = static_cast<float>(value);
    }
    Store(to, narrow);
    return std::isnan(value) || static_cast<double>(narrow) == value;
}

uint64_t Mix(uint64_t value) {  // splitmix64 finaliser
    value ^= value >> 30;
    value *= 0xbf58476d1ce4e5b9ull;
    value ^= value >> 27;
    value *= 0x94d049bb133111ebull;
    return value ^ (value >> 31);
}

}  // namespace

bool NumbersEqual(const NumberObject& a, const NumberObject& b) {
    if (!a.IsFloat() && !b.IsFloat()) return a.integer == b.integer;
    // NaN equals NaN here, or a NaN read from a list would never equal itself written back, and
    // could not be found as a dictionary key.
    if (a.IsFloat() && b.IsFloat()) {
        return a.real == b.real || (std::isnan(a.real) && std::isnan(b.real));
    }
    const NumberObject& real = a.IsFloat() ? a : b;
    const NumberObject& integer = a.IsFloat() ? b : a;
    const std::optional<int64_t> exact = ExactInteger(real.real);
    return exact && *exact == integer.integer;
}

CFHashCode NumberHash(const NumberObject& number) {
    if (!number.IsFloat()) return Mix(static_cast<uint64_t>(number.integer));
    // Equal numbers hash alike across types: 2.0 like 2.
    if (const std::optional<int64_t> exact = ExactInteger(number.real)) {
        return Mix(static_cast<uint64_t>(*exact));
    }
    if (std::isnan(number.real)) return Mix(0x7ff8000000000000ull);
    uint64_t bits = 0;
    std::memcpy(&bits, &number.real, sizeof bits);
    return Mix(bits);
}

}  // namespace bw::sim::cf

using namespace bw::sim::cf;

extern "C" {

const CFBooleanRef kCFBooleanTrue = &g_true;
const CFBooleanRef kCFBooleanFalse = &g_false;

CFTypeID CFNumberGetTypeID(void) {
    return kNumberType;
}

CFTypeID CFBooleanGetTypeID(void) {
    return kBooleanType;
}

Boolean CFBooleanGetValue(CFBooleanRef boolean) {
    const BooleanObject* object = As<BooleanObject>(boolean);
    return object != nullptr && object->value;
}

CFNumberRef CFNumberCreate(CFAllocatorRef, CFNumberType theType, const void* valuePtr) {
    const std::optional<NumberKind> kind = KindOf(theType);
    if (!kind || valuePtr == nullptr) {
        CountMisuse();
        return nullptr;
    }
    int64_t integer = 0;
    double real = 0;
    switch (kind->canonical) {
        case kCFNumberSInt8Type:
            integer = Load<int8_t>(valuePtr);
            break;
        case kCFNumberSInt16Type:
            integer = Load<int16_t>(valuePtr);
            break;
        case kCFNumberSInt32Type:
            integer = Load<int32_t>(valuePtr);
            break;
        case kCFNumberSInt64Type:
            integer = Load<int64_t>(valuePtr);
            break;
        case kCFNumberFloat32Type:
            real = Load<float>(valuePtr);
            break;
        default:
            real = Load<double>(valuePtr);
            break;
    }
    return Handle<CFNumberRef>(NewObject<NumberObject>(kind->canonical, integer, real));
}

CFNumberType CFNumberGetType(CFNumberRef number) {
    const NumberObject* object = As<NumberObject>(number);
    return object != nullptr ? object->type : 0;
}

CFIndex CFNumberGetByteSize(CFNumberRef number) {
    const NumberObject* object = As<NumberObject>(number);
    if (object == nullptr) return 0;
    return static_cast<CFIndex>(KindOf(object->type)->size);
}

Boolean CFNumberIsFloatType(CFNumberRef number) {
    const NumberObject* object = As<NumberObject>(number);
    return object != nullptr && object->IsFloat();
}

// Writes the value converted to the requested type, and says whether that was exact; the value
// is written either way.
Boolean CFNumberGetValue(CFNumberRef number, CFNumberType theType, void* valuePtr) {
    const NumberObject* object = As<NumberObject>(number);
    const std::optional<NumberKind> kind = KindOf(theType);
    if (object == nullptr) return false;
    if (!kind || valuePtr == nullptr) {
        CountMisuse();
        return false;
    }
    if (!kind->isFloat) {
        return object->IsFloat() ? StoreRealAsInteger(kind->size, valuePtr, object->real)
                                 : StoreIntegerAs(kind->size, valuePtr, object->integer);
    }
    if (object->IsFloat()) {
        if (kind->size == 4) return StoreRealAsFloat(valuePtr, object->real);
        Store(valuePtr, object->real);
        return true;
    }
    if (kind->size == 4) {
        const auto narrow = static_cast<float>(object->integer);
        Store(valuePtr, narrow);
        return ExactInteger(narrow) == object->integer;
    }
    const auto wide = static_cast<double>(object->integer);
    Store(valuePtr, wide);
    return ExactInteger(wide) == object->integer;
}

}  // extern "C"

// CF values to and from libplist trees: the one place where the two models meet, used by the
// property-list functions and by the other stand-ins.
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <utility>

#include "cf_plist.h"
#include "common/plist_input_check.h"
#include "common/plist_tree.h"
#include "objects.h"

namespace bw::sim::cf {
namespace {

// Shared containers (the same array added many times) expand into separate libplist nodes; this
// bounds what a small CF graph can make libplist allocate.
constexpr size_t kMaxNodes = size_t{1} << 22;

// 0001-01-01T00:00:00Z and 9999-12-31T23:59:59Z in seconds since 2001-01-01: libplist writes
// dates through the C calendar functions, which fail outside these years.
constexpr double kFirstDate = -63113904000.0;
constexpr double kLastDate = 252423993599.0;

// Releases a value under construction unless it is handed on.
class Owned {
  public:
    explicit Owned(CFTypeRef value) : value_(value) {}
    Owned(const Owned&) = delete;
    Owned& operator=(const Owned&) = delete;
    ~Owned() {
        if (value_ != nullptr) CFRelease(value_);
    }
    CFTypeRef get() const { return value_; }
    CFTypeRef release() { return std::exchange(value_, nullptr); }

  private:
    CFTypeRef value_;
};

uint64_t ReadBigEndian(const unsigned char* bytes, size_t count) {
    uint64_t value = 0;
    for (size_t i = 0; i < count; ++i)
        value = (value << 8) | bytes[i];
    return value;
}

// libplist keeps a date as a double but its constructor takes whole 32-bit seconds and
// microseconds, so the exact value goes in through a one-object binary list: "bplist00", the
// date (marker 0x33, big-endian double), the offset table and the trailer.
plist_t NewDateNode(CFAbsoluteTime at) {
    if (!std::isfinite(at) || at < kFirstDate || at > kLastDate) return nullptr;
    uint64_t bits = 0;
    std::memcpy(&bits, &at, sizeof bits);
    std::string list = "bplist00";
    list.push_back(static_cast<char>(0x33));
    for (int shift = 56; shift >= 0; shift -= 8)
        list.push_back(static_cast<char>(bits >> shift));
    list.push_back(8);                       // offset table: the date sits at offset 8
    list.append(6, '\0');                    // trailer: unused bytes and sort version
    list.append({1, 1});                     // offset size, reference size
    list.append({0, 0, 0, 0, 0, 0, 0, 1});   // one object
    list.append(8, '\0');                    // the top object is object 0
    list.append({0, 0, 0, 0, 0, 0, 0, 17});  // the offset table starts at byte 17
    plist_t node = nullptr;
    plist_from_bin(list.data(), static_cast<uint32_t>(list.size()), &node);
    return node;
}

// And out the same way: plist_get_date_val truncates to microseconds and clamps to 32-bit
// seconds, so anything but whole seconds in that range is read from the node's binary form.
CFAbsoluteTime DateOf(plist_t node) {
    int32_t seconds = 0;
    int32_t micros = 0;
    plist_get_date_val(node, &seconds, &micros);
    if (micros == 0 && seconds != INT32_MIN && seconds != INT32_MAX) return seconds;
    const PlistTree copy(plist_copy(node));
    char* bytes = nullptr;
    uint32_t length = 0;
    plist_to_bin(copy.get(), &bytes, &length);
    if (bytes == nullptr) return seconds + micros / 1e6;
    CFAbsoluteTime at = seconds + micros / 1e6;
    const auto* data = reinterpret_cast<const unsigned char*>(bytes);
    if (length >= 8 + 9 + 32) {
        const unsigned char* trailer = data + length - 32;
        const size_t offsetSize = trailer[6];
        const uint64_t top = ReadBigEndian(trailer + 16, 8);
        const uint64_t table = ReadBigEndian(trailer + 24, 8);
        if (offsetSize >= 1 && offsetSize <= 8 && top == 0 && table + offsetSize <= length - 32) {
            const uint64_t offset = ReadBigEndian(data + table, offsetSize);
            if (offset + 9 <= table && data[offset] == 0x33) {
                const uint64_t bits = ReadBigEndian(data + offset + 1, 8);
                std::memcpy(&at, &bits, sizeof at);
            }
        }
    }
    plist_to_bin_free(bytes);
    return at;
}

// UTF-8 that libplist can hold: its strings end at the first zero byte.
bool PlistText(const std::u16string& text, std::string& out) {
    return ToUtf8(text, out) && out.find('\0') == std::string::npos;
}

class ToPlistConverter {
  public:
    plist_t Convert(CFTypeRef value, int depth) {
        ObjectHeader* header = LiveObject(value);
        if (header == nullptr || ++nodes_ > kMaxNodes) return nullptr;
        switch (header->type) {
            case kStringType: {
                std::string text;
                if (!PlistText(static_cast<StringObject*>(header)->text, text)) return nullptr;
                return plist_new_string(text.c_str());
            }
            case kNumberType: {
                const auto* number = static_cast<NumberObject*>(header);
                return number->IsFloat() ? plist_new_real(number->real)
                                         : plist_new_uint(static_cast<uint64_t>(number->integer));
            }
            case kBooleanType:
                return plist_new_bool(static_cast<BooleanObject*>(header)->value);
            case kDataType: {
                const std::string& bytes = static_cast<DataObject*>(header)->bytes;
                return plist_new_data(bytes.data(), bytes.size());
            }
            case kDateType:
                return NewDateNode(static_cast<DateObject*>(header)->at);
            case kArrayType:
                return ConvertArray(*static_cast<ArrayObject*>(header), depth);
            case kDictionaryType:
                return ConvertDictionary(*static_cast<DictionaryObject*>(header), depth);
            default:
                return nullptr;
        }
    }

  private:
    plist_t ConvertArray(const ArrayObject& array, int depth) {
        if (depth >= kMaxPlistNesting) return nullptr;
        PlistTree node(plist_new_array());
        for (const void* value : array.values) {
            plist_t child = Convert(value, depth + 1);
            if (child == nullptr) return nullptr;
            plist_array_append_item(node.get(), child);
        }
        return node.release();
    }

    plist_t ConvertDictionary(const DictionaryObject& dictionary, int depth) {
        if (depth >= kMaxPlistNesting) return nullptr;
        PlistTree node(plist_new_dict());
        for (const auto& [key, value] : dictionary.entries) {
            const ObjectHeader* keyHeader = LiveObject(key);
            std::string keyText;
            if (keyHeader == nullptr || keyHeader->type != kStringType ||
                !PlistText(static_cast<const StringObject*>(keyHeader)->text, keyText)) {
                return nullptr;
            }
            plist_t child = Convert(value, depth + 1);
            if (child == nullptr) return nullptr;
            plist_dict_set_item(node.get(), keyText.c_str(), child);
        }
        return node.release();
    }

    size_t nodes_ = 0;
};

CFTypeRef NewNumber(int64_t value) {
    return Handle<CFNumberRef>(NewObject<NumberObject>(kCFNumberSInt64Type, value, 0.0));
}

CFTypeRef NewStringFromUtf8(const char* text, size_t length) {
    std::u16string wide;
    if (text == nullptr || !FromUtf8(text, length, wide)) return nullptr;
    return NewString(std::move(wide));
}

class FromPlistConverter {
  public:
    explicit FromPlistConverter(CFOptionFlags mutability)
        : mutableContainers_((mutability & 3) != 0),
          mutableLeaves_((mutability & 3) == kCFPropertyListMutableContainersAndLeaves) {}

    // Containers are at most as deep as the input checks allow, so recursion stays shallow.
    CFTypeRef Convert(plist_t node, int depth) {
        switch (plist_get_node_type(node)) {
            case PLIST_BOOLEAN: {
                uint8_t value = 0;
                plist_get_bool_val(node, &value);
                return value != 0 ? kCFBooleanTrue : kCFBooleanFalse;
            }
            case PLIST_UINT: {
                uint64_t value = 0;
                plist_get_uint_val(node, &value);
                return NewNumber(static_cast<int64_t>(value));
            }
            case PLIST_REAL: {
                double value = 0;
                plist_get_real_val(node, &value);
                return Handle<CFNumberRef>(
                    NewObject<NumberObject>(kCFNumberFloat64Type, int64_t{0}, value));
            }
            case PLIST_STRING: {
                uint64_t length = 0;
                const char* text = plist_get_string_ptr(node, &length);
                return NewStringFromUtf8(text, static_cast<size_t>(length));
            }
            case PLIST_DATE:
                return Handle<CFDateRef>(NewObject<DateObject>(DateOf(node)));
            case PLIST_DATA: {
                uint64_t length = 0;
                const char* bytes = plist_get_data_ptr(node, &length);
                std::string copy;
                if (bytes != nullptr) copy.assign(bytes, static_cast<size_t>(length));
                return Handle<CFDataRef>(NewObject<DataObject>(std::move(copy), mutableLeaves_));
            }
            case PLIST_ARRAY:
                return ConvertArray(node, depth);
            case PLIST_DICT:
                return ConvertDictionary(node, depth);
            case PLIST_UID: {
                uint64_t value = 0;
                plist_get_uid_val(node, &value);
                return UidDictionary(value);
            }
            default:
                return nullptr;
        }
    }

  private:
    CFTypeRef ConvertArray(plist_t node, int depth) {
        if (depth >= kMaxPlistNesting) return nullptr;
        ArrayObject* array = NewObject<ArrayObject>(kCFTypeArrayCallBacks, mutableContainers_);
        Owned owned(array);
        if (array == nullptr) return nullptr;
        plist_array_iter iter = nullptr;
        plist_array_new_iter(node, &iter);
        bool ok = iter != nullptr;
        while (ok) {
            plist_t item = nullptr;
            plist_array_next_item(node, iter, &item);
            if (item == nullptr) break;
            CFTypeRef value = Convert(item, depth + 1);
            ok = value != nullptr && AdoptValue(*array, value);
        }
        std::free(iter);
        return ok ? owned.release() : nullptr;
    }

    CFTypeRef ConvertDictionary(plist_t node, int depth) {
        if (depth >= kMaxPlistNesting) return nullptr;
        DictionaryObject* dictionary = NewDictionary();
        Owned owned(dictionary);
        if (dictionary == nullptr) return nullptr;
        plist_dict_iter iter = nullptr;
        plist_dict_new_iter(node, &iter);
        bool ok = iter != nullptr;
        while (ok) {
            char* keyText = nullptr;
            plist_t item = nullptr;
            plist_dict_next_item(node, iter, &keyText, &item);
            if (keyText == nullptr || item == nullptr) {
                std::free(keyText);
                break;
            }
            Owned key(NewStringFromUtf8(keyText, std::strlen(keyText)));
            std::free(keyText);
            Owned value(Convert(item, depth + 1));
            ok = key.get() != nullptr && value.get() != nullptr &&
                 AdoptEntry(*dictionary, key.release(), value.release());
        }
        std::free(iter);
        return ok ? owned.release() : nullptr;
    }

    // Keyed archives refer to objects by UID; XML property lists spell a UID this way, and so
    // does every reader that has no UID type of its own.
    CFTypeRef UidDictionary(uint64_t value) {
        DictionaryObject* dictionary = NewDictionary();
        Owned owned(dictionary);
        if (dictionary == nullptr) return nullptr;
        Owned key(NewStringFromUtf8("CF$UID", 6));
        Owned number(NewNumber(static_cast<int64_t>(value)));
        if (key.get() == nullptr || number.get() == nullptr) return nullptr;
        if (!AdoptEntry(*dictionary, key.release(), number.release())) return nullptr;
        return owned.release();
    }

    DictionaryObject* NewDictionary() const {
        return NewObject<DictionaryObject>(kCFTypeDictionaryKeyCallBacks,
                                           kCFTypeDictionaryValueCallBacks, mutableContainers_);
    }

    const bool mutableContainers_;
    const bool mutableLeaves_;
};

}  // namespace
}  // namespace bw::sim::cf

using namespace bw::sim::cf;

extern "C" {

plist_t BwSimCFToPlist(CFTypeRef value) {
    try {
        return ToPlistConverter().Convert(value, 0);
    } catch (...) {
        return nullptr;
    }
}

CFTypeRef BwSimCFFromPlist(plist_t node) {
    return BwSimCFFromPlistWithOptions(node, kCFPropertyListImmutable);
}

CFTypeRef BwSimCFFromPlistWithOptions(plist_t node, CFOptionFlags mutability) {
    if (node == nullptr) return nullptr;
    try {
        return FromPlistConverter(mutability).Convert(node, 0);
    } catch (...) {
        return nullptr;
    }
}

}  // extern "C"

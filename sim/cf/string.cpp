// Strings: UTF-16 code units inside, converted to and from the encodings callers ask for.
#include <climits>
#include <cstring>
#include <optional>
#include <string>
#include <utility>

#include "objects.h"

namespace bw::sim::cf {
namespace {

enum class Order { kHost, kBig, kLittle };

constexpr bool kHostIsBig = __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__;

bool IsHighSurrogate(uint32_t unit) {
    return unit >= 0xD800 && unit <= 0xDBFF;
}
bool IsLowSurrogate(uint32_t unit) {
    return unit >= 0xDC00 && unit <= 0xDFFF;
}

void AppendCodePoint(std::u16string& out, uint32_t code) {
    if (code < 0x10000) {
        out.push_back(static_cast<char16_t>(code));
    } else {
        code -= 0x10000;
        out.push_back(static_cast<char16_t>(0xD800 + (code >> 10)));
        out.push_back(static_cast<char16_t>(0xDC00 + (code & 0x3FF)));
    }
}

// Calls visit(code point) for each character; false on an unpaired surrogate.
template <class Visit>
bool ForEachCodePoint(const std::u16string& text, Visit visit) {
    for (size_t i = 0; i < text.size(); ++i) {
        uint32_t code = text[i];
        if (IsHighSurrogate(code) && i + 1 < text.size() && IsLowSurrogate(text[i + 1])) {
            code = 0x10000 + ((code - 0xD800) << 10) + (text[i + 1] - 0xDC00);
            ++i;
        } else if (IsHighSurrogate(code) || IsLowSurrogate(code)) {
            return false;
        }
        visit(code);
    }
    return true;
}

bool BigEndian(Order order) {
    return order == Order::kBig || (order == Order::kHost && kHostIsBig);
}

void AppendUnit(std::string& out, uint32_t unit, size_t width, Order order) {
    for (size_t i = 0; i < width; ++i) {
        const size_t shift = BigEndian(order) ? (width - 1 - i) * 8 : i * 8;
        out.push_back(static_cast<char>((unit >> shift) & 0xFF));
    }
}

uint32_t ReadUnit(const unsigned char* bytes, size_t width, Order order) {
    uint32_t unit = 0;
    for (size_t i = 0; i < width; ++i) {
        const size_t shift = BigEndian(order) ? (width - 1 - i) * 8 : i * 8;
        unit |= static_cast<uint32_t>(bytes[i]) << shift;
    }
    return unit;
}

// UTF-16 and UTF-32 bytes. A byte-order mark is honoured and dropped for the encodings without
// an order in their name; without one, external representations are big-endian and in-memory
// ones in host order, as the real library reads them.
std::optional<std::u16string> DecodeWide(const unsigned char* bytes, size_t length, size_t width,
                                         Order order, bool orderFromMark, bool external) {
    if (length % width != 0) return std::nullopt;
    size_t at = 0;
    if (orderFromMark) {
        order = external ? Order::kBig : Order::kHost;
        if (length >= width) {
            if (ReadUnit(bytes, width, Order::kBig) == 0xFEFF) {
                order = Order::kBig;
                at = width;
            } else if (ReadUnit(bytes, width, Order::kLittle) == 0xFEFF) {
                order = Order::kLittle;
                at = width;
            }
        }
    }
    std::u16string text;
    text.reserve((length - at) / width);
    for (; at < length; at += width) {
        const uint32_t unit = ReadUnit(bytes + at, width, order);
        if (width == 2) {
            text.push_back(static_cast<char16_t>(unit));
        } else if (unit > 0x10FFFF || IsHighSurrogate(unit) || IsLowSurrogate(unit)) {
            return std::nullopt;
        } else {
            AppendCodePoint(text, unit);
        }
    }
    return text;
}

std::optional<std::u16string> DecodeNarrow(const unsigned char* bytes, size_t length,
                                           uint32_t highest) {
    std::u16string text;
    text.reserve(length);
    for (size_t i = 0; i < length; ++i) {
        if (bytes[i] > highest) return std::nullopt;
        text.push_back(bytes[i]);
    }
    return text;
}

std::optional<std::u16string> Decode(const unsigned char* bytes, size_t length,
                                     CFStringEncoding encoding, bool external) {
    switch (encoding) {
        case kCFStringEncodingUTF8: {
            if (external && length >= 3 && std::memcmp(bytes, "\xEF\xBB\xBF", 3) == 0) {
                bytes += 3;
                length -= 3;
            }
            std::u16string text;
            if (!FromUtf8(reinterpret_cast<const char*>(bytes), length, text)) return std::nullopt;
            return text;
        }
        case kCFStringEncodingUTF16:
            return DecodeWide(bytes, length, 2, Order::kHost, true, external);
        case kCFStringEncodingUTF16BE:
            return DecodeWide(bytes, length, 2, Order::kBig, false, external);
        case kCFStringEncodingUTF16LE:
            return DecodeWide(bytes, length, 2, Order::kLittle, false, external);
        case kCFStringEncodingUTF32:
            return DecodeWide(bytes, length, 4, Order::kHost, true, external);
        case kCFStringEncodingUTF32BE:
            return DecodeWide(bytes, length, 4, Order::kBig, false, external);
        case kCFStringEncodingUTF32LE:
            return DecodeWide(bytes, length, 4, Order::kLittle, false, external);
        case kCFStringEncodingASCII:
            return DecodeNarrow(bytes, length, 0x7F);
        case kCFStringEncodingISOLatin1:
            return DecodeNarrow(bytes, length, 0xFF);
        default:
            return std::nullopt;  // the device and the library use none of the others
    }
}

std::optional<std::string> EncodeWide(const std::u16string& text, size_t width, Order order) {
    std::string out;
    if (width == 2) {
        out.reserve(text.size() * 2);
        for (const char16_t unit : text)
            AppendUnit(out, unit, 2, order);
        return out;
    }
    if (!ForEachCodePoint(text, [&](uint32_t code) { AppendUnit(out, code, 4, order); })) {
        return std::nullopt;
    }
    return out;
}

std::optional<std::string> EncodeNarrow(const std::u16string& text, uint32_t highest) {
    std::string out;
    out.reserve(text.size());
    for (const char16_t unit : text) {
        if (unit > highest) return std::nullopt;
        out.push_back(static_cast<char>(unit));
    }
    return out;
}

// No byte-order mark is written: these are in-memory conversions, not files.
std::optional<std::string> Encode(const std::u16string& text, CFStringEncoding encoding) {
    switch (encoding) {
        case kCFStringEncodingUTF8: {
            std::string out;
            if (!ToUtf8(text, out)) return std::nullopt;
            return out;
        }
        case kCFStringEncodingUTF16:
            return EncodeWide(text, 2, Order::kHost);
        case kCFStringEncodingUTF16BE:
            return EncodeWide(text, 2, Order::kBig);
        case kCFStringEncodingUTF16LE:
            return EncodeWide(text, 2, Order::kLittle);
        case kCFStringEncodingUTF32:
            return EncodeWide(text, 4, Order::kHost);
        case kCFStringEncodingUTF32BE:
            return EncodeWide(text, 4, Order::kBig);
        case kCFStringEncodingUTF32LE:
            return EncodeWide(text, 4, Order::kLittle);
        case kCFStringEncodingASCII:
            return EncodeNarrow(text, 0x7F);
        case kCFStringEncodingISOLatin1:
            return EncodeNarrow(text, 0xFF);
        default:
            return std::nullopt;
    }
}

}  // namespace

CFHashCode StringHash(const std::u16string& text) {
    uint64_t hash = 0xcbf29ce484222325ull;  // FNV-1a over the code units
    for (const char16_t unit : text) {
        hash = (hash ^ (unit & 0xFF)) * 0x100000001b3ull;
        hash = (hash ^ (unit >> 8)) * 0x100000001b3ull;
    }
    return hash;
}

bool FromUtf8(const char* bytes, size_t length, std::u16string& out) {
    out.clear();
    out.reserve(length);
    const auto* p = reinterpret_cast<const unsigned char*>(bytes);
    size_t i = 0;
    while (i < length) {
        uint32_t code = p[i];
        if (code < 0x80) {
            out.push_back(static_cast<char16_t>(code));
            ++i;
            continue;
        }
        size_t extra = 0;
        uint32_t smallest = 0;
        if ((code & 0xE0) == 0xC0) {
            extra = 1;
            code &= 0x1F;
            smallest = 0x80;
        } else if ((code & 0xF0) == 0xE0) {
            extra = 2;
            code &= 0x0F;
            smallest = 0x800;
        } else if ((code & 0xF8) == 0xF0) {
            extra = 3;
            code &= 0x07;
            smallest = 0x10000;
        } else {
            return false;
        }
        if (length - i - 1 < extra) return false;
        for (size_t k = 1; k <= extra; ++k) {
            if ((p[i + k] & 0xC0) != 0x80) return false;
            code = (code << 6) | (p[i + k] & 0x3F);
        }
        // Overlong forms, surrogates and values past U+10FFFF are not UTF-8.
        if (code < smallest || code > 0x10FFFF || IsHighSurrogate(code) || IsLowSurrogate(code)) {
            return false;
        }
        AppendCodePoint(out, code);
        i += 1 + extra;
    }
    return true;
}

bool ToUtf8(const std::u16string& text, std::string& out) {
    out.clear();
    out.reserve(text.size());
    return ForEachCodePoint(text, [&](uint32_t code) {
        if (code < 0x80) {
            out.push_back(static_cast<char>(code));
        } else if (code < 0x800) {
            out.push_back(static_cast<char>(0xC0 | (code >> 6)));
            out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
        } else if (code < 0x10000) {
            out.push_back(static_cast<char>(0xE0 | (code >> 12)));
            out.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
        } else {
            out.push_back(static_cast<char>(0xF0 | (code >> 18)));
            out.push_back(static_cast<char>(0x80 | ((code >> 12) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
        }
    });
}

CFStringRef NewString(std::u16string text) {
    return Handle<CFStringRef>(NewObject<StringObject>(std::move(text)));
}

}  // namespace bw::sim::cf

using namespace bw::sim::cf;

extern "C" {

CFTypeID CFStringGetTypeID(void) {
    return kStringType;
}

CFStringRef CFStringCreateWithCharacters(CFAllocatorRef, const UniChar* chars, CFIndex numChars) {
    if (numChars < 0 || (chars == nullptr && numChars > 0)) {
        CountMisuse();
        return nullptr;
    }
    try {
        return NewString(std::u16string(reinterpret_cast<const char16_t*>(chars),
                                        static_cast<size_t>(numChars)));
    } catch (...) {
        return nullptr;
    }
}

CFStringRef CFStringCreateWithBytes(CFAllocatorRef, const UInt8* bytes, CFIndex numBytes,
                                    CFStringEncoding encoding, Boolean isExternalRepresentation) {
    if (numBytes < 0 || (bytes == nullptr && numBytes > 0)) {
        CountMisuse();
        return nullptr;
    }
    try {
        std::optional<std::u16string> text =
            Decode(bytes, static_cast<size_t>(numBytes), encoding, isExternalRepresentation != 0);
        return text ? NewString(std::move(*text)) : nullptr;
    } catch (...) {
        return nullptr;
    }
}

CFStringRef CFStringCreateWithCString(CFAllocatorRef alloc, const char* cStr,
                                      CFStringEncoding encoding) {
    if (cStr == nullptr) {
        CountMisuse();
        return nullptr;
    }
    return CFStringCreateWithBytes(alloc, reinterpret_cast<const UInt8*>(cStr),
                                   static_cast<CFIndex>(std::strlen(cStr)), encoding, false);
}

CFIndex CFStringGetLength(CFStringRef theString) {
    const StringObject* string = As<StringObject>(theString);
    return string != nullptr ? static_cast<CFIndex>(string->text.size()) : 0;
}

void CFStringGetCharacters(CFStringRef theString, CFRange range, UniChar* buffer) {
    const StringObject* string = As<StringObject>(theString);
    if (string == nullptr) return;
    const auto size = static_cast<CFIndex>(string->text.size());
    if (range.location < 0 || range.length < 0 || range.location > size ||
        range.length > size - range.location || (buffer == nullptr && range.length > 0)) {
        CountMisuse();
        return;
    }
    std::memcpy(buffer, string->text.data() + range.location,
                static_cast<size_t>(range.length) * sizeof(UniChar));
}

// As in the real library the terminator is a single zero byte, whatever the encoding, and it
// must fit: a UTF-16 string of n units needs 2n + 1 bytes. On failure nothing is written.
Boolean CFStringGetCString(CFStringRef theString, char* buffer, CFIndex bufferSize,
                           CFStringEncoding encoding) {
    const StringObject* string = As<StringObject>(theString);
    if (string == nullptr) return false;
    if (buffer == nullptr) {
        CountMisuse();
        return false;
    }
    try {
        const std::optional<std::string> bytes = Encode(string->text, encoding);
        if (!bytes || bufferSize < 1 || bytes->size() > static_cast<size_t>(bufferSize - 1)) {
            return false;
        }
        std::memcpy(buffer, bytes->data(), bytes->size());
        buffer[bytes->size()] = '\0';
        return true;
    } catch (...) {
        return false;
    }
}

// Worst-case bytes for `length` UTF-16 units, without the terminator; kCFNotFound when that
// overflows, for a negative length, or for an encoding this library cannot convert to.
CFIndex CFStringGetMaximumSizeForEncoding(CFIndex length, CFStringEncoding encoding) {
    CFIndex perUnit = 0;
    switch (encoding) {
        case kCFStringEncodingUTF8:
            perUnit = 3;
            break;  // a surrogate pair takes 4 of its 6
        case kCFStringEncodingUTF32:
        case kCFStringEncodingUTF32BE:
        case kCFStringEncodingUTF32LE:
            perUnit = 4;
            break;
        case kCFStringEncodingUTF16:
        case kCFStringEncodingUTF16BE:
        case kCFStringEncodingUTF16LE:
            perUnit = 2;
            break;
        case kCFStringEncodingASCII:
        case kCFStringEncodingISOLatin1:
            perUnit = 1;
            break;
        default:
            return kCFNotFound;
    }
    if (length < 0 || length > LONG_MAX / perUnit) return kCFNotFound;
    return length * perUnit;
}

}  // extern "C"

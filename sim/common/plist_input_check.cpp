#include "common/plist_input_check.h"

#include <algorithm>
#include <vector>

namespace bw::sim {
namespace {

constexpr std::string_view kBinaryMagic = "bplist00";
constexpr size_t kTrailerSize = 32;

// Expanding shared objects may cost this many nodes per input byte (plus a little), and never
// more than the absolute cap: a list without shared containers expands to fewer nodes than it has
// reference bytes.
constexpr uint64_t kNodesPerByte = 2;
constexpr uint64_t kMostNodes = uint64_t{1} << 24;

// Object markers: the high nibble is the kind, the low nibble a size or a count.
enum Kind : uint8_t {
    kSimple = 0x0,  // 0x08 false, 0x09 true
    kInteger = 0x1,
    kReal = 0x2,
    kDate = 0x3,
    kData = 0x4,
    kAsciiString = 0x5,
    kUtf16String = 0x6,
    kUid = 0x8,
    kArray = 0xA,
    kDictionary = 0xD,
};

uint64_t BigEndian(const unsigned char* bytes, size_t count) {
    uint64_t value = 0;
    for (size_t i = 0; i < count; ++i)
        value = (value << 8) | bytes[i];
    return value;
}

// libplist reads widths other than these as one byte, which would make it follow other
// references than the check does.
bool IsReadableWidth(uint64_t width) {
    return width == 1 || width == 2 || width == 3 || width == 4 || width == 8;
}

class BinaryCheck {
  public:
    explicit BinaryCheck(std::string_view bytes)
        : data_(reinterpret_cast<const unsigned char*>(bytes.data())), size_(bytes.size()) {}

    bool Run() {
        if (size_ < kBinaryMagic.size() + 1 + kTrailerSize) return false;
        const unsigned char* trailer = data_ + size_ - kTrailerSize;
        offsetWidth_ = trailer[6];
        refWidth_ = trailer[7];
        objectCount_ = BigEndian(trailer + 8, 8);
        const uint64_t top = BigEndian(trailer + 16, 8);
        tableAt_ = BigEndian(trailer + 24, 8);
        const uint64_t tableEnd = size_ - kTrailerSize;
        if (!IsReadableWidth(offsetWidth_) || !IsReadableWidth(refWidth_) || objectCount_ == 0 ||
            top >= objectCount_ || tableAt_ <= kBinaryMagic.size() || tableAt_ > tableEnd ||
            objectCount_ > (tableEnd - tableAt_) / offsetWidth_)
            return false;
        budget_ = std::min<uint64_t>(kMostNodes, kNodesPerByte * size_ + 64);
        keyChecked_.assign(static_cast<size_t>(objectCount_), false);
        return Visit(top, 0);
    }

  private:
    // Where an object's body starts, how long it is, and for containers how many references it
    // holds (dictionaries: keys first, then as many values).
    struct Object {
        uint8_t kind = 0;
        uint64_t bodyAt = 0;
        uint64_t bodyLength = 0;
        uint64_t references = 0;
    };

    // A count in the low nibble, or 0xF and an integer object of 1, 2, 4 or 8 bytes.
    bool ReadCount(uint8_t low, uint64_t& at, uint64_t& count) const {
        if (low != 0xF) {
            count = low;
            return true;
        }
        if (at >= tableAt_) return false;
        const uint8_t marker = data_[at];
        if ((marker >> 4) != kInteger || (marker & 0xF) > 3) return false;
        const uint64_t width = uint64_t{1} << (marker & 0xF);
        if (width > tableAt_ - at - 1) return false;
        count = BigEndian(data_ + at + 1, static_cast<size_t>(width));
        at += 1 + width;
        // More items than bytes cannot be real, and it keeps the products below from wrapping.
        return count <= size_;
    }

    bool Describe(uint64_t index, Object& object) const {
        const uint64_t offset =
            BigEndian(data_ + tableAt_ + index * offsetWidth_, static_cast<size_t>(offsetWidth_));
        if (offset < kBinaryMagic.size() || offset >= tableAt_) return false;
        const uint8_t marker = data_[offset];
        const uint8_t low = marker & 0xF;
        object.kind = marker >> 4;
        object.bodyAt = offset + 1;
        object.references = 0;
        uint64_t count = 0;
        switch (object.kind) {
            case kSimple:
                // Null and fill markers are not values libplist can hand out.
                if (low != 0x8 && low != 0x9) return false;
                object.bodyLength = 0;
                break;
            case kInteger:
                if (low > 4) return false;
                object.bodyLength = uint64_t{1} << low;
                break;
            case kReal:
                if (low != 2 && low != 3) return false;
                object.bodyLength = uint64_t{1} << low;
                break;
            case kDate:
                if (low != 3) return false;
                object.bodyLength = 8;
                break;
            case kData:
            case kAsciiString:
                if (!ReadCount(low, object.bodyAt, count)) return false;
                object.bodyLength = count;
                break;
            case kUtf16String:
                if (!ReadCount(low, object.bodyAt, count)) return false;
                object.bodyLength = count * 2;
                break;
            case kUid:
                object.bodyLength = low + 1u;
                if (object.bodyLength != 1 && object.bodyLength != 2 && object.bodyLength != 4 &&
                    object.bodyLength != 8)
                    return false;
                break;
            case kArray:
                if (!ReadCount(low, object.bodyAt, count)) return false;
                object.references = count;
                object.bodyLength = count * refWidth_;
                break;
            case kDictionary:
                if (!ReadCount(low, object.bodyAt, count)) return false;
                object.references = count * 2;
                object.bodyLength = count * 2 * refWidth_;
                break;
            default:  // sets and reserved markers
                return false;
        }
        return object.bodyAt <= tableAt_ && object.bodyLength <= tableAt_ - object.bodyAt;
    }

    bool Reference(const Object& container, uint64_t position, uint64_t& index) const {
        index = BigEndian(data_ + container.bodyAt + position * refWidth_,
                          static_cast<size_t>(refWidth_));
        return index < objectCount_;
    }

    // libplist aborts when a key's C string is shorter than its length.
    bool IsKey(uint64_t index) {
        if (keyChecked_[index]) return true;
        Object key;
        if (!Describe(index, key)) return false;
        const unsigned char* body = data_ + key.bodyAt;
        if (key.kind == kAsciiString) {
            if (std::find(body, body + key.bodyLength, 0) != body + key.bodyLength) return false;
        } else if (key.kind == kUtf16String) {
            for (uint64_t i = 0; i < key.bodyLength; i += 2) {
                if (body[i] == 0 && body[i + 1] == 0) return false;
            }
        } else {
            return false;
        }
        keyChecked_[index] = true;
        return true;
    }

    // Depth first, every visit of a shared object counted, as libplist expands it.
    bool Visit(uint64_t index, int depth) {
        if (++visits_ > budget_) return false;
        Object object;
        if (!Describe(index, object)) return false;
        if (object.kind != kArray && object.kind != kDictionary) return true;
        if (depth >= kMaxPlistNesting) return false;
        const uint64_t keys = object.kind == kDictionary ? object.references / 2 : 0;
        for (uint64_t i = 0; i < object.references; ++i) {
            uint64_t child = 0;
            if (!Reference(object, i, child)) return false;
            if (i < keys) {
                if (++visits_ > budget_ || !IsKey(child)) return false;
            } else if (!Visit(child, depth + 1)) {
                return false;
            }
        }
        return true;
    }

    const unsigned char* data_;
    uint64_t size_;
    uint64_t offsetWidth_ = 0;
    uint64_t refWidth_ = 0;
    uint64_t objectCount_ = 0;
    uint64_t tableAt_ = 0;
    uint64_t budget_ = 0;
    uint64_t visits_ = 0;
    std::vector<bool> keyChecked_;
};

bool StartsWithAt(std::string_view text, size_t at, std::string_view prefix) {
    return text.substr(at, prefix.size()) == prefix;
}

bool IsSpace(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

// A reference in text: one of the five entities XML predefines (no document here may define
// more), or a character reference to anything but zero, which would put a zero character into a
// key or a string. A bare '&' is malformed XML, which libplist would read leniently and an XML
// parser refuses.
bool IsGoodReference(std::string_view text, size_t at) {
    const size_t end = text.find(';', at);
    if (end == std::string_view::npos) return false;
    const std::string_view name = text.substr(at + 1, end - at - 1);
    for (const std::string_view entity : {"amp", "lt", "gt", "apos", "quot"}) {
        if (name == entity) return true;
    }
    if (!name.starts_with('#')) return false;
    const bool hex = name.size() > 1 && name[1] == 'x';
    const std::string_view digits = name.substr(hex ? 2 : 1);
    if (digits.empty() || digits.size() > 8) return false;
    bool zero = true;
    for (const char c : digits) {
        const bool digit =
            (c >= '0' && c <= '9') || (hex && ((c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F')));
        if (!digit) return false;
        if (c != '0') zero = false;
    }
    return !zero;
}

// The '>' that ends the start tag at `at`. Quotes open an attribute value only after "=", as
// XML allows nowhere else in a tag; a value holds no '<'. Anything else is refused rather than
// guessed, so the check and the parser never disagree on where a tag ends.
bool FindStartTagEnd(std::string_view text, size_t at, size_t& end, bool& empty) {
    char previous = '<';
    for (size_t i = at + 1; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '"' || c == '\'') {
            if (previous != '=') return false;
            const size_t closing = text.find(c, i + 1);
            if (closing == std::string_view::npos ||
                text.substr(i + 1, closing - i - 1).find('<') != std::string_view::npos)
                return false;
            i = closing;
            previous = c;
        } else if (c == '<') {
            return false;
        } else if (c == '>') {
            end = i;
            empty = previous == '/';
            return true;
        } else if (!IsSpace(c)) {
            previous = c;
        }
    }
    return false;
}

// A document type declaration without an internal subset: no generator of property lists writes
// one, and its markup declarations would need a parser of their own.
bool FindDoctypeEnd(std::string_view text, size_t at, size_t& end) {
    for (size_t i = at; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '"' || c == '\'') {
            const size_t closing = text.find(c, i + 1);
            if (closing == std::string_view::npos) return false;
            i = closing;
        } else if (c == '[' || c == '<') {
            return false;
        } else if (c == '>') {
            end = i;
            return true;
        }
    }
    return false;
}

bool SkipClosed(std::string_view text, size_t& at, size_t openLength, std::string_view closing) {
    const size_t end = text.find(closing, at + openLength);
    if (end == std::string_view::npos) return false;
    at = end + closing.size();
    return true;
}

}  // namespace

bool LooksLikeBinaryPlist(std::string_view bytes) {
    return bytes.starts_with(kBinaryMagic);
}

bool BinaryPlistInputIsSafe(std::string_view bytes) {
    return LooksLikeBinaryPlist(bytes) && bytes.size() <= kMaxPlistInputBytes &&
           BinaryCheck(bytes).Run();
}

bool XmlPlistInputIsSafe(std::string_view text) {
    if (text.empty() || text.size() > kMaxPlistInputBytes ||
        text.find('\0') != std::string_view::npos)
        return false;
    // The plist element around the top container and the leaf inside the deepest one.
    constexpr int kMostElements = kMaxPlistNesting + 2;
    int depth = 0;
    size_t at = 0;
    while (at < text.size()) {
        const char c = text[at];
        if (c == '&') {
            if (!IsGoodReference(text, at)) return false;
            ++at;
        } else if (c != '<') {
            ++at;
        } else if (StartsWithAt(text, at, "<!--")) {
            if (!SkipClosed(text, at, 4, "-->")) return false;
        } else if (StartsWithAt(text, at, "<![CDATA[")) {
            if (!SkipClosed(text, at, 9, "]]>")) return false;
        } else if (StartsWithAt(text, at, "<?")) {
            // The XML declaration quotes its values; an odd quote would hide its end.
            const size_t begin = at + 2;
            if (!SkipClosed(text, at, 2, "?>")) return false;
            const std::string_view body = text.substr(begin, at - 2 - begin);
            if (std::count(body.begin(), body.end(), '"') % 2 != 0 ||
                std::count(body.begin(), body.end(), '\'') % 2 != 0)
                return false;
        } else if (StartsWithAt(text, at, "<!DOCTYPE")) {
            size_t end = 0;
            if (!FindDoctypeEnd(text, at + 9, end)) return false;
            at = end + 1;
        } else if (StartsWithAt(text, at, "<!")) {
            return false;  // markup declarations belong inside a document type declaration
        } else if (StartsWithAt(text, at, "</")) {
            const size_t end = text.find('>', at + 2);
            if (end == std::string_view::npos) return false;
            const std::string_view name = text.substr(at + 2, end - at - 2);
            if (name.find_first_of("<\"'") != std::string_view::npos) return false;
            // A stray end tag must not buy room for deeper nesting later on.
            if (--depth < 0) return false;
            at = end + 1;
        } else {
            size_t end = 0;
            bool empty = false;
            if (!FindStartTagEnd(text, at, end, empty)) return false;
            if (!empty && ++depth > kMostElements) return false;
            at = end + 1;
        }
    }
    return true;
}

bool PlistInputIsSafe(std::string_view bytes) {
    return LooksLikeBinaryPlist(bytes) ? BinaryPlistInputIsSafe(bytes) : XmlPlistInputIsSafe(bytes);
}

PlistTree ParseCheckedPlist(std::string_view bytes) {
    if (!PlistInputIsSafe(bytes)) return nullptr;
    plist_t tree = nullptr;
    plist_from_memory(bytes.data(), static_cast<uint32_t>(bytes.size()), &tree);
    return PlistTree(tree);
}

}  // namespace bw::sim

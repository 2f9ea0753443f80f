#include "formats/plist_guard.h"

#include <algorithm>
#include <cstdint>
#include <optional>
#include <vector>

#include "formats/plist_library.h"

namespace bw {
namespace {

constexpr std::string_view kBinaryMagic = "bplist00";
constexpr size_t kHeaderSize = 8;
constexpr size_t kTrailerSize = 32;

// Object markers of the binary format: the high nibble is the kind, the low nibble a size or a
// count (0xF: the count follows as an integer object).
enum : uint8_t {
    kMarkerSimple = 0x0,
    kMarkerInteger = 0x1,
    kMarkerReal = 0x2,
    kMarkerDate = 0x3,
    kMarkerData = 0x4,
    kMarkerAscii = 0x5,
    kMarkerUtf16 = 0x6,
    kMarkerUid = 0x8,
    kMarkerArray = 0xA,
    kMarkerDictionary = 0xD,
};

class BinaryWalker {
  public:
    explicit BinaryWalker(std::string_view bytes)
        : data_(reinterpret_cast<const uint8_t*>(bytes.data())), size_(bytes.size()) {}

    bool Check() { return ReadTrailer() && WalkFromTop(); }

  private:
    // Where an object's references start and how many there are (leaves have none).
    struct Shape {
        uint8_t kind = 0;
        size_t refsAt = 0;
        uint64_t refCount = 0;
        uint64_t keyCount = 0;  // dictionaries: the first keyCount references name the keys
        size_t bodyAt = 0;      // strings and data: where the bytes start, and how many
        uint64_t bodySize = 0;
    };

    struct Frame {
        uint64_t object;
        Shape shape;
        uint64_t next;
    };

    bool ReadTrailer() {
        if (size_ < kHeaderSize + 1 + 1 + kTrailerSize) return false;
        const uint8_t* trailer = data_ + size_ - kTrailerSize;
        offsetSize_ = trailer[6];
        refSize_ = trailer[7];
        objectCount_ = ReadBigEndian(trailer + 8, 8);
        topObject_ = ReadBigEndian(trailer + 16, 8);
        const uint64_t tableOffset = ReadBigEndian(trailer + 24, 8);
        if (offsetSize_ < 1 || offsetSize_ > 8 || refSize_ < 1 || refSize_ > 8) return false;
        if (objectCount_ == 0 || topObject_ >= objectCount_) return false;
        // Objects lie between the header and the offset table, one byte at least each.
        const uint64_t tableEnd = size_ - kTrailerSize;
        if (tableOffset <= kHeaderSize || tableOffset >= tableEnd) return false;
        if (objectCount_ > (tableEnd - tableOffset) / offsetSize_) return false;
        if (objectCount_ > tableOffset - kHeaderSize) return false;
        tableOffset_ = static_cast<size_t>(tableOffset);
        return true;
    }

    std::optional<size_t> OffsetOf(uint64_t object) const {
        const uint64_t offset =
            ReadBigEndian(data_ + tableOffset_ + object * offsetSize_, offsetSize_);
        if (offset < kHeaderSize || offset >= tableOffset_) return std::nullopt;
        return static_cast<size_t>(offset);
    }

    // The count in the low nibble, or the integer object that follows the marker.
    std::optional<uint64_t> ReadCount(uint8_t low, size_t& pos) const {
        if (low != 0xF) return low;
        if (pos >= tableOffset_) return std::nullopt;
        const uint8_t marker = data_[pos];
        if ((marker >> 4) != kMarkerInteger || (marker & 0xF) > 3) return std::nullopt;
        const size_t width = size_t{1} << (marker & 0xF);
        if (tableOffset_ - pos - 1 < width) return std::nullopt;
        const uint64_t count = ReadBigEndian(data_ + pos + 1, width);
        pos += 1 + width;
        return count;
    }

    bool Fits(size_t pos, uint64_t units, uint64_t unitSize) const {
        return pos <= tableOffset_ && units <= (tableOffset_ - pos) / unitSize;
    }

    std::optional<Shape> ShapeOf(uint64_t object) const {
        const std::optional<size_t> offset = OffsetOf(object);
        if (!offset) return std::nullopt;
        const uint8_t marker = data_[*offset];
        const uint8_t low = marker & 0xF;
        size_t pos = *offset + 1;
        Shape shape;
        shape.kind = marker >> 4;
        switch (shape.kind) {
            case kMarkerSimple:  // false and true; null and fill bytes are refused
                if (low != 0x8 && low != 0x9) return std::nullopt;
                return shape;
            case kMarkerInteger:
                if (low > 4 || !Fits(pos, uint64_t{1} << low, 1)) return std::nullopt;
                return shape;
            case kMarkerReal:
                if ((low != 2 && low != 3) || !Fits(pos, uint64_t{1} << low, 1))
                    return std::nullopt;
                return shape;
            case kMarkerDate:
                if (low != 3 || !Fits(pos, 8, 1)) return std::nullopt;
                return shape;
            case kMarkerUid:
                if (low > 7 || !Fits(pos, low + 1u, 1)) return std::nullopt;
                return shape;
            case kMarkerData:
            case kMarkerAscii:
            case kMarkerUtf16: {
                const std::optional<uint64_t> count = ReadCount(low, pos);
                const uint64_t unit = shape.kind == kMarkerUtf16 ? 2 : 1;
                if (!count || !Fits(pos, *count, unit)) return std::nullopt;
                shape.bodyAt = pos;
                shape.bodySize = *count * unit;
                return shape;
            }
            case kMarkerArray:
            case kMarkerDictionary: {
                const std::optional<uint64_t> count = ReadCount(low, pos);
                const uint64_t perEntry = shape.kind == kMarkerDictionary ? 2 : 1;
                if (!count || !Fits(pos, *count, perEntry * refSize_)) return std::nullopt;
                shape.refsAt = pos;
                shape.refCount = *count * perEntry;
                shape.keyCount = shape.kind == kMarkerDictionary ? *count : 0;
                return shape;
            }
            default:  // sets and reserved markers: no writer we meet produces them
                return std::nullopt;
        }
    }

    // Keys are strings without NUL characters: the external library asserts that a key's
    // length matches its C-string length when it hands the key out, and aborts the process.
    bool IsUsableKey(const Shape& shape) const {
        if (shape.kind != kMarkerAscii && shape.kind != kMarkerUtf16) return false;
        const uint8_t* body = data_ + shape.bodyAt;
        if (shape.kind == kMarkerAscii) {
            return std::find(body, body + shape.bodySize, 0) == body + shape.bodySize;
        }
        for (uint64_t i = 0; i + 1 < shape.bodySize; i += 2) {
            if (body[i] == 0 && body[i + 1] == 0) return false;
        }
        return true;
    }

    static bool IsContainer(const Shape& shape) {
        return shape.kind == kMarkerArray || shape.kind == kMarkerDictionary;
    }

    // Depth-first over the references as the parser will expand them: every visit of a shared
    // object counts, so a few containers that reference one another many times cannot make the
    // parser build an exponential tree. A list without shared containers expands to at most one
    // node per byte.
    bool WalkFromTop() {
        const uint64_t budget = 2 * static_cast<uint64_t>(size_) + 1024;
        uint64_t expanded = 1;
        std::vector<bool> onPath(objectCount_, false);
        std::vector<Frame> stack;
        const std::optional<Shape> top = ShapeOf(topObject_);
        if (!top) return false;
        if (!IsContainer(*top)) return true;
        stack.push_back({topObject_, *top, 0});
        onPath[topObject_] = true;
        while (!stack.empty()) {
            Frame& frame = stack.back();
            if (frame.next == frame.shape.refCount) {
                onPath[frame.object] = false;
                stack.pop_back();
                continue;
            }
            const uint64_t child =
                ReadBigEndian(data_ + frame.shape.refsAt + frame.next * refSize_, refSize_);
            const bool isKey = frame.next < frame.shape.keyCount;
            ++frame.next;
            if (child >= objectCount_ || ++expanded > budget) return false;
            const std::optional<Shape> shape = ShapeOf(child);
            if (!shape) return false;
            if (isKey) {
                if (!IsUsableKey(*shape)) return false;
                continue;
            }
            if (!IsContainer(*shape)) continue;
            if (onPath[child] || stack.size() >= static_cast<size_t>(kPlistMaxNesting)) {
                return false;
            }
            onPath[child] = true;
            stack.push_back({child, *shape, 0});
        }
        return true;
    }

    const uint8_t* data_;
    size_t size_;
    uint8_t offsetSize_ = 0;
    uint8_t refSize_ = 0;
    uint64_t objectCount_ = 0;
    uint64_t topObject_ = 0;
    size_t tableOffset_ = 0;
};

bool StartsWith(std::string_view text, size_t at, std::string_view prefix) {
    return text.substr(at, prefix.size()) == prefix;
}

// The '>' that ends the tag starting at `at`, skipping quoted attribute values.
size_t EndOfTag(std::string_view text, size_t at) {
    char quote = 0;
    for (size_t i = at + 1; i < text.size(); ++i) {
        const char c = text[i];
        if (quote != 0) {
            if (c == quote) quote = 0;
        } else if (c == '"' || c == '\'') {
            quote = c;
        } else if (c == '>') {
            return i;
        }
    }
    return std::string_view::npos;
}

}  // namespace

uint64_t ReadBigEndian(const unsigned char* bytes, size_t count) {
    uint64_t value = 0;
    for (size_t i = 0; i < count; ++i)
        value = (value << 8) | bytes[i];
    return value;
}

bool IsBinaryPlist(std::string_view bytes) {
    return bytes.substr(0, kBinaryMagic.size()) == kBinaryMagic;
}

bool BinaryPlistLooksSafe(std::string_view bytes) {
    if (!IsBinaryPlist(bytes) || bytes.size() > kPlistMaxInputBytes) return false;
    return BinaryWalker(bytes).Check();
}

bool XmlPlistLooksSafe(std::string_view text) {
    if (text.size() > kPlistMaxInputBytes) return false;
    // The plist element and the leaf values add two element levels to the container nesting.
    const int maxDepth = kPlistMaxNesting + 2;
    int depth = 0;
    size_t at = 0;
    while ((at = text.find('<', at)) != std::string_view::npos) {
        size_t end = std::string_view::npos;
        if (StartsWith(text, at, "<!--")) {
            end = text.find("-->", at + 4);
            if (end != std::string_view::npos) end += 2;
        } else if (StartsWith(text, at, "<![CDATA[")) {
            end = text.find("]]>", at + 9);
            if (end != std::string_view::npos) end += 2;
        } else if (StartsWith(text, at, "<?")) {
            end = text.find("?>", at + 2);
            if (end != std::string_view::npos) end += 1;
        } else {
            end = EndOfTag(text, at);
            if (end != std::string_view::npos && text[at + 1] == '/') {
                // Stray end tags must not buy room for deeper nesting later on.
                depth = depth > 0 ? depth - 1 : 0;
            } else if (end != std::string_view::npos && text[at + 1] != '!' &&
                       text[end - 1] != '/' && ++depth > maxDepth) {
                return false;
            }
        }
        if (end == std::string_view::npos) return false;
        at = end + 1;
    }
    return true;
}

}  // namespace bw

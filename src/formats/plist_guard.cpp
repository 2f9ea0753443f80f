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

// Walks XML the way the external parser tokenises it, so that both agree on what is markup:
// processing instructions end at "?>" and doctype subsets at "]>", skipping double-quoted text;
// comments end at "-->"; a tag name ends at white space, '<' or '>', and the tag at the next '<'
// or '>' outside double quotes (single quotes are not quotes to that parser); a tag is empty when
// a '/' stands right before its '>'; the text of a leaf may hold comments and CDATA sections but
// no other markup up to its end tag. Only containers add a level, as only they nest in the tree
// that parser builds and later frees recursively. Anything that parser would refuse is refused
// here too, which is always safe: the parser never sees refused bytes.
class XmlWalker {
  public:
    explicit XmlWalker(std::string_view text) : text_(text) {}

    bool Check(int maxDepth) {
        int depth = 0;
        for (;;) {
            SkipSpace();
            if (at_ >= text_.size()) return true;
            if (text_[at_] != '<' || ++at_ >= text_.size()) return false;
            if (text_[at_] == '?') {
                if (!SkipPast("?>", true)) return false;
            } else if (text_[at_] == '!') {
                if (!SkipDeclaration()) return false;
            } else {
                Tag tag;
                if (!ReadTag(tag)) return false;
                if (tag.name.front() == '/') {
                    if (!IsContainer(tag.name.substr(1))) return false;
                    depth = depth > 0 ? depth - 1 : 0;
                } else if (IsContainer(tag.name)) {
                    if (!tag.empty && ++depth > maxDepth) return false;
                } else if (!IsLeaf(tag.name) || (!tag.empty && !SkipLeafText(tag.name))) {
                    return false;
                }
            }
        }
    }

  private:
    struct Tag {
        std::string_view name;
        bool empty = false;
    };

    static bool IsContainer(std::string_view name) {
        return name == "plist" || name == "dict" || name == "array";
    }

    static bool IsLeaf(std::string_view name) {
        for (std::string_view leaf :
             {"key", "string", "integer", "real", "date", "data", "true", "false"}) {
            if (name == leaf) return true;
        }
        return false;
    }

    static bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

    void SkipSpace() {
        while (at_ < text_.size() && IsSpace(text_[at_]))
            ++at_;
    }

    // Moves at_ to the first of `stops` at or after it, stepping over double-quoted text when
    // asked; false when none is found.
    bool FindAny(std::string_view stops, bool skipQuotes) {
        while (at_ < text_.size()) {
            if (skipQuotes && text_[at_] == '"') {
                const size_t close = text_.find('"', at_ + 1);
                if (close == std::string_view::npos) return false;
                at_ = close + 1;
                continue;
            }
            if (stops.find(text_[at_]) != std::string_view::npos) return true;
            ++at_;
        }
        return false;
    }

    // Moves at_ past the next `marker`.
    bool SkipPast(std::string_view marker, bool skipQuotes) {
        while (at_ < text_.size()) {
            if (text_.substr(at_, marker.size()) == marker) {
                at_ += marker.size();
                return true;
            }
            if (skipQuotes && text_[at_] == '"') {
                const size_t close = text_.find('"', at_ + 1);
                if (close == std::string_view::npos) return false;
                at_ = close;
            }
            ++at_;
        }
        return false;
    }

    // At the '!' of a comment or a doctype; everything else of that shape is refused.
    bool SkipDeclaration() {
        if (text_.substr(at_, 3) == "!--") {
            at_ += 3;
            return SkipPast("-->", false);
        }
        if (text_.substr(at_, 8) != "!DOCTYPE") return false;
        at_ += 8;
        if (!FindAny("[>", true)) return false;
        if (text_[at_] == '>') {
            ++at_;
            return true;
        }
        return SkipPast("]>", true);
    }

    // At the first character after '<'.
    bool ReadTag(Tag& tag) {
        const size_t start = at_;
        while (at_ < text_.size() && !IsSpace(text_[at_]) && text_[at_] != '<' && text_[at_] != '>')
            ++at_;
        if (at_ >= text_.size()) return false;
        size_t nameEnd = at_;
        if (text_[at_] != '>' && !FindAny("<>", true)) return false;
        if (text_[at_] != '>') return false;
        tag.empty = text_[at_ - 1] == '/';
        if (tag.empty && at_ - 1 < nameEnd) nameEnd = at_ - 1;
        tag.name = text_.substr(start, nameEnd - start);
        ++at_;
        return !tag.name.empty();
    }

    // After the start tag of a leaf: its text, comments and CDATA sections, then its end tag.
    bool SkipLeafText(std::string_view name) {
        for (;;) {
            const size_t open = text_.find('<', at_);
            if (open == std::string_view::npos || open + 1 >= text_.size()) return false;
            at_ = open + 1;
            if (text_.substr(at_, 3) == "!--") {
                at_ += 3;
                if (!SkipPast("-->", false)) return false;
            } else if (text_.substr(at_, 8) == "![CDATA[") {
                at_ += 8;
                if (!SkipPast("]]>", false)) return false;
            } else if (text_[at_] == '/') {
                ++at_;
                if (text_.substr(at_, name.size()) != name) return false;
                at_ += name.size();
                SkipSpace();
                if (at_ >= text_.size() || text_[at_] != '>') return false;
                ++at_;
                return true;
            } else {
                return false;
            }
        }
    }

    std::string_view text_;
    size_t at_ = 0;
};

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
    // The plist element adds one level to the container nesting.
    return XmlPlistNestsAtMost(text, kPlistMaxNesting + 1);
}

bool XmlPlistNestsAtMost(std::string_view text, int maxDepth) {
    return text.size() <= kPlistMaxInputBytes && XmlWalker(text).Check(maxDepth);
}

}  // namespace bw

// Binary property lists ("bplist00"): a header, the objects, a table of object offsets and a
// 32-byte trailer. Every number in the file is big-endian.
//
// The reader keeps its work state per call (a BinaryReader on the stack), not in one process-wide
// record, so any number of reads may run at the same time.
//
// Failure policy: anything structurally wrong (trailer fields out of range, an offset or object
// reference outside the file, a count larger than the bytes that follow, a truncated object, a
// dictionary key that is not a string, a cycle, nesting deeper than kMaxDepth) makes the whole
// read fail and leaves the caller's value empty: such a file is damaged or hostile, and half a tree
// would be mistaken for the real content. Objects that are well formed but of a kind we do not
// keep (null, UID, set, fill bytes, integers wider than 64 bits, dates out of range) become empty
// values in their place, so array positions are kept.
#include <bit>
#include <cstring>

#include "formats/plist_codec_internal.h"
#include "platform/text.h"

namespace bw::plist_internal {

namespace {

constexpr size_t kHeaderSize = 8;
constexpr size_t kTrailerSize = 32;

uint64_t ReadBigEndian(const uint8_t* p, unsigned size) {
    switch (size) {
        case 1:
            return p[0];
        case 2:
            return (uint64_t{p[0]} << 8) | p[1];
        case 4: {
            uint32_t value;
            std::memcpy(&value, p, 4);
            return __builtin_bswap32(value);
        }
        case 8: {
            uint64_t value;
            std::memcpy(&value, p, 8);
            return __builtin_bswap64(value);
        }
        default: {
            uint64_t value = 0;
            for (unsigned i = 0; i < size; ++i)
                value = (value << 8) | p[i];
            return value;
        }
    }
}

// Walks big-endian UTF-16 code points with the conversion rules of the host interface.
template <typename Visit>
void ForEachUtf16CodePoint(const uint8_t* units, uint64_t count, Visit visit) {
    for (uint64_t i = 0; i < count; ++i) {
        const char32_t lead = (char32_t{units[2 * i]} << 8) | units[2 * i + 1];
        const bool hasLow = i + 1 < count;
        const char32_t low = hasLow ? (char32_t{units[2 * i + 2]} << 8) | units[2 * i + 3] : 0;
        char32_t cp;
        if (CombineUtf16(lead, hasLow, low, cp)) ++i;
        visit(cp);
    }
}

class BinaryReader {
  public:
    BinaryReader(const uint8_t* bytes, size_t length) : bytes_(bytes), length_(length) {}

    bool Read(PlistValue& value) {
        if (!ReadTrailer()) return false;
        onPath_.assign(objectCount_, 0);
        // Shared objects are legal and are copied at every reference, so a small file of nested
        // shared arrays could expand into an astronomically large tree. Without shared
        // containers a tree has at most one value per object reference, and every reference
        // takes at least one byte, so a budget of one value per input byte never refuses a file
        // that merely shares strings or numbers (as most writers do).
        budget_ = length_;
        // The trailer's top-object field is ignored: the root is always object 0.
        return ParseObject(0, 1, value);
    }

  private:
    bool ReadTrailer() {
        if (length_ < kHeaderSize + kTrailerSize + 2) return false;
        const uint8_t* trailer = bytes_ + length_ - kTrailerSize;
        offsetSize_ = trailer[6];
        refSize_ = trailer[7];
        objectCount_ = ReadBigEndian(trailer + 8, 8);
        offsetTable_ = ReadBigEndian(trailer + 24, 8);
        if (offsetSize_ < 1 || offsetSize_ > 8 || refSize_ < 1 || refSize_ > 8) return false;
        // The objects lie between the header and the offset table, and the offset table ends
        // before the trailer.
        const uint64_t tableEnd = length_ - kTrailerSize;
        if (objectCount_ == 0 || offsetTable_ <= kHeaderSize || offsetTable_ > tableEnd)
            return false;
        if (objectCount_ > (tableEnd - offsetTable_) / offsetSize_) return false;
        return true;
    }

    // True when `size` bytes starting at `at` lie inside the object area.
    bool Fits(uint64_t at, uint64_t size) const {
        return at <= offsetTable_ && size <= offsetTable_ - at;
    }

    bool ObjectOffset(uint64_t index, uint64_t& offset) const {
        if (index >= objectCount_) return false;
        offset = ReadBigEndian(bytes_ + offsetTable_ + index * offsetSize_, offsetSize_);
        return offset >= kHeaderSize && offset < offsetTable_;
    }

    uint64_t Reference(uint64_t at) const { return ReadBigEndian(bytes_ + at, refSize_); }

    // The element count in the marker's low nibble, or (0xF) in the integer object that follows.
    // `at` moves past whatever held the count.
    bool ReadCount(uint8_t marker, uint64_t& at, uint64_t& count) const {
        count = marker & 0x0F;
        if (count != 0x0F) return true;
        if (!Fits(at, 1)) return false;
        const uint8_t intMarker = bytes_[at];
        if ((intMarker >> 4) != 0x1 || (intMarker & 0x0F) > 3) return false;
        const unsigned size = 1u << (intMarker & 0x0F);
        if (!Fits(at + 1, size)) return false;
        count = ReadBigEndian(bytes_ + at + 1, size);
        at += 1 + size;
        return true;
    }

    bool Spend() {
        if (budget_ == 0) return false;
        --budget_;
        return true;
    }

    bool ParseObject(uint64_t index, int depth, PlistValue& value) {
        uint64_t offset;
        if (depth > kMaxDepth || !Spend() || !ObjectOffset(index, offset)) return false;
        const uint8_t marker = bytes_[offset];
        uint64_t at = offset + 1;
        switch (marker >> 4) {
            case 0x0:
                if (marker == 0x08) value = false;
                if (marker == 0x09) value = true;
                return true;
            case 0x1:
                return ParseInteger(marker, at, value);
            case 0x2:
                return ParseReal(marker, at, value);
            case 0x3:
                return ParseDate(marker, at, value);
            case 0x4: {
                uint64_t count;
                if (!ReadCount(marker, at, count) || !Fits(at, count)) return false;
                value.EmplaceData().assign(bytes_ + at, bytes_ + at + count);
                return true;
            }
            case 0x5:
            case 0x6:
                return ParseString(marker, at, value.EmplaceString());
            case 0xA:
            case 0xD: {
                // A container already on the path from the root refers to itself: a cycle.
                if (onPath_[index]) return false;
                onPath_[index] = 1;
                const bool ok = marker >> 4 == 0xA ? ParseArray(marker, at, depth, value)
                                                   : ParseDictionary(marker, at, depth, value);
                onPath_[index] = 0;
                return ok;
            }
            default:
                return true;
        }
    }

    // 1, 2 and 4-byte integers are unsigned, 8-byte ones signed. 16-byte integers carry values
    // above 2^63-1; those that fit 64 bits are kept as their bit pattern, like XML integers.
    bool ParseInteger(uint8_t marker, uint64_t at, PlistValue& value) const {
        const unsigned power = marker & 0x0F;
        if (power > 4) return true;
        const unsigned size = 1u << power;
        if (!Fits(at, size)) return false;
        if (size == 16) {
            if (ReadBigEndian(bytes_ + at, 8) == 0)
                value = static_cast<int64_t>(ReadBigEndian(bytes_ + at + 8, 8));
            return true;
        }
        value = static_cast<int64_t>(ReadBigEndian(bytes_ + at, size));
        return true;
    }

    bool ParseReal(uint8_t marker, uint64_t at, PlistValue& value) const {
        if (marker == 0x22) {
            if (!Fits(at, 4)) return false;
            value = static_cast<double>(
                std::bit_cast<float>(static_cast<uint32_t>(ReadBigEndian(bytes_ + at, 4))));
        } else if (marker == 0x23) {
            if (!Fits(at, 8)) return false;
            value = std::bit_cast<double>(ReadBigEndian(bytes_ + at, 8));
        }
        return true;
    }

    bool ParseDate(uint8_t marker, uint64_t at, PlistValue& value) const {
        if (marker != 0x33) return true;
        if (!Fits(at, 8)) return false;
        const double seconds = std::bit_cast<double>(ReadBigEndian(bytes_ + at, 8));
        if (const auto date = PlistDate::FromSecondsSince2001(seconds)) value = *date;
        return true;
    }

    // ASCII strings are copied as they are. A byte above 0x7F has no meaning in an ASCII string;
    // it is read as the Latin-1 character of that number, so the text stays valid UTF-8 and
    // nothing is lost.
    bool ParseString(uint8_t marker, uint64_t at, std::string& text) const {
        uint64_t count;
        if (!ReadCount(marker, at, count)) return false;
        const uint8_t* p = bytes_ + at;
        if ((marker >> 4) == 0x5) {
            if (!Fits(at, count)) return false;
            size_t extra = 0;
            for (uint64_t i = 0; i < count; ++i)
                extra += p[i] >> 7;
            if (extra == 0) {
                text.assign(reinterpret_cast<const char*>(p), count);
                return true;
            }
            text.resize(count + extra);
            char* out = text.data();
            for (uint64_t i = 0; i < count; ++i)
                out = PutUtf8(out, p[i]);
            return true;
        }
        if (count > offsetTable_ / 2 || !Fits(at, count * 2)) return false;
        size_t size = 0;
        ForEachUtf16CodePoint(p, count, [&](char32_t cp) { size += Utf8Length(cp); });
        text.resize(size);
        char* out = text.data();
        ForEachUtf16CodePoint(p, count, [&](char32_t cp) { out = PutUtf8(out, cp); });
        return true;
    }

    bool ParseArray(uint8_t marker, uint64_t at, int depth, PlistValue& value) {
        uint64_t count;
        if (!ReadCount(marker, at, count)) return false;
        if (count > (offsetTable_ - at) / refSize_ || count > budget_) return false;
        PlistValue::Array& array = value.EmplaceArray();
        array.resize(count);
        for (uint64_t i = 0; i < count; ++i) {
            if (!ParseObject(Reference(at + i * refSize_), depth + 1, array[i])) return false;
        }
        return true;
    }

    // All keys first, then all values. When a key repeats, the last value wins.
    bool ParseDictionary(uint8_t marker, uint64_t at, int depth, PlistValue& value) {
        uint64_t count;
        if (!ReadCount(marker, at, count)) return false;
        if (count > (offsetTable_ - at) / refSize_ / 2 || 2 * count > budget_) return false;
        PlistValue::Dictionary& dictionary = value.EmplaceDictionary();
        const uint64_t values = at + count * refSize_;
        std::string key;
        for (uint64_t i = 0; i < count; ++i) {
            if (!ParseKey(Reference(at + i * refSize_), key)) return false;
            // Keys written in byte order (as ours are) go in at the end without a search.
            const auto slot = dictionary.try_emplace(dictionary.end(), std::move(key));
            slot->second.Clear();
            if (!ParseObject(Reference(values + i * refSize_), depth + 1, slot->second))
                return false;
        }
        return true;
    }

    bool ParseKey(uint64_t index, std::string& key) {
        uint64_t offset;
        if (!Spend() || !ObjectOffset(index, offset)) return false;
        const uint8_t marker = bytes_[offset];
        if ((marker >> 4) != 0x5 && (marker >> 4) != 0x6) return false;
        return ParseString(marker, offset + 1, key);
    }

    const uint8_t* bytes_;
    size_t length_;
    unsigned offsetSize_ = 0;
    unsigned refSize_ = 0;
    uint64_t objectCount_ = 0;
    uint64_t offsetTable_ = 0;     // also the end of the object area
    uint64_t budget_ = 0;          // values still allowed in the tree
    std::vector<uint8_t> onPath_;  // containers between the root and the object being parsed
};

}  // namespace

bool ReadBinaryPlist(const uint8_t* bytes, size_t length, PlistValue& value) {
    PlistValue parsed;
    if (!BinaryReader(bytes, length).Read(parsed) || parsed.IsEmpty()) return false;
    value = std::move(parsed);
    return true;
}

}  // namespace bw::plist_internal

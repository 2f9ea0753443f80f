// Writes a PlistValue tree as a binary property list ("bplist00").
//
// Layout: every value is one object and every dictionary key is one string object of its own;
// nothing is shared or deduplicated. Objects are numbered depth-first with the top object as
// number 0; a dictionary's keys take the numbers right after it, then each value's subtree in
// turn. An empty value inside the tree is written as the null object (marker 0x00), which the
// reader turns back into an empty value.
//
// The work state lives in a BinaryWriter per call rather than in one process-wide record, so
// writes may run concurrently. Two passes: the first counts objects and bytes exactly, so the
// whole file is written into one buffer allocated once, with the offset table built in place.
#include <bit>
#include <cstring>

#include "formats/plist_codec_internal.h"
#include "platform/text.h"

namespace bw::plist_internal {

namespace {

constexpr size_t kHeaderSize = 8;
constexpr size_t kTrailerSize = 32;

unsigned BytesNeeded(uint64_t value) {
    unsigned bytes = 1;
    while (bytes < 8 && (value >> (8 * bytes)) != 0)
        ++bytes;
    return bytes;
}

// Integers take the smallest of 1, 2, 4 or 8 bytes; 1, 2 and 4-byte integers are read back as
// unsigned, so every negative number needs all 8.
unsigned IntegerSize(int64_t value) {
    if (value < 0) return 8;
    const auto magnitude = static_cast<uint64_t>(value);
    if (magnitude <= 0xFF) return 1;
    if (magnitude <= 0xFFFF) return 2;
    if (magnitude <= 0xFFFFFFFF) return 4;
    return 8;
}

size_t MarkerAndCountSize(uint64_t count) {
    return count < 15 ? 1 : 2 + IntegerSize(static_cast<int64_t>(count));
}

bool IsAscii(const std::string& text) {
    unsigned char seen = 0;
    for (const char c : text)
        seen |= static_cast<unsigned char>(c);
    return seen < 0x80;
}

// Walks the UTF-16 units of UTF-8 text, with the conversion rules of the host interface.
template <typename Visit>
void ForEachUtf16Unit(const std::string& text, Visit visit) {
    for (size_t i = 0; i < text.size();) {
        const auto lead = static_cast<unsigned char>(text[i]);
        if (lead < 0x80) {
            visit(static_cast<char16_t>(lead));
            ++i;
            continue;
        }
        EncodeUtf16(DecodeUtf8(text, i), visit);
    }
}

size_t Utf16Length(const std::string& text) {
    size_t units = 0;
    ForEachUtf16Unit(text, [&](char16_t) { ++units; });
    return units;
}

class BinaryWriter {
  public:
    std::optional<std::string> Encode(const PlistValue& root) {
        if (root.IsEmpty() || !Measure(root, 1)) return std::nullopt;
        refSize_ = BytesNeeded(objectCount_ - 1);
        const size_t objectsEnd = kHeaderSize + fixedBytes_ + referenceCount_ * refSize_;
        // Room for 8-byte offsets; they are narrowed in place once the largest one is known.
        out_.resize(objectsEnd + objectCount_ * 8 + kTrailerSize);
        buffer_ = reinterpret_cast<uint8_t*>(out_.data());
        std::memcpy(buffer_, "bplist00", kHeaderSize);
        pos_ = kHeaderSize;
        offsets_ = objectsEnd;
        WriteObject(root);

        // Objects were written in number order, so the last one has the largest offset.
        uint64_t largest;
        std::memcpy(&largest, buffer_ + offsets_ + (objectCount_ - 1) * 8, 8);
        const unsigned offsetSize = BytesNeeded(largest);
        for (size_t i = 0; i < objectCount_; ++i) {
            uint64_t offset;
            std::memcpy(&offset, buffer_ + offsets_ + i * 8, 8);
            PutBigEndian(offsets_ + i * offsetSize, offset, offsetSize);
        }
        pos_ = offsets_ + objectCount_ * offsetSize;
        std::memset(buffer_ + pos_, 0, 6);
        buffer_[pos_ + 6] = static_cast<uint8_t>(offsetSize);
        buffer_[pos_ + 7] = static_cast<uint8_t>(refSize_);
        PutBigEndian(pos_ + 8, objectCount_, 8);
        PutBigEndian(pos_ + 16, 0, 8);
        PutBigEndian(pos_ + 24, offsets_, 8);
        out_.resize(pos_ + kTrailerSize);
        return std::move(out_);
    }

  private:
    static size_t StringSize(const std::string& text) {
        if (IsAscii(text)) return MarkerAndCountSize(text.size()) + text.size();
        const size_t units = Utf16Length(text);
        return MarkerAndCountSize(units) + 2 * units;
    }

    // Counts objects, references and the bytes of everything but the references.
    bool Measure(const PlistValue& value, int depth) {
        if (depth > kMaxDepth) return false;
        ++objectCount_;
        switch (value.Kind()) {
            case PlistKind::kNone:
            case PlistKind::kBoolean:
                fixedBytes_ += 1;
                return true;
            case PlistKind::kInteger:
                fixedBytes_ += 1 + IntegerSize(*value.AsInteger());
                return true;
            case PlistKind::kReal:
            case PlistKind::kDate:
                fixedBytes_ += 9;
                return true;
            case PlistKind::kData:
                fixedBytes_ += MarkerAndCountSize(value.AsData()->size()) + value.AsData()->size();
                return true;
            case PlistKind::kString:
                fixedBytes_ += StringSize(*value.AsString());
                return true;
            case PlistKind::kArray: {
                const PlistValue::Array& array = *value.AsArray();
                fixedBytes_ += MarkerAndCountSize(array.size());
                referenceCount_ += array.size();
                for (const PlistValue& element : array) {
                    if (!Measure(element, depth + 1)) return false;
                }
                return true;
            }
            case PlistKind::kDictionary: {
                const PlistValue::Dictionary& dictionary = *value.AsDictionary();
                fixedBytes_ += MarkerAndCountSize(dictionary.size());
                referenceCount_ += 2 * dictionary.size();
                objectCount_ += dictionary.size();
                for (const auto& [key, element] : dictionary) {
                    fixedBytes_ += StringSize(key);
                    if (!Measure(element, depth + 1)) return false;
                }
                return true;
            }
        }
        return false;
    }

    void PutBigEndian(size_t at, uint64_t value, unsigned size) {
        for (unsigned i = size; i-- > 0;) {
            buffer_[at + i] = static_cast<uint8_t>(value);
            value >>= 8;
        }
    }

    void PutByte(uint8_t byte) { buffer_[pos_++] = byte; }

    void PutInteger(int64_t value) {
        const unsigned size = IntegerSize(value);
        PutByte(static_cast<uint8_t>(0x10 | std::countr_zero(size)));
        PutBigEndian(pos_, static_cast<uint64_t>(value), size);
        pos_ += size;
    }

    void PutMarkerAndCount(uint8_t kind, uint64_t count) {
        if (count < 15) {
            PutByte(static_cast<uint8_t>(kind | count));
        } else {
            PutByte(static_cast<uint8_t>(kind | 0x0F));
            PutInteger(static_cast<int64_t>(count));
        }
    }

    void PutDouble(uint8_t marker, double value) {
        PutByte(marker);
        PutBigEndian(pos_, std::bit_cast<uint64_t>(value), 8);
        pos_ += 8;
    }

    // Each object records its offset as it is started, which also hands out its number.
    uint64_t BeginObject() {
        const uint64_t number = nextObject_++;
        const uint64_t offset = pos_;
        std::memcpy(buffer_ + offsets_ + number * 8, &offset, 8);
        return number;
    }

    void PutReference(size_t at, uint64_t number) { PutBigEndian(at, number, refSize_); }

    void WriteString(const std::string& text) {
        BeginObject();
        if (IsAscii(text)) {
            PutMarkerAndCount(0x50, text.size());
            std::memcpy(buffer_ + pos_, text.data(), text.size());
            pos_ += text.size();
            return;
        }
        PutMarkerAndCount(0x60, Utf16Length(text));
        ForEachUtf16Unit(text, [&](char16_t unit) {
            PutByte(static_cast<uint8_t>(unit >> 8));
            PutByte(static_cast<uint8_t>(unit));
        });
    }

    void WriteObject(const PlistValue& value) {
        switch (value.Kind()) {
            case PlistKind::kNone:
                BeginObject();
                PutByte(0x00);
                return;
            case PlistKind::kBoolean:
                BeginObject();
                PutByte(*value.AsBoolean() ? 0x09 : 0x08);
                return;
            case PlistKind::kInteger:
                BeginObject();
                PutInteger(*value.AsInteger());
                return;
            case PlistKind::kReal:
                BeginObject();
                PutDouble(0x23, *value.AsReal());
                return;
            case PlistKind::kDate:
                BeginObject();
                PutDouble(0x33, value.AsDate()->SecondsSince2001());
                return;
            case PlistKind::kData: {
                BeginObject();
                const PlistValue::Data& data = *value.AsData();
                PutMarkerAndCount(0x40, data.size());
                if (!data.empty()) std::memcpy(buffer_ + pos_, data.data(), data.size());
                pos_ += data.size();
                return;
            }
            case PlistKind::kString:
                WriteString(*value.AsString());
                return;
            case PlistKind::kArray: {
                BeginObject();
                const PlistValue::Array& array = *value.AsArray();
                PutMarkerAndCount(0xA0, array.size());
                size_t reference = pos_;
                pos_ += array.size() * refSize_;
                for (const PlistValue& element : array) {
                    PutReference(reference, nextObject_);
                    reference += refSize_;
                    WriteObject(element);
                }
                return;
            }
            case PlistKind::kDictionary: {
                BeginObject();
                const PlistValue::Dictionary& dictionary = *value.AsDictionary();
                PutMarkerAndCount(0xD0, dictionary.size());
                size_t reference = pos_;
                pos_ += 2 * dictionary.size() * refSize_;
                for (const auto& entry : dictionary) {
                    PutReference(reference, nextObject_);
                    reference += refSize_;
                    WriteString(entry.first);
                }
                for (const auto& entry : dictionary) {
                    PutReference(reference, nextObject_);
                    reference += refSize_;
                    WriteObject(entry.second);
                }
                return;
            }
        }
    }

    uint64_t objectCount_ = 0;
    uint64_t referenceCount_ = 0;
    uint64_t fixedBytes_ = 0;
    unsigned refSize_ = 1;
    std::string out_;
    uint8_t* buffer_ = nullptr;
    size_t pos_ = 0;
    size_t offsets_ = 0;  // where the offset table starts, right after the objects
    uint64_t nextObject_ = 0;
};

}  // namespace

}  // namespace bw::plist_internal

namespace bw {

std::optional<std::string> EncodePlistBinary(const PlistValue& value) {
    return plist_internal::BinaryWriter().Encode(value);
}

}  // namespace bw

// The library layer's writers: a CDicValueObj tree straight to binary or XML bytes.
//
// The external library's binary writer searches its table of written objects for every new one,
// which takes minutes for a list of a million objects, and its trees cost a node allocation per
// value; both writers here make one pass over the tree into one growing buffer. The XML is the
// external library's own spelling byte for byte (tabs, the same escapes, reals, dates and Base64
// lines), so files written before and after read and compare alike. The binary lists share
// repeated keys and nothing else: every value is its own object, which the format allows and
// every reader takes.
#include <algorithm>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <deque>
#include <unordered_map>
#include <vector>

#include "formats/plist_library_internal.h"
#include "platform/text.h"

namespace bw::plist_library_internal {

namespace {

bool IsPlainAscii(std::string_view text) {
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte == 0 || byte >= 0x80) return false;
    }
    return true;
}

// Keys and strings that need no cleaning are written from the tree itself; the others are
// cleaned once and kept here while the write runs.
class CleanTexts {
  public:
    std::string_view Of(const std::string& text) {
        if (IsPlainAscii(text)) return text;
        std::string cleaned = CleanText(text);
        if (cleaned == text) return text;
        return kept_.emplace_back(std::move(cleaned));
    }

  private:
    std::deque<std::string> kept_;
};

// Whether a value is written at all: kPlistNone, unknown type codes and type codes whose payload
// is missing are not (a list has no way to spell them).
bool HoldsValue(const CDicValueObj& value) {
    switch (value.type) {
        case kPlistDictionary:
            return value.Dictionary() != nullptr;
        case kPlistArray:
            return value.Array() != nullptr;
        case kPlistString:
            return value.String() != nullptr;
        case kPlistInteger:
            return value.Integer() != nullptr;
        case kPlistReal:
            return value.Real() != nullptr;
        case kPlistFalse:
        case kPlistTrue:
            return true;
        case kPlistData:
            return value.Data() != nullptr;
        case kPlistDate:
            return value.Date() != nullptr;
        default:
            return false;
    }
}

struct ListEntry {
    std::string_view key;
    const CDicValueObj* value;
};

// The entries a dictionary is written with: those that hold something, each (cleaned) key once,
// in the place where it first appears and with the last value given for it.
void CollectEntries(const PlistDictionary& entries, CleanTexts& texts,
                    std::vector<ListEntry>& out) {
    // Small dictionaries, the common case, are searched faster than they are hashed.
    constexpr size_t kScanLimit = 16;
    out.clear();
    out.reserve(entries.size());
    std::unordered_map<std::string_view, size_t> index;
    const bool indexed = entries.size() > kScanLimit;
    if (indexed) index.reserve(entries.size());
    for (const auto& [key, value] : entries) {
        if (!HoldsValue(value)) continue;
        const std::string_view clean = texts.Of(key);
        if (indexed) {
            const auto [at, added] = index.emplace(clean, out.size());
            if (!added) {
                out[at->second].value = &value;
                continue;
            }
        } else {
            auto same = out.begin();
            while (same != out.end() && same->key != clean)
                ++same;
            if (same != out.end()) {
                same->value = &value;
                continue;
            }
        }
        out.push_back({clean, &value});
    }
}

// {"CF$UID": n} with n below 2^32 is written as a UID, so that keyed archives edited here stay
// readable by the archiver that made them.
std::optional<uint32_t> UidOf(const CDicValueObj& value) {
    const PlistDictionary* entries = value.Dictionary();
    if (entries == nullptr || entries->size() != 1 || entries->front().first != "CF$UID") {
        return std::nullopt;
    }
    const int64_t* number = entries->front().second.Integer();
    if (number == nullptr || *number < 0 || *number > int64_t{UINT32_MAX}) return std::nullopt;
    return static_cast<uint32_t>(*number);
}

unsigned BytesFor(uint64_t value) {
    unsigned bytes = 1;
    while (bytes < 8 && (value >> (8 * bytes)) != 0)
        ++bytes;
    return bytes;
}

class BinaryListWriter {
  public:
    bool Write(const CDicValueObj& tree, std::string& out) {
        out.clear();
        if (!HoldsValue(tree)) return false;
        // Every object is numbered with the references of its container, which are written
        // before the object itself, so the reference size comes from a count made first. The
        // count does not leave out repeated keys; a reference size that is a byte too wide for
        // such a list is still a valid one.
        const uint64_t objects = CountObjects(tree);
        refSize_ = BytesFor(objects > 0 ? objects - 1 : 0);
        offsets_.reserve(objects);
        out_.append("bplist00", 8);
        WriteObject(tree);

        const uint64_t tableAt = out_.size();
        const unsigned offsetSize = BytesFor(offsets_.back());
        out_.resize(tableAt + offsets_.size() * offsetSize + 32);
        size_t at = tableAt;
        for (const uint64_t offset : offsets_) {
            PutBigEndian(at, offset, offsetSize);
            at += offsetSize;
        }
        std::memset(&out_[at], 0, 6);
        out_[at + 6] = static_cast<char>(offsetSize);
        out_[at + 7] = static_cast<char>(refSize_);
        PutBigEndian(at + 8, offsets_.size(), 8);
        PutBigEndian(at + 16, 0, 8);
        PutBigEndian(at + 24, tableAt, 8);
        out = std::move(out_);
        return true;
    }

  private:
    static uint64_t CountObjects(const CDicValueObj& value) {
        uint64_t count = 1;
        if (UidOf(value)) return count;
        if (const PlistDictionary* entries = value.Dictionary()) {
            for (const auto& entry : *entries) {
                if (HoldsValue(entry.second)) count += 1 + CountObjects(entry.second);
            }
        } else if (const PlistArray* items = value.Array()) {
            for (const CDicValueObj& item : *items) {
                if (HoldsValue(item)) count += CountObjects(item);
            }
        }
        return count;
    }

    void PutBigEndian(size_t at, uint64_t value, unsigned size) {
        for (unsigned i = size; i-- > 0;) {
            out_[at + i] = static_cast<char>(value);
            value >>= 8;
        }
    }

    void AppendBigEndian(uint64_t value, unsigned size) {
        const size_t at = out_.size();
        out_.resize(at + size);
        PutBigEndian(at, value, size);
    }

    void AppendByte(unsigned byte) { out_.push_back(static_cast<char>(byte)); }

    // Integers take the smallest of 1, 2, 4 or 8 bytes; readers take 1, 2 and 4-byte integers
    // as unsigned, so every negative number needs all 8, and a number above INT64_MAX is a
    // 16-byte integer whose upper half is zero.
    void AppendInteger(uint64_t bits, bool isUnsigned) {
        if (isUnsigned && bits > static_cast<uint64_t>(INT64_MAX)) {
            AppendByte(0x14);
            AppendBigEndian(0, 8);
            AppendBigEndian(bits, 8);
            return;
        }
        unsigned size = 8;
        if (bits <= 0xFF) {
            size = 1;
        } else if (bits <= 0xFFFF) {
            size = 2;
        } else if (bits <= 0xFFFFFFFF) {
            size = 4;
        }
        AppendByte(0x10 | static_cast<unsigned>(std::countr_zero(size)));
        AppendBigEndian(bits, size);
    }

    void AppendMarkerAndCount(unsigned kind, uint64_t count) {
        if (count < 15) {
            AppendByte(kind | static_cast<unsigned>(count));
        } else {
            AppendByte(kind | 0x0F);
            AppendInteger(count, false);
        }
    }

    void AppendDouble(unsigned marker, double value) {
        AppendByte(marker);
        AppendBigEndian(std::bit_cast<uint64_t>(value), 8);
    }

    // ASCII text as it is; anything else as big-endian UTF-16 (the text is valid UTF-8 here).
    void AppendString(std::string_view text) {
        offsets_.push_back(out_.size());
        bool ascii = true;
        for (const char c : text)
            ascii = ascii && static_cast<unsigned char>(c) < 0x80;
        if (ascii) {
            AppendMarkerAndCount(0x50, text.size());
            out_.append(text);
            return;
        }
        units_.clear();
        for (size_t i = 0; i < text.size();)
            EncodeUtf16(DecodeUtf8(text, i), [this](char16_t unit) { units_.push_back(unit); });
        AppendMarkerAndCount(0x60, units_.size());
        for (const char16_t unit : units_) {
            AppendByte(unit >> 8);
            AppendByte(unit & 0xFF);
        }
    }

    // Reserves room for `count` references; the next one is filled in with PutReference.
    size_t ReserveReferences(size_t count) {
        const size_t at = out_.size();
        out_.resize(at + count * refSize_);
        return at;
    }

    void PutReference(size_t& at) {
        PutBigEndian(at, offsets_.size(), refSize_);
        at += refSize_;
    }

    void WriteObject(const CDicValueObj& value) {
        if (value.type == kPlistString) {
            AppendString(texts_.Of(*value.String()));
            return;
        }
        offsets_.push_back(out_.size());
        switch (value.type) {
            case kPlistDictionary: {
                if (const std::optional<uint32_t> uid = UidOf(value)) {
                    const unsigned size = *uid <= 0xFF ? 1 : *uid <= 0xFFFF ? 2 : 4;
                    AppendByte(0x80 | (size - 1));
                    AppendBigEndian(*uid, size);
                    return;
                }
                std::vector<ListEntry> entries;
                CollectEntries(*value.Dictionary(), texts_, entries);
                AppendMarkerAndCount(0xD0, entries.size());
                size_t reference = ReserveReferences(2 * entries.size());
                for (const ListEntry& entry : entries) {
                    // A key already written is referred to again, as the format allows: the
                    // records of a large list repeat the same few keys, and sharing them keeps
                    // the list about the size other writers make.
                    const auto [known, added] = keys_.emplace(entry.key, offsets_.size());
                    if (!added) {
                        PutBigEndian(reference, known->second, refSize_);
                        reference += refSize_;
                        continue;
                    }
                    PutReference(reference);
                    AppendString(entry.key);
                }
                for (const ListEntry& entry : entries) {
                    PutReference(reference);
                    WriteObject(*entry.value);
                }
                return;
            }
            case kPlistArray: {
                const PlistArray& items = *value.Array();
                size_t count = 0;
                for (const CDicValueObj& item : items)
                    count += HoldsValue(item) ? 1 : 0;
                AppendMarkerAndCount(0xA0, count);
                size_t reference = ReserveReferences(count);
                for (const CDicValueObj& item : items) {
                    if (!HoldsValue(item)) continue;
                    PutReference(reference);
                    WriteObject(item);
                }
                return;
            }
            case kPlistInteger:
                AppendInteger(static_cast<uint64_t>(*value.Integer()), value.IsUnsignedInteger());
                return;
            case kPlistReal:
                AppendDouble(0x23, *value.Real());
                return;
            case kPlistFalse:
                AppendByte(0x08);
                return;
            case kPlistTrue:
                AppendByte(0x09);
                return;
            case kPlistData: {
                const std::string& bytes = *value.Data();
                AppendMarkerAndCount(0x40, bytes.size());
                out_.append(bytes);
                return;
            }
            case kPlistDate:
                AppendDouble(0x33,
                             static_cast<double>(PlistReferenceSecondsFromCalendar(*value.Date())));
                return;
            default:
                return;
        }
    }

    std::string out_;
    std::vector<uint64_t> offsets_;
    std::u16string units_;
    CleanTexts texts_;
    // Keys written so far and their object numbers; the views point into the tree or texts_,
    // which outlive the write.
    std::unordered_map<std::string_view, uint64_t> keys_;
    unsigned refSize_ = 1;
};

class XmlListWriter {
  public:
    bool Write(const CDicValueObj& tree, std::string& out) {
        out.clear();
        if (!HoldsValue(tree)) return false;
        out_.append(
            "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
            "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
            "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
            "<plist version=\"1.0\">\n");
        WriteValue(tree, 0);
        out_.append("</plist>\n");
        out = std::move(out_);
        return true;
    }

  private:
    void Indent(int depth) { out_.append(static_cast<size_t>(depth), '\t'); }

    // Only the three characters that would end the text early are escaped; quotes and control
    // characters stay as they are.
    void AppendEscaped(std::string_view text) {
        size_t start = 0;
        for (size_t i = 0; i < text.size(); ++i) {
            const char c = text[i];
            if (c != '&' && c != '<' && c != '>') continue;
            out_.append(text.substr(start, i - start));
            out_.append(c == '&' ? "&amp;" : c == '<' ? "&lt;" : "&gt;");
            start = i + 1;
        }
        out_.append(text.substr(start));
    }

    void AppendTagged(std::string_view open, std::string_view text, std::string_view close) {
        out_.append(open);
        out_.append(text);
        out_.append(close);
    }

    // Reals are printed with 17 significant digits, which give the same double back; zero of
    // either sign is "0.0".
    void AppendReal(double value) {
        char text[40];
        if (std::isnan(value)) {
            std::strcpy(text, "nan");
        } else if (std::isinf(value)) {
            std::strcpy(text, value > 0 ? "+infinity" : "-infinity");
        } else if (value == 0) {
            std::strcpy(text, "0.0");
        } else {
            // The same digits as printf's "%.17g", without its locale and stream machinery.
            const auto end =
                std::to_chars(text, text + sizeof text - 1, value, std::chars_format::general, 17);
            *end.ptr = '\0';
        }
        AppendTagged("<real>", text, "</real>\n");
    }

    // The year is not padded: the first years of the calendar are written as 1 to 999.
    void AppendDate(const PlistCalendar& date) {
        char text[48];
        std::snprintf(text, sizeof text, "%d-%02d-%02dT%02d:%02d:%02dZ", date.year + 1900,
                      date.month + 1, date.day, date.hour, date.minute, date.second);
        AppendTagged("<date>", text, "</date>\n");
    }

    // Base64 in lines that end at column 76 with tabs counted as 8 columns, indented like the
    // element but by at most 8 tabs (so the deepest lines hold 12 characters).
    void AppendData(std::string_view bytes, int depth) {
        static constexpr char kAlphabet[] =
            "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
        const int lineIndent = std::min(depth, 8);
        const size_t bytesPerLine = static_cast<size_t>(76 - 8 * lineIndent) / 4 * 3;
        out_.append("<data>\n");
        for (size_t line = 0; line < bytes.size(); line += bytesPerLine) {
            Indent(lineIndent);
            const size_t end = std::min(bytes.size(), line + bytesPerLine);
            char quad[4];
            for (size_t i = line; i < end; i += 3) {
                const size_t left = end - i;
                uint32_t group = static_cast<uint32_t>(static_cast<unsigned char>(bytes[i])) << 16;
                if (left > 1)
                    group |= static_cast<uint32_t>(static_cast<unsigned char>(bytes[i + 1])) << 8;
                if (left > 2) group |= static_cast<unsigned char>(bytes[i + 2]);
                quad[0] = kAlphabet[group >> 18];
                quad[1] = kAlphabet[(group >> 12) & 0x3F];
                quad[2] = left > 1 ? kAlphabet[(group >> 6) & 0x3F] : '=';
                quad[3] = left > 2 ? kAlphabet[group & 0x3F] : '=';
                out_.append(quad, 4);
            }
            out_.push_back('\n');
        }
        Indent(depth);
        out_.append("</data>\n");
    }

    void WriteValue(const CDicValueObj& value, int depth) {
        Indent(depth);
        switch (value.type) {
            case kPlistDictionary: {
                std::vector<ListEntry> entries;
                CollectEntries(*value.Dictionary(), texts_, entries);
                if (entries.empty()) {
                    out_.append("<dict/>\n");
                    return;
                }
                out_.append("<dict>\n");
                for (const ListEntry& entry : entries) {
                    Indent(depth + 1);
                    out_.append("<key>");
                    AppendEscaped(entry.key);
                    out_.append("</key>\n");
                    WriteValue(*entry.value, depth + 1);
                }
                Indent(depth);
                out_.append("</dict>\n");
                return;
            }
            case kPlistArray: {
                const PlistArray& items = *value.Array();
                bool any = false;
                for (const CDicValueObj& item : items) {
                    if (!HoldsValue(item)) continue;
                    if (!any) out_.append("<array>\n");
                    any = true;
                    WriteValue(item, depth + 1);
                }
                if (!any) {
                    out_.append("<array/>\n");
                    return;
                }
                Indent(depth);
                out_.append("</array>\n");
                return;
            }
            case kPlistString:
                out_.append("<string>");
                AppendEscaped(texts_.Of(*value.String()));
                out_.append("</string>\n");
                return;
            case kPlistInteger: {
                char text[24];
                const std::to_chars_result end =
                    value.IsUnsignedInteger()
                        ? std::to_chars(text, text + sizeof text,
                                        static_cast<uint64_t>(*value.Integer()))
                        : std::to_chars(text, text + sizeof text, *value.Integer());
                AppendTagged("<integer>", std::string_view(text, end.ptr), "</integer>\n");
                return;
            }
            case kPlistReal:
                AppendReal(*value.Real());
                return;
            case kPlistFalse:
                out_.append("<false/>\n");
                return;
            case kPlistTrue:
                out_.append("<true/>\n");
                return;
            case kPlistData:
                AppendData(*value.Data(), depth);
                return;
            case kPlistDate:
                AppendDate(*value.Date());
                return;
            default:
                return;
        }
    }

    std::string out_;
    CleanTexts texts_;
};

}  // namespace

bool WriteBinaryList(const CDicValueObj& tree, std::string& out) {
    return BinaryListWriter().Write(tree, out);
}

bool WriteXmlList(const CDicValueObj& tree, std::string& out) {
    return XmlListWriter().Write(tree, out);
}

}  // namespace bw::plist_library_internal

#include "formats/plist_library.h"

#include <plist/plist.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <unordered_map>

#include "formats/libplist_bridge.h"
#include "formats/plist_guard.h"
#include "formats/plist_library_internal.h"
#include "platform/files.h"
#include "platform/text.h"

namespace bw {

namespace plist_library_internal {

// Cut at the first NUL, because the external library passes text on as C strings, and with
// invalid UTF-8 replaced by U+FFFD, so that both formats carry the same text.
std::string CleanText(std::string_view text) {
    text = text.substr(0, text.find('\0'));
    const bool ascii = std::all_of(text.begin(), text.end(),
                                   [](char c) { return static_cast<unsigned char>(c) < 0x80; });
    if (ascii) return std::string(text);
    return WideToUtf8(Utf8ToWide(text));
}

}  // namespace plist_library_internal

namespace {

using plist_library_internal::CleanText;

constexpr uint64_t kMaxWrittenNodes = uint64_t{1} << 22;
constexpr uint64_t kMaxWrittenBytes = uint64_t{512} << 20;

using PlistHandle = LibplistNode;

// The external library stores dates as a double but hands them out as 32-bit seconds, which
// covers only 1933 to 2068 (outside that it returns INT32_MIN, or INT32_MAX on some CPUs). For
// such dates the double is taken from the node's binary form: "bplist00", the date object
// (marker 0x33, big-endian double), a one-entry offset table and the trailer.
std::optional<double> DateDoubleOf(plist_t node) {
    PlistHandle copy(plist_copy(node));
    char* bytes = nullptr;
    uint32_t length = 0;
    plist_to_bin(copy.get(), &bytes, &length);
    if (bytes == nullptr) return std::nullopt;
    std::optional<double> result;
    const auto* data = reinterpret_cast<const unsigned char*>(bytes);
    if (length >= 8 + 9 + 32) {
        const unsigned char* trailer = data + length - 32;
        const size_t offsetSize = trailer[6];
        const uint64_t top = ReadBigEndian(trailer + 16, 8);
        const uint64_t table = ReadBigEndian(trailer + 24, 8);
        if (offsetSize >= 1 && offsetSize <= 8 && top == 0 && table + offsetSize <= length - 32) {
            const uint64_t at = ReadBigEndian(data + table, offsetSize);
            if (at + 9 <= table && data[at] == 0x33) {
                const uint64_t bits = ReadBigEndian(data + at + 1, 8);
                double value = 0;
                std::memcpy(&value, &bits, sizeof value);
                result = value;
            }
        }
    }
    plist_to_bin_free(bytes);
    return result;
}

PlistCalendar CalendarOfDateNode(plist_t node) {
    int32_t seconds = 0;
    int32_t micros = 0;
    plist_get_date_val(node, &seconds, &micros);
    if (seconds != INT32_MIN && seconds != INT32_MAX)
        return PlistCalendarFromReferenceSeconds(seconds);
    const std::optional<double> exact = DateDoubleOf(node);
    // Whole seconds toward zero, as the external library itself rounds when it writes XML.
    if (!exact || !std::isfinite(*exact)) return PlistCalendarFromReferenceSeconds(0);
    // Any bound wider than the calendar's years 1 to 9999 keeps the conversion defined; the
    // calendar clamps to its own range.
    const double clamped = std::clamp(std::trunc(*exact), -1e15, 1e15);
    return PlistCalendarFromReferenceSeconds(static_cast<int64_t>(clamped));
}

// The external library hands out every integer as 64 unsigned bits; whether bits above INT64_MAX
// are a negative number or an unsigned one it records only in the integer's width, which shows
// when it writes the node: an unsigned one becomes a 16-byte integer (marker 0x14) of a binary
// list. Only integers with the top bit set need the look.
bool IsUnsignedAboveInt64(plist_t node) {
    PlistHandle copy(plist_copy(node));
    char* bytes = nullptr;
    uint32_t length = 0;
    plist_to_bin(copy.get(), &bytes, &length);
    if (bytes == nullptr) return false;
    // "bplist00", then the integer as the first and only object.
    const bool wide = length > 8 && static_cast<unsigned char>(bytes[8]) == 0x14;
    plist_to_bin_free(bytes);
    return wide;
}

bool IsValueNode(plist_t node) {
    const plist_type kind = plist_get_node_type(node);
    return kind != PLIST_KEY && kind != PLIST_NONE;
}

// The binary parser keeps every entry of a dictionary that repeats a key, while the XML parser
// lets the last value replace the first in place; both formats read the XML way here.
class DictionaryFiller {
  public:
    DictionaryFiller(PlistDictionary& entries, std::vector<plist_t>& children, size_t size)
        : entries_(entries), children_(children), indexed_(size > kScanLimit) {
        // Reserved up front, so the keys the index points into never move.
        entries_.reserve(size);
        children_.clear();
        children_.reserve(size);
        if (indexed_) index_.reserve(size);
    }

    void Add(std::string key, plist_t value) {
        if (const std::optional<size_t> at = Lookup(key)) {
            children_[*at] = value;
            return;
        }
        if (entries_.size() == entries_.capacity()) return;
        entries_.emplace_back(std::move(key), CDicValueObj());
        children_.push_back(value);
        if (indexed_) index_.emplace(entries_.back().first, entries_.size() - 1);
    }

  private:
    // Small dictionaries, the common case, are searched faster than they are hashed.
    static constexpr size_t kScanLimit = 16;

    std::optional<size_t> Lookup(const std::string& key) const {
        if (indexed_) {
            const auto found = index_.find(key);
            if (found == index_.end()) return std::nullopt;
            return found->second;
        }
        for (size_t i = 0; i < entries_.size(); ++i) {
            if (entries_[i].first == key) return i;
        }
        return std::nullopt;
    }

    PlistDictionary& entries_;
    std::vector<plist_t>& children_;
    const bool indexed_;
    std::unordered_map<std::string_view, size_t> index_;
};

// Turns the external library's tree into values without recursion; false when containers nest
// deeper than kPlistMaxNesting.
bool TreeFromNode(plist_t root, CDicValueObj& out) {
    struct Pending {
        plist_t node;
        CDicValueObj* slot;
        int depth;  // containers around this node
    };
    std::vector<Pending> stack{{root, &out, 0}};
    std::vector<plist_t> children;
    while (!stack.empty()) {
        const Pending item = stack.back();
        stack.pop_back();
        CDicValueObj& slot = *item.slot;
        switch (plist_get_node_type(item.node)) {
            case PLIST_DICT: {
                if (item.depth >= kPlistMaxNesting) return false;
                slot = CDicValueObj::MakeDictionary();
                PlistDictionary& entries = *slot.Dictionary();
                DictionaryFiller filler(entries, children, plist_dict_get_size(item.node));
                plist_dict_iter iter = nullptr;
                plist_dict_new_iter(item.node, &iter);
                for (;;) {
                    char* key = nullptr;
                    plist_t value = nullptr;
                    plist_dict_next_item(item.node, iter, &key, &value);
                    if (value == nullptr) {
                        std::free(key);
                        break;
                    }
                    if (key != nullptr && IsValueNode(value)) {
                        filler.Add(CleanText(key), value);
                    }
                    std::free(key);
                }
                std::free(iter);
                for (size_t i = children.size(); i-- > 0;) {
                    stack.push_back({children[i], &entries[i].second, item.depth + 1});
                }
                break;
            }
            case PLIST_ARRAY: {
                if (item.depth >= kPlistMaxNesting) return false;
                slot = CDicValueObj::MakeArray();
                PlistArray& items = *slot.Array();
                items.reserve(plist_array_get_size(item.node));
                children.clear();
                plist_array_iter iter = nullptr;
                plist_array_new_iter(item.node, &iter);
                for (;;) {
                    plist_t value = nullptr;
                    plist_array_next_item(item.node, iter, &value);
                    if (value == nullptr) break;
                    if (!IsValueNode(value)) continue;
                    items.emplace_back();
                    children.push_back(value);
                }
                std::free(iter);
                for (size_t i = children.size(); i-- > 0;) {
                    stack.push_back({children[i], &items[i], item.depth + 1});
                }
                break;
            }
            case PLIST_STRING: {
                uint64_t length = 0;
                const char* text = plist_get_string_ptr(item.node, &length);
                slot = CDicValueObj::MakeString(text ? CleanText({text, length}) : std::string());
                break;
            }
            case PLIST_UINT: {
                uint64_t value = 0;
                plist_get_uint_val(item.node, &value);
                slot = value > static_cast<uint64_t>(INT64_MAX) && IsUnsignedAboveInt64(item.node)
                           ? CDicValueObj::MakeUnsignedInteger(value)
                           : CDicValueObj::MakeInteger(static_cast<int64_t>(value));
                break;
            }
            case PLIST_REAL: {
                double value = 0;
                plist_get_real_val(item.node, &value);
                slot = CDicValueObj::MakeReal(value);
                break;
            }
            case PLIST_BOOLEAN: {
                uint8_t value = 0;
                plist_get_bool_val(item.node, &value);
                slot = CDicValueObj::MakeBool(value != 0);
                break;
            }
            case PLIST_DATA: {
                uint64_t length = 0;
                const char* bytes = plist_get_data_ptr(item.node, &length);
                slot = CDicValueObj::MakeData(bytes ? std::string(bytes, length) : std::string());
                break;
            }
            case PLIST_DATE:
                slot = CDicValueObj::MakeDate(CalendarOfDateNode(item.node));
                break;
            case PLIST_UID: {
                uint64_t value = 0;
                plist_get_uid_val(item.node, &value);
                slot = CDicValueObj::MakeDictionary();
                slot.Set("CF$UID", CDicValueObj::MakeInteger(static_cast<int64_t>(value)));
                break;
            }
            default:
                break;
        }
    }
    return true;
}

// Walks the tree before anything is written: containers nest at most kPlistMaxNesting deep (a
// tree that contains itself never ends), and the list stays well inside the 32-bit lengths of
// the external library that reads it back, even when shared payloads make a small tree stand for
// a huge list.
bool TreeFitsLimits(const CDicValueObj& tree) {
    struct Pending {
        const CDicValueObj* value;
        int depth;
    };
    uint64_t nodes = 0;
    uint64_t bytes = 0;
    std::vector<Pending> stack{{&tree, 0}};
    while (!stack.empty()) {
        const Pending item = stack.back();
        stack.pop_back();
        if (++nodes > kMaxWrittenNodes) return false;
        const CDicValueObj& value = *item.value;
        if (const std::string* text = value.String() ? value.String() : value.Data()) {
            bytes += text->size();
        } else if (const PlistDictionary* entries = value.Dictionary()) {
            if (item.depth >= kPlistMaxNesting) return false;
            for (const auto& entry : *entries) {
                bytes += entry.first.size();
                stack.push_back({&entry.second, item.depth + 1});
            }
        } else if (const PlistArray* items = value.Array()) {
            if (item.depth >= kPlistMaxNesting) return false;
            for (const auto& child : *items)
                stack.push_back({&child, item.depth + 1});
        }
        if (bytes > kMaxWrittenBytes) return false;
    }
    return true;
}

std::string_view WithoutUtf8Bom(std::string_view text) {
    if (text.substr(0, 3) == "\xEF\xBB\xBF") text.remove_prefix(3);
    return text;
}

void ReadPlistBytes(std::string_view bytes, CDicValueObj& tree) {
    tree = CDicValueObj();
    if (bytes.empty() || bytes.size() > kPlistMaxInputBytes) return;
    plist_t raw = nullptr;
    if (IsBinaryPlist(bytes)) {
        if (!BinaryPlistLooksSafe(bytes)) return;
        plist_from_bin(bytes.data(), static_cast<uint32_t>(bytes.size()), &raw);
    } else {
        // The external parser refuses a byte-order mark that editors like to put in front.
        bytes = WithoutUtf8Bom(bytes);
        if (!XmlPlistLooksSafe(bytes)) return;
        plist_from_xml(bytes.data(), static_cast<uint32_t>(bytes.size()), &raw);
    }
    const PlistHandle root(raw);
    if (!root) return;
    CDicValueObj value;
    if (TreeFromNode(root.get(), value)) tree = std::move(value);
}

bool Serialize(const CDicValueObj& tree, bool binary, std::string& out) {
    out.clear();
    if (!TreeFitsLimits(tree)) return false;
    return binary ? plist_library_internal::WriteBinaryList(tree, out)
                  : plist_library_internal::WriteXmlList(tree, out);
}

void WriteFile(const CDicValueObj& tree, const std::string& path, bool binary) {
    std::string bytes;
    if (Serialize(tree, binary, bytes)) platform::WriteFileAtomic(path, bytes);
}

}  // namespace

void readPlistFromFile(std::string path, CDicValueObj& tree) {
    tree = CDicValueObj();
    std::string bytes;
    if (!platform::ReadWholeFile(path, bytes, kPlistMaxInputBytes)) return;
    ReadPlistBytes(bytes, tree);
}

void readPlistFromString(const std::string& bytes, CDicValueObj& tree, int /*plistType*/) {
    ReadPlistBytes(bytes, tree);
}

void readPlistFromByteArry(const void* bytes, int length, CDicValueObj& tree, int /*plistType*/) {
    if (bytes == nullptr || length <= 0) {
        tree = CDicValueObj();
        return;
    }
    ReadPlistBytes(std::string_view(static_cast<const char*>(bytes), static_cast<size_t>(length)),
                   tree);
}

void writeXmlFile(const CDicValueObj& tree, std::string path) {
    WriteFile(tree, path, false);
}

void writeBinaryFile(const CDicValueObj& tree, std::string path) {
    WriteFile(tree, path, true);
}

void writeXmlutf8(const CDicValueObj& tree, std::string& out) {
    Serialize(tree, false, out);
}

void writeBinary(const CDicValueObj& tree, std::string& out) {
    Serialize(tree, true, out);
}

void FreePListDictionary(CDicValueObj& tree) {
    tree.Release();
}

}  // namespace bw

// Binary property lists assembled byte by byte for the property-list library tests, and the
// library layer's writers and dates in the form those tests use.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

#include "formats/plist_library.h"

namespace bw::testing {

// Bytes given as numbers, so that markers read as the format documents them.
inline std::string Bytes(std::initializer_list<int> values) {
    std::string out;
    for (const int v : values)
        out.push_back(static_cast<char>(v));
    return out;
}

inline void PutBigEndian(std::string& out, size_t at, uint64_t value, int width) {
    for (int i = width - 1; i >= 0; --i, value >>= 8)
        out[at + i] = static_cast<char>(value);
}

inline void AppendBigEndian(std::string& out, uint64_t value, int width) {
    out.append(width, '\0');
    PutBigEndian(out, out.size() - width, value, width);
}

// An ASCII string object shorter than 15 characters.
inline std::string AsciiObject(const std::string& text) {
    return static_cast<char>(0x50 | text.size()) + text;
}

// "bplist00", the objects in order, an offset table of `offsetSize`-byte offsets and the
// 32-byte trailer (5 unused bytes, sort version, offset size, reference size, object count, top
// object, offset of the offset table).
inline std::string AssembleBinaryList(const std::vector<std::string>& objects, uint64_t top = 0,
                                      int offsetSize = 1, int refSize = 1) {
    std::string out = "bplist00";
    std::vector<uint64_t> offsets;
    for (const std::string& object : objects) {
        offsets.push_back(out.size());
        out += object;
    }
    const uint64_t table = out.size();
    for (const uint64_t offset : offsets)
        AppendBigEndian(out, offset, offsetSize);
    out.append(6, '\0');
    out.push_back(static_cast<char>(offsetSize));
    out.push_back(static_cast<char>(refSize));
    AppendBigEndian(out, objects.size(), 8);
    AppendBigEndian(out, top, 8);
    AppendBigEndian(out, table, 8);
    return out;
}

// Trailer fields, counted from the end of the list.
enum TrailerField : size_t {
    kTrailerOffsetSize = 26,
    kTrailerRefSize = 25,
    kTrailerObjectCount = 24,
    kTrailerTopObject = 16,
    kTrailerTableOffset = 8,
};

inline void PatchTrailer(std::string& list, TrailerField field, uint64_t value) {
    const int width = field == kTrailerOffsetSize || field == kTrailerRefSize ? 1 : 8;
    PutBigEndian(list, list.size() - field, value, width);
}

// The library layer's writers, into a string (empty when the writer refuses the tree).
inline std::string ToBinary(const CDicValueObj& tree) {
    std::string out;
    writeBinary(tree, out);
    return out;
}

inline std::string ToXml(const CDicValueObj& tree) {
    std::string out;
    writeXmlutf8(tree, out);
    return out;
}

// A calendar date from its civil fields (UTC), as the library layer's dates hold it.
inline PlistCalendar CalendarAt(int year, int month, int day, int hour, int minute, int second) {
    PlistCalendar date;
    date.year = year - 1900;
    date.month = month - 1;
    date.day = day;
    date.hour = hour;
    date.minute = minute;
    date.second = second;
    return date;
}

}  // namespace bw::testing

// The binary cookie file of the phone's browser: a big-endian header with the page sizes, pages
// of little-endian cookie records, and a trailer that nothing here interprets. Reading checks
// every count and offset against the bytes it has; writing lays each page out afresh from its
// records and keeps every word it does not understand as it was read.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace bw {

// The four strings of a record, by their order in the record's header.
enum CookieField : size_t { kCookieUrl = 0, kCookieName = 1, kCookiePath = 2, kCookieValue = 3 };
inline constexpr size_t kCookieFieldCount = 4;

inline constexpr size_t kCookieFileHeaderSize = 8;     // magic and page count
inline constexpr size_t kCookiePageOverhead = 12;      // header word, cookie count, footer word
inline constexpr size_t kCookieRecordHeaderSize = 56;  // the fixed part of a record

using CookieWord = std::array<uint8_t, 4>;
using CookieQuad = std::array<uint8_t, 8>;

struct CookieRecord {
    uint32_t offset = 0;  // from the start of its page, as read; the writer computes its own
    uint32_t size = 0;    // the record's size, written as read
    CookieWord reserved1{};
    CookieWord flags{};
    CookieWord reserved2{};
    std::array<uint32_t, kCookieFieldCount> stringOffsets{};  // from the record's start
    CookieQuad endOfHeader{};
    CookieQuad expiration{};  // a little-endian double, seconds since 2001-01-01
    CookieQuad creation{};
    // Bytes 56 to the record's end, exactly as read: the four strings one after another in
    // offset order, each with its zero terminator (and any bytes before the first).
    std::string stringBytes;

    // One field's bytes: from its offset to the next larger offset, the last one to the end.
    std::string_view String(CookieField field) const;
    // Lays the four strings (url, name, path, value; terminators included) out in that order
    // right after the fixed part, with their offsets and the record's size.
    void SetStrings(const std::array<std::string_view, kCookieFieldCount>& strings);
    double Expiration() const;
    double Creation() const;
};

struct CookiePage {
    CookieWord header{};
    CookieWord footer{};
    uint32_t size = 0;  // as read
    std::vector<CookieRecord> cookies;
};

struct BinaryCookieFile {
    CookieWord magic{'c', 'o', 'o', 'k'};
    std::vector<CookiePage> pages;
    std::string trailer;  // every byte after the last page
};

// The fields of a record ordered by their string offsets, ties by field order: the order in
// which the strings lie in the record and are written back.
std::array<CookieField, kCookieFieldCount> FieldsByOffset(const CookieRecord& record);

// Reads `bytes` whole. False, with a short reason in `error`, for a file that is not cookies or
// does not hold what its counts and offsets claim; nothing is read outside `bytes`.
bool ReadBinaryCookies(std::string_view bytes, BinaryCookieFile& file,
                       std::string* error = nullptr);

// One page as the writer sees it: its raw words and the records it keeps, in order.
struct CookiePageView {
    const CookieWord* header = nullptr;
    const CookieWord* footer = nullptr;
    std::vector<const CookieRecord*> cookies;
};

// The size a page is written with: its overhead, its offset table and its records.
uint32_t WrittenPageSize(const CookiePageView& page);

// The file's bytes: magic, page count and sizes, each page with offsets computed from the
// records before it, every record's fixed part and strings as read, then the trailer.
std::string WriteBinaryCookies(const CookieWord& magic, const std::vector<CookiePageView>& pages,
                               std::string_view trailer);
std::string WriteBinaryCookies(const BinaryCookieFile& file);

// Removal by position; false when the position does not exist.
bool RemoveCookie(BinaryCookieFile& file, size_t page, size_t cookie);
bool RemoveCookiePage(BinaryCookieFile& file, size_t page);

}  // namespace bw

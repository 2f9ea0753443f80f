// Binary cookie files written by the tests themselves, byte by byte from the file's layout: a
// big-endian header with the page sizes, little-endian pages and records, and a trailer.
#pragma once

#include <array>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace bw::testing {

struct TestCookie {
    std::string url;  // each string without its terminating zero, which the builder adds
    std::string name;
    std::string path;
    std::string value;
    uint32_t flags = 0;
    double expires = 0;
    double created = 0;
    // Where each of url, name, path, value lies among the four strings (0 first).
    std::array<int, 4> slot{0, 1, 2, 3};
    std::string reserved1 = std::string(4, '\0');
    std::string reserved2 = std::string(4, '\0');
    std::string endOfHeader = std::string(8, '\0');
};

struct TestPage {
    std::string header = std::string("\0\0\1\0", 4);
    std::string footer = std::string(4, '\0');
    std::vector<TestCookie> cookies;
    std::string padding;  // bytes after the last record that the page size counts
};

inline void AppendBig(std::string& out, uint32_t value) {
    for (int shift = 24; shift >= 0; shift -= 8)
        out += static_cast<char>((value >> shift) & 0xFF);
}

inline void AppendLittle(std::string& out, uint64_t value, int bytes = 4) {
    for (int i = 0; i < bytes; ++i)
        out += static_cast<char>((value >> (8 * i)) & 0xFF);
}

inline void AppendDouble(std::string& out, double value) {
    uint64_t bits = 0;
    std::memcpy(&bits, &value, sizeof bits);
    AppendLittle(out, bits, 8);
}

inline std::string CookieRecordBytes(const TestCookie& cookie) {
    const std::array<const std::string*, 4> texts{&cookie.url, &cookie.name, &cookie.path,
                                                  &cookie.value};
    std::array<uint32_t, 4> offsets{};
    std::string strings;
    for (int slot = 0; slot < 4; ++slot) {
        for (size_t field = 0; field < 4; ++field) {
            if (cookie.slot[field] != slot) continue;
            offsets[field] = static_cast<uint32_t>(56 + strings.size());
            strings += *texts[field];
            strings += '\0';
        }
    }
    std::string record;
    AppendLittle(record, 56 + strings.size());
    record += cookie.reserved1;
    AppendLittle(record, cookie.flags);
    record += cookie.reserved2;
    for (uint32_t offset : offsets)
        AppendLittle(record, offset);
    record += cookie.endOfHeader;
    AppendDouble(record, cookie.expires);
    AppendDouble(record, cookie.created);
    return record + strings;
}

inline std::string CookiePageBytes(const TestPage& page) {
    std::string bytes = page.header;
    AppendLittle(bytes, page.cookies.size());
    std::string records;
    const size_t first = 12 + 4 * page.cookies.size();
    for (const TestCookie& cookie : page.cookies) {
        AppendLittle(bytes, first + records.size());
        records += CookieRecordBytes(cookie);
    }
    return bytes + page.footer + records + page.padding;
}

inline std::string CookieFileBytes(const std::vector<TestPage>& pages, const std::string& trailer) {
    std::string file = "cook";
    AppendBig(file, static_cast<uint32_t>(pages.size()));
    std::string bodies;
    for (const TestPage& page : pages) {
        const std::string body = CookiePageBytes(page);
        AppendBig(file, static_cast<uint32_t>(body.size()));
        bodies += body;
    }
    return file + bodies + trailer;
}

// Three sites: two cookies with an expiry, an empty page, and a page of three whose strings lie
// in another order, with words the reader must keep and text outside ASCII.
inline std::vector<TestPage> SampleCookiePages() {
    TestPage shop;
    shop.cookies.push_back({".shop.example", "cart", "/", "id=42", 1, 820000000.5, 810000000.0});
    shop.cookies.push_back({".shop.example", "lang", "/en", "en-GB", 5, 0, 810000100.0});
    TestPage empty;
    empty.header = std::string("\0\0\1\1", 4);
    TestPage news;
    news.footer = std::string("\xF0\x0D\xBE\xEF", 4);
    news.cookies.push_back({"news.example", "na\xC3\xAFve", "/p", "caf\xC3\xA9", 0, 7.0e8, 6.9e8});
    news.cookies.back().slot = {2, 0, 3, 1};  // name, value, URL, path
    news.cookies.back().reserved1 = std::string("\x01\x02\x03\x04", 4);
    news.cookies.back().reserved2 = std::string("\xAA\xBB\xCC\xDD", 4);
    news.cookies.back().endOfHeader = std::string("\x10\x20\x30\x40\x50\x60\x70\x80", 8);
    news.cookies.push_back(
        {"news.example", "\xE6\x97\xA5\xE6\x9C\xAC", "/", "\xE2\x82\xAC", 4, 7.1e8, 6.9e8});
    news.cookies.push_back({"news.example", "z", "/", "", 0, -1.0, 0});
    return {shop, empty, news};
}

inline const std::string kSampleTrailer = std::string("\x00\x00\x12\x34\x07\x17\x20\x05", 8);

}  // namespace bw::testing

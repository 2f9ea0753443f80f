// Safari's cookie file read by the tests from its layout, not by the library: "cook", a big-endian
// page count and page sizes, then little-endian pages (header, cookie count, record offsets,
// footer, records), then a trailer. Each record: its size, 4 reserved bytes, flags, 4 reserved
// bytes, the offsets of domain, name, path and value, 8 bytes, the expiry and creation dates
// (doubles, seconds since 2001), then the strings.
#pragma once

#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

namespace bw::testing {

struct FileCookie {
    std::string domain, name, path, value;
    uint32_t flags = 0;
    double expires = 0, created = 0;
    auto Key() const { return std::tie(domain, name, path, value, flags, expires, created); }
    bool operator==(const FileCookie& other) const { return Key() == other.Key(); }
};
using CookiePages = std::vector<std::vector<FileCookie>>;

inline uint32_t CookieBig32(const std::string& bytes, size_t at) {
    uint32_t value = 0;
    for (size_t i = 0; i < 4; ++i)
        value = (value << 8) | static_cast<unsigned char>(bytes[at + i]);
    return value;
}

inline uint32_t CookieLittle32(const std::string& bytes, size_t at) {
    uint32_t value = 0;
    for (size_t i = 4; i-- > 0;)
        value = (value << 8) | static_cast<unsigned char>(bytes[at + i]);
    return value;
}

inline double CookieDouble(const std::string& bytes, size_t at) {
    uint64_t bits = 0;
    for (size_t i = 8; i-- > 0;)
        bits = (bits << 8) | static_cast<unsigned char>(bytes[at + i]);
    double value = 0;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

inline std::optional<std::string> CookieText(const std::string& page, size_t at) {
    const size_t end = page.find('\0', at);
    if (at >= page.size() || end == std::string::npos) return std::nullopt;
    return page.substr(at, end - at);
}

// The pages of the file with their cookies; nullopt when a size or an offset leaves the file.
inline std::optional<CookiePages> ReadCookieFile(const std::string& file) {
    if (file.size() < 8 || file.compare(0, 4, "cook") != 0) return std::nullopt;
    const uint32_t count = CookieBig32(file, 4);
    size_t at = 8 + 4 * static_cast<size_t>(count);
    if (at > file.size()) return std::nullopt;
    CookiePages pages;
    for (uint32_t p = 0; p < count; ++p) {
        const uint32_t size = CookieBig32(file, 8 + 4 * p);
        if (size < 12 || at + size > file.size()) return std::nullopt;
        const std::string page = file.substr(at, size);
        at += size;
        const uint32_t cookies = CookieLittle32(page, 4);
        if (8 + 4 * static_cast<size_t>(cookies) + 4 > page.size()) return std::nullopt;
        std::vector<FileCookie>& read = pages.emplace_back();
        for (uint32_t c = 0; c < cookies; ++c) {
            const size_t record = CookieLittle32(page, 8 + 4 * c);
            if (record + 56 > page.size() || record + CookieLittle32(page, record) > page.size())
                return std::nullopt;
            FileCookie cookie;
            cookie.flags = CookieLittle32(page, record + 8);
            std::string* fields[] = {&cookie.domain, &cookie.name, &cookie.path, &cookie.value};
            for (size_t f = 0; f < 4; ++f) {
                const auto text =
                    CookieText(page, record + CookieLittle32(page, record + 16 + 4 * f));
                if (!text) return std::nullopt;
                *fields[f] = *text;
            }
            cookie.expires = CookieDouble(page, record + 40);
            cookie.created = CookieDouble(page, record + 48);
            read.push_back(std::move(cookie));
        }
    }
    return pages;
}

}  // namespace bw::testing

// The cookie file reader on any bytes: it never reads outside them, and what it accepts it writes
// as a file that reads back to the same pages, cookies, words and strings, and writes again to
// the same bytes. Removing a cookie and a page keeps the file readable.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "formats/binary_cookies.h"
#include "fuzz_seeds.h"

namespace {

bool SameRecord(const bw::CookieRecord& a, const bw::CookieRecord& b) {
    return a.size == b.size && a.reserved1 == b.reserved1 && a.flags == b.flags &&
           a.reserved2 == b.reserved2 && a.stringOffsets == b.stringOffsets &&
           a.endOfHeader == b.endOfHeader && a.expiration == b.expiration &&
           a.creation == b.creation && a.stringBytes == b.stringBytes;
}

bool SameFile(const bw::BinaryCookieFile& a, const bw::BinaryCookieFile& b) {
    if (a.magic != b.magic || a.trailer != b.trailer || a.pages.size() != b.pages.size())
        return false;
    for (size_t p = 0; p < a.pages.size(); ++p) {
        const bw::CookiePage& left = a.pages[p];
        const bw::CookiePage& right = b.pages[p];
        if (left.header != right.header || left.footer != right.footer ||
            left.cookies.size() != right.cookies.size())
            return false;
        for (size_t c = 0; c < left.cookies.size(); ++c) {
            if (!SameRecord(left.cookies[c], right.cookies[c])) return false;
        }
    }
    return true;
}

bw::CookieRecord SeedRecord(const char* url, const char* name, const char* value) {
    bw::CookieRecord record;
    record.SetStrings({std::string(url) + '\0', std::string(name) + '\0',
                       std::string_view("/\0", 2), std::string(value) + '\0'});
    record.flags = {5, 0, 0, 0};
    record.expiration = {0, 0, 0, 0, 0x80, 0x84, 0xC7, 0x41};
    return record;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    bw::BinaryCookieFile file;
    file.pages.resize(3);
    file.pages[0].cookies.push_back(SeedRecord(".a.example", "id", "42"));
    file.pages[0].cookies.push_back(SeedRecord(".a.example", "lang", "en"));
    file.pages[2].cookies.push_back(SeedRecord("b.example", "caf\xC3\xA9", "\xE2\x82\xAC"));
    file.pages[2].footer = {0xF0, 0x0D, 0xBE, 0xEF};
    file.trailer = std::string("\0\0\x12\x34\x07\x17\x20\x05", 8);
    bw::BinaryCookieFile empty;
    bw::fuzz::MaybeWriteSeeds({bw::WriteBinaryCookies(file), bw::WriteBinaryCookies(empty)});
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    bw::BinaryCookieFile file;
    if (!bw::ReadBinaryCookies(std::string_view(reinterpret_cast<const char*>(data), size), file))
        return 0;
    const std::string written = bw::WriteBinaryCookies(file);
    bw::BinaryCookieFile again;
    if (!bw::ReadBinaryCookies(written, again) || !SameFile(file, again)) std::abort();
    if (bw::WriteBinaryCookies(again) != written) std::abort();

    for (size_t p = 0; p < again.pages.size(); ++p) {
        if (again.pages[p].cookies.empty()) continue;
        bw::RemoveCookie(again, p, again.pages[p].cookies.size() / 2);
        break;
    }
    if (!again.pages.empty()) bw::RemoveCookiePage(again, again.pages.size() - 1);
    bw::BinaryCookieFile edited;
    if (!bw::ReadBinaryCookies(bw::WriteBinaryCookies(again), edited) || !SameFile(again, edited))
        std::abort();
    return 0;
}

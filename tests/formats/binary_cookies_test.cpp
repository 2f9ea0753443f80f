// The binary cookie file: files the test builds from the layout read into the fields they were
// built from, written back byte for byte, edited into exactly the file without the removed
// parts, and hostile files refused without a read outside their bytes.
#include "formats/binary_cookies.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "formats/cookie_file_builder.h"

namespace bw {
namespace {

using testing::CookieFileBytes;
using testing::CookieRecordBytes;
using testing::SampleCookiePages;
using testing::TestCookie;
using testing::TestPage;

// The raw bytes of a fixed field (a word or a quad).
template <class Field>
std::string CookieRaw(const Field& field) {
    return std::string(reinterpret_cast<const char*>(field.data()), field.size());
}

// Reads from a heap block of exactly the file's size, so that the sanitizer build catches any
// byte read past the end.
bool ReadExact(const std::string& bytes, BinaryCookieFile& file, std::string* error = nullptr) {
    auto block = std::make_unique<char[]>(bytes.size() + (bytes.empty() ? 1 : 0));
    std::copy(bytes.begin(), bytes.end(), block.get());
    return ReadBinaryCookies(std::string_view(block.get(), bytes.size()), file, error);
}

TEST(BinaryCookies, ReadsEveryFieldWhereTheLayoutPutsIt) {
    const std::vector<TestPage> pages = SampleCookiePages();
    const std::string bytes = CookieFileBytes(pages, testing::kSampleTrailer);
    BinaryCookieFile file;
    std::string error;
    ASSERT_TRUE(ReadExact(bytes, file, &error)) << error;

    EXPECT_EQ(CookieRaw(file.magic), "cook");
    EXPECT_EQ(file.trailer, testing::kSampleTrailer);
    ASSERT_EQ(file.pages.size(), 3u);
    for (size_t p = 0; p < pages.size(); ++p) {
        SCOPED_TRACE(p);
        const CookiePage& page = file.pages[p];
        EXPECT_EQ(CookieRaw(page.header), pages[p].header);
        EXPECT_EQ(CookieRaw(page.footer), pages[p].footer);
        EXPECT_EQ(page.size, testing::CookiePageBytes(pages[p]).size());
        ASSERT_EQ(page.cookies.size(), pages[p].cookies.size());
        uint32_t offset = static_cast<uint32_t>(12 + 4 * pages[p].cookies.size());
        for (size_t c = 0; c < page.cookies.size(); ++c) {
            SCOPED_TRACE(c);
            const CookieRecord& record = page.cookies[c];
            const TestCookie& built = pages[p].cookies[c];
            const std::string recordBytes = CookieRecordBytes(built);
            EXPECT_EQ(record.offset, offset);
            EXPECT_EQ(record.size, recordBytes.size());
            offset += record.size;
            EXPECT_EQ(record.String(kCookieUrl), built.url + '\0');
            EXPECT_EQ(record.String(kCookieName), built.name + '\0');
            EXPECT_EQ(record.String(kCookiePath), built.path + '\0');
            EXPECT_EQ(record.String(kCookieValue), built.value + '\0');
            // Each string lies at the offset the record names for it.
            for (size_t field = 0; field < kCookieFieldCount; ++field) {
                const uint32_t at = record.stringOffsets[field];
                const std::string_view text = record.String(static_cast<CookieField>(field));
                EXPECT_EQ(recordBytes.substr(at, text.size()), text);
            }
            EXPECT_EQ(CookieRaw(record.reserved1), built.reserved1);
            EXPECT_EQ(CookieRaw(record.reserved2), built.reserved2);
            EXPECT_EQ(CookieRaw(record.endOfHeader), built.endOfHeader);
            EXPECT_EQ(record.flags[0], built.flags);
            EXPECT_EQ(record.Expiration(), built.expires);
            EXPECT_EQ(record.Creation(), built.created);
        }
    }
}

TEST(BinaryCookies, WritingWhatWasReadGivesTheSameBytes) {
    std::vector<std::string> files = {
        CookieFileBytes(SampleCookiePages(), testing::kSampleTrailer),
        CookieFileBytes(SampleCookiePages(), ""),
        CookieFileBytes({}, "trailer only"),
        CookieFileBytes({TestPage{}}, ""),
    };
    // Bytes before the first string belong to no field and are kept: the first cookie's URL
    // is said to start 4 bytes late.
    std::string gap = files[0];
    gap.replace(8 + 4 * 3 + 12 + 4 * 2 + 16, 4, std::string("\x3C\0\0\0", 4));
    files.push_back(gap);
    for (const std::string& bytes : files) {
        BinaryCookieFile read;
        std::string error;
        ASSERT_TRUE(ReadExact(bytes, read, &error)) << error;
        EXPECT_EQ(WriteBinaryCookies(read), bytes);
    }
    BinaryCookieFile late;
    ASSERT_TRUE(ReadBinaryCookies(gap, late));
    EXPECT_EQ(late.pages[0].cookies[0].String(kCookieUrl), std::string("p.example\0", 10));
}

TEST(BinaryCookies, RemovingCookiesAndPagesWritesExactlyTheRest) {
    const std::vector<TestPage> pages = SampleCookiePages();
    BinaryCookieFile file;
    ASSERT_TRUE(ReadBinaryCookies(CookieFileBytes(pages, testing::kSampleTrailer), file));

    // The middle cookie of three: the third now starts right after the first.
    std::vector<TestPage> expected = pages;
    expected[2].cookies.erase(expected[2].cookies.begin() + 1);
    ASSERT_TRUE(RemoveCookie(file, 2, 1));
    EXPECT_EQ(WriteBinaryCookies(file), CookieFileBytes(expected, testing::kSampleTrailer));
    BinaryCookieFile again;
    ASSERT_TRUE(ReadBinaryCookies(WriteBinaryCookies(file), again));
    EXPECT_EQ(again.pages[2].cookies[1].offset,
              12 + 4 * 2 + CookieRecordBytes(pages[2].cookies[0]).size());

    // A whole page, then every cookie of another: header, count 0 and footer remain.
    expected.erase(expected.begin());
    ASSERT_TRUE(RemoveCookiePage(file, 0));
    EXPECT_EQ(WriteBinaryCookies(file), CookieFileBytes(expected, testing::kSampleTrailer));
    while (!file.pages[1].cookies.empty())
        ASSERT_TRUE(RemoveCookie(file, 1, 0));
    expected[1].cookies.clear();
    const std::string written = WriteBinaryCookies(file);
    EXPECT_EQ(written, CookieFileBytes(expected, testing::kSampleTrailer));
    EXPECT_EQ(written.substr(8, 8), std::string("\0\0\0\x0C\0\0\0\x0C", 8));

    EXPECT_FALSE(RemoveCookie(file, 1, 0));
    EXPECT_FALSE(RemoveCookie(file, 2, 0));
    EXPECT_FALSE(RemoveCookiePage(file, 2));
    EXPECT_EQ(WriteBinaryCookies(file), written);
}

TEST(BinaryCookies, PaddingAfterAPagesRecordsIsDroppedAndTheSizesAgreeAgain) {
    std::vector<TestPage> pages = SampleCookiePages();
    pages[0].padding = std::string(20, '\x55');
    BinaryCookieFile file;
    ASSERT_TRUE(ReadBinaryCookies(CookieFileBytes(pages, "end"), file));
    EXPECT_EQ(file.pages[1].cookies.size(), 0u);  // the next page was found by the size table
    pages[0].padding.clear();
    EXPECT_EQ(WriteBinaryCookies(file), CookieFileBytes(pages, "end"));
}

// Each case changes the sample file in one place so that its counts or offsets no longer fit.
TEST(BinaryCookies, HostileFilesAreRefused) {
    const std::string good = CookieFileBytes(SampleCookiePages(), "");
    const size_t page0 = 8 + 4 * 3;  // the first page's start
    auto little = [](uint32_t value) {
        std::string out;
        testing::AppendLittle(out, value);
        return out;
    };
    auto big = [](uint32_t value) {
        std::string out;
        testing::AppendBig(out, value);
        return out;
    };
    auto with = [&](size_t at, const std::string& bytes) {
        std::string changed = good;
        changed.replace(at, bytes.size(), bytes);
        return changed;
    };
    const size_t record0 = page0 + 12 + 4 * 2;
    struct Case {
        const char* what;
        std::string bytes;
    };
    const std::vector<Case> cases = {
        {"empty", ""},
        {"short magic", "coo"},
        {"other magic", with(0, "kooc")},
        {"no page count", "cook\0\0\0"},
        {"count without sizes", std::string("cook\0\0\0\x01", 8)},
        {"count past the end", with(4, big(0xFFFFFFFF))},
        {"count one too many", with(4, big(4))},
        {"zero-length page", with(8, big(0))},
        {"page shorter than its overhead", with(8, big(11))},
        {"page past the end", with(8 + 4 * 2, big(0x7FFFFFFF))},
        {"cookie count past the page", with(page0 + 4, little(0x40000000))},
        {"cookie offset past the page", with(page0 + 8, little(0xFFFFFFF0))},
        {"cookie offset into the offset table", with(page0 + 8, little(8))},
        {"record smaller than its fixed part", with(record0, little(55))},
        {"record past its page", with(record0, little(0x10000))},
        {"string past its record", with(record0 + 28, little(0x1000))},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        BinaryCookieFile file;
        std::string error;
        EXPECT_FALSE(ReadExact(c.bytes, file, &error));
        EXPECT_FALSE(error.empty());
    }
}

TEST(BinaryCookies, EveryTruncationBeforeTheTrailerIsRefused) {
    const std::string trailer = "TRAILER";
    const std::string full = CookieFileBytes(SampleCookiePages(), trailer);
    const size_t pagesEnd = full.size() - trailer.size();
    for (size_t length = 0; length < full.size(); ++length) {
        SCOPED_TRACE(length);
        BinaryCookieFile file;
        const bool read = ReadExact(full.substr(0, length), file);
        EXPECT_EQ(read, length >= pagesEnd);
        if (read) {
            EXPECT_EQ(file.trailer, trailer.substr(0, length - pagesEnd));
        }
    }
}

}  // namespace
}  // namespace bw

// Safari's history and saved open tabs of an image, read with libplist: binary lists with the
// keys of each iOS version and the promised pages and tabs; and its cookie file, read by the
// library's cookie reader (an implementation of the format apart from the simulator's writer):
// several sites, session and lasting cookies, text outside ASCII, the same file for the same
// seed. (The scanners reading them after a backup: backuptool_safari_test.cpp.)
#include <gtest/gtest.h>
#include <plist/plist.h>

#include <cstdlib>
#include <set>
#include <string>
#include <string_view>

#include "formats/binary_cookies.h"
#include "image/image_builder.h"
#include "privacy/safari_test_support.h"
#include "support/ios_versions.h"
#include "support/temp_folder.h"

namespace bw::sim {
namespace {

using bw::testing::Node;
using bw::testing::ParseBytes;

constexpr char kHistory[] = "/var/mobile/Library/Safari/History.plist";
constexpr char kSuspendState[] = "/var/mobile/Library/Safari/SuspendState.plist";
constexpr char kCookieFile[] = "/var/mobile/Library/Cookies/Cookies.binarycookies";

std::string StringOf(plist_t node) {
    if (node == nullptr || plist_get_node_type(node) != PLIST_STRING) return {};
    char* text = nullptr;
    plist_get_string_val(node, &text);
    std::string out = text != nullptr ? text : "";
    free(text);
    return out;
}

bool HasNonAscii(std::string_view text) {
    for (const char c : text) {
        if (static_cast<unsigned char>(c) >= 0x80) return true;
    }
    return false;
}

class ImageSafariTest : public ::testing::TestWithParam<const char*> {
  protected:
    void SetUp() override {
        image_ = Build(11, "image");
        major_ = GetParam()[0] - '0';
    }

    std::string Build(uint64_t seed, const std::string& name) {
        ImageOptions options;
        options.iosVersion = GetParam();
        options.seed = seed;
        options.scale = 2;
        std::string error;
        EXPECT_TRUE(CreateImage(temp_ / name, options, error)) << error;
        return temp_ / name;
    }

    Node Read(const char* devicePath, std::string& bytes) {
        bytes = bw::testing::ReadFileBytes(ImagePath(image_, devicePath));
        EXPECT_EQ(bytes.substr(0, 8), "bplist00");
        return ParseBytes(bytes);
    }

    bw::testing::TempFolder temp_;
    std::string image_;
    int major_ = 0;
};

TEST_P(ImageSafariTest, HistoryHoldsThePromisedPagesWithTheirVersionsKeys) {
    std::string bytes;
    const Node history = Read(kHistory, bytes);
    ASSERT_NE(history, nullptr);
    plist_t pages = plist_dict_get_item(history.get(), "WebHistoryDates");
    ASSERT_NE(pages, nullptr);
    ASSERT_EQ(plist_array_get_size(pages), 48u + 50u);  // scale 2
    std::set<uint64_t> ids;
    int nonAscii = 0, untitled = 0;
    double previous = 1e12;
    for (uint32_t i = 0; i < plist_array_get_size(pages); ++i) {
        plist_t page = plist_array_get_item(pages, i);
        plist_dict_iter it = nullptr;
        plist_dict_new_iter(page, &it);
        char* firstKey = nullptr;
        plist_t first = nullptr;
        plist_dict_next_item(page, it, &firstKey, &first);
        free(it);
        EXPECT_STREQ(firstKey, "");
        free(firstKey);
        EXPECT_EQ(StringOf(first).rfind("https://", 0), 0u);
        const std::string title = StringOf(plist_dict_get_item(page, "title"));
        untitled += title.empty() ? 1 : 0;
        nonAscii += HasNonAscii(title) ? 1 : 0;
        uint64_t id = 0, visits = 0;
        ASSERT_EQ(plist_get_node_type(plist_dict_get_item(page, "ID")), PLIST_UINT);
        plist_get_uint_val(plist_dict_get_item(page, "ID"), &id);
        ids.insert(id);
        plist_get_uint_val(plist_dict_get_item(page, "visitCount"), &visits);
        EXPECT_GE(visits, 1u);
        // Newest first, in decimal text counted from 2001 (not 1970): between 2010 and 2020.
        const double seconds =
            std::strtod(StringOf(plist_dict_get_item(page, "lastVisitedDate")).c_str(), nullptr);
        EXPECT_GT(seconds, 3e8);
        EXPECT_LT(seconds, 6e8);
        EXPECT_LT(seconds, previous);
        previous = seconds;
        EXPECT_EQ(plist_dict_get_item(page, "D") != nullptr, major_ >= 6);
    }
    EXPECT_EQ(ids.size(), 98u);
    EXPECT_GT(nonAscii, 10);
    EXPECT_GT(untitled, 0);
}

TEST_P(ImageSafariTest, SuspendStateHoldsTabsWithBackForwardEntries) {
    std::string bytes;
    const Node state = Read(kSuspendState, bytes);
    ASSERT_NE(state, nullptr);
    plist_t tabs = plist_dict_get_item(state.get(), "SafariStateDocuments");
    ASSERT_NE(tabs, nullptr);
    ASSERT_EQ(plist_array_get_size(tabs), 5u);
    std::set<std::string> uuids;
    for (uint32_t t = 0; t < 5; ++t) {
        plist_t tab = plist_array_get_item(tabs, t);
        uuids.insert(StringOf(plist_dict_get_item(tab, "SafariStateDocumentUUID")));
        EXPECT_EQ(
            plist_get_node_type(plist_dict_get_item(tab, "SafariStateDocumentLastViewedTime")),
            PLIST_REAL);
        EXPECT_EQ(plist_dict_get_item(tab, "SafariStateDocumentIsPrivate") != nullptr, major_ >= 7);
        plist_t entries = plist_dict_get_item(
            plist_dict_get_item(tab, "SafariStateDocumentBackForwardList"), "entries");
        ASSERT_NE(entries, nullptr);
        const uint32_t count = plist_array_get_size(entries);
        EXPECT_GE(count, 1u);
        EXPECT_LE(count, 6u);
        plist_t last = plist_array_get_item(entries, count - 1);
        EXPECT_EQ(StringOf(plist_dict_get_item(last, "")),
                  StringOf(plist_dict_get_item(tab, "SafariStateDocumentURL")));
        EXPECT_EQ(plist_get_node_type(plist_dict_get_item(last, "scaleIsInitial")), PLIST_BOOLEAN);
        EXPECT_EQ(plist_dict_get_item(last, "scrollPoint") != nullptr, major_ >= 6);
    }
    EXPECT_EQ(uuids.size(), 5u);
    EXPECT_EQ(uuids.count(""), 0u);
}

TEST_P(ImageSafariTest, CookiesHoldSeveralSitesOfSessionAndLastingCookies) {
    const std::string bytes = bw::testing::ReadFileBytes(ImagePath(image_, kCookieFile));
    BinaryCookieFile file;
    std::string error;
    ASSERT_TRUE(ReadBinaryCookies(bytes, file, &error)) << error;
    ASSERT_GE(file.pages.size(), 4u);
    size_t session = 0, lasting = 0, foreignNames = 0, foreignValues = 0;
    for (const CookiePage& page : file.pages) {
        ASSERT_FALSE(page.cookies.empty());
        const std::string_view domain = page.cookies[0].String(kCookieUrl);
        for (const CookieRecord& cookie : page.cookies) {
            EXPECT_EQ(cookie.String(kCookieUrl), domain);  // one site per page
            for (CookieField field : {kCookieUrl, kCookieName, kCookiePath, kCookieValue})
                EXPECT_EQ(cookie.String(field).back(), '\0');
            (cookie.Expiration() == 0 ? session : lasting) += 1;
            EXPECT_GT(cookie.Creation(), 3.0e8);  // after 2010
            if (cookie.Expiration() != 0) {
                EXPECT_GT(cookie.Expiration(), cookie.Creation());
            }
            foreignNames += HasNonAscii(cookie.String(kCookieName)) ? 1 : 0;
            foreignValues += HasNonAscii(cookie.String(kCookieValue)) ? 1 : 0;
        }
    }
    EXPECT_GT(session, 0u);
    EXPECT_GT(lasting, 0u);
    EXPECT_GT(foreignNames, 0u);
    EXPECT_GT(foreignValues, 0u);
    EXPECT_FALSE(file.trailer.empty());
    EXPECT_EQ(WriteBinaryCookies(file), bytes);

    EXPECT_EQ(bw::testing::ReadFileBytes(ImagePath(Build(11, "again"), kCookieFile)), bytes);
    EXPECT_NE(bw::testing::ReadFileBytes(ImagePath(Build(12, "other"), kCookieFile)), bytes);
}

INSTANTIATE_TEST_SUITE_P(Versions, ImageSafariTest, bw::testing::EachIosVersion(),
                         bw::testing::IosVersionName);

}  // namespace
}  // namespace bw::sim

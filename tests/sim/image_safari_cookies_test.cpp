// Safari's cookie file of an image, read by the library's cookie reader (an implementation of the
// format apart from the simulator's writer): several sites, session and lasting cookies, text
// outside ASCII, and the same file for the same seed.
#include <gtest/gtest.h>

#include <string>

#include "formats/binary_cookies.h"
#include "image/image_builder.h"
#include "support/temp_folder.h"

namespace bw::sim {
namespace {

constexpr char kCookieFile[] = "/var/mobile/Library/Cookies/Cookies.binarycookies";

bool OutsideAscii(std::string_view bytes) {
    for (char c : bytes)
        if (static_cast<unsigned char>(c) >= 0x80) return true;
    return false;
}

class SimImageSafariCookies : public ::testing::TestWithParam<const char*> {
  protected:
    std::string Build(uint64_t seed, const std::string& name) {
        ImageOptions options;
        options.iosVersion = GetParam();
        options.seed = seed;
        std::string error;
        EXPECT_TRUE(CreateImage(temp_ / name, options, error)) << error;
        return testing::ReadFileBytes(ImagePath(temp_ / name, kCookieFile));
    }

    testing::TempFolder temp_;
};

TEST_P(SimImageSafariCookies, TheFileHoldsSeveralSitesOfSessionAndLastingCookies) {
    const std::string bytes = Build(3, "image");
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
            foreignNames += OutsideAscii(cookie.String(kCookieName)) ? 1 : 0;
            foreignValues += OutsideAscii(cookie.String(kCookieValue)) ? 1 : 0;
        }
    }
    EXPECT_GT(session, 0u);
    EXPECT_GT(lasting, 0u);
    EXPECT_GT(foreignNames, 0u);
    EXPECT_GT(foreignValues, 0u);
    EXPECT_FALSE(file.trailer.empty());
    EXPECT_EQ(WriteBinaryCookies(file), bytes);

    EXPECT_EQ(Build(3, "again"), bytes);
    EXPECT_NE(Build(4, "other"), bytes);
}

INSTANTIATE_TEST_SUITE_P(Versions, SimImageSafariCookies,
                         ::testing::Values("5.1.1", "6.1.3", "7.1.2"));

}  // namespace
}  // namespace bw::sim

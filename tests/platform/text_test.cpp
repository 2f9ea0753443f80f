#include "platform/text.h"

#include <gtest/gtest.h>

namespace bw {
namespace {

TEST(TextConversion, RoundTripsEveryPlane) {
    const std::string utf8 = "a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80";  // a, e-acute, euro, emoji
    const std::u16string wide = Utf8ToWide(utf8);
    EXPECT_EQ(wide, (std::u16string{u'a', 0x00E9, 0x20AC, 0xD83D, 0xDE00}));
    EXPECT_EQ(WideToUtf8(wide), utf8);
}

TEST(TextConversion, BrokenInputBecomesReplacementCharacters) {
    EXPECT_EQ(Utf8ToWide("a\xFF"
                         "b"),
              (std::u16string{u'a', 0xFFFD, u'b'}));
    EXPECT_EQ(Utf8ToWide("\xE2\x82"), (std::u16string{0xFFFD}));           // cut in the middle
    EXPECT_EQ(Utf8ToWide("\xC0\xAF"), (std::u16string{0xFFFD}));           // overlong "/"
    EXPECT_EQ(Utf8ToWide("\xED\xA0\x80"), (std::u16string{0xFFFD}));       // encoded surrogate
    EXPECT_EQ(WideToUtf8(std::u16string{0xD800, u'x'}), "\xEF\xBF\xBDx");  // lone surrogate
}

}  // namespace
}  // namespace bw

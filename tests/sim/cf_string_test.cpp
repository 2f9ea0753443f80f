// Strings of the CoreFoundation stand-in: UTF-16 inside, and the buffer rules
// of CFStringGetCString that the library's text bridge depends on.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "cf/CoreFoundation.h"

namespace {

class SimCFStrings : public ::testing::Test {
  protected:
    void SetUp() override {
        liveAtStart_ = BwSimCFLiveObjects();
        misusesAtStart_ = BwSimCFMisuses();
    }
    void TearDown() override {
        EXPECT_EQ(BwSimCFLiveObjects(), liveAtStart_) << "objects leaked or freed twice";
        EXPECT_EQ(BwSimCFMisuses() - misusesAtStart_, expectedMisuses_);
    }

    long liveAtStart_ = 0;
    long misusesAtStart_ = 0;
    long expectedMisuses_ = 0;
};

CFStringRef FromUnits(const std::u16string& text) {
    return CFStringCreateWithCharacters(nullptr, reinterpret_cast<const UniChar*>(text.data()),
                                        static_cast<CFIndex>(text.size()));
}

std::u16string UnitsOf(CFStringRef string) {
    std::u16string units(static_cast<size_t>(CFStringGetLength(string)), u'\0');
    CFStringGetCharacters(string, CFRange{0, CFStringGetLength(string)},
                          reinterpret_cast<UniChar*>(units.data()));
    return units;
}

// "a", the euro sign, and U+1F600 (a surrogate pair).
const std::u16string kMixed = u"a\u20AC\U0001F600";

TEST_F(SimCFStrings, LengthCountsUtf16UnitsAndCharactersComeBackUnchanged) {
    CFStringRef string = FromUnits(kMixed);
    EXPECT_EQ(CFStringGetLength(string), 4);
    EXPECT_EQ(UnitsOf(string), kMixed);
    CFRelease(string);
}

// The library sizes its buffer as CFStringGetMaximumSizeForEncoding(length,
// 0x100) + 2, zeroed, and reads the text up to the first zero unit.
TEST_F(SimCFStrings, Utf16OutputEndsInOneZeroByteThatMustFit) {
    CFStringRef string = FromUnits(kMixed);
    const CFIndex max = CFStringGetMaximumSizeForEncoding(4, kCFStringEncodingUnicode);
    EXPECT_EQ(max, 8);
    std::vector<char> buffer(12, '\x55');
    EXPECT_FALSE(CFStringGetCString(string, buffer.data(), 8, kCFStringEncodingUnicode));
    EXPECT_EQ(buffer[0], '\x55') << "nothing is written on failure";
    ASSERT_TRUE(CFStringGetCString(string, buffer.data(), 9, kCFStringEncodingUnicode));
    std::u16string units(4, u'\0');
    std::memcpy(units.data(), buffer.data(), 8);
    EXPECT_EQ(units, kMixed);
    EXPECT_EQ(buffer[8], '\0');
    EXPECT_EQ(buffer[9], '\x55') << "the terminator is a single byte";

    std::vector<char> bridge(static_cast<size_t>(max) + 2, '\0');
    ASSERT_TRUE(CFStringGetCString(string, bridge.data(), static_cast<CFIndex>(bridge.size()),
                                   kCFStringEncodingUnicode));
    EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t*>(bridge.data())), kMixed);
    CFRelease(string);
}

TEST_F(SimCFStrings, Utf8OutputNeedsItsBytesPlusTheTerminator) {
    CFStringRef string = FromUnits(kMixed);
    const std::string expected = "a\xE2\x82\xAC\xF0\x9F\x98\x80";
    EXPECT_EQ(CFStringGetMaximumSizeForEncoding(4, kCFStringEncodingUTF8), 12);
    char buffer[16];
    EXPECT_FALSE(CFStringGetCString(string, buffer, 8, kCFStringEncodingUTF8));
    ASSERT_TRUE(CFStringGetCString(string, buffer, 9, kCFStringEncodingUTF8));
    EXPECT_EQ(std::string(buffer), expected);
    EXPECT_FALSE(CFStringGetCString(string, buffer, 0, kCFStringEncodingUTF8));
    CFRelease(string);
}

TEST_F(SimCFStrings, NarrowEncodingsRefuseCharactersTheyCannotHold) {
    CFStringRef latin = FromUnits(u"caf\u00E9");
    char buffer[16];
    EXPECT_FALSE(CFStringGetCString(latin, buffer, sizeof buffer, kCFStringEncodingASCII));
    ASSERT_TRUE(CFStringGetCString(latin, buffer, sizeof buffer, kCFStringEncodingISOLatin1));
    EXPECT_STREQ(buffer, "caf\xE9");
    CFStringRef plain = FromUnits(u"plain");
    ASSERT_TRUE(CFStringGetCString(plain, buffer, 6, kCFStringEncodingASCII));
    EXPECT_STREQ(buffer, "plain");
    EXPECT_FALSE(CFStringGetCString(plain, buffer, sizeof buffer, 0x0500)) << "not supported";
    CFRelease(latin);
    CFRelease(plain);
}

TEST_F(SimCFStrings, ExplicitByteOrdersAndUtf32) {
    CFStringRef string = FromUnits(u"A\U0001F600");
    char buffer[16];
    ASSERT_TRUE(CFStringGetCString(string, buffer, sizeof buffer, kCFStringEncodingUTF16BE));
    EXPECT_EQ(std::string(buffer, 6), std::string("\x00\x41\xD8\x3D\xDE\x00", 6));
    ASSERT_TRUE(CFStringGetCString(string, buffer, sizeof buffer, kCFStringEncodingUTF16LE));
    EXPECT_EQ(std::string(buffer, 6), std::string("\x41\x00\x3D\xD8\x00\xDE", 6));
    ASSERT_TRUE(CFStringGetCString(string, buffer, sizeof buffer, kCFStringEncodingUTF32BE));
    EXPECT_EQ(std::string(buffer, 8), std::string("\x00\x00\x00\x41\x00\x01\xF6\x00", 8));
    CFRelease(string);
}

TEST_F(SimCFStrings, UnpairedSurrogatesHaveNoUtf8Form) {
    CFStringRef broken = FromUnits(std::u16string(u"x\xD800y", 3));
    char buffer[16];
    EXPECT_FALSE(CFStringGetCString(broken, buffer, sizeof buffer, kCFStringEncodingUTF8));
    EXPECT_FALSE(CFStringGetCString(broken, buffer, sizeof buffer, kCFStringEncodingUTF32));
    EXPECT_TRUE(CFStringGetCString(broken, buffer, sizeof buffer, kCFStringEncodingUnicode));
    CFRelease(broken);
}

TEST_F(SimCFStrings, Utf8InputIsDecodedStrictly) {
    CFStringRef good =
        CFStringCreateWithCString(nullptr, "a\xE2\x82\xAC\xF0\x9F\x98\x80", kCFStringEncodingUTF8);
    ASSERT_NE(good, nullptr);
    EXPECT_EQ(UnitsOf(good), kMixed);
    CFRelease(good);
    const char* invalid[] = {
        "\xC0\xAF",          // overlong "/"
        "\x80",              // lone continuation byte
        "\xE2\x82",          // cut short
        "\xED\xA0\x80",      // an encoded surrogate
        "\xF4\x90\x80\x80",  // past U+10FFFF
        "\xFF",
    };
    for (const char* bytes : invalid)
        EXPECT_EQ(CFStringCreateWithCString(nullptr, bytes, kCFStringEncodingUTF8), nullptr)
            << bytes;
    EXPECT_EQ(CFStringCreateWithCString(nullptr, "caf\xE9", kCFStringEncodingASCII), nullptr);
    CFStringRef latin = CFStringCreateWithCString(nullptr, "caf\xE9", kCFStringEncodingISOLatin1);
    EXPECT_EQ(UnitsOf(latin), u"caf\u00E9");
    CFRelease(latin);
}

TEST_F(SimCFStrings, Utf16BytesHonourAByteOrderMark) {
    const UInt8 bigWithMark[] = {0xFE, 0xFF, 0x00, 0x48, 0x00, 0x69};
    const UInt8 littleWithMark[] = {0xFF, 0xFE, 0x48, 0x00, 0x69, 0x00};
    const UInt8 bigExplicit[] = {0x00, 0x48, 0x00, 0x69};
    CFStringRef a = CFStringCreateWithBytes(nullptr, bigWithMark, 6, kCFStringEncodingUTF16, true);
    CFStringRef b =
        CFStringCreateWithBytes(nullptr, littleWithMark, 6, kCFStringEncodingUTF16, false);
    CFStringRef c =
        CFStringCreateWithBytes(nullptr, bigExplicit, 4, kCFStringEncodingUTF16BE, false);
    EXPECT_EQ(UnitsOf(a), u"Hi");
    EXPECT_EQ(UnitsOf(b), u"Hi");
    EXPECT_EQ(UnitsOf(c), u"Hi");
    EXPECT_EQ(CFStringCreateWithBytes(nullptr, bigExplicit, 3, kCFStringEncodingUTF16BE, false),
              nullptr)
        << "an odd byte count is no UTF-16";
    CFRelease(a);
    CFRelease(b);
    CFRelease(c);
}

TEST_F(SimCFStrings, MaximumSizesFollowTheEncodingAndRefuseOverflow) {
    EXPECT_EQ(CFStringGetMaximumSizeForEncoding(10, kCFStringEncodingUnicode), 20);
    EXPECT_EQ(CFStringGetMaximumSizeForEncoding(10, kCFStringEncodingUTF8), 30);
    EXPECT_EQ(CFStringGetMaximumSizeForEncoding(10, kCFStringEncodingUTF32), 40);
    EXPECT_EQ(CFStringGetMaximumSizeForEncoding(10, kCFStringEncodingASCII), 10);
    EXPECT_EQ(CFStringGetMaximumSizeForEncoding(0, kCFStringEncodingUTF8), 0);
    EXPECT_EQ(CFStringGetMaximumSizeForEncoding(LONG_MAX / 2, kCFStringEncodingUTF8), kCFNotFound);
    EXPECT_EQ(CFStringGetMaximumSizeForEncoding(-1, kCFStringEncodingUTF8), kCFNotFound);
}

TEST_F(SimCFStrings, EmptyAndInvalidArguments) {
    CFStringRef empty = CFStringCreateWithCharacters(nullptr, nullptr, 0);
    ASSERT_NE(empty, nullptr);
    EXPECT_EQ(CFStringGetLength(empty), 0);
    char buffer[4] = {'x', 'x', 'x', 'x'};
    EXPECT_TRUE(CFStringGetCString(empty, buffer, 1, kCFStringEncodingUnicode));
    EXPECT_EQ(buffer[0], '\0');
    EXPECT_EQ(CFStringCreateWithCharacters(nullptr, nullptr, 3), nullptr);
    const UniChar one = 'a';
    EXPECT_EQ(CFStringCreateWithCharacters(nullptr, &one, -1), nullptr);
    EXPECT_EQ(CFStringCreateWithCString(nullptr, nullptr, kCFStringEncodingUTF8), nullptr);
    EXPECT_FALSE(CFStringGetCString(empty, nullptr, 4, kCFStringEncodingUTF8));
    UniChar units[2];
    CFStringGetCharacters(empty, CFRange{0, 2}, units);  // past the end
    CFRelease(empty);
    expectedMisuses_ = 5;
}

TEST_F(SimCFStrings, EqualTextIsEqualAndHashesAlike) {
    CFStringRef a = FromUnits(kMixed);
    CFStringRef b =
        CFStringCreateWithCString(nullptr, "a\xE2\x82\xAC\xF0\x9F\x98\x80", kCFStringEncodingUTF8);
    CFStringRef c = FromUnits(u"a\u20AC");
    EXPECT_NE(a, b);
    EXPECT_TRUE(CFEqual(a, b));
    EXPECT_EQ(CFHash(a), CFHash(b));
    EXPECT_FALSE(CFEqual(a, c));
    CFRelease(a);
    CFRelease(b);
    CFRelease(c);
}

}  // namespace

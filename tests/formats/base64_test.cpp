#include "formats/base64.h"

#include <gtest/gtest.h>

namespace bw {
namespace {

TEST(PlistCodecBase64, EncodesRfc4648Vectors) {
    EXPECT_EQ(Base64Encode(std::string_view("")), "");
    EXPECT_EQ(Base64Encode(std::string_view("f")), "Zg==");
    EXPECT_EQ(Base64Encode(std::string_view("fo")), "Zm8=");
    EXPECT_EQ(Base64Encode(std::string_view("foo")), "Zm9v");
    EXPECT_EQ(Base64Encode(std::string_view("foob")), "Zm9vYg==");
    EXPECT_EQ(Base64Encode(std::string_view("fooba")), "Zm9vYmE=");
    EXPECT_EQ(Base64Encode(std::string_view("foobar")), "Zm9vYmFy");
    const std::vector<uint8_t> high{0xFB, 0xFF, 0xBF};
    EXPECT_EQ(Base64Encode(std::span<const uint8_t>(high)), "+/+/");
}

TEST(PlistCodecBase64, DecodesWithAndWithoutPadding) {
    EXPECT_EQ(Base64Decode("Zm9vYmFy"), "foobar");
    EXPECT_EQ(Base64Decode("Zm9vYg=="), "foob");
    EXPECT_EQ(Base64Decode("Zm9vYg"), "foob");
    EXPECT_EQ(Base64Decode("Zm9vYmE="), "fooba");
    EXPECT_EQ(Base64Decode("Zm9vYmE"), "fooba");
    EXPECT_EQ(Base64Decode(""), "");
    EXPECT_EQ(Base64DecodeBytes("+/+/"), (std::vector<uint8_t>{0xFB, 0xFF, 0xBF}));
}

TEST(PlistCodecBase64, SkipsWhitespaceAnywhere) {
    EXPECT_EQ(Base64Decode("\n\tZm9v\n  YmFy\r\n"), "foobar");
    EXPECT_EQ(Base64Decode("Z m 9 v Y g = ="), "foob");
    EXPECT_EQ(Base64Decode(" \n "), "");
}

TEST(PlistCodecBase64, RejectsForeignCharactersAndTextAfterPadding) {
    EXPECT_EQ(Base64Decode("Zm9v!mFy"), std::nullopt);
    EXPECT_EQ(Base64Decode("Zm9v-_"), std::nullopt);
    EXPECT_EQ(Base64Decode("Zg==Zg=="), std::nullopt);
    EXPECT_EQ(Base64Decode(std::string_view("Zm9v\0YmFy", 9)), std::nullopt);
    // A single leftover character cannot hold a byte.
    EXPECT_EQ(Base64Decode("Zm9vY"), std::nullopt);
}

TEST(PlistCodecBase64, EveryByteValueRoundTrips) {
    for (size_t length = 0; length < 300; length += 37) {
        std::string bytes;
        for (size_t i = 0; i < length; ++i)
            bytes.push_back(static_cast<char>(i * 7 + length));
        EXPECT_EQ(Base64Decode(Base64Encode(bytes)), bytes) << length;
    }
}

}  // namespace
}  // namespace bw

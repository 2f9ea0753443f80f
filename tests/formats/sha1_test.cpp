#include "formats/sha1.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

namespace bw {
namespace {

std::string Digest(std::string_view bytes) {
    return HexLower(Sha1::Hash(bytes));
}

std::string PseudoRandomBytes(size_t size, uint32_t seed) {
    std::mt19937 random(seed);
    std::string bytes(size, '\0');
    for (char& c : bytes)
        c = static_cast<char>(random() & 0xFF);
    return bytes;
}

TEST(Sha1Vectors, KnownDigests) {
    std::string allBytes;
    for (int b = 0; b < 4 * 256; ++b)
        allBytes.push_back(static_cast<char>(b));
    const std::pair<std::string, const char*> cases[] = {
        {"", "da39a3ee5e6b4b0d3255bfef95601890afd80709"},
        {"abc", "a9993e364706816aba3e25717850c26c9cd0d89d"},
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
         "84983e441c3bd26ebaae4aa1f95129e5e54670f1"},
        {"abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopq"
         "klmnopqrlmnopqrsmnopqrstnopqrstu",
         "a49b2446a02c645bf419f995b67091253a04a259"},
        {std::string(1000000, 'a'), "34aa973cd4c4daa4f61eeb2bdbad27316534016f"},
        {allBytes, "5b00669c480d5cffbdfa8bdba99561160f2d1b77"},
    };
    for (const auto& [message, expected] : cases)
        EXPECT_EQ(Digest(message), expected) << message.substr(0, 8);
}

// The padding takes one or two extra blocks depending on how much room the last block has left.
TEST(Sha1Vectors, LengthsAroundThePaddingBoundary) {
    const std::pair<size_t, const char*> cases[] = {
        {55, "c1c8bbdc22796e28c0e15163d20899b65621d65a"},
        {56, "c2db330f6083854c99d4b5bfb6e8f29f201be699"},
        {63, "03f09f5b158a7a8cdad920bddc29b81c18a551f5"},
        {64, "0098ba824b5c16427bd7a1122a5a442a25ec644d"},
        {65, "11655326c708d70319be2610e8a57d9a5b959d3b"},
        {119, "ee971065aaa017e0632a8ca6c77bb3bf8b1dfc56"},
        {120, "f34c1488385346a55709ba056ddd08280dd4c6d6"},
        {128, "ad5b3fdbcb526778c2839d2f151ea753995e26a0"},
    };
    for (const auto& [length, expected] : cases) {
        EXPECT_EQ(Digest(std::string(length, 'a')), expected) << "length " << length;
    }
}

// Every split point up to past two blocks, each followed by a second split around a block edge.
TEST(Sha1Incremental, SplitsAndSingleBytesGiveTheOneShotDigest) {
    const std::string message = PseudoRandomBytes(300, 7);
    const Sha1::Digest expected = Sha1::Hash(message);
    for (size_t first = 0; first <= 130; ++first) {
        for (size_t second : {size_t{1}, size_t{63}, size_t{64}, size_t{65}, size_t{129}}) {
            const std::string_view view(message);
            Sha1 sha1;
            sha1.Update(view.substr(0, first));
            sha1.Update(view.substr(first, second));
            sha1.Update(view.substr(first + second));
            ASSERT_EQ(sha1.Finish(), expected) << first << "+" << second;
        }
    }
    Sha1 byteByByte;
    for (char c : message)
        byteByByte.Update(&c, 1);
    EXPECT_EQ(byteByByte.Finish(), expected);
}

TEST(Sha1Incremental, FinishResetsForTheNextMessage) {
    Sha1 sha1;
    sha1.Update("garbage that must not leak into the next digest");
    sha1.Finish();
    sha1.Update("abc");
    EXPECT_EQ(HexLower(sha1.Finish()), "a9993e364706816aba3e25717850c26c9cd0d89d");
    EXPECT_EQ(HexLower(sha1.Finish()), "da39a3ee5e6b4b0d3255bfef95601890afd80709");
}

TEST(Sha1Incremental, UnalignedInputGivesTheSameDigest) {
    const std::string message = PseudoRandomBytes(4096 + 8, 11);
    const Sha1::Digest expected = Sha1::Hash(std::string_view(message).substr(0, 4096));
    for (size_t offset = 1; offset < 8; ++offset) {
        const std::string shifted = std::string(offset, 'x') + message.substr(0, 4096);
        EXPECT_EQ(Sha1::Hash(std::string_view(shifted).substr(offset)), expected) << offset;
    }
}

TEST(Sha1Compress, ProcessorInstructionsMatchThePortableCode) {
    const std::string blocks = PseudoRandomBytes(64 * 37, 3);
    const auto* data = reinterpret_cast<const uint8_t*>(blocks.data());
    uint32_t portable[5] = {0x67452301u, 0xEFCDAB89u, 0x98BADCFEu, 0x10325476u, 0xC3D2E1F0u};
    uint32_t accelerated[5] = {0x67452301u, 0xEFCDAB89u, 0x98BADCFEu, 0x10325476u, 0xC3D2E1F0u};
    sha1_detail::CompressPortable(portable, data, 37);
    if (!sha1_detail::CompressAccelerated(accelerated, data, 37)) {
        GTEST_SKIP() << "no SHA instructions on this processor";
    }
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(portable[i], accelerated[i]) << "word " << i;
}

TEST(Sha1Compress, PortableCodeAloneGivesTheFipsDigest) {
    // "abc" padded by hand into its single block.
    uint8_t block[64] = {'a', 'b', 'c', 0x80};
    block[63] = 24;
    uint32_t state[5] = {0x67452301u, 0xEFCDAB89u, 0x98BADCFEu, 0x10325476u, 0xC3D2E1F0u};
    sha1_detail::CompressPortable(state, block, 1);
    EXPECT_EQ(state[0], 0xA9993E36u);
    EXPECT_EQ(state[4], 0x9CD0D89Du);
}

TEST(Sha1Hex, LowerAndUpperDigits) {
    EXPECT_EQ(HexLower(std::string_view("\x00\x9f\xA0\xff", 4)), "009fa0ff");
    EXPECT_EQ(HexUpper(std::string_view("\x00\x9f\xA0\xff", 4)), "009FA0FF");
    EXPECT_EQ(HexLower(""), "");
}

}  // namespace
}  // namespace bw

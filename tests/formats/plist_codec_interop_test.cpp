// Files exchanged with libplist, an independent implementation of the same formats: what it
// writes we read, and what we write it reads, with equal content.
#include <gtest/gtest.h>
#include <plist/plist.h>

#include <cstdlib>
#include <limits>
#include <memory>
#include <random>

#include "formats/libplist_bridge.h"
#include "formats/plist_codec.h"
#include "formats/plist_codec_test_util.h"

namespace bw {
namespace {

using plist_test::Read;

// libplist keeps dates as seconds since 2001 in 32 bits and integers as unsigned 64-bit.

std::string LibplistBinary(const PlistValue& value) {
    const LibplistNode node = ToLibplist(value);
    char* bytes = nullptr;
    uint32_t length = 0;
    plist_to_bin(static_cast<plist_t>(node.get()), &bytes, &length);
    std::string out(bytes, length);
    plist_to_bin_free(bytes);
    return out;
}

std::string LibplistXml(const PlistValue& value) {
    const LibplistNode node = ToLibplist(value);
    char* text = nullptr;
    uint32_t length = 0;
    plist_to_xml(static_cast<plist_t>(node.get()), &text, &length);
    std::string out(text, length);
    plist_to_xml_free(text);
    return out;
}

std::optional<PlistValue> LibplistReads(const std::string& bytes) {
    plist_t node = nullptr;
    plist_from_bin(bytes.data(), static_cast<uint32_t>(bytes.size()), &node);
    if (node == nullptr) return std::nullopt;
    const LibplistNode owner(node);
    return FromLibplist(node);
}

PlistValue HandPickedTree() {
    PlistValue::Dictionary many;
    for (int i = 0; i < 20; ++i)
        many["key" + std::to_string(i)] = i * 1000;
    return PlistValue::Dictionary{
        {"string", "hello"},
        {"unicode", "h\xC3\xA9llo \xE2\x82\xAC \xF0\x9F\x98\x80"},
        {"small", 42},
        {"big", int64_t{5000000000}},
        {"negative", -5},
        {"top bit", std::numeric_limits<int64_t>::min()},
        {"real", 0.5},
        {"tiny real", -2.25e-300},
        {"true", true},
        {"false", false},
        {"date", PlistDate{PlistDate::kUnixSecondsAt2001 + 700000000}},
        {"old date", PlistDate{PlistDate::kUnixSecondsAt2001 - 86400}},
        {"data", PlistValue::Data{0, 1, 2, 0xFE, 0xFF}},
        {"array", PlistValue::Array{1, "two", PlistValue::Array{}, PlistValue::Dictionary{}}},
        {"nested", PlistValue::Dictionary{{"k", PlistValue::Dictionary{{"deeper", "v"}}}}},
        {"long", std::string(1000, 'L')},
        {"many", many},
    };
}

// A reproducible tree of `count` objects or so, of every kind libplist can hold.
PlistValue RandomTree(std::mt19937& random, int& budget, int depth) {
    const int kind = depth > 6 || budget < 10 ? static_cast<int>(random() % 6) + 2
                                              : static_cast<int>(random() % 8);
    --budget;
    switch (kind) {
        case 0: {
            PlistValue::Dictionary dictionary;
            const int size = static_cast<int>(random() % 24);
            for (int i = 0; i < size && budget > 0; ++i)
                dictionary["k" + std::to_string(random() % 1000)] =
                    RandomTree(random, budget, depth + 1);
            return dictionary;
        }
        case 1: {
            PlistValue::Array array;
            const int size = static_cast<int>(random() % 24);
            for (int i = 0; i < size && budget > 0; ++i)
                array.push_back(RandomTree(random, budget, depth + 1));
            return array;
        }
        case 2:
            return random() % 2 ? PlistValue("s" + std::to_string(random()))
                                : PlistValue("\xC3\xBC" + std::to_string(random() % 99));
        case 3: {
            const uint64_t bits = (uint64_t{random()} << 32) | random();
            return static_cast<int64_t>(bits >> (random() % 64));
        }
        case 4:
            return static_cast<double>(random()) / 7.0;
        case 5:
            return random() % 2 == 0;
        case 6:
            return PlistDate{PlistDate::kUnixSecondsAt2001 + static_cast<int32_t>(random())};
        default:
            return PlistValue::Data(random() % 40, static_cast<uint8_t>(random()));
    }
}

PlistValue LargeRandomTree(int objects) {
    std::mt19937 random(1234);
    PlistValue::Array top;
    int budget = objects;
    while (budget > 0)
        top.push_back(RandomTree(random, budget, 1));
    return top;
}

TEST(PlistCodecInterop, HandPickedTreeBothWaysAndFromLibplistXml) {
    const PlistValue tree = HandPickedTree();
    EXPECT_EQ(Read(LibplistBinary(tree)), tree);
    EXPECT_EQ(Read(LibplistXml(tree)), tree);
    const std::optional<std::string> bytes = EncodePlistBinary(tree);
    ASSERT_TRUE(bytes.has_value());
    EXPECT_EQ(LibplistReads(*bytes), tree);
}

TEST(PlistCodecInterop, LargeTreesWithThreeByteReferencesAndOffsetsBothWays) {
    const PlistValue tree = LargeRandomTree(80000);
    const std::optional<std::string> ours = EncodePlistBinary(tree);
    ASSERT_TRUE(ours.has_value());
    EXPECT_EQ((*ours)[ours->size() - 26], 3) << "offset size";
    EXPECT_EQ((*ours)[ours->size() - 25], 3) << "reference size";
    EXPECT_EQ(LibplistReads(*ours), tree);
    EXPECT_EQ(Read(*ours), tree);
    EXPECT_EQ(Read(LibplistBinary(tree)), tree);
}

}  // namespace
}  // namespace bw

// Reading binary property lists, including damaged and hostile files built byte by byte.
#include <gtest/gtest.h>

#include <limits>

#include "formats/plist_codec.h"
#include "formats/plist_codec_test_util.h"

namespace bw {
namespace {

using plist_test::Bytes;
using plist_test::RawPlist;
using plist_test::Read;

std::optional<PlistValue> ReadRaw(const RawPlist& raw) {
    return Read(raw.Build());
}

TEST(PlistCodecBinary, TopObjectFieldIsIgnoredAndOddReferenceAndOffsetSizesRead) {
    RawPlist raw;
    raw.objects = {Bytes("51 'r'"), Bytes("51 't'")};
    raw.topObject = 1;
    EXPECT_EQ(ReadRaw(raw), PlistValue("r"));
    raw.topObject = 1000;
    EXPECT_EQ(ReadRaw(raw), PlistValue("r"));

    raw.topObject = 0;
    raw.refSize = 3;
    raw.offsetSize = 5;
    raw.objects = {Bytes("A2 00 00 01 00 00 02"), Bytes("10 07"), Bytes("51 'z'")};
    EXPECT_EQ(ReadRaw(raw), PlistValue(PlistValue::Array{7, "z"}));
}

// The common object forms are read from the files libplist writes (plist_codec_interop_test);
// these are the legal forms it never writes.
TEST(PlistCodecBinary, FourByteRealsWideIntegersAndLongCounts) {
    RawPlist raw;
    raw.objects = {Bytes("22 3F C0 00 00")};
    EXPECT_EQ(ReadRaw(raw), PlistValue(1.5));
    // A 16-byte integer whose value fits 64 bits keeps the bit pattern; wider ones are empty.
    raw.objects = {Bytes("A2 01 02"), Bytes("14 00 00 00 00 00 00 00 00 FF FF FF FF FF FF FF FF"),
                   Bytes("14 00 00 00 00 00 00 00 01 00 00 00 00 00 00 00 00")};
    EXPECT_EQ(ReadRaw(raw), PlistValue(PlistValue::Array{-1, PlistValue()}));

    raw.objects = {Bytes("5F 10 10 'sixteen letters!'")};
    EXPECT_EQ(ReadRaw(raw), PlistValue("sixteen letters!"));
    raw.objects = {Bytes("5F 11 00 03 'abc'")};
    EXPECT_EQ(ReadRaw(raw), PlistValue("abc"));
}

TEST(PlistCodecBinary, UnknownMarkersAreEmptyInPlace) {
    RawPlist raw;
    raw.objects = {Bytes("A7 01 02 03 04 05 06 07"),
                   Bytes("00"),                          // null
                   Bytes("80 05"),                       // UID
                   Bytes("C1 01"),                       // set
                   Bytes("0F"),                          // fill
                   Bytes("15 00 00 00 00"),              // 32-byte integer
                   Bytes("33 7F F8 00 00 00 00 00 00"),  // date that is not a number
                   Bytes("71")};
    EXPECT_EQ(ReadRaw(raw), PlistValue(PlistValue::Array(7)));
    // With nothing at the root, there is no value at all.
    raw.objects = {Bytes("00")};
    EXPECT_EQ(ReadRaw(raw), std::nullopt);
}

TEST(PlistCodecBinary, StringsBeyondAsciiAndBrokenUtf16) {
    RawPlist raw;
    // A byte above 0x7F in an ASCII string is taken as Latin-1.
    raw.objects = {Bytes("54 'caf' E9")};
    EXPECT_EQ(ReadRaw(raw), PlistValue("caf\xC3\xA9"));
    // Unpaired surrogates become U+FFFD; a proper pair becomes one 4-byte character.
    raw.objects = {Bytes("65 D8 00 00 41 DC 00 D8 3D DE 00")};
    EXPECT_EQ(ReadRaw(raw), PlistValue("\xEF\xBF\xBD"
                                       "A\xEF\xBF\xBD\xF0\x9F\x98\x80"));
    raw.objects = {Bytes("61 D8 3D")};
    EXPECT_EQ(ReadRaw(raw), PlistValue("\xEF\xBF\xBD"));
}

TEST(PlistCodecBinary, RepeatedKeyKeepsTheLastValue) {
    RawPlist raw;
    raw.objects = {Bytes("D2 01 01 02 03"), Bytes("51 'k'"), Bytes("10 01"), Bytes("10 02")};
    EXPECT_EQ(ReadRaw(raw), PlistValue(PlistValue::Dictionary{{"k", 2}}));
}

TEST(PlistCodecBinary, SharedObjectsAreReadAtEveryReferenceUnlessTheyExplode) {
    RawPlist raw;
    raw.objects = {Bytes("A3 01 01 01"), Bytes("A2 02 02"), Bytes("51 'x'")};
    const PlistValue pair(PlistValue::Array{"x", "x"});
    EXPECT_EQ(ReadRaw(raw), PlistValue(PlistValue::Array{pair, pair, pair}));
    // Each array holds the next one twice: 2^60 leaves from a file of a few hundred bytes.
    raw.objects.clear();
    for (int i = 0; i < 60; ++i)
        raw.objects.push_back(Bytes("A2") + std::string(2, static_cast<char>(i + 1)));
    raw.objects.push_back(Bytes("09"));
    EXPECT_EQ(ReadRaw(raw), std::nullopt);
}

TEST(PlistCodecBinary, OffsetsAndTrailerFieldsOutOfRangeAreRefused) {
    RawPlist good;
    good.objects = {Bytes("A1 01"), Bytes("09")};
    ASSERT_TRUE(ReadRaw(good).has_value());
    // Past the file, into the offset table, into the header.
    for (uint64_t offset : {200, 11, 3}) {
        RawPlist raw = good;
        raw.offsetOverrides = {{1, offset}};
        EXPECT_EQ(ReadRaw(raw), std::nullopt) << "object offset " << offset;
    }

    for (unsigned size : {0u, 9u, 255u}) {
        RawPlist raw = good;
        raw.refSize = size;
        EXPECT_EQ(ReadRaw(raw), std::nullopt) << "reference size " << size;
    }
    for (unsigned size : {0u, 9u}) {
        RawPlist raw = good;
        raw.offsetSize = size;
        if (size == 9) raw.offsetSize = 1;  // entries stay one byte; only the field lies
        std::string file = raw.Build();
        file[file.size() - 26] = static_cast<char>(size);
        EXPECT_EQ(Read(file), std::nullopt) << "offset size " << size;
    }
    for (uint64_t count : {uint64_t{0}, uint64_t{3}, uint64_t{1} << 62, ~uint64_t{0}}) {
        RawPlist raw = good;
        raw.objectCount = count;
        EXPECT_EQ(ReadRaw(raw), std::nullopt) << "object count " << count;
    }
    for (uint64_t table :
         {uint64_t{0}, uint64_t{8}, uint64_t{10}, uint64_t{40}, ~uint64_t{0} - 3}) {
        RawPlist raw = good;
        raw.offsetTableOffset = table;
        EXPECT_EQ(ReadRaw(raw), std::nullopt) << "offset table at " << table;
    }
}

TEST(PlistCodecBinary, TruncatedFilesAreRefused) {
    const std::optional<std::string> file = EncodePlistBinary(
        PlistValue::Dictionary{{"name", "value"}, {"list", PlistValue::Array{1, 2.5, "three"}}});
    ASSERT_TRUE(file.has_value());
    for (size_t cut = 1; cut < file->size(); ++cut) {
        EXPECT_EQ(Read(file->substr(0, file->size() - cut)), std::nullopt) << cut;
    }
    EXPECT_EQ(Read("bplist00"), std::nullopt);
}

TEST(PlistCodecBinary, BadReferencesCyclesAndCountsLargerThanTheFileAreRefused) {
    const std::vector<std::string> badObjects[] = {
        {Bytes("A1 05"), Bytes("09")},                         // reference past the last object
        {Bytes("D1 01 02"), Bytes("10 01"), Bytes("10 02")},   // key that is not a string
        {Bytes("A1 00")},                                      // an array holding itself
        {Bytes("A1 01"), Bytes("D1 02 00"), Bytes("51 'k'")},  // a cycle through a dictionary
    };
    for (const std::vector<std::string>& objects : badObjects) {
        RawPlist raw;
        raw.objects = objects;
        EXPECT_EQ(ReadRaw(raw), std::nullopt) << ::testing::PrintToString(objects[0]);
    }
    const char* absurd[] = {
        "AF 13 0F FF FF FF FF FF FF FF",  // array
        "DF 13 0F FF FF FF FF FF FF FF",  // dictionary
        "4F 13 0F FF FF FF FF FF FF FF",  // data
        "5F 13 0F FF FF FF FF FF FF FF",  // ASCII string
        "6F 13 7F FF FF FF FF FF FF FF",  // UTF-16 string: count * 2 would overflow
        "6F 13 FF FF FF FF FF FF FF FF",  // negative count
        "A3 01 01",                       // fewer references than the count
        "AF 23 00 00 00 00 00 00 00 00",  // count that is not an integer object
        "AF 14 00 00 00 00 00 00 00 00",  // count in a 16-byte integer
    };
    for (const char* object : absurd) {
        RawPlist raw;
        raw.objects = {Bytes(object), Bytes("09")};
        EXPECT_EQ(ReadRaw(raw), std::nullopt) << object;
    }
    // Objects that run into the offset table.
    for (const char* object : {"55 'ab'", "62 00 41 00", "4F 10 20 01 02"}) {
        RawPlist raw;
        raw.objects = {Bytes(object)};
        EXPECT_EQ(ReadRaw(raw), std::nullopt) << object;
    }
}

TEST(PlistCodecBinary, DeepNestingIsRefused) {
    auto nested = [](int depth) {
        RawPlist raw;
        raw.refSize = 2;
        raw.offsetSize = 2;
        for (int i = 1; i < depth; ++i)
            raw.objects.push_back(Bytes("A1") + plist_test::BigEndian(i, 2));
        raw.objects.push_back(Bytes("09"));
        return raw;
    };
    EXPECT_TRUE(ReadRaw(nested(512)).has_value());
    EXPECT_EQ(ReadRaw(nested(513)), std::nullopt);
    EXPECT_EQ(ReadRaw(nested(20000)), std::nullopt);
}

}  // namespace
}  // namespace bw

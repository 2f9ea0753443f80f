// The value type and the binary writer: the exact bytes written, and round trips through the
// reader.
#include "formats/plist_codec.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "formats/plist_codec_internal.h"
#include "formats/plist_codec_test_util.h"
#include "platform/file_faults.h"
#include "platform/files.h"
#include "support/file_fault_loop.h"
#include "support/hostile_files.h"
#include "support/temp_folder.h"

namespace bw {
namespace {

using plist_test::BigEndian;
using plist_test::Bytes;
using plist_test::Read;

// Header, objects, one-byte offset table and trailer for files whose offsets all fit one byte.
std::string SmallFile(std::string_view objects, std::string_view offsetTable, unsigned refSize,
                      uint64_t count) {
    std::string file = "bplist00" + std::string(objects) + std::string(offsetTable);
    file += std::string(6, '\0') + '\x01' + static_cast<char>(refSize);
    file += BigEndian(count, 8) + BigEndian(0, 8) + BigEndian(8 + objects.size(), 8);
    return file;
}

std::string Encode(const PlistValue& value) {
    const std::optional<std::string> bytes = EncodePlistBinary(value);
    EXPECT_TRUE(bytes.has_value());
    return bytes.value_or("");
}

// The object bytes of a file written by us, for checks that do not care about the table.
std::string ObjectsOf(const std::string& file) {
    uint64_t table = 0;
    for (size_t i = file.size() - 8; i < file.size(); ++i)
        table = table << 8 | static_cast<uint8_t>(file[i]);
    return file.substr(8, table - 8);
}

TEST(PlistCodecValue, HoldsOneKindWithTypedViewsAndSortsDictionaryKeysByBytes) {
    PlistValue value(int64_t{-7});
    EXPECT_EQ(value.Kind(), PlistKind::kInteger);
    EXPECT_EQ(value.AsInteger(), -7);
    EXPECT_EQ(value.AsReal(), std::nullopt);
    EXPECT_EQ(value.AsString(), nullptr);
    EXPECT_EQ(value.AsDictionary(), nullptr);

    value = "text";
    ASSERT_NE(value.AsString(), nullptr);
    EXPECT_EQ(*value.AsString(), "text");
    EXPECT_EQ(value.AsInteger(), std::nullopt);

    value = true;
    EXPECT_EQ(value.Kind(), PlistKind::kBoolean);
    EXPECT_EQ(value.AsBoolean(), true);

    value.Clear();
    EXPECT_TRUE(value.IsEmpty());
    EXPECT_EQ(value.Kind(), PlistKind::kNone);

    // Dictionary keys are sorted by their bytes.
    value = PlistValue::Dictionary{{"b", 2}, {"B", 1}, {"a", 3}};
    std::string order;
    for (const auto& [key, element] : *value.AsDictionary())
        order += key;
    EXPECT_EQ(order, "Bab");
    ASSERT_NE(value.Find(std::string_view("a")), nullptr);
    EXPECT_EQ(value.Find("a")->AsInteger(), 3);
    EXPECT_EQ(value.Find("missing"), nullptr);
    EXPECT_EQ(PlistValue(1).Find("a"), nullptr);
}

TEST(PlistCodecValue, EqualityIsDeepAndTreatsNaNAsEqualToItself) {
    const PlistValue a(PlistValue::Array{1, "x", PlistValue::Dictionary{{"k", 2.5}}});
    PlistValue b = a;
    EXPECT_EQ(a, b);
    (*b.AsArray())[2].Find("k")->EmplaceString() = "changed";
    EXPECT_NE(a, b);
    EXPECT_NE(PlistValue(1), PlistValue(1.0));
    EXPECT_NE(PlistValue(true), PlistValue(1));
    EXPECT_EQ(PlistValue(std::nan("")), PlistValue(std::nan("")));
    EXPECT_EQ(PlistValue(0.0), PlistValue(-0.0));
    EXPECT_EQ(PlistValue(), PlistValue());
}

TEST(PlistCodecValue, DatesConvertToAndFromSecondsSince2001) {
    EXPECT_EQ(PlistDate{978307200}.SecondsSince2001(), 0.0);
    EXPECT_EQ(PlistDate{0}.SecondsSince2001(), -978307200.0);
    EXPECT_EQ(PlistDate::FromSecondsSince2001(1.0), PlistDate{978307201});
    // Fractions go towards the past, also before 2001.
    EXPECT_EQ(PlistDate::FromSecondsSince2001(1.75), PlistDate{978307201});
    EXPECT_EQ(PlistDate::FromSecondsSince2001(-0.5), PlistDate{978307199});
    EXPECT_EQ(PlistDate::FromSecondsSince2001(std::nan("")), std::nullopt);
    EXPECT_EQ(PlistDate::FromSecondsSince2001(std::numeric_limits<double>::infinity()),
              std::nullopt);
    EXPECT_EQ(PlistDate::FromSecondsSince2001(1e300), std::nullopt);
    // The extremes of the 64-bit range still convert (approximately) without overflowing.
    EXPECT_LT(PlistDate{std::numeric_limits<int64_t>::min()}.SecondsSince2001(), -9.2e18);
    EXPECT_GT(PlistDate{std::numeric_limits<int64_t>::max()}.SecondsSince2001(), 9.2e18);
}

TEST(PlistCodecWriter, EachValueIsWrittenAsItsObjectBytes) {
    const struct {
        PlistValue value;
        std::string objects;
    } cases[] = {
        {PlistValue::Dictionary{}, Bytes("D0")},
        {"abc", Bytes("53 'abc'")},
        // Text outside ASCII is big-endian UTF-16; beyond the basic plane a surrogate pair,
        // counted as two units.
        {"\xC3\xA9", Bytes("61 00 E9")},
        {"a\xF0\x9F\x98\x80", Bytes("63 00 61 D8 3D DE 00")},
        // Invalid UTF-8 becomes U+FFFD; the byte that cut a sequence short still counts.
        {"a\x80", Bytes("62 00 61 FF FD")},
        {"\xE2\x82Z", Bytes("62 FF FD 00 5A")},
        // Integers take the smallest of one, two, four or eight bytes; negatives take eight.
        {0, Bytes("10 00")},
        {255, Bytes("10 FF")},
        {256, Bytes("11 01 00")},
        {65535, Bytes("11 FF FF")},
        {65536, Bytes("12 00 01 00 00")},
        {4294967295, Bytes("12 FF FF FF FF")},
        {4294967296, Bytes("13 00 00 00 01 00 00 00 00")},
        {-1, Bytes("13 FF FF FF FF FF FF FF FF")},
        {std::numeric_limits<int64_t>::min(), Bytes("13 80 00 00 00 00 00 00 00")},
        {1.5, Bytes("23 3F F8 00 00 00 00 00 00")},
        {PlistDate{978307201}, Bytes("33 3F F0 00 00 00 00 00 00")},
        {PlistValue::Array{true, false}, Bytes("A2 01 02 09 08")},
        {PlistValue::Data{1, 2, 3}, Bytes("43 01 02 03")},
        // An empty value inside a tree is written as the null object.
        {PlistValue::Array{PlistValue()}, Bytes("A1 01 00")},
        // Counts from fifteen follow as an integer object.
        {std::string(14, 'q'), Bytes("5E") + std::string(14, 'q')},
        {std::string(15, 'q'), Bytes("5F 10 0F") + std::string(15, 'q')},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.objects));
        EXPECT_EQ(ObjectsOf(Encode(c.value)), c.objects);
    }
}

TEST(PlistCodecWriter, DictionaryNumbersKeysFirstThenEachValueDepthFirst) {
    const PlistValue tree(
        PlistValue::Dictionary{{"a", PlistValue::Array{true, "x"}}, {"b", false}});
    const std::string objects = Bytes(
        "D2 01 02 03 06"  // 0 at 8: keys 1, 2; values 3, 6
        " 51 'a'"         // 1 at 13
        " 51 'b'"         // 2 at 15
        " A2 04 05"       // 3 at 17: the array under "a"
        " 09"             // 4 at 20
        " 51 'x'"         // 5 at 21
        " 08");           // 6 at 23
    EXPECT_EQ(Encode(tree), SmallFile(objects, Bytes("08 0D 0F 11 14 15 17"), 1, 7));
}

TEST(PlistCodecWriter, LongDataAndDictionaryCountsFollowAsIntegerObject) {
    EXPECT_EQ(ObjectsOf(Encode(PlistValue::Data(300, 7))).substr(0, 4), Bytes("4F 11 01 2C"));

    PlistValue::Dictionary twenty;
    for (int i = 0; i < 20; ++i)
        twenty[std::string("k").append(std::to_string(100 + i))] = i;  // g++ 12 -Wrestrict
    const std::string objects = ObjectsOf(Encode(twenty));
    EXPECT_EQ(objects.substr(0, 3), Bytes("DF 10 14"));
    // 20 key references (objects 1..20) and then 20 value references (21..40).
    EXPECT_EQ(objects.substr(3, 2), Bytes("01 02"));
    EXPECT_EQ(objects.substr(23, 2), Bytes("15 16"));
}

TEST(PlistCodecWriter, ReferenceSizeGrowsPast256Objects) {
    // 255 elements and their array are objects 0..255: one byte still holds every number.
    const std::string small = Encode(PlistValue::Array(255, PlistValue(1)));
    EXPECT_EQ(small[small.size() - 25], 1);
    const std::string file = Encode(PlistValue::Array(299, PlistValue(1)));
    EXPECT_EQ(file[file.size() - 25], 2) << "reference size";
    EXPECT_EQ(BigEndian(300, 8), file.substr(file.size() - 24, 8)) << "object count";
    const std::string objects = ObjectsOf(file);
    EXPECT_EQ(objects.substr(0, 6), Bytes("AF 11 01 2B 00 01"));
    EXPECT_EQ(objects.substr(4 + 298 * 2, 2), Bytes("01 2B"));
}

TEST(PlistCodecWriter, OffsetSizeFollowsTheLargestOffset) {
    const PlistValue tree(PlistValue::Array{PlistValue::Data(300, 0xAA), true});
    // Object 2 starts at 8 + 3 + 4 + 300 = 315, which needs two bytes.
    std::string expected = "bplist00" + Bytes("A2 01 02 4F 11 01 2C") + std::string(300, '\xAA') +
                           Bytes("09 00 08 00 0B 01 3B");
    expected += std::string(6, '\0') + Bytes("02 01") + BigEndian(3, 8) + BigEndian(0, 8) +
                BigEndian(316, 8);
    EXPECT_EQ(Encode(tree), expected);
}

TEST(PlistCodecWriter, RefusesEmptyRootAndTreesTooDeepToReadBack) {
    EXPECT_EQ(EncodePlistBinary(PlistValue()), std::nullopt);

    auto nested = [](int depth) {
        PlistValue value = 1;
        for (int i = 1; i < depth; ++i)
            value = PlistValue::Array{std::move(value)};
        return value;
    };
    EXPECT_EQ(EncodePlistBinary(nested(513)), std::nullopt);
    const std::optional<std::string> deepest = EncodePlistBinary(nested(512));
    ASSERT_TRUE(deepest.has_value());
    EXPECT_EQ(Read(*deepest), nested(512));
}

PlistValue SampleTree() {
    PlistValue::Dictionary inner{
        {"utf16", "gr\xC3\xBC\xC3\x9F \xE2\x82\xAC \xF0\x9F\x98\x80"},
        {"empty string", ""},
        {"empty data", PlistValue::Data{}},
        {"empty array", PlistValue::Array{}},
        {"empty dict", PlistValue::Dictionary{}},
    };
    PlistValue::Array numbers{0,
                              1,
                              -1,
                              255,
                              256,
                              70000,
                              std::numeric_limits<int64_t>::max(),
                              std::numeric_limits<int64_t>::min(),
                              0.1,
                              -2.5e300,
                              std::numeric_limits<double>::infinity(),
                              std::nan("")};
    return PlistValue::Dictionary{
        {"inner", inner},
        {"numbers", numbers},
        {"flags", PlistValue::Array{true, false}},
        {"when", PlistDate{1700000000}},
        {"before 1970", PlistDate{-86400 * 365}},
        {"blob", PlistValue::Data{0, 1, 2, 0xFF}},
        {"long text", std::string(1000, 'z')},
        {"\xC3\xA9t\xC3\xA9", "key outside ASCII"},
        {"nothing", PlistValue()},
    };
}

// A refused write keeps the old file; a missing, endless or oversized file reads as no value.
TEST(PlistCodecRoundTrip, RefusedWritesKeepTheOldFileAndUnreadableFilesReadAsNoValue) {
    bw::testing::TempFolder folder;
    const std::string path = folder / "keep.plist";
    ASSERT_TRUE(WritePlistBinary(path, PlistValue("old")));
    EXPECT_FALSE(WritePlistBinary(path, PlistValue()));
    EXPECT_FALSE(WritePlistBinary(folder / "no/such/folder/x.plist", "x"));
    PlistValue value;
    ASSERT_TRUE(ReadPlist(path, value));
    EXPECT_EQ(value, PlistValue("old"));

    std::vector<std::string> refused = bw::testing::EndlessFiles(folder.path());
    const std::string large = folder / "large.plist";
    ASSERT_TRUE(bw::testing::MakeSparseFile(large, bw::testing::ReadFileBytes(path),
                                            plist_internal::kMaxInputBytes + 1));
    refused.push_back(large);
    refused.push_back(folder / "missing.plist");
    for (const std::string& unreadable : refused) {
        ASSERT_FALSE(unreadable.empty());
        value = PlistValue("previous");
        EXPECT_FALSE(ReadPlist(unreadable, value)) << unreadable;
        EXPECT_TRUE(value.IsEmpty());
    }
}

// Also the round trip: the tree saved without a failure reads back equal.
TEST(PlistCodecRoundTrip, EveryFailedFileCallOfASaveKeepsTheOldFileAndItsNeighbours) {
    bw::testing::TempFolder top;
    const std::string path = top / "out.plist";
    std::string oldBytes, newBytes;
    bool saved = false;
    bw::testing::FileFaultLoop loop;
    loop.prepare = [&] {
        platform::DeleteTree(top / "out.plist");
        ASSERT_TRUE(WritePlistBinary(path, PlistValue("old")));
        top.Write("out.plist.brackwater-tmp", "a neighbour");
        oldBytes = bw::testing::ReadFileBytes(path);
    };
    loop.run = [&] { saved = WritePlistBinary(path, SampleTree()); };
    loop.check = [&](uint64_t failedAt, platform::FileCall call) {
        std::vector<platform::FolderEntry> entries;
        ASSERT_TRUE(platform::ListFolder(top.path(), entries));
        EXPECT_EQ(entries.size(), 2u);  // no work file left beside them
        EXPECT_EQ(bw::testing::ReadFileBytes(top / "out.plist.brackwater-tmp"), "a neighbour");
        PlistValue value;
        ASSERT_TRUE(ReadPlist(path, value));
        if (failedAt == 0) {
            EXPECT_TRUE(saved);
            newBytes = bw::testing::ReadFileBytes(path);
            EXPECT_EQ(value, SampleTree());
            return;
        }
        EXPECT_FALSE(saved);
        // The folder's flush comes after the rename; every earlier failure keeps the old file.
        const std::string now = bw::testing::ReadFileBytes(path);
        EXPECT_TRUE(now == oldBytes || (call == platform::FileCall::kSync && now == newBytes));
    };
    const bw::testing::FileFaultLoopResult result = bw::testing::FailEveryFileCall(loop);
    EXPECT_EQ(result.calls, 5u);
    EXPECT_EQ(result.hits, result.calls);
}

}  // namespace
}  // namespace bw

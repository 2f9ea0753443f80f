// The library layer's writers checked against the external plist library: its XML writer gives
// the bytes our XML must have, and its binary reader must read our binary lists back to the tree
// it would have written itself.
#include <gtest/gtest.h>
#include <plist/plist.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <string>

#include "formats/libplist_bridge.h"
#include "formats/plist_library.h"
#include "formats/plist_library_test_util.h"

namespace bw {
namespace plist_writer_test {

using testing::AppendBigEndian;
using testing::AssembleBinaryList;
using testing::Bytes;
using testing::CalendarAt;

// A date node for any second: the external constructor takes 32-bit seconds, so wider dates go
// through a binary list that holds just the date.
plist_t OracleDate(int64_t seconds) {
    if (seconds > INT32_MIN && seconds < INT32_MAX)
        return plist_new_date(static_cast<int32_t>(seconds), 0);
    uint64_t bits = 0;
    const double value = static_cast<double>(seconds);
    std::memcpy(&bits, &value, sizeof bits);
    std::string object = Bytes({0x33});
    AppendBigEndian(object, bits, 8);
    const std::string list = AssembleBinaryList({object});
    plist_t node = nullptr;
    plist_from_bin(list.data(), static_cast<uint32_t>(list.size()), &node);
    return node;
}

// The tree as the external library builds it from its own API; the test trees hold valid UTF-8
// without NUL, so no text needs cleaning.
plist_t OracleNode(const CDicValueObj& value) {
    switch (value.type) {
        case kPlistDictionary: {
            const PlistDictionary& entries = *value.Dictionary();
            if (entries.size() == 1 && entries[0].first == "CF$UID" &&
                entries[0].second.Integer() && *entries[0].second.Integer() >= 0 &&
                *entries[0].second.Integer() <= int64_t{UINT32_MAX}) {
                return plist_new_uid(static_cast<uint64_t>(*entries[0].second.Integer()));
            }
            plist_t dict = plist_new_dict();
            for (const auto& [key, item] : entries) {
                if (plist_t child = OracleNode(item)) plist_dict_set_item(dict, key.c_str(), child);
            }
            return dict;
        }
        case kPlistArray: {
            plist_t array = plist_new_array();
            for (const CDicValueObj& item : *value.Array()) {
                if (plist_t child = OracleNode(item)) plist_array_append_item(array, child);
            }
            return array;
        }
        case kPlistString:
            return plist_new_string(value.String()->c_str());
        case kPlistInteger:
            return plist_new_uint(static_cast<uint64_t>(*value.Integer()));
        case kPlistReal:
            return plist_new_real(*value.Real());
        case kPlistFalse:
        case kPlistTrue:
            return plist_new_bool(value.type == kPlistTrue);
        case kPlistData:
            return plist_new_data(value.Data()->data(), value.Data()->size());
        case kPlistDate:
            return OracleDate(PlistReferenceSecondsFromCalendar(*value.Date()));
        default:
            return nullptr;
    }
}

std::string OracleXml(plist_t node) {
    char* bytes = nullptr;
    uint32_t length = 0;
    plist_to_xml(node, &bytes, &length);
    std::string out(bytes, length);
    plist_to_xml_free(bytes);
    return out;
}

std::string OracleXml(const CDicValueObj& tree) {
    const LibplistNode node(OracleNode(tree));
    return OracleXml(node.get());
}

// What the external library reads from binary bytes, spelled as its own XML.
std::string XmlOfBinary(const std::string& bytes) {
    plist_t raw = nullptr;
    plist_from_bin(bytes.data(), static_cast<uint32_t>(bytes.size()), &raw);
    const LibplistNode node(raw);
    if (!node) return "unreadable";
    return OracleXml(node.get());
}

std::string DataOf(size_t length, int seed) {
    std::string bytes;
    for (size_t i = 0; i < length; ++i)
        bytes.push_back(static_cast<char>((i * 37 + static_cast<size_t>(seed)) & 0xFF));
    return bytes;
}

// Every kind of value, the edge spellings of each and containers at several depths.
CDicValueObj EveryKind() {
    CDicValueObj reals = CDicValueObj::MakeArray();
    for (const double real :
         {0.0, -0.0, 1.5, 3.0, 0.1, -2.5e-7, 1e300, 1e16, 1e17, 5e-324, 123456789.123456789,
          std::numeric_limits<double>::infinity(), -std::numeric_limits<double>::infinity(),
          std::numeric_limits<double>::quiet_NaN()}) {
        reals.Array()->push_back(CDicValueObj::MakeReal(real));
    }
    CDicValueObj integers = CDicValueObj::MakeArray();
    for (const int64_t number : {int64_t{0}, int64_t{-1}, int64_t{255}, int64_t{256},
                                 int64_t{65536}, int64_t{1} << 40, INT64_MAX, INT64_MIN}) {
        integers.Array()->push_back(CDicValueObj::MakeInteger(number));
    }
    CDicValueObj dates = CDicValueObj::MakeArray();
    for (const PlistCalendar& date :
         {CalendarAt(1, 1, 1, 0, 0, 0), CalendarAt(99, 9, 4, 13, 20, 0),
          CalendarAt(1018, 8, 26, 16, 53, 20), CalendarAt(1969, 12, 31, 23, 59, 59),
          CalendarAt(2004, 11, 29, 21, 33, 9), CalendarAt(9999, 12, 31, 23, 59, 59)}) {
        dates.Array()->push_back(CDicValueObj::MakeDate(date));
    }
    CDicValueObj data = CDicValueObj::MakeArray();
    for (const size_t length : {0, 1, 2, 3, 50, 51, 52, 53, 200})
        data.Array()->push_back(CDicValueObj::MakeData(DataOf(length, static_cast<int>(length))));

    CDicValueObj nested = CDicValueObj::MakeDictionary();
    nested.Set("data", CDicValueObj::MakeData(DataOf(120, 9)));
    nested.Set("empty dict", CDicValueObj::MakeDictionary());
    nested.Set("empty array", CDicValueObj::MakeArray());
    CDicValueObj deeper = CDicValueObj::MakeArray();
    deeper.Array()->push_back(nested);
    deeper.Array()->push_back(CDicValueObj::MakeData(DataOf(70, 3)));

    // Data lines are indented by at most 8 tabs.
    CDicValueObj deepest = CDicValueObj::MakeArray();
    for (int level = 0; level < 12; ++level) {
        CDicValueObj outer = CDicValueObj::MakeArray();
        outer.Array()->push_back(CDicValueObj::MakeData(DataOf(100, level)));
        outer.Array()->push_back(deepest);
        deepest = outer;
    }
    deeper.Array()->push_back(deepest);

    CDicValueObj uid = CDicValueObj::MakeDictionary();
    uid.Set("CF$UID", CDicValueObj::MakeInteger(70000));

    CDicValueObj tree = CDicValueObj::MakeDictionary();
    tree.Set("a&b<c>\"'", CDicValueObj::MakeString("x&y<z>\"' \t\n\x01 \xC3\xA9 \xF0\x9F\x98\x80"));
    tree.Set("", CDicValueObj::MakeString(""));
    tree.Set("reals", reals);
    tree.Set("integers", integers);
    tree.Set("dates", dates);
    tree.Set("data", data);
    tree.Set("true", CDicValueObj::MakeBool(true));
    tree.Set("false", CDicValueObj::MakeBool(false));
    tree.Set("deeper", deeper);
    tree.Set("uid", uid);
    tree.Set("\xE2\x80\x94 key", CDicValueObj::MakeInteger(7));
    // Entries that hold nothing are left out, also between others.
    tree.Dictionary()->emplace_back("nothing", CDicValueObj());
    deeper.Array()->insert(deeper.Array()->begin(), CDicValueObj());
    tree.Set("last", CDicValueObj::MakeString("end"));
    return tree;
}

TEST(PlistLibraryWriters, XmlIsTheExternalLibrarysOwnSpellingByteForByte) {
    const CDicValueObj tree = EveryKind();
    EXPECT_EQ(ToXml(tree), OracleXml(tree));

    // Top values that are not containers, and empty containers at the top.
    for (const CDicValueObj& top :
         {CDicValueObj::MakeData(DataOf(60, 1)), CDicValueObj::MakeData(""),
          CDicValueObj::MakeString("a<b"), CDicValueObj::MakeDictionary(),
          CDicValueObj::MakeArray(), CDicValueObj::MakeReal(-0.0)}) {
        EXPECT_EQ(ToXml(top), OracleXml(top));
    }
}

TEST(PlistLibraryWriters, BinaryListsReadBackByTheExternalLibraryToTheSameTree) {
    const CDicValueObj tree = EveryKind();
    const std::string bytes = ToBinary(tree);
    ASSERT_EQ(bytes.rfind("bplist00", 0), 0u);
    EXPECT_EQ(XmlOfBinary(bytes), OracleXml(tree));

    // The UID stays a UID object (marker 0x83, four bytes) rather than a dictionary.
    EXPECT_NE(bytes.find(Bytes({0x83, 0, 0x01, 0x11, 0x70})), std::string::npos);

    // Enough objects for 2-byte references and 3-byte offsets, and counts of 15 and more.
    CDicValueObj many = CDicValueObj::MakeArray();
    for (int i = 0; i < 3000; ++i) {
        CDicValueObj record = CDicValueObj::MakeDictionary();
        record.Set("name", CDicValueObj::MakeString("IMG_" + std::to_string(i) + ".JPG"));
        record.Set("size", CDicValueObj::MakeInteger(int64_t{i} * 100003));
        record.Set("thumb", CDicValueObj::MakeData(DataOf(static_cast<size_t>(i % 40), i)));
        many.Array()->push_back(record);
    }
    const std::string large = ToBinary(many);
    const auto trailer = reinterpret_cast<const unsigned char*>(large.data()) + large.size() - 32;
    EXPECT_EQ(trailer[7], 2);  // reference size
    EXPECT_EQ(trailer[6], 3);  // offset size
    // The three keys are written once and shared by every record: the array, then per record
    // its dictionary and three values, then the three keys.
    uint64_t objects = 0;
    for (int i = 8; i < 16; ++i)
        objects = objects << 8 | trailer[i];
    EXPECT_EQ(objects, 1u + 3000u * 4u + 3u);
    EXPECT_EQ(XmlOfBinary(large), OracleXml(many));

    // And our own reader agrees.
    CDicValueObj back;
    readPlistFromString(large, back, 0);
    EXPECT_TRUE(PlistEquals(back, many));
}

TEST(PlistLibraryWriters, RepeatedKeysKeepTheirFirstPlaceAndLastValueInBothFormats) {
    for (const int size : {3, 40}) {
        CDicValueObj tree = CDicValueObj::MakeDictionary();
        PlistDictionary& entries = *tree.Dictionary();
        for (int i = 0; i < size; ++i)
            entries.emplace_back(std::string("k").append(std::to_string(i)),
                                 CDicValueObj::MakeInteger(i));
        entries.emplace_back("k1", CDicValueObj::MakeInteger(-1));
        entries.emplace_back("k1", CDicValueObj());  // holds nothing: does not replace
        // Keys that differ only after a NUL are the same key once cut there.
        entries.emplace_back(std::string("k2\0x", 4), CDicValueObj::MakeInteger(-2));

        CDicValueObj expected = CDicValueObj::MakeDictionary();
        for (int i = 0; i < size; ++i)
            expected.Set(std::string("k").append(std::to_string(i)),
                         CDicValueObj::MakeInteger(i > 2 ? i : -i));
        SCOPED_TRACE(size);
        EXPECT_EQ(ToXml(tree), ToXml(expected));
        EXPECT_EQ(XmlOfBinary(ToBinary(tree)), OracleXml(expected));
    }
}

TEST(PlistLibraryWriters, IntegersAboveInt64MaxKeepTheirValueThroughBothFormats) {
    const std::string xml =
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n<array>\n"
        "\t<integer>18446744073709551615</integer>\n"
        "\t<integer>9223372036854775808</integer>\n"
        "\t<integer>-1</integer>\n"
        "\t<integer>9223372036854775807</integer>\n"
        "</array>\n</plist>\n";
    CDicValueObj fromXml;
    readPlistFromString(xml, fromXml, 0);
    ASSERT_NE(fromXml.Array(), nullptr);
    ASSERT_EQ(fromXml.Array()->size(), 4u);
    const PlistArray& items = *fromXml.Array();
    EXPECT_TRUE(items[0].IsUnsignedInteger());
    EXPECT_EQ(static_cast<uint64_t>(*items[0].Integer()), UINT64_MAX);
    EXPECT_TRUE(items[1].IsUnsignedInteger());
    EXPECT_EQ(static_cast<uint64_t>(*items[1].Integer()), uint64_t{1} << 63);
    EXPECT_FALSE(items[2].IsUnsignedInteger());
    EXPECT_EQ(*items[2].Integer(), -1);
    EXPECT_FALSE(items[3].IsUnsignedInteger());
    EXPECT_EQ(*items[3].Integer(), INT64_MAX);
    EXPECT_FALSE(PlistEquals(items[0], items[2]));

    // Written back as unsigned: XML spells the value, binary stores a 16-byte integer.
    const std::string written = ToXml(fromXml);
    EXPECT_NE(written.find("<integer>18446744073709551615</integer>"), std::string::npos);
    EXPECT_NE(written.find("<integer>9223372036854775808</integer>"), std::string::npos);
    EXPECT_NE(written.find("<integer>-1</integer>"), std::string::npos);
    const std::string binary = ToBinary(fromXml);
    std::string wide = Bytes({0x14});
    AppendBigEndian(wide, 0, 8);
    AppendBigEndian(wide, UINT64_MAX, 8);
    EXPECT_NE(binary.find(wide), std::string::npos);
    EXPECT_NE(binary.find(Bytes({0x13, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF})),
              std::string::npos);
    // The external library reads our binary to the tree it reads from the XML.
    plist_t parsed = nullptr;
    plist_from_xml(xml.data(), static_cast<uint32_t>(xml.size()), &parsed);
    const LibplistNode fromItsXml(parsed);
    ASSERT_TRUE(fromItsXml);
    EXPECT_EQ(XmlOfBinary(binary), OracleXml(fromItsXml.get()));
    EXPECT_EQ(written, OracleXml(fromItsXml.get()));
    CDicValueObj fromBinary;
    readPlistFromString(binary, fromBinary, 0);
    EXPECT_TRUE(PlistEquals(fromBinary, fromXml));

    // Binary bytes the test writes: a 16-byte integer and an 8-byte one of the same low bits.
    std::string sixteen = Bytes({0x14});
    AppendBigEndian(sixteen, 0, 8);
    AppendBigEndian(sixteen, uint64_t{1} << 63 | 5, 8);
    const std::string eight = Bytes({0x13, 0x80, 0, 0, 0, 0, 0, 0, 5});
    const std::string list = AssembleBinaryList({Bytes({0xA2, 1, 2}), sixteen, eight});
    CDicValueObj assembled;
    readPlistFromString(list, assembled, 0);
    ASSERT_NE(assembled.Array(), nullptr);
    ASSERT_EQ(assembled.Array()->size(), 2u);
    EXPECT_TRUE((*assembled.Array())[0].IsUnsignedInteger());
    EXPECT_EQ(static_cast<uint64_t>(*(*assembled.Array())[0].Integer()), uint64_t{1} << 63 | 5);
    EXPECT_FALSE((*assembled.Array())[1].IsUnsignedInteger());
    EXPECT_EQ(*(*assembled.Array())[1].Integer(), INT64_MIN + 5);

    // Values up to INT64_MAX made as unsigned are ordinary integers.
    EXPECT_FALSE(CDicValueObj::MakeUnsignedInteger(42).IsUnsignedInteger());
    EXPECT_TRUE(PlistEquals(CDicValueObj::MakeUnsignedInteger(42), CDicValueObj::MakeInteger(42)));
}

}  // namespace plist_writer_test
}  // namespace bw

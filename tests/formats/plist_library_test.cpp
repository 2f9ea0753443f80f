#include "formats/plist_library.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <tuple>
#include <utility>

#include "formats/plist_library_test_util.h"
#include "platform/files.h"
#include "support/hostile_files.h"
#include "support/temp_folder.h"

namespace bw {
namespace {

// "k" and the number: appended rather than concatenated, which g++ 12 misreads at -O3 as an
// overlapping copy.
std::string KeyNamed(long number) {
    return std::string("k").append(std::to_string(number));
}

using testing::AsciiObject;
using testing::AssembleBinaryList;
using testing::Bytes;
using testing::ToBinary;
using testing::ToXml;

const char kXmlHead[] =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
    "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
    "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
    "<plist version=\"1.0\">\n";

std::string XmlList(const std::string& body) {
    return kXmlHead + body + "\n</plist>\n";
}

CDicValueObj ReadList(const std::string& bytes) {
    CDicValueObj tree;
    readPlistFromString(bytes, tree, 0);
    return tree;
}

PlistCalendar Calendar(int year, int month, int day, int hour = 0, int minute = 0, int second = 0) {
    return testing::CalendarAt(year, month, day, hour, minute, second);
}

// Every field a host reads from a date, to compare two calendars at once.
auto Fields(const PlistCalendar& date) {
    return std::tuple(date.year, date.month, date.day, date.hour, date.minute, date.second,
                      date.weekday, date.yearDay);
}

std::string DoubleBytes(double value) {
    uint64_t bits = 0;
    std::memcpy(&bits, &value, sizeof bits);
    std::string out;
    testing::AppendBigEndian(out, bits, 8);
    return out;
}

// --- Values ------------------------------------------------------------------------------------

TEST(PlistLibraryValues, FactoriesSetTheTypeCodesAndOnlyTheMatchingViewAnswers) {
    // The codes are the external library's node types, which hosts compare against.
    const std::pair<CDicValueObj, int> codes[] = {
        {CDicValueObj::MakeDictionary(), 0},
        {CDicValueObj::MakeArray(), 1},
        {CDicValueObj::MakeString("s"), 2},
        {CDicValueObj::MakeInteger(1), 3},
        {CDicValueObj::MakeReal(1.5), 4},
        {CDicValueObj::MakeBool(false), 5},
        {CDicValueObj::MakeBool(true), 6},
        {CDicValueObj::MakeData("d"), 7},
        {CDicValueObj::MakeDate(Calendar(2001, 1, 1)), 8},
    };
    for (const auto& [value, code] : codes)
        EXPECT_EQ(value.type, code);
    EXPECT_EQ(CDicValueObj().type, kPlistNone);

    const CDicValueObj text = CDicValueObj::MakeString("abc");
    ASSERT_NE(text.String(), nullptr);
    EXPECT_EQ(*text.String(), "abc");
    EXPECT_EQ(text.Data(), nullptr);  // same payload kind, other type code
    EXPECT_EQ(text.Integer(), nullptr);
    EXPECT_EQ(text.Dictionary(), nullptr);

    CDicValueObj retyped = CDicValueObj::MakeInteger(7);
    retyped.type = kPlistString;  // a type code that does not match the payload
    EXPECT_EQ(retyped.String(), nullptr);
    EXPECT_EQ(retyped.Integer(), nullptr);
}

// Past a few keys the dictionary keeps an index beside its entries; a copy shares both.
TEST(PlistLibraryValues, CopiesShareEntriesAndLookupsReleaseDropsOneCopyAndFreeLeavesNothing) {
    CDicValueObj dict = CDicValueObj::MakeDictionary();
    for (int i = 0; i < 50; ++i)
        dict.Set(KeyNamed(i), CDicValueObj::MakeInteger(i));
    CDicValueObj copy = dict;
    copy.Set("k49", CDicValueObj::MakeInteger(-49));
    copy.Set("new", CDicValueObj::MakeString("phone"));
    EXPECT_TRUE(dict.Remove("k0"));
    EXPECT_EQ(dict.GetInteger("k49"), -49);
    EXPECT_EQ(dict.GetString("new"), "phone");
    EXPECT_EQ(copy.Find("k0"), nullptr);
    EXPECT_EQ(copy.GetInteger("k1"), 1);

    dict.Release();
    EXPECT_EQ(dict.type, kPlistNone);
    EXPECT_EQ(dict.Find("new"), nullptr);
    EXPECT_EQ(copy.GetString("new"), "phone");

    FreePListDictionary(copy);
    EXPECT_EQ(copy.type, kPlistNone);
    EXPECT_EQ(copy.Dictionary(), nullptr);
    EXPECT_EQ(ToXml(copy), "");
}

// Past a few keys the dictionary keeps an index beside its entries; these run on both sides of
// that size, so the scan and the index must agree.
TEST(PlistLibraryValues, SetKeepsInsertionOrderAndReplacesInPlaceAtEverySize) {
    for (const int count : {3, 15, 16, 17, 200}) {
        SCOPED_TRACE(count);
        CDicValueObj dict;  // a kPlistNone value becomes a dictionary on the first Set
        for (int i = 0; i < count; ++i)
            dict.Set(KeyNamed(count - i), CDicValueObj::MakeInteger(i));
        dict.Set("k1", CDicValueObj::MakeString("last"));
        dict.Set(KeyNamed(count), CDicValueObj::MakeString("first"));
        const PlistDictionary& entries = *std::as_const(dict).Dictionary();
        ASSERT_EQ(entries.size(), static_cast<size_t>(count));
        for (int i = 0; i < count; ++i)
            EXPECT_EQ(entries[i].first, KeyNamed(count - i));
        EXPECT_EQ(dict.GetString(KeyNamed(count)), "first");
        EXPECT_EQ(dict.GetString("k1"), "last");
        EXPECT_EQ(*entries.front().second.String(), "first");
        EXPECT_EQ(*entries.back().second.String(), "last");
        for (int i = 1; i < count - 1; ++i)
            EXPECT_EQ(dict.GetInteger(KeyNamed(count - i)), i);
        EXPECT_EQ(dict.Find("k0"), nullptr);
        EXPECT_EQ(dict.Find(""), nullptr);
    }
    CDicValueObj text = CDicValueObj::MakeString("keep");
    text.Set("x", CDicValueObj::MakeInteger(1));
    EXPECT_EQ(text.type, kPlistString);
    EXPECT_EQ(*text.String(), "keep");
}

TEST(PlistLibraryValues, RemoveTakesOneEntryOutAndKeepsTheOrderOfTheRest) {
    CDicValueObj dict = CDicValueObj::MakeDictionary();
    for (int i = 0; i < 40; ++i)
        dict.Set(KeyNamed(i), CDicValueObj::MakeInteger(i));
    EXPECT_TRUE(dict.Remove("k10"));
    EXPECT_FALSE(dict.Remove("k10"));
    EXPECT_FALSE(dict.Remove("absent"));
    EXPECT_EQ(dict.Find("k10"), nullptr);
    EXPECT_EQ(dict.GetInteger("k11"), 11);  // found at its new place
    EXPECT_EQ(dict.GetInteger("k39"), 39);

    // Set after Remove: a replaced key stays where it is, the removed key comes back at the end.
    dict.Set("k11", CDicValueObj::MakeInteger(-11));
    dict.Set("k10", CDicValueObj::MakeInteger(-10));
    const PlistDictionary& entries = *std::as_const(dict).Dictionary();
    ASSERT_EQ(entries.size(), 40u);
    EXPECT_EQ(entries[10].first, "k11");
    EXPECT_EQ(*entries[10].second.Integer(), -11);
    EXPECT_EQ(entries.back().first, "k10");
    EXPECT_EQ(dict.GetInteger("k10"), -10);
    for (int i = 0; i < 10; ++i)
        EXPECT_EQ(entries[i].first, KeyNamed(i));

    CDicValueObj text = CDicValueObj::MakeString("k1");
    EXPECT_FALSE(text.Remove("k1"));
    CDicValueObj none;
    EXPECT_FALSE(none.Remove("k1"));
    EXPECT_EQ(none.type, kPlistNone);
}

TEST(PlistLibraryValues, EntriesChangedDirectlyAreSeenBySetAndFind) {
    CDicValueObj dict = CDicValueObj::MakeDictionary();
    for (int i = 0; i < 30; ++i)
        dict.Set(KeyNamed(i), CDicValueObj::MakeInteger(i));
    // Appended, renamed and removed behind Set's back, as callers that build lists in bulk do.
    PlistDictionary& entries = *dict.Dictionary();
    entries.emplace_back("appended", CDicValueObj::MakeInteger(100));
    entries[0].first = "renamed";
    entries.erase(entries.begin() + 5);
    EXPECT_EQ(dict.GetInteger("appended"), 100);
    EXPECT_EQ(dict.GetInteger("renamed"), 0);
    EXPECT_EQ(dict.Find("k0"), nullptr);
    EXPECT_EQ(dict.Find("k5"), nullptr);

    dict.Set("renamed", CDicValueObj::MakeInteger(-1));
    dict.Set("k6", CDicValueObj::MakeInteger(-6));
    dict.Set("k0", CDicValueObj::MakeInteger(-100));
    const PlistDictionary& after = *std::as_const(dict).Dictionary();
    ASSERT_EQ(after.size(), 31u);
    EXPECT_EQ(after[0].first, "renamed");
    EXPECT_EQ(*after[0].second.Integer(), -1);
    EXPECT_EQ(after[5].first, "k6");
    EXPECT_EQ(*after[5].second.Integer(), -6);
    EXPECT_EQ(after.back().first, "k0");

    // Appended after the index was built: a repeated key still answers with its first entry.
    dict.Dictionary()->emplace_back("k7", CDicValueObj::MakeInteger(700));
    EXPECT_EQ(dict.GetInteger("k7"), 7);
    dict.Set("k7", CDicValueObj::MakeInteger(-7));
    EXPECT_EQ(*std::as_const(dict).Dictionary()->at(6).second.Integer(), -7);
    EXPECT_EQ(*std::as_const(dict).Dictionary()->back().second.Integer(), 700);
}

TEST(PlistLibraryValues, MissingKeyOrOtherTypeLeavesTheDefault) {
    const CDicValueObj dict = ReadList(
        XmlList("<dict><key>Count</key><string>12</string><key>Flag</key><integer>1</integer>"
                "<key>Real</key><real>2.5</real><key>On</key><true/></dict>"));
    ASSERT_EQ(dict.type, kPlistDictionary);
    EXPECT_EQ(dict.Find("Missing"), nullptr);
    EXPECT_EQ(dict.GetInteger("Missing").value_or(42), 42);
    EXPECT_EQ(dict.GetInteger("Count").value_or(42), 42);  // a string is not an integer
    EXPECT_EQ(dict.GetBool("Flag").value_or(false), false);
    EXPECT_EQ(dict.GetReal("Flag"), std::nullopt);
    EXPECT_EQ(dict.GetString("Real"), std::nullopt);
    EXPECT_EQ(dict.GetDate("Count"), std::nullopt);
    EXPECT_EQ(dict.GetData("Count"), std::nullopt);
    EXPECT_EQ(dict.GetString("Count"), "12");
    EXPECT_EQ(dict.GetBool("On"), true);
    EXPECT_EQ(dict.GetReal("Real"), 2.5);

    const CDicValueObj array = CDicValueObj::MakeArray();
    EXPECT_EQ(array.Find("Count"), nullptr);
    EXPECT_EQ(array.GetString("Count"), std::nullopt);
}

TEST(PlistLibraryValues, EqualityFollowsTypeCodesContentsAndKeyOrder) {
    CDicValueObj a = CDicValueObj::MakeDictionary();
    a.Set("x", CDicValueObj::MakeInteger(1));
    a.Set("y", CDicValueObj::MakeReal(std::nan("")));
    CDicValueObj b = CDicValueObj::MakeDictionary();
    b.Set("x", CDicValueObj::MakeInteger(1));
    b.Set("y", CDicValueObj::MakeReal(std::nan("")));
    EXPECT_TRUE(PlistEquals(a, b));
    b.Set("x", CDicValueObj::MakeString("1"));
    EXPECT_FALSE(PlistEquals(a, b));

    CDicValueObj swapped = CDicValueObj::MakeDictionary();
    swapped.Set("y", CDicValueObj::MakeReal(std::nan("")));
    swapped.Set("x", CDicValueObj::MakeInteger(1));
    EXPECT_FALSE(PlistEquals(a, swapped));
    EXPECT_FALSE(PlistEquals(CDicValueObj::MakeBool(true), CDicValueObj::MakeBool(false)));
    EXPECT_FALSE(PlistEquals(CDicValueObj::MakeData("ab"), CDicValueObj::MakeString("ab")));
}

// --- Round trips -------------------------------------------------------------------------------

TEST(PlistLibraryRoundTrip, EveryTypeCodeSurvivesXmlToBinaryAndBack) {
    const std::string xml = XmlList(
        "<dict>"
        "<key>dict</key><dict><key>inner</key><string>x</string></dict>"
        "<key>array</key><array><integer>1</integer><string>two</string><array/></array>"
        "<key>string</key><string>caf\xC3\xA9 &amp; \xF0\x9F\x98\x80 &lt;tag&gt;</string>"
        "<key>integer</key><integer>-9223372036854775808</integer>"
        "<key>max</key><integer>9223372036854775807</integer>"
        "<key>real</key><real>-0.125</real>"
        "<key>false</key><false/>"
        "<key>true</key><true/>"
        "<key>data</key><data>AAEC/w==</data>"
        "<key>date</key><date>2011-03-04T05:06:07Z</date>"
        "<key>empty</key><dict/>"
        "</dict>");
    const CDicValueObj tree = ReadList(xml);
    ASSERT_EQ(tree.type, kPlistDictionary);
    EXPECT_EQ(*tree.Find("dict")->Find("inner")->String(), "x");
    const PlistArray& array = *tree.Find("array")->Array();
    ASSERT_EQ(array.size(), 3u);
    EXPECT_EQ(*array[0].Integer(), 1);
    EXPECT_EQ(*array[1].String(), "two");
    EXPECT_TRUE(array[2].Array()->empty());
    EXPECT_EQ(tree.GetString("string"), "caf\xC3\xA9 & \xF0\x9F\x98\x80 <tag>");
    EXPECT_EQ(tree.GetInteger("integer"), INT64_MIN);
    EXPECT_EQ(tree.GetInteger("max"), INT64_MAX);
    EXPECT_EQ(tree.GetReal("real"), -0.125);
    EXPECT_EQ(tree.Find("false")->type, kPlistFalse);
    EXPECT_EQ(tree.Find("true")->type, kPlistTrue);
    EXPECT_EQ(tree.GetData("data"), Bytes({0x00, 0x01, 0x02, 0xFF}));
    const PlistCalendar date = *tree.GetDate("date");
    EXPECT_EQ(std::tuple(date.year, date.month, date.day, date.hour, date.minute, date.second),
              std::tuple(111, 2, 4, 5, 6, 7));
    EXPECT_TRUE(tree.Find("empty")->Dictionary()->empty());

    const std::string binary = ToBinary(tree);
    ASSERT_EQ(binary.substr(0, 8), "bplist00");
    const CDicValueObj fromBinary = ReadList(binary);
    EXPECT_TRUE(PlistEquals(tree, fromBinary));
    const CDicValueObj backToXml = ReadList(ToXml(fromBinary));
    EXPECT_TRUE(PlistEquals(tree, backToXml));
}

TEST(PlistLibraryRoundTrip, DatesBeyondThirtyTwoBitSecondsKeepTheirCalendar) {
    struct Case {
        PlistCalendar date;
        const char* xml;
        double secondsSince2001;
        int weekday;
        int yearDay;
    };
    const Case cases[] = {
        {Calendar(1900, 1, 1), "1900-01-01T00:00:00Z", -3187296000.0, 1, 0},
        {Calendar(1970, 1, 1), "1970-01-01T00:00:00Z", -978307200.0, 4, 0},
        {Calendar(2001, 1, 1), "2001-01-01T00:00:00Z", 0.0, 1, 0},
        {Calendar(2040, 6, 15, 12, 30, 45), "2040-06-15T12:30:45Z", 1245069045.0, 5, 166},
        {Calendar(3000, 1, 1), "3000-01-01T00:00:00Z", 31525372800.0, 3, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.xml);
        CDicValueObj tree = CDicValueObj::MakeDictionary();
        tree.Set("d", CDicValueObj::MakeDate(c.date));
        const PlistCalendar made = *tree.GetDate("d");
        EXPECT_EQ(made.weekday, c.weekday);
        EXPECT_EQ(made.yearDay, c.yearDay);
        const auto seconds = static_cast<int64_t>(c.secondsSince2001);
        EXPECT_EQ(PlistReferenceSecondsFromCalendar(c.date), seconds);
        EXPECT_EQ(Fields(PlistCalendarFromReferenceSeconds(seconds)), Fields(made));

        const std::string binary = ToBinary(tree);
        EXPECT_NE(binary.find(std::string("\x33").append(DoubleBytes(c.secondsSince2001))),
                  std::string::npos);
        const std::string xml = ToXml(tree);
        EXPECT_NE(xml.find(std::string("<date>") + c.xml + "</date>"), std::string::npos);

        for (const CDicValueObj& copy : {ReadList(binary), ReadList(xml)}) {
            const std::optional<PlistCalendar> back = copy.GetDate("d");
            ASSERT_TRUE(back.has_value());
            EXPECT_EQ(Fields(*back), Fields(made));
        }
    }
}

TEST(PlistLibraryRoundTrip, BinaryDatesWrittenByteByByteRead) {
    // [1900-01-01, 2001-01-01 + 0.75 s, a NaN date]: fractions are cut toward zero.
    const std::string list = AssembleBinaryList({
        Bytes({0xA3, 1, 2, 3}),
        "\x33" + DoubleBytes(-3187296000.0),
        "\x33" + DoubleBytes(0.75),
        "\x33" + DoubleBytes(std::nan("")),
    });
    const CDicValueObj tree = ReadList(list);
    ASSERT_EQ(tree.type, kPlistArray);
    const PlistArray& dates = *tree.Array();
    ASSERT_EQ(dates.size(), 3u);
    EXPECT_EQ(dates[0].Date()->year, 0);
    EXPECT_EQ(dates[0].Date()->day, 1);
    EXPECT_EQ(dates[1].Date()->year, 101);
    EXPECT_EQ(dates[1].Date()->second, 0);
    EXPECT_EQ(dates[2].Date()->year, 101);  // an unreadable date becomes the reference date
}

TEST(PlistLibraryRoundTrip, CalendarFieldsAreNormalisedAndClampedToYearsOneTo9999) {
    PlistCalendar overflow = Calendar(2020, 12, 31, 23, 59, 60);
    const PlistCalendar next = *CDicValueObj::MakeDate(overflow).Date();
    EXPECT_EQ(next.year, 121);
    EXPECT_EQ(next.month, 0);
    EXPECT_EQ(next.day, 1);
    EXPECT_EQ(next.second, 0);

    const PlistCalendar late = *CDicValueObj::MakeDate(Calendar(20000, 1, 1)).Date();
    EXPECT_EQ(late.year, 9999 - 1900);
    EXPECT_EQ(late.month, 11);
    EXPECT_EQ(late.second, 59);
    const PlistCalendar early = *CDicValueObj::MakeDate(Calendar(-5, 1, 1)).Date();
    EXPECT_EQ(early.year, 1 - 1900);
    EXPECT_EQ(early.day, 1);

    EXPECT_EQ(PlistReferenceSecondsFromCalendar(PlistCalendarFromReferenceSeconds(INT64_MAX)),
              252423993599);  // 9999-12-31T23:59:59Z
    EXPECT_EQ(PlistCalendarFromReferenceSeconds(INT64_MIN).year, 1 - 1900);
}

TEST(PlistLibraryRoundTrip, BinaryUidsReadAndWriteAsTheirXmlSpelling) {
    // [UID 5, UID 300, {"CF$UID" is also a plain key: "n"}]
    const std::string binary = AssembleBinaryList({
        Bytes({0xA2, 1, 2}),
        Bytes({0x80, 0x05}),
        Bytes({0x81, 0x01, 0x2C}),
    });
    const std::string xml = XmlList(
        "<array><dict><key>CF$UID</key><integer>5</integer></dict>"
        "<dict><key>CF$UID</key><integer>300</integer></dict></array>");
    const CDicValueObj fromBinary = ReadList(binary);
    const CDicValueObj fromXml = ReadList(xml);
    ASSERT_EQ(fromBinary.type, kPlistArray);
    const PlistArray& refs = *fromBinary.Array();
    ASSERT_EQ(refs.size(), 2u);
    EXPECT_EQ(refs[0].type, kPlistDictionary);
    EXPECT_EQ(refs[0].GetInteger("CF$UID"), 5);
    EXPECT_EQ(refs[1].GetInteger("CF$UID"), 300);
    EXPECT_TRUE(PlistEquals(fromBinary, fromXml));

    // Written back, a dictionary of one "CF$UID" integer becomes a UID again.
    CDicValueObj archive = CDicValueObj::MakeDictionary();
    CDicValueObj top = CDicValueObj::MakeDictionary();
    CDicValueObj ref = CDicValueObj::MakeDictionary();
    ref.Set("CF$UID", CDicValueObj::MakeInteger(1));
    top.Set("root", ref);
    archive.Set("$top", top);
    CDicValueObj tooBig = CDicValueObj::MakeDictionary();
    tooBig.Set("CF$UID", CDicValueObj::MakeInteger(int64_t{1} << 40));
    archive.Set("big", tooBig);

    const std::string written = ToBinary(archive);
    EXPECT_NE(written.find(Bytes({0x80, 0x01})), std::string::npos);
    // Only the UID that does not fit four bytes keeps its key.
    const size_t first = written.find("CF$UID");
    ASSERT_NE(first, std::string::npos);
    EXPECT_EQ(written.find("CF$UID", first + 1), std::string::npos);

    const CDicValueObj back = ReadList(written);
    EXPECT_TRUE(PlistEquals(archive, back));
    EXPECT_TRUE(PlistEquals(archive, ReadList(ToXml(archive))));
}

TEST(PlistLibraryRoundTrip, ByteArrayReaderTakesBothFormatsUtf16StringsAndAnyTopValue) {
    // {"k": "é€"} with the value as a UTF-16 string object.
    const std::string binary = AssembleBinaryList({
        Bytes({0xD1, 1, 2}),
        AsciiObject("k"),
        Bytes({0x62, 0x00, 0xE9, 0x20, 0xAC}),
    });
    CDicValueObj tree;
    readPlistFromByteArry(binary.data(), static_cast<int>(binary.size()), tree, 0);
    EXPECT_EQ(tree.GetString("k"), "\xC3\xA9\xE2\x82\xAC");

    const std::string xml = "\xEF\xBB\xBF" + XmlList("<dict><key>k</key><string>v</string></dict>");
    readPlistFromByteArry(xml.data(), static_cast<int>(xml.size()), tree, 0);
    EXPECT_EQ(tree.GetString("k"), "v");  // a UTF-8 byte-order mark is allowed

    // Top-level values other than dictionaries are returned as they are.
    const CDicValueObj text = ReadList(XmlList("<string>only</string>"));
    ASSERT_EQ(text.type, kPlistString);
    EXPECT_EQ(*text.String(), "only");
    const CDicValueObj array =
        ReadList(AssembleBinaryList({Bytes({0xA1, 1}), Bytes({0x11, 1, 0})}));
    ASSERT_EQ(array.type, kPlistArray);
    EXPECT_EQ(*array.Array()->at(0).Integer(), 256);
    EXPECT_TRUE(PlistEquals(array, ReadList(ToXml(array))));
}

TEST(PlistLibraryRoundTrip, EntriesHoldingNothingAreLeftOut) {
    CDicValueObj tree = CDicValueObj::MakeDictionary();
    tree.Set("kept", CDicValueObj::MakeInteger(1));
    tree.Set("none", CDicValueObj());
    CDicValueObj broken = CDicValueObj::MakeString("x");
    broken.type = 42;
    tree.Set("unknown", broken);
    CDicValueObj array = CDicValueObj::MakeArray();
    array.Array()->push_back(CDicValueObj());
    array.Array()->push_back(CDicValueObj::MakeString("s"));
    tree.Set("array", array);

    const CDicValueObj back = ReadList(ToBinary(tree));
    ASSERT_EQ(back.type, kPlistDictionary);
    ASSERT_EQ(back.Dictionary()->size(), 2u);
    EXPECT_EQ(back.GetInteger("kept"), 1);
    ASSERT_EQ(back.Find("array")->Array()->size(), 1u);
    EXPECT_EQ(*back.Find("array")->Array()->at(0).String(), "s");
    EXPECT_EQ(ToXml(CDicValueObj()), "");
    EXPECT_EQ(ToBinary(CDicValueObj()), "");
}

TEST(PlistLibraryRoundTrip, RepeatedKeysReadAlikeInBothFormats) {
    // {"k": 1, "k": 2, "j": 3}: the last value wins, in the place of the first.
    const std::string binary = AssembleBinaryList({
        Bytes({0xD3, 1, 1, 2, 3, 4, 5}),
        AsciiObject("k"),
        AsciiObject("j"),
        Bytes({0x10, 0x01}),
        Bytes({0x10, 0x02}),
        Bytes({0x10, 0x03}),
    });
    const std::string xml = XmlList(
        "<dict><key>k</key><integer>1</integer><key>k</key><integer>2</integer>"
        "<key>j</key><integer>3</integer></dict>");
    const CDicValueObj fromBinary = ReadList(binary);
    ASSERT_EQ(fromBinary.type, kPlistDictionary);
    ASSERT_EQ(fromBinary.Dictionary()->size(), 2u);
    EXPECT_EQ(fromBinary.Dictionary()->at(0).first, "k");
    EXPECT_EQ(fromBinary.GetInteger("k"), 2);
    EXPECT_TRUE(PlistEquals(fromBinary, ReadList(xml)));
    EXPECT_TRUE(PlistEquals(fromBinary, ReadList(ToBinary(fromBinary))));
}

TEST(PlistLibraryRoundTrip, BrokenTextBecomesReplacementCharactersInBothFormats) {
    // The external binary writer drops bytes it cannot convert; the XML writer keeps them.
    const CDicValueObj tree =
        ReadList(XmlList("<dict><key>a\xFF\xFE"
                         "b</key><string>\xC3"
                         "x</string></dict>"));
    ASSERT_EQ(tree.type, kPlistDictionary);
    EXPECT_EQ(tree.Dictionary()->at(0).first,
              "a\xEF\xBF\xBD\xEF\xBF\xBD"
              "b");
    EXPECT_EQ(*tree.Dictionary()->at(0).second.String(),
              "\xEF\xBF\xBD"
              "x");

    CDicValueObj made = CDicValueObj::MakeDictionary();
    made.Set(
        "a\xFF\xFE"
        "b",
        CDicValueObj::MakeString("\xC3"
                                 "x"));
    EXPECT_TRUE(PlistEquals(tree, ReadList(ToBinary(made))));
    EXPECT_TRUE(PlistEquals(tree, ReadList(ToXml(made))));

    // Text stops at a NUL byte, as the external library hands text over as C strings.
    const CDicValueObj cut = ReadList(AssembleBinaryList({Bytes({0x53, 'a', 0, 'b'})}));
    ASSERT_EQ(cut.type, kPlistString);
    EXPECT_EQ(*cut.String(), "a");
    EXPECT_EQ(*ReadList(ToBinary(CDicValueObj::MakeString(std::string("x\0y", 3)))).String(), "x");
}

// --- Files -------------------------------------------------------------------------------------

std::vector<std::string> FolderNames(const std::string& folder) {
    std::vector<platform::FolderEntry> entries;
    platform::ListFolder(folder, entries);
    std::vector<std::string> names;
    for (const auto& entry : entries)
        names.push_back(entry.name);
    std::sort(names.begin(), names.end());
    return names;
}

TEST(PlistLibraryFiles, WritersReplaceTheFileAndLeaveNoTemporaryFiles) {
    testing::TempFolder folder;
    const std::string path = folder.Write("Info.plist", "old contents");
    CDicValueObj tree = CDicValueObj::MakeDictionary();
    tree.Set("Larkspur Version", CDicValueObj::MakeString("1.0"));

    writeXmlFile(tree, path);
    const std::string xml = testing::ReadFileBytes(path);
    EXPECT_EQ(xml.rfind("<?xml", 0), 0u);
    CDicValueObj back;
    readPlistFromFile(path, back);
    EXPECT_TRUE(PlistEquals(tree, back));

    writeBinaryFile(tree, path);
    EXPECT_EQ(testing::ReadFileBytes(path).rfind("bplist00", 0), 0u);
    readPlistFromFile(path, back);
    EXPECT_TRUE(PlistEquals(tree, back));
    EXPECT_EQ(FolderNames(folder.path()), std::vector<std::string>{"Info.plist"});
}

TEST(PlistLibraryFiles, UnwritableTreeOrPathLeavesTheOldFileAndUnreadableFilesGiveNoTree) {
    testing::TempFolder folder;
    const std::string path = folder.Write("Status.plist", "old contents");
    writeXmlFile(CDicValueObj(), path);
    writeBinaryFile(CDicValueObj(), path);
    EXPECT_EQ(testing::ReadFileBytes(path), "old contents");

    CDicValueObj tree = CDicValueObj::MakeArray();
    writeXmlFile(tree, path + "/below-a-file.plist");
    writeBinaryFile(tree, folder / "missing/folder/x.plist");
    folder.Write("sub/keep.txt", "x");
    writeXmlFile(tree, folder / "sub");  // a folder stands where the file would go
    EXPECT_EQ(testing::ReadFileBytes(path), "old contents");
    EXPECT_EQ(FolderNames(folder.path()), (std::vector<std::string>{"Status.plist", "sub"}));
    EXPECT_EQ(FolderNames(folder / "sub"), std::vector<std::string>{"keep.txt"});

    // What cannot be read gives no tree, whatever was held before.
    for (const std::string& unreadable :
         {folder / "absent.plist", folder.path(), folder.Write("empty.plist", "")}) {
        tree = CDicValueObj::MakeString("previous");
        readPlistFromFile(unreadable, tree);
        EXPECT_EQ(tree.type, kPlistNone) << unreadable;
    }
}

TEST(PlistLibraryFiles, PipesDevicesAndFilesPastTheLimitGiveNoTreeAtOnce) {
    testing::TempFolder folder;
    std::vector<std::string> refused = testing::EndlessFiles(folder.path());
    const std::string list = XmlList("<dict><key>a</key><string>b</string></dict>");
    // Sparse: trailing zero bytes would not parse, but the file must not even be read.
    const std::string large = folder / "large.plist";
    ASSERT_TRUE(testing::MakeSparseFile(large, list, kPlistMaxInputBytes + 1));
    refused.push_back(large);
    for (const std::string& path : refused) {
        ASSERT_FALSE(path.empty());
        CDicValueObj tree = CDicValueObj::MakeString("previous");
        readPlistFromFile(path, tree);
        EXPECT_EQ(tree.type, kPlistNone) << path;
    }
    CDicValueObj tree;
    readPlistFromFile(folder.Write("small.plist", list), tree);
    EXPECT_EQ(tree.GetString("a"), "b");
}

}  // namespace
}  // namespace bw

// The simulator's structural checks in front of libplist: the lists real writers make pass, and
// the shapes that make libplist 2.2 crash, hang or blow up are refused. Binary lists are written
// here byte by byte.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/plist_input_check.h"

namespace bw::sim {
namespace {

std::string Big(uint64_t value, int width) {
    std::string bytes;
    for (int i = width - 1; i >= 0; --i)
        bytes.push_back(static_cast<char>(value >> (8 * i)));
    return bytes;
}

// A binary list of the given objects (object 0 on top unless told), with 4-byte offsets.
std::string BinaryList(const std::vector<std::string>& objects, int refWidth = 1,
                       uint64_t top = 0) {
    std::string list = "bplist00";
    std::string table;
    for (const std::string& object : objects) {
        table += Big(list.size(), 4);
        list += object;
    }
    const uint64_t tableAt = list.size();
    list += table;
    list += std::string(6, '\0') + static_cast<char>(4) + static_cast<char>(refWidth);
    list += Big(objects.size(), 8) + Big(top, 8) + Big(tableAt, 8);
    return list;
}

std::string Ascii(const std::string& text) {
    return static_cast<char>(0x50 | text.size()) + text;  // shorter than 15 bytes
}
std::string Int8(int value) {
    return std::string{static_cast<char>(0x10), static_cast<char>(value)};
}
std::string Array(const std::vector<int>& refs) {
    std::string array(1, static_cast<char>(0xA0 | refs.size()));
    for (const int ref : refs)
        array.push_back(static_cast<char>(ref));
    return array;
}
std::string Dict(int key, int value) {
    return std::string{static_cast<char>(0xD1), static_cast<char>(key), static_cast<char>(value)};
}

// Arrays nested `depth` deep around one integer.
std::string NestedBinary(int depth) {
    std::vector<std::string> objects;
    for (int i = 0; i < depth; ++i)
        objects.push_back(Array({i + 1}));
    objects.push_back(Int8(7));
    return BinaryList(objects);
}

std::string NestedXml(int depth, const std::string& plistTag = "<plist version=\"1.0\">") {
    std::string xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n" + plistTag;
    for (int i = 0; i < depth; ++i)
        xml += "<array>";
    xml += "<integer>7</integer>";
    for (int i = 0; i < depth; ++i)
        xml += "</array>";
    return xml + "</plist>";
}

TEST(PlistInputCheck, ListsLibplistWritesArePassedAndRead) {
    PlistTree tree = DictBuilder()
                         .Text("Name", "iPhone")
                         .Integer("Total", 1234567890123)
                         .Real("Level", 0.5)
                         .Flag("Paired", true)
                         .Texts("List", {"a", "b", "a"})
                         .Dict("Inner", std::move(DictBuilder().Integers("Sizes", {1, 2, 3})))
                         .Take();
    char* bytes = nullptr;
    uint32_t length = 0;
    plist_to_bin(tree.get(), &bytes, &length);
    ASSERT_NE(bytes, nullptr);
    const std::string binary(bytes, length);
    plist_to_bin_free(bytes);
    EXPECT_TRUE(LooksLikeBinaryPlist(binary));
    EXPECT_TRUE(BinaryPlistInputIsSafe(binary));
    const PlistTree fromBinary = ParseCheckedPlist(binary);
    ASSERT_NE(fromBinary, nullptr);
    EXPECT_EQ(PlistXml(fromBinary.get()), PlistXml(tree.get()));

    const std::string xml = PlistXml(tree.get());
    EXPECT_FALSE(LooksLikeBinaryPlist(xml));
    EXPECT_TRUE(XmlPlistInputIsSafe(xml));
    EXPECT_NE(ParseCheckedPlist(xml), nullptr);
}

TEST(PlistInputCheck, NestingStopsAtTheLimitInBothForms) {
    EXPECT_TRUE(BinaryPlistInputIsSafe(NestedBinary(kMaxPlistNesting)));
    EXPECT_NE(ParseCheckedPlist(NestedBinary(kMaxPlistNesting)), nullptr);
    EXPECT_FALSE(BinaryPlistInputIsSafe(NestedBinary(kMaxPlistNesting + 1)));
    EXPECT_FALSE(BinaryPlistInputIsSafe(NestedBinary(100000)));

    EXPECT_TRUE(XmlPlistInputIsSafe(NestedXml(kMaxPlistNesting)));
    EXPECT_NE(ParseCheckedPlist(NestedXml(kMaxPlistNesting)), nullptr);
    EXPECT_FALSE(XmlPlistInputIsSafe(NestedXml(kMaxPlistNesting + 1)));
    EXPECT_EQ(ParseCheckedPlist(NestedXml(100000)), nullptr);
}

TEST(PlistInputCheck, CyclesAndSharedContainersThatExpandAreRefused) {
    // An array that holds itself.
    EXPECT_FALSE(BinaryPlistInputIsSafe(BinaryList({Array({0})})));
    // Thirty arrays, each holding the next twice: 2^30 nodes from 90 bytes of objects.
    std::vector<std::string> doubling;
    for (int i = 0; i < 30; ++i)
        doubling.push_back(Array({i + 1, i + 1}));
    doubling.push_back(Int8(1));
    EXPECT_FALSE(BinaryPlistInputIsSafe(BinaryList(doubling)));
    // Three levels of the same is ordinary sharing and passes.
    EXPECT_TRUE(BinaryPlistInputIsSafe(BinaryList({Array({1, 1}), Array({2, 2}), Int8(1)})));
    // One string referenced by many entries costs one node per reference and passes.
    std::vector<int> refs(14, 1);
    EXPECT_TRUE(BinaryPlistInputIsSafe(BinaryList({Array(refs), Ascii("same")})));
}

TEST(PlistInputCheck, DictionaryKeysAreStringsWithoutZeroCharacters) {
    EXPECT_TRUE(BinaryPlistInputIsSafe(BinaryList({Dict(1, 2), Ascii("key"), Int8(1)})));
    EXPECT_FALSE(
        BinaryPlistInputIsSafe(BinaryList({Dict(1, 2), Ascii(std::string("k\0y", 3)), Int8(1)})));
    // A UTF-16 key with a zero unit, and one without.
    const std::string utf16 = std::string{static_cast<char>(0x62), 0, 'k', 0, 0};
    EXPECT_FALSE(BinaryPlistInputIsSafe(BinaryList({Dict(1, 2), utf16, Int8(1)})));
    const std::string utf16Ok = std::string{static_cast<char>(0x62), 0, 'k', 0, 'y'};
    EXPECT_TRUE(BinaryPlistInputIsSafe(BinaryList({Dict(1, 2), utf16Ok, Int8(1)})));
    // An integer as key.
    EXPECT_FALSE(BinaryPlistInputIsSafe(BinaryList({Dict(1, 2), Int8(3), Int8(1)})));
    // XML spells a zero character only as a character reference.
    EXPECT_FALSE(XmlPlistInputIsSafe("<plist><dict><key>a&#0;b</key><true/></dict></plist>"));
    EXPECT_FALSE(XmlPlistInputIsSafe("<plist><dict><key>a&#x000;b</key><true/></dict></plist>"));
    EXPECT_TRUE(XmlPlistInputIsSafe("<plist><dict><key>a&#48;b</key><true/></dict></plist>"));
    EXPECT_TRUE(
        XmlPlistInputIsSafe("<plist><string>&lt;&amp;&gt;&quot;&apos;&#x41;</string></plist>"));
    // A bare '&' or an entity nobody defined is malformed, whatever libplist would make of it.
    EXPECT_FALSE(XmlPlistInputIsSafe("<plist><string>a & b</string></plist>"));
    EXPECT_FALSE(XmlPlistInputIsSafe("<plist><string>&nbsp;</string></plist>"));
    EXPECT_FALSE(XmlPlistInputIsSafe("<plist><string>&#;</string></plist>"));
    EXPECT_FALSE(XmlPlistInputIsSafe(std::string("<plist><string>a\0b</string></plist>", 33)));
}

TEST(PlistInputCheck, OffsetsReferencesAndLengthsStayInsideTheList) {
    const std::string good = BinaryList({Array({1}), Int8(5)});
    ASSERT_TRUE(BinaryPlistInputIsSafe(good));
    // A reference to an object that does not exist.
    EXPECT_FALSE(BinaryPlistInputIsSafe(BinaryList({Array({2}), Int8(5)})));
    // The top object beyond the count.
    EXPECT_FALSE(BinaryPlistInputIsSafe(BinaryList({Array({1}), Int8(5)}, 1, 2)));
    // A string whose length runs into the offset table.
    EXPECT_FALSE(BinaryPlistInputIsSafe(BinaryList({std::string(1, '\x5F') + Int8(100) + "abc"})));
    // An offset that points into the trailer.
    std::string offset = good;
    offset[offset.size() - 32 - 8 + 3] = static_cast<char>(offset.size() - 10);
    EXPECT_FALSE(BinaryPlistInputIsSafe(offset));
    // Widths libplist misreads, an offset table beyond the end, and cut lists.
    std::string width = good;
    width[width.size() - 25] = 5;
    EXPECT_FALSE(BinaryPlistInputIsSafe(width));
    std::string table = good;
    table[table.size() - 1] = static_cast<char>(0x7F);
    EXPECT_FALSE(BinaryPlistInputIsSafe(table));
    for (size_t cut = 0; cut < good.size(); ++cut)
        EXPECT_FALSE(BinaryPlistInputIsSafe(good.substr(0, cut))) << cut;
    // Null, fill and set markers are no values libplist hands out.
    EXPECT_FALSE(BinaryPlistInputIsSafe(BinaryList({std::string(1, '\0')})));
    EXPECT_FALSE(BinaryPlistInputIsSafe(BinaryList({std::string(1, '\x0F')})));
    EXPECT_FALSE(BinaryPlistInputIsSafe(BinaryList({std::string("\xC1\x01", 2), Int8(1)})));
}

TEST(PlistInputCheck, XmlMarkupIsReadAsAnXmlParserReadsIt) {
    const int deepest = kMaxPlistNesting;
    // Single and double quotes around attribute values, with '>' inside a value.
    EXPECT_TRUE(XmlPlistInputIsSafe(NestedXml(deepest, "<plist version='1.0'>")));
    EXPECT_TRUE(XmlPlistInputIsSafe(NestedXml(deepest, "<plist a=\"1>0\" b='x>y'>")));
    EXPECT_FALSE(XmlPlistInputIsSafe(NestedXml(deepest + 1, "<plist a=\"1>0\">")));
    // A quote outside a tag is text: it hides no markup from the count.
    EXPECT_FALSE(XmlPlistInputIsSafe(NestedXml(deepest + 1, "<plist>it's \"so\"")));
    EXPECT_TRUE(XmlPlistInputIsSafe(NestedXml(deepest, "<plist>it's \"so\"")));
    // A quote in a tag that opens no attribute value is refused rather than guessed.
    EXPECT_FALSE(XmlPlistInputIsSafe(NestedXml(1, "<plist \">")));
    // Markup inside comments, CDATA sections and processing instructions is no markup.
    std::string hidden;
    for (int i = 0; i < 300; ++i)
        hidden += "<array>";
    EXPECT_TRUE(XmlPlistInputIsSafe(NestedXml(deepest, "<plist><!--" + hidden + "-->")));
    EXPECT_TRUE(XmlPlistInputIsSafe(
        NestedXml(deepest, "<plist><string><![CDATA[" + hidden + "]]></string>")));
    EXPECT_TRUE(XmlPlistInputIsSafe(NestedXml(deepest, "<?pi " + hidden + "?><plist>")));
    // Left open, they would hide the rest of the document.
    EXPECT_FALSE(XmlPlistInputIsSafe("<plist><!-- <array></array></plist>"));
    EXPECT_FALSE(XmlPlistInputIsSafe("<plist><string><![CDATA[ x </string></plist>"));
    EXPECT_FALSE(XmlPlistInputIsSafe("<?xml version=\"1.0\" <plist></plist>"));
    EXPECT_FALSE(XmlPlistInputIsSafe("<?xml version=\"?>\"?><plist></plist>"));
    // The usual document type passes; an internal subset (entity definitions) does not.
    EXPECT_TRUE(XmlPlistInputIsSafe(
        "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
        "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\"><plist><true/></plist>"));
    EXPECT_FALSE(XmlPlistInputIsSafe(
        "<!DOCTYPE plist [<!ENTITY a \"aaaa\">]><plist><string>&a;</string></plist>"));
    // A stray end tag buys no room for deeper nesting.
    EXPECT_FALSE(XmlPlistInputIsSafe("</array></array>" + NestedXml(deepest)));
    EXPECT_FALSE(XmlPlistInputIsSafe(""));
}

}  // namespace
}  // namespace bw::sim

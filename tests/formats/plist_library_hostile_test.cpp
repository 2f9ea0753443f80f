// Malformed and hostile lists: each must give an empty tree, and never reach the external
// library when that library would crash, loop or exhaust memory on it.
#include <gtest/gtest.h>

#include "formats/plist_library.h"
#include "formats/plist_library_test_util.h"

namespace bw {
namespace {

using testing::AsciiObject;
using testing::AssembleBinaryList;
using testing::Bytes;
using testing::PatchTrailer;

CDicValueObj Read(const std::string& bytes) {
    // Start from a filled tree: a failed read must not leave old contents behind.
    CDicValueObj tree = CDicValueObj::MakeString("previous");
    readPlistFromString(bytes, tree, 0);
    return tree;
}

// {"a": [true]} as a well-formed baseline that the malformed variants start from.
std::string GoodBinary() {
    return AssembleBinaryList({
        Bytes({0xD1, 1, 2}),
        AsciiObject("a"),
        Bytes({0xA1, 3}),
        Bytes({0x09}),
    });
}

std::string NestedArrays(int depth) {
    std::vector<std::string> objects;
    for (int i = 1; i <= depth; ++i) {
        objects.push_back(Bytes({0xA1, i >> 16, (i >> 8) & 0xFF, i & 0xFF}));  // 3-byte refs
    }
    objects.push_back(Bytes({0x08}));
    return AssembleBinaryList(objects, 0, 4, 3);
}

std::string NestedArraysXml(int depth) {
    std::string xml;
    for (int i = 0; i < depth; ++i)
        xml += "<array>";
    xml += "<true/>";
    for (int i = 0; i < depth; ++i)
        xml += "</array>";
    return xml;
}

std::string NestedXml(int depth) {
    return "<?xml version=\"1.0\"?><plist version=\"1.0\">" + NestedArraysXml(depth) + "</plist>";
}

TEST(PlistLibraryHostile, EveryTruncationOfABinaryListGivesNoTree) {
    const std::string good = GoodBinary();
    ASSERT_EQ(Read(good).type, kPlistDictionary);
    for (size_t length = 0; length < good.size(); ++length) {
        SCOPED_TRACE(length);
        EXPECT_EQ(Read(good.substr(0, length)).type, kPlistNone);
    }
}

TEST(PlistLibraryHostile, GarbageAndNonPlistXmlGiveNoTree) {
    const std::string inputs[] = {
        "",
        "hello",
        std::string("bplist00") + std::string(40, '\xFF'),
        std::string("\0\0\0\0", 4),
        "<html><body/></html>",
        "<?xml version=\"1.0\"?><plist version=\"1.0\"></plist>",
        "<plist><dict><key>a</key><string>x</string>",  // never closed
        "<plist><dict><key>a</key></plist>",
        "<plist><array><![CDATA[</array>]]></array></plist>",
        "<!-- <plist><string>x</string></plist>",  // an unclosed comment hides everything
        "<plist><string>x</string></plist",
    };
    for (const std::string& input : inputs) {
        SCOPED_TRACE(input);
        EXPECT_EQ(Read(input).type, kPlistNone);
    }
    CDicValueObj tree = CDicValueObj::MakeString("previous");
    readPlistFromByteArry(nullptr, 10, tree, 0);
    EXPECT_EQ(tree.type, kPlistNone);
    tree = CDicValueObj::MakeString("previous");
    readPlistFromByteArry("bplist00", -1, tree, 0);
    EXPECT_EQ(tree.type, kPlistNone);
}

TEST(PlistLibraryHostile, BrokenTrailersGiveNoTree) {
    const std::string good = GoodBinary();
    const size_t tableOffset = good.size() - 32 - 4;
    struct Patch {
        const char* what;
        testing::TrailerField field;
        uint64_t value;
    };
    const Patch patches[] = {
        {"offset size 0", testing::kTrailerOffsetSize, 0},
        {"offset size 9", testing::kTrailerOffsetSize, 9},
        {"reference size 0", testing::kTrailerRefSize, 0},
        {"no objects", testing::kTrailerObjectCount, 0},
        {"more objects than bytes", testing::kTrailerObjectCount, 0x4000000000000000},
        {"object count wraps the table size", testing::kTrailerObjectCount, ~uint64_t{0}},
        {"top object past the end", testing::kTrailerTopObject, 4},
        {"table inside the header", testing::kTrailerTableOffset, 3},
        {"table past the end", testing::kTrailerTableOffset, good.size()},
        {"table overlaps the trailer", testing::kTrailerTableOffset, tableOffset + 1},
        {"table offset wraps", testing::kTrailerTableOffset, ~uint64_t{0} - 2},
    };
    for (const Patch& patch : patches) {
        SCOPED_TRACE(patch.what);
        std::string list = good;
        PatchTrailer(list, patch.field, patch.value);
        EXPECT_EQ(Read(list).type, kPlistNone);
    }

    std::string offsetIntoTable = good;
    offsetIntoTable[tableOffset + 3] = static_cast<char>(tableOffset);
    EXPECT_EQ(Read(offsetIntoTable).type, kPlistNone);
    std::string offsetIntoHeader = good;
    offsetIntoHeader[tableOffset + 2] = 2;
    EXPECT_EQ(Read(offsetIntoHeader).type, kPlistNone);
}

TEST(PlistLibraryHostile, ObjectsThatLieAboutTheirSizeBadReferencesAndKindsGiveNoTree) {
    const std::vector<std::vector<std::string>> lists = {
        {Bytes({0xA1, 1}), Bytes({0x4F, 0x13, 0x7F, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xF0})},
        {Bytes({0xA1, 1}), Bytes({0x6F, 0x12, 0x40, 0x00, 0x00, 0x00, 0x41})},
        {Bytes({0xA1, 1}), Bytes({0x5F, 0x10})},        // the length integer is cut off
        {Bytes({0xA1, 1}), Bytes({0x5F, 0x25, 0x00})},  // the length is not an integer
        {Bytes({0xAF, 0x13, 0x7F, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 1})},
        {Bytes({0xDF, 0x10, 0x40, 1, 1}), AsciiObject("k")},
        {Bytes({0xA1, 1}), Bytes({0x13, 0x00, 0x00})},  // an eight-byte integer with two
        {Bytes({0xA1, 1}), Bytes({0x33, 0x00, 0x00, 0x00})},
        {Bytes({0xA1, 1}), Bytes({0x15, 0x00})},                       // no integers of 32 bytes
        {Bytes({0xA1, 1}), Bytes({0x21, 0x00, 0x00})},                 // no two-byte reals
        {Bytes({0xA1, 1}), Bytes({0x88, 0, 0, 0, 0, 0, 0, 0, 0, 0})},  // nine-byte UID
        {Bytes({0xA1, 5}), Bytes({0x09})},                             // reference past the objects
        {Bytes({0xA1, 0})},                                            // an array inside itself
        {Bytes({0xA1, 1}), Bytes({0xA1, 0})},                          // a two-step cycle
        {Bytes({0xD1, 0, 1}), Bytes({0x09})},                       // a dictionary as its own key
        {Bytes({0xD1, 1, 1}), Bytes({0x10, 0x01})},                 // an integer key
        {Bytes({0xD1, 1, 2}), Bytes({0x80, 0x01}), Bytes({0x09})},  // a UID key
        // Keys holding a NUL character: the external library aborts on an assertion.
        {Bytes({0xD1, 1, 2}), Bytes({0x53, 'a', 0, 'b'}), Bytes({0x09})},
        {Bytes({0xD1, 1, 2}), Bytes({0x62, 0, 'a', 0, 0}), Bytes({0x09})},
        {Bytes({0xA1, 1}), Bytes({0x00})},  // null
        {Bytes({0xA1, 1}), Bytes({0x0F})},  // fill byte
        {Bytes({0xC1, 1}), Bytes({0x09})},  // set
        {Bytes({0xA1, 1}), Bytes({0x70})},  // reserved marker
    };
    for (size_t i = 0; i < lists.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(Read(AssembleBinaryList(lists[i])).type, kPlistNone);
    }
}

TEST(PlistLibraryHostile, DeepBinaryNestingIsRefusedBeforeParsing) {
    EXPECT_EQ(Read(NestedArrays(kPlistMaxNesting)).type, kPlistArray);
    EXPECT_EQ(Read(NestedArrays(kPlistMaxNesting + 1)).type, kPlistNone);
    // The external parser takes time quadratic in the depth here and then overflows the stack.
    EXPECT_EQ(Read(NestedArrays(100000)).type, kPlistNone);
}

TEST(PlistLibraryHostile, SharedContainersCannotExpandExponentially) {
    // Array i holds array i+1 twice: 40 levels stand for 2^40 nodes in a tree.
    std::vector<std::string> objects;
    for (int i = 0; i < 40; ++i)
        objects.push_back(Bytes({0xA2, i + 1, i + 1}));
    objects.push_back(Bytes({0x09}));
    EXPECT_EQ(Read(AssembleBinaryList(objects)).type, kPlistNone);

    // Sharing a leaf many times is what real writers do and stays readable.
    std::vector<std::string> shared = {Bytes({0xAF, 0x10, 100}), Bytes({0x09})};
    shared[0].append(100, '\x01');
    const CDicValueObj tree = Read(AssembleBinaryList(shared));
    ASSERT_EQ(tree.type, kPlistArray);
    EXPECT_EQ(tree.Array()->size(), 100u);
}

TEST(PlistLibraryHostile, DeepXmlNestingIsRefusedBeforeParsing) {
    EXPECT_EQ(Read(NestedXml(kPlistMaxNesting)).type, kPlistArray);
    EXPECT_EQ(Read(NestedXml(kPlistMaxNesting + 1)).type, kPlistNone);
    // The external parser builds a million levels and then overflows the stack freeing them.
    EXPECT_EQ(Read(NestedXml(1000000)).type, kPlistNone);
    // Stray end tags do not buy extra depth, comments and quoted '>' do not hide tags.
    std::string sneaky = "<plist>";
    for (int i = 0; i < 200; ++i)
        sneaky += "</x>";
    EXPECT_EQ(Read(sneaky + NestedArraysXml(kPlistMaxNesting + 1) + "</plist>").type, kPlistNone);
    std::string quoted = "<plist>";
    for (int i = 0; i < kPlistMaxNesting + 1; ++i)
        quoted += "<array a=\"/>\">";
    quoted += "<!-- </array> -->";
    for (int i = 0; i < kPlistMaxNesting + 1; ++i)
        quoted += "</array>";
    EXPECT_EQ(Read(quoted + "</plist>").type, kPlistNone);
    // The external parser does not take a single quote for a quote: a guard that did would see
    // one long attribute here while the parser nests two hundred thousand arrays.
    std::string single = "<plist><array a='>";
    for (int i = 0; i < 200000; ++i)
        single += "<array>";
    EXPECT_EQ(Read(single + "'></plist>").type, kPlistNone);
}

TEST(PlistLibraryHostile, MarkupTheParserSkipsStillReads) {
    // Comments, a doctype with a quoted "]>", double-quoted '>' in attributes, CDATA in a
    // string and spaces in end tags are all part of well-formed lists.
    const std::string xml =
        "<?xml version=\"1.0\"?><!DOCTYPE plist [<!ENTITY x \"]>\">]>"
        "<plist version=\">1.0\"><!-- <array><array> --><dict>"
        "<key>a</key><string>x<![CDATA[<array>]]>y<!-- </string> --></string >"
        "<key>b</key><array a=\"/>\"><true/></array></dict></plist>";
    const CDicValueObj tree = Read(xml);
    ASSERT_EQ(tree.type, kPlistDictionary);
    EXPECT_EQ(tree.GetString("a"), "x<array>y");
    ASSERT_NE(tree.Find("b"), nullptr);
    EXPECT_EQ(tree.Find("b")->type, kPlistArray);
}

TEST(PlistLibraryHostile, DocumentTypeWithEntitiesIsNotExpanded) {
    const std::string xml =
        "<?xml version=\"1.0\"?><!DOCTYPE plist [<!ENTITY a \"aaaaaaaaaa\">"
        "<!ENTITY b \"&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;\">]>"
        "<plist><string>&b;</string></plist>";
    EXPECT_EQ(Read(xml).type, kPlistNone);
}

TEST(PlistLibraryHostile, WritersRefuseDeepSelfContainingAndHugelySharedTrees) {
    CDicValueObj deep = CDicValueObj::MakeArray();
    CDicValueObj* level = &deep;
    for (int i = 0; i < 200000; ++i) {
        level->Array()->push_back(CDicValueObj::MakeArray());
        level = &level->Array()->back();
    }
    std::string out = "stale";
    writeXmlutf8(deep, out);
    EXPECT_EQ(out, "");
    writeBinary(deep, out);
    EXPECT_EQ(out, "");
    deep.Release();  // two hundred thousand levels go without a stack overflow

    CDicValueObj loop = CDicValueObj::MakeDictionary();
    loop.Set("self", loop);
    out = "stale";
    writeBinary(loop, out);
    EXPECT_EQ(out, "");
    CDicValueObj otherLoop = CDicValueObj::MakeDictionary();
    otherLoop.Set("self", otherLoop);
    EXPECT_FALSE(PlistEquals(loop, otherLoop));  // no end to compare, but no hang either
    loop.Dictionary()->clear();                  // break the cycles so the payloads are freed
    otherLoop.Dictionary()->clear();

    // Ten levels of one array shared twice hold a 1 MiB string 1024 times.
    CDicValueObj shared = CDicValueObj::MakeString(std::string(1 << 20, 'x'));
    for (int i = 0; i < 10; ++i) {
        CDicValueObj up = CDicValueObj::MakeArray();
        up.Array()->push_back(shared);
        up.Array()->push_back(shared);
        shared = up;
    }
    out = "stale";
    writeBinary(shared, out);
    EXPECT_EQ(out, "");
}

}  // namespace
}  // namespace bw

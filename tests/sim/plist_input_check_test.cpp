// The simulator's structural checks in front of libplist, as one table: the lists real writers
// make pass, and the shapes that make libplist 2.2 crash, hang or blow up are refused, both by the
// check and by every reader behind it (the CoreFoundation stand-in's included). Binary lists are
// written here byte by byte.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "cf/CoreFoundation.h"
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
std::string Array(const std::vector<uint32_t>& refs, int refWidth = 1) {
    std::string array = refs.size() < 15
                            ? std::string(1, static_cast<char>(0xA0 | refs.size()))
                            : std::string("\xAF") + Int8(static_cast<int>(refs.size()));
    for (const uint32_t ref : refs)
        array += Big(ref, refWidth);
    return array;
}
std::string Dict(int key, int value) {
    return std::string{static_cast<char>(0xD1), static_cast<char>(key), static_cast<char>(value)};
}

// Arrays nested `depth` deep around one integer.
std::string NestedBinary(uint32_t depth) {
    const int width = depth < 255 ? 1 : 4;
    std::vector<std::string> objects;
    for (uint32_t i = 0; i < depth; ++i)
        objects.push_back(Array({i + 1}, width));
    objects.push_back(Int8(7));
    return BinaryList(objects, width);
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

struct Case {
    std::string what;
    std::string bytes;
    bool safe;
    bool binary = true;         // held against the binary check, else the XML one
    bool libplistReads = true;  // false: well nested, but markup libplist itself turns down
};

std::vector<Case> Cases() {
    std::vector<Case> cases;
    // What libplist itself writes, in both forms.
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
    cases.push_back({"libplist binary", std::string(bytes, length), true});
    plist_to_bin_free(bytes);
    cases.push_back({"libplist xml", PlistXml(tree.get()), true, false});

    // Nesting, cycles and shared containers that expand.
    const int deepest = kMaxPlistNesting;
    cases.push_back({"binary at the nesting limit", NestedBinary(deepest), true});
    cases.push_back({"binary one past the limit", NestedBinary(deepest + 1), false});
    cases.push_back({"binary 100000 deep", NestedBinary(100000), false});
    cases.push_back({"array holding itself", BinaryList({Array({0})}), false});
    cases.push_back({"two arrays holding each other", BinaryList({Array({1}), Array({0})}), false});
    std::vector<std::string> doubling;
    for (uint32_t i = 0; i < 30; ++i)
        doubling.push_back(Array({i + 1, i + 1}));
    doubling.push_back(Int8(1));
    cases.push_back({"30 levels each holding the next twice", BinaryList(doubling), false});
    std::vector<std::string> bomb;
    for (uint32_t level = 0; level < 20; ++level)
        bomb.push_back(Array(std::vector<uint32_t>(16, level + 1), 4));
    bomb.push_back("\x08");
    cases.push_back({"20 levels each holding the next 16 times", BinaryList(bomb, 4), false});
    cases.push_back(
        {"ordinary sharing", BinaryList({Array({1, 1}), Array({2, 2}), Int8(1)}), true});
    cases.push_back({"one string many times",
                     BinaryList({Array(std::vector<uint32_t>(14, 1)), Ascii("s")}), true});

    // Dictionary keys are strings without zero characters; values may hold one.
    cases.push_back({"ascii key", BinaryList({Dict(1, 2), Ascii("key"), Int8(1)}), true});
    cases.push_back({"ascii key with zero",
                     BinaryList({Dict(1, 2), Ascii(std::string("k\0y", 3)), Int8(1)}), false});
    cases.push_back({"utf-16 key with zero",
                     BinaryList({Dict(1, 2), std::string("\x62\0k\0\0", 5), Int8(1)}), false});
    cases.push_back(
        {"utf-16 key", BinaryList({Dict(1, 2), std::string("\x62\0k\0y", 5), Int8(1)}), true});
    cases.push_back({"integer key", BinaryList({Dict(1, 2), Int8(3), Int8(1)}), false});
    cases.push_back({"zero in a value",
                     BinaryList({Dict(1, 2), Ascii("k"), Ascii(std::string("a\0b", 3))}), true});

    // Offsets, references and lengths stay inside the list.
    const std::string good = BinaryList({Array({1}), Int8(5)});
    cases.push_back({"reference to a missing object", BinaryList({Array({2}), Int8(5)}), false});
    cases.push_back(
        {"top object beyond the count", BinaryList({Array({1}), Int8(5)}, 1, 2), false});
    cases.push_back({"string running into the offset table",
                     BinaryList({std::string(1, '\x5F') + Int8(100) + "abc"}), false});
    std::string offset = good;
    offset[offset.size() - 32 - 8 + 3] = static_cast<char>(offset.size() - 10);
    cases.push_back({"offset into the trailer", offset, false});
    std::string width = good;
    width[width.size() - 25] = 5;
    cases.push_back({"reference width libplist misreads", width, false});
    std::string table = good;
    table[table.size() - 1] = static_cast<char>(0x7F);
    cases.push_back({"offset table beyond the end", table, false});
    for (size_t cut = 0; cut < good.size(); ++cut)
        cases.push_back({std::string("cut to ") + std::to_string(cut), good.substr(0, cut), false});
    cases.push_back({"null marker", BinaryList({std::string(1, '\0')}), false});
    cases.push_back({"fill marker", BinaryList({std::string(1, '\x0F')}), false});
    cases.push_back({"set marker", BinaryList({std::string("\xC1\x01", 2), Int8(1)}), false});

    // XML: nesting counted as an XML parser reads the markup.
    const size_t firstXml = cases.size();
    cases.push_back({"xml at the nesting limit", NestedXml(deepest), true});
    cases.push_back({"xml one past the limit", NestedXml(deepest + 1), false});
    cases.push_back({"xml 100000 deep", NestedXml(100000), false});
    cases.push_back({"single-quoted attribute", NestedXml(deepest, "<plist version='1.0'>"), true});
    cases.push_back({"'>' inside attributes", NestedXml(deepest, "<plist a=\"1>0\" b='x>y'>"), true,
                     false, false});
    cases.push_back(
        {"'>' in an attribute, one too deep", NestedXml(deepest + 1, "<plist a=\"1>0\">"), false});
    cases.push_back(
        {"quotes in text, one too deep", NestedXml(deepest + 1, "<plist>it's \"so\""), false});
    cases.push_back(
        {"quotes in text", NestedXml(deepest, "<plist>it's \"so\""), true, false, false});
    cases.push_back({"quote opening no attribute", NestedXml(1, "<plist \">"), false});
    std::string hidden;
    for (int i = 0; i < 300; ++i)
        hidden += "<array>";
    cases.push_back({"markup in a comment",
                     NestedXml(deepest, std::string("<plist><!--") + hidden + "-->"), true});
    cases.push_back(
        {"markup in CDATA",
         NestedXml(deepest, std::string("<plist><string><![CDATA[") + hidden + "]]></string>"),
         true});
    cases.push_back({"markup in an instruction",
                     NestedXml(deepest, std::string("<?pi ") + hidden + "?><plist>"), true});
    cases.push_back({"open comment", "<plist><!-- <array></array></plist>", false});
    cases.push_back({"open CDATA", "<plist><string><![CDATA[ x </string></plist>", false});
    cases.push_back({"open declaration", "<?xml version=\"1.0\" <plist></plist>", false});
    cases.push_back({"'?>' in a declaration", "<?xml version=\"?>\"?><plist></plist>", false});
    cases.push_back({"document type",
                     "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
                     "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\"><plist><true/></plist>",
                     true});
    cases.push_back({"internal subset",
                     "<!DOCTYPE plist [<!ENTITY a \"aaaa\">]><plist><string>&a;</string></plist>",
                     false});
    cases.push_back({"stray end tags", "</array></array>" + NestedXml(deepest), false});
    cases.push_back({"empty", "", false});

    // XML: keys without zero characters, and only the entities XML defines.
    cases.push_back(
        {"&#0; in a key", "<plist><dict><key>a&#0;b</key><true/></dict></plist>", false});
    cases.push_back(
        {"&#x000; in a key", "<plist><dict><key>a&#x000;b</key><true/></dict></plist>", false});
    cases.push_back(
        {"&#48; in a key", "<plist><dict><key>a&#48;b</key><true/></dict></plist>", true});
    cases.push_back({"predefined entities",
                     "<plist><string>&lt;&amp;&gt;&quot;&apos;&#x41;</string></plist>", true});
    cases.push_back({"bare '&'", "<plist><string>a & b</string></plist>", false});
    cases.push_back({"undefined entity", "<plist><string>&nbsp;</string></plist>", false});
    cases.push_back({"empty reference", "<plist><string>&#;</string></plist>", false});
    cases.push_back({"raw zero", std::string("<plist><string>a\0b</string></plist>", 33), false});
    for (size_t i = firstXml; i < cases.size(); ++i)
        cases[i].binary = false;
    return cases;
}

TEST(PlistInputCheck, EveryReaderPassesWhatIsWellMadeAndRefusesTheRest) {
    const long liveAtStart = BwSimCFLiveObjects();
    for (const Case& c : Cases()) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(c.binary ? BinaryPlistInputIsSafe(c.bytes) : XmlPlistInputIsSafe(c.bytes),
                  c.safe);
        const bool reads = c.safe && c.libplistReads;
        EXPECT_EQ(ParseCheckedPlist(c.bytes) != nullptr, reads);
        // The stand-in's reader, as the library calls it, refuses the same.
        CFDataRef data = CFDataCreate(nullptr, reinterpret_cast<const UInt8*>(c.bytes.data()),
                                      static_cast<CFIndex>(c.bytes.size()));
        CFPropertyListRef list = CFPropertyListCreateWithData(nullptr, data, 0, nullptr, nullptr);
        EXPECT_EQ(list != nullptr, reads);
        if (list != nullptr) CFRelease(list);
        CFRelease(data);
    }
    EXPECT_EQ(BwSimCFLiveObjects(), liveAtStart);
}

}  // namespace
}  // namespace bw::sim

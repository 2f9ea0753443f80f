// Reading XML property lists.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <limits>

#include "formats/plist_codec.h"
#include "formats/plist_codec_test_util.h"
#include "platform/files.h"

namespace bw {
namespace {

using plist_test::Read;

std::string XmlPlist(std::string_view body) {
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
           "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
           "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
           "<plist version=\"1.0\">\n" +
           std::string(body) + "\n</plist>\n";
}

std::optional<PlistValue> ReadXml(std::string_view body) {
    return Read(XmlPlist(body));
}

TEST(PlistCodecXml, ValuesReadAsWrittenAndMalformedOnesGiveNoValue) {
    const auto inf = std::numeric_limits<double>::infinity();
    const struct {
        std::string body;
        std::optional<PlistValue> value;
    } cases[] = {
        {"<integer>42</integer>", 42},
        {"<integer> 7\n</integer>", 7},
        {"<integer>-5</integer>", -5},
        {"<integer>-9223372036854775808</integer>", std::numeric_limits<int64_t>::min()},
        // Unsigned values above 2^63-1 keep their 64-bit pattern.
        {"<integer>18446744073709551615</integer>", -1},
        {"<real>+infinity</real>", inf},
        {"<real>-infinity</real>", -inf},
        {"<real>2.5</real>", 2.5},
        {"<real>-1e3</real>", -1000.0},
        {"<real>+0.25</real>", 0.25},
        {"<real>7</real>", 7.0},
        {"<real>fast</real>", std::nullopt},
        {"<real>1e999</real>", std::nullopt},
        {"<date>2001-01-01T00:00:00Z</date>", PlistDate{978307200}},
        {"<date>2024-02-29T12:34:56Z</date>", PlistDate{1709210096}},
        {"<date>1969-12-31T23:59:59Z</date>", PlistDate{-1}},
        {"<data>\n\tAAEC\n\t/w==\n</data>", PlistValue::Data{0, 1, 2, 0xFF}},
        {"<data></data>", PlistValue::Data{}},
        {"<data>not*base64</data>", std::nullopt},
        {"<string>a &amp; b &lt;c&gt; &#233;</string>", "a & b <c> \xC3\xA9"},
        {"<string><![CDATA[<raw>]]> text</string>", "<raw> text"},
        {"<string>  spaced  </string>", "  spaced  "},
        {"<string/>", ""},
        // Null and unknown elements are empty in place, and no value at the root.
        {"<array><integer>1</integer><null/><blob/><integer>2</integer></array>",
         PlistValue::Array{1, PlistValue(), PlistValue(), 2}},
        {"<dict><key>a</key><mystery/></dict>", PlistValue::Dictionary{{"a", PlistValue()}}},
        {"<null/>", std::nullopt},
        // A key followed by a key, a value without a key and a key at the end are all dropped.
        {"<dict><key>lost</key><key>a</key><integer>1</integer>"
         "<integer>2</integer><key>b</key><true/><key>tail</key></dict>",
         PlistValue::Dictionary{{"a", 1}, {"b", true}}},
        {"<dict><key>a</key><integer>1</integer><key>a</key><integer>2</integer></dict>",
         PlistValue::Dictionary{{"a", 2}}},
    };
    for (const auto& c : cases)
        EXPECT_EQ(ReadXml(c.body), c.value) << c.body;

    for (const char* text : {"", "abc", "12abc", "0x10", "1.5", "-9223372036854775809",
                             "18446744073709551616", "--1", "+"}) {
        EXPECT_EQ(ReadXml("<integer>" + std::string(text) + "</integer>"), std::nullopt) << text;
    }
    for (const char* text : {"2023-02-29T00:00:00Z", "2024-13-01T00:00:00Z", "2024-01-01T24:00:00Z",
                             "2024-01-01 00:00:00Z", "2024-01-01T00:00:00", "yesterday"}) {
        EXPECT_EQ(ReadXml("<date>" + std::string(text) + "</date>"), std::nullopt) << text;
    }
    const std::optional<PlistValue> nan = ReadXml("<real>nan</real>");
    ASSERT_TRUE(nan.has_value());
    EXPECT_TRUE(std::isnan(nan->AsReal().value_or(0)));
}

TEST(PlistCodecXml, DatesDoNotDependOnTheLocalTimeZone) {
    const char* saved = std::getenv("TZ");
    const std::string restore = saved ? saved : "";
    setenv("TZ", "America/St_Johns", 1);
    tzset();
    const auto date = ReadXml("<date>2020-07-01T10:00:00Z</date>");
    if (saved) {
        setenv("TZ", restore.c_str(), 1);
    } else {
        unsetenv("TZ");
    }
    tzset();
    EXPECT_EQ(date, PlistValue(PlistDate{1593597600}));
}

TEST(PlistCodecXml, NestedContainersSkipWhitespaceAndComments) {
    const auto value = ReadXml(R"(
<dict>
    <key>name</key>
    <string>Photos</string>
    <!-- a comment between pairs -->
    <key>flags</key>
    <array>
        <true/>
        <false/>
        <array/>
    </array>
    <key>inner</key>
    <dict>
        <key>count</key> <integer>3</integer>
    </dict>
</dict>)");
    const PlistValue expected(PlistValue::Dictionary{
        {"name", "Photos"},
        {"flags", PlistValue::Array{true, false, PlistValue::Array{}}},
        {"inner", PlistValue::Dictionary{{"count", 3}}},
    });
    EXPECT_EQ(value, expected);
}

TEST(PlistCodecXml, DocumentsThatAreNotPropertyListsGiveNoValue) {
    for (const char* text : {"<html><body>hi</body></html>", "<plist></plist>",
                             "<plist version=\"1.0\">\n  \n</plist>", "<plist><dict>",
                             "just some text", "<?xml version=\"1.0\"?>", "bplist0"}) {
        PlistValue value = 1;
        EXPECT_FALSE(ReadPlistFromMemory(text, std::strlen(text), value)) << text;
        EXPECT_TRUE(value.IsEmpty()) << text;
    }
    PlistValue value = 1;
    EXPECT_FALSE(ReadPlistFromMemory(nullptr, 0, value));
    EXPECT_TRUE(value.IsEmpty());
    EXPECT_FALSE(Read("junk" + XmlPlist("<string>x</string>")).has_value());
    // Whitespace before the declaration is no junk.
    EXPECT_EQ(Read(" \r\n\t" + XmlPlist("<string>x</string>")), PlistValue("x"));
}

TEST(PlistCodecXml, DeclaredEntitiesAreNotExpandedAndABombStaysSmall) {
    EXPECT_EQ(Read("<?xml version=\"1.0\"?><!DOCTYPE plist [<!ENTITY e \"expanded\">]>"
                   "<plist><string>x&e;y</string></plist>"),
              PlistValue("xy"));

    std::string laughs = "<?xml version=\"1.0\"?>\n<!DOCTYPE plist [\n<!ENTITY a0 \"lol\">\n";
    for (int i = 1; i <= 9; ++i) {
        laughs += "<!ENTITY a" + std::to_string(i) + " \"";
        for (int k = 0; k < 10; ++k)
            laughs += "&a" + std::to_string(i - 1) + ";";
        laughs += "\">\n";
    }
    laughs += "<!ENTITY file SYSTEM \"file:///etc/hostname\">\n]>\n";
    laughs += "<plist><string>x&a9;&file;y</string></plist>";
    const std::optional<PlistValue> value = Read(laughs);
    // libxml2 may refuse the document outright; if it does not, nothing may have been expanded.
    if (value) {
        EXPECT_EQ(*value, PlistValue("xy"));
    }
}

TEST(PlistCodecXml, DeepNestingIsRefused) {
    auto nested = [](int depth) {
        std::string text;
        for (int i = 0; i < depth; ++i)
            text += "<array>";
        for (int i = 0; i < depth; ++i)
            text += "</array>";
        return text;
    };
    EXPECT_TRUE(ReadXml(nested(100)).has_value());
    EXPECT_EQ(ReadXml(nested(5000)), std::nullopt);
}

TEST(PlistCodecXml, BinaryMagicWinsOverFileName) {
    const std::string binary = ::testing::TempDir() + "/plist_codec_really_binary.xml";
    const std::string xml = ::testing::TempDir() + "/plist_codec_really_xml.plist";
    ASSERT_TRUE(platform::WriteFileAtomic(binary, EncodePlistBinary(PlistValue("b")).value()));
    ASSERT_TRUE(platform::WriteFileAtomic(xml, XmlPlist("<string>x</string>")));
    PlistValue value;
    ASSERT_TRUE(ReadPlist(binary, value));
    EXPECT_EQ(value, PlistValue("b"));
    ASSERT_TRUE(ReadPlist(xml, value));
    EXPECT_EQ(value, PlistValue("x"));
}

}  // namespace
}  // namespace bw

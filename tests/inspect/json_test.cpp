#include "inspect/json.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace bw::inspect {
namespace {

std::string Real(double value) {
    std::string out;
    AppendJsonReal(out, value);
    return out;
}

std::string Text(std::string_view value) {
    std::string out;
    AppendJsonString(out, value);
    return out;
}

TEST(JsonText, RealsKeepTheirValueAndNonFiniteOnesBecomeStrings) {
    EXPECT_EQ(Real(0.1), "0.1");
    EXPECT_EQ(Real(2.0), "2.0");
    EXPECT_EQ(Real(-1e300), "-1e+300");
    EXPECT_EQ(Real(std::numeric_limits<double>::infinity()), "\"inf\"");
    EXPECT_EQ(Real(-std::numeric_limits<double>::infinity()), "\"-inf\"");
    EXPECT_EQ(Real(std::nan("")), "\"nan\"");
}

TEST(JsonText, StringsAreEscapedAndBrokenUtf8IsRepaired) {
    EXPECT_EQ(Text("a\"b\\c\n\t\x01"), "\"a\\\"b\\\\c\\n\\t\\u0001\"");
    EXPECT_EQ(Text("caf\xC3\xA9"), "\"caf\xC3\xA9\"");
    EXPECT_EQ(Text("x\xFFy"), "\"x\xEF\xBF\xBDy\"");
    EXPECT_EQ(Text(std::string_view("a\0b", 3)), "\"a\\u0000b\"");
}

TEST(JsonText, DatesAreIsoUtc) {
    EXPECT_EQ(IsoUtcText(0), "1970-01-01T00:00:00Z");
    EXPECT_EQ(IsoUtcText(978307200), "2001-01-01T00:00:00Z");
    EXPECT_EQ(IsoUtcText(-2208988800), "1900-01-01T00:00:00Z");
}

}  // namespace
}  // namespace bw::inspect

// Conversion output has a ceiling: a small list of shared objects could otherwise stand for
// gigabytes of JSON.
#include <gtest/gtest.h>

#include "inspect/plist_convert.h"

namespace bw::inspect {
namespace {

TEST(PlistConvert, JsonPastTheLimitGivesNothingFromEitherTree) {
    CDicValueObj library = CDicValueObj::MakeArray();
    PlistValue::Array own;
    for (int i = 0; i < 100; ++i) {
        library.Array()->push_back(CDicValueObj::MakeString(std::string(1000, 'x')));
        own.push_back(PlistValue(std::string(1000, 'x')));
    }
    const PlistValue ownTree(std::move(own));
    // 100 strings of 1000 characters need a little over 100 thousand bytes of JSON.
    EXPECT_EQ(PlistToJson(library, 50000), "");
    EXPECT_EQ(PlistToJson(ownTree, 50000), "");
    const std::string whole = PlistToJson(library, 200000);
    EXPECT_GT(whole.size(), 100000u);
    EXPECT_EQ(PlistToJson(ownTree, 200000), whole);
}

}  // namespace
}  // namespace bw::inspect

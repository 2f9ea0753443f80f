// Conversion output has a ceiling: a small list of shared objects could otherwise stand for
// gigabytes of JSON.
#include <gtest/gtest.h>

#include "inspect/plist_convert.h"
#include "support/hostile_files.h"
#include "support/temp_folder.h"

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

TEST(PlistConvert, FilesPastTheReadersLimitAndPipesAreNotRead) {
    testing::TempFolder folder;
    const std::string list = *EncodePlistBinary(PlistValue("x"));
    const std::string large = folder / "large.plist";
    struct Case {
        PlistReader reader;
        uint64_t limit;
    };
    for (const Case c : {Case{PlistReader::kLibrary, kPlistMaxInputBytes},
                         Case{PlistReader::kOwn, kPlistCodecMaxInputBytes}}) {
        std::string converted, error;
        ASSERT_TRUE(testing::MakeSparseFile(large, list, c.limit + 1));
        EXPECT_FALSE(ConvertPlistFile(large, PlistOutput::kXml, c.reader, converted, error));
        EXPECT_EQ(error,
                  "is larger than " + std::to_string(c.limit >> 20) + " MB, too large to read");
        for (const std::string& path : testing::EndlessFiles(folder.path())) {
            EXPECT_FALSE(ConvertPlistFile(path, PlistOutput::kXml, c.reader, converted, error));
            EXPECT_EQ(error, "cannot read the file") << path;
            ::unlink(path.c_str());
        }
        ASSERT_TRUE(testing::MakeSparseFile(large, list, list.size()));
        EXPECT_TRUE(ConvertPlistFile(large, PlistOutput::kJson, c.reader, converted, error));
        EXPECT_EQ(converted, "\"x\"\n");
    }
}

}  // namespace
}  // namespace bw::inspect

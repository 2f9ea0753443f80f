#include <gtest/gtest.h>

#include "cf/CoreFoundation.h"
#include "device/plist_conversion.h"
#include "formats/plist_library.h"
#include "support/runtime_registry.h"

namespace bw {
namespace {

using testing::LoadStubRuntime;
using testing::TempFolder;

constexpr std::string_view kXml =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
    "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
    "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
    "<plist version=\"1.0\"><dict>"
    "<key>Name</key><string>Jürgen’s iPhone</string>"
    "<key>Count</key><integer>-7</integer>"
    "<key>Ratio</key><real>0.5</real>"
    "<key>On</key><true/>"
    "<key>Blob</key><data>AAEC/w==</data>"
    "<key>List</key><array><string>a</string><integer>4294967296</integer></array>"
    "</dict></plist>\n";

CDicValueObj Parse(std::string_view bytes) {
    CDicValueObj tree;
    readPlistFromString(std::string(bytes), tree, 0);
    return tree;
}

class PlistConversion : public ::testing::Test {
  protected:
    void SetUp() override {
        ResetRuntimeTableForTests();
        ASSERT_TRUE(LoadStubRuntime(folder_));
        liveAtStart_ = BwSimCFLiveObjects();
    }
    void TearDown() override { EXPECT_EQ(BwSimCFLiveObjects(), liveAtStart_); }

    TempFolder folder_;
    long liveAtStart_ = 0;
};

TEST_F(PlistConversion, XmlToBinaryAndBackKeepsEveryValue) {
    const std::string binary = XmlPlistToBinary(kXml);
    ASSERT_GE(binary.size(), 8u);
    EXPECT_EQ(binary.substr(0, 8), "bplist00");
    const std::string xml = BinaryPlistToXml(binary);
    ASSERT_FALSE(xml.empty());
    EXPECT_NE(xml.find("<plist"), std::string::npos);

    const CDicValueObj original = Parse(kXml);
    ASSERT_EQ(original.type, kPlistDictionary);
    EXPECT_TRUE(PlistEquals(Parse(binary), original));
    EXPECT_TRUE(PlistEquals(Parse(xml), original));
}

TEST_F(PlistConversion, MalformedInputGivesEmptyResults) {
    EXPECT_EQ(XmlPlistToBinary(""), "");
    EXPECT_EQ(BinaryPlistToXml(""), "");
    EXPECT_EQ(XmlPlistToBinary("<plist><dict><key>a</key></plist>"), "");
    EXPECT_EQ(XmlPlistToBinary(std::string_view("\0\0\0\0", 4)), "");
    // A binary list cut short, and one whose trailer points outside the bytes.
    const std::string binary = XmlPlistToBinary(kXml);
    ASSERT_GT(binary.size(), 40u);
    EXPECT_EQ(BinaryPlistToXml(binary.substr(0, binary.size() - 10)), "");
    std::string corrupt = binary;
    corrupt[corrupt.size() - 9] = '\x7f';  // the top-object index, far past the object count
    EXPECT_EQ(BinaryPlistToXml(corrupt), "");
    EXPECT_EQ(BinaryPlistToXml("bplist00"), "");
}

TEST(PlistConversionWithoutRuntime, NothingIsConverted) {
    ResetRuntimeTableForTests();
    EXPECT_EQ(XmlPlistToBinary(kXml), "");
    EXPECT_EQ(BinaryPlistToXml("bplist00"), "");
}

TEST(PlistConversionWithoutRuntime, PartialRuntimeConvertsNothing) {
    // The optional writer is looked up only after every required name was found.
    ResetRuntimeTableForTests();
    TempFolder folder;
    EXPECT_FALSE(LoadStubRuntime(folder, /*partial=*/true));
    EXPECT_EQ(Runtime().CFPropertyListCreateData, nullptr);
    EXPECT_EQ(XmlPlistToBinary(kXml), "");
}

}  // namespace
}  // namespace bw

// The device's "assetmetrics" message and the screenshot reply, as XML text written here and
// read the way the message thread and the screenshot exchange read them.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "device/device_info.h"
#include "device/device_utilities.h"
#include "formats/plist_library.h"

namespace bw {
namespace {

CDicValueObj FromXml(const std::string& body) {
    const std::string xml =
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">" + body + "</plist>";
    CDicValueObj tree;
    readPlistFromString(xml, tree, 0);
    EXPECT_NE(tree.type, kPlistNone) << body;
    return tree;
}

std::string Figures(long long count, long long size) {
    return "<dict><key>_Count</key><integer>" + std::to_string(count) +
           "</integer><key>_PhysicalSize</key><integer>" + std::to_string(size) +
           "</integer></dict>";
}

std::string Metrics(const std::string& params) {
    return "<dict><key>Command</key><string>AssetMetrics</string><key>Params</key><dict>" + params +
           "</dict></dict>";
}

struct Category {
    std::string name;
    int32_t count;
    int64_t size;
    bool operator==(const Category&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Category& category) {
    return out << category.name << ":" << category.count << ":" << category.size;
}

std::vector<Category> Read(const std::string& params) {
    std::vector<Category> out;
    for (const BwMediaCategory& record : MediaCategoriesFromMetrics(FromXml(Metrics(params)))) {
        std::string name;
        for (char16_t unit : record.category) {
            if (unit == 0) break;
            name.push_back(static_cast<char>(unit));
        }
        out.push_back({name, record.count, record.physicalSize});
    }
    return out;
}

TEST(MediaMetrics, KindsOtherThanTheFourVideoKindsAddUpAsOneAudioCategory) {
    EXPECT_EQ(Read("<key>Media</key><dict><key>Song</key>" + Figures(3, 300) +
                   "<key>Podcast</key>" + Figures(2, 50) + "</dict>"),
              (std::vector<Category>{{"audio", 5, 350}}));
}

TEST(MediaMetrics, VideoKindsAreRecognisedInAnyLetterCase) {
    EXPECT_EQ(
        Read("<key>Media</key><dict><key>MOVIE</key>" + Figures(1, 1000) + "<key>tvEpisode</key>" +
             Figures(2, 20) + "<key>MusicVideo</key>" + Figures(1, 5) + "<key>iTunesUVideo</key>" +
             Figures(1, 7) + "<key>Song</key>" + Figures(4, 40) + "</dict>"),
        (std::vector<Category>{{"video", 5, 1032}, {"audio", 4, 40}}));
}

TEST(MediaMetrics, RingtonesAndVoiceMemosJoinAudioOrMakeIt) {
    const std::string tail =
        "<key>Ringtone</key>" + Figures(2, 20) + "<key>VoiceMemo</key>" + Figures(1, 9);
    EXPECT_EQ(Read("<key>Media</key><dict><key>Song</key>" + Figures(1, 100) + "</dict>" + tail),
              (std::vector<Category>{{"audio", 4, 129}}));
    EXPECT_EQ(Read(tail), (std::vector<Category>{{"audio", 3, 29}}));
}

TEST(MediaMetrics, TheOtherSectionsEachMakeTheirOwnCategoryInOrder) {
    EXPECT_EQ(
        Read("<key>UserData</key>" + Figures(9, 900) + "<key>Book</key>" + Figures(2, 22) +
             "<key>Application</key>" + Figures(12, 1200) + "<key>Photo</key>" + Figures(30, 3000)),
        (std::vector<Category>{{"photo", 30, 3000},
                               {"application", 12, 1200},
                               {"book", 2, 22},
                               {"userdata", 9, 900}}));
}

TEST(MediaMetrics, MissingAndMisshapenPartsAreSkipped) {
    // A kind that is no dictionary, sections that are no dictionaries, figures that are missing.
    EXPECT_EQ(Read("<key>Media</key><dict><key>Song</key><string>x</string></dict>"
                   "<key>Photo</key><array/><key>Book</key><dict/>"),
              (std::vector<Category>{{"book", 0, 0}}));
    EXPECT_TRUE(MediaCategoriesFromMetrics(FromXml("<dict><key>Params</key><string>no</string>"
                                                   "</dict>"))
                    .empty());
    EXPECT_TRUE(MediaCategoriesFromMetrics(FromXml("<array/>")).empty());
    EXPECT_TRUE(MediaCategoriesFromMetrics(CDicValueObj()).empty());
}

TEST(MediaMetrics, CountsTakeTheirLowThirtyTwoBitsAndSumsWrapInsteadOfOverflowing) {
    EXPECT_EQ(Read("<key>Photo</key>" + Figures(0x100000005LL, 1)),
              (std::vector<Category>{{"photo", 5, 1}}));
    const auto sums =
        Read("<key>Media</key><dict><key>A</key>" + Figures(0x7FFFFFFF, 0x7FFFFFFFFFFFFFFFLL) +
             "<key>B</key>" + Figures(1, 1) + "</dict>");
    ASSERT_EQ(sums.size(), 1u);
    EXPECT_EQ(sums[0].count, INT32_MIN);
    EXPECT_EQ(sums[0].size, INT64_MIN);
}

TEST(MediaMetrics, RecordsAreFiftySixBytesWithTheNameZeroTerminated) {
    const auto records = MediaCategoriesFromMetrics(
        FromXml(Metrics("<key>Application</key>" + Figures(7, 0x0102030405060708LL))));
    ASSERT_EQ(records.size(), 1u);
    unsigned char bytes[sizeof(BwMediaCategory)];
    static_assert(sizeof bytes == 56);
    std::memcpy(bytes, &records[0], sizeof bytes);
    int32_t count;
    std::memcpy(&count, bytes, 4);
    EXPECT_EQ(count, 7);
    const std::u16string name = u"application";
    for (size_t i = 0; i < 22; ++i) {
        char16_t unit;
        std::memcpy(&unit, bytes + 4 + 2 * i, 2);
        EXPECT_EQ(unit, i < name.size() ? name[i] : u'\0') << i;
    }
    int64_t size;
    std::memcpy(&size, bytes + 48, 8);
    EXPECT_EQ(size, 0x0102030405060708LL);
}

TEST(ScreenshotReply, TheDataComesFromTheDictionaryAtIndexOne) {
    std::string image = "old";
    EXPECT_TRUE(ScreenshotDataFromReply(
        FromXml("<array><string>DLMessageProcessMessage</string><dict><key>MessageType</key>"
                "<string>ScreenShotReply</string><key>ScreenShotData</key><data>TU0AKg==</data>"
                "</dict></array>"),
        image));
    EXPECT_EQ(image, std::string("MM\0*", 4));
}

TEST(ScreenshotReply, AnythingElseLeavesTheBytesEmpty) {
    for (const char* body :
         {"<array><string>DLMessageProcessMessage</string></array>",
          "<array><dict><key>ScreenShotData</key><data>TU0AKg==</data></dict></array>",
          "<array><string>x</string><dict><key>ScreenShotData</key><string>MM</string></dict>"
          "</array>",
          "<dict><key>ScreenShotData</key><data>TU0AKg==</data></dict>"}) {
        std::string image = "old";
        EXPECT_FALSE(ScreenshotDataFromReply(FromXml(body), image)) << body;
        EXPECT_TRUE(image.empty()) << body;
    }
}

}  // namespace
}  // namespace bw

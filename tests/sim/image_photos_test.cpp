// The camera-roll photos of an image are whole JPEGs of the size we draw, with a phone's EXIF
// fields, and the same seed always encodes to the same bytes.
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <cstdlib>

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "image/image_builder.h"
#include "support/temp_folder.h"

namespace bw::sim {
namespace {

struct JpegFacts {
    int width = 0;
    int height = 0;
    int components = 0;
    bool hasExif = false;
    bool reachedScan = false;
    bool endsWithEoi = false;
};

// Walks the marker segments from SOI to the first scan, as a decoder does before it reads
// pixels; nullopt when a segment runs off the end or a marker is malformed.
std::optional<JpegFacts> ReadJpeg(const std::string& bytes) {
    const auto byte = [&](size_t at) { return static_cast<unsigned char>(bytes[at]); };
    if (bytes.size() < 4 || byte(0) != 0xff || byte(1) != 0xd8) return std::nullopt;
    JpegFacts facts;
    facts.endsWithEoi = byte(bytes.size() - 2) == 0xff && byte(bytes.size() - 1) == 0xd9;
    size_t at = 2;
    while (at + 4 <= bytes.size()) {
        if (byte(at) != 0xff) return std::nullopt;
        const unsigned marker = byte(at + 1);
        const size_t length = (byte(at + 2) << 8) | byte(at + 3);
        if (length < 2 || at + 2 + length > bytes.size()) return std::nullopt;
        const size_t body = at + 4;
        if (marker == 0xe1 && bytes.compare(body, 6, std::string("Exif\0\0", 6)) == 0)
            facts.hasExif = true;
        if (marker == 0xc0 || marker == 0xc2) {  // baseline or progressive frame header
            if (length < 8) return std::nullopt;
            facts.height = (byte(body + 1) << 8) | byte(body + 2);
            facts.width = (byte(body + 3) << 8) | byte(body + 4);
            facts.components = byte(body + 5);
        }
        if (marker == 0xda) {
            facts.reachedScan = true;
            return facts;
        }
        at += 2 + length;
    }
    return std::nullopt;
}

std::vector<std::string> Photos(const std::string& image) {
    std::vector<std::string> paths;
    for (const auto& item :
         std::filesystem::directory_iterator(ImagePath(image, "/DCIM/100APPLE", ImageRoot::Media)))
        paths.push_back(item.path().string());
    std::sort(paths.begin(), paths.end());
    return paths;
}

class SimImagePhotos : public ::testing::Test {
  protected:
    std::string Build(const std::string& name, uint64_t seed, const char* version = "7.1.2") {
        ImageOptions options;
        options.seed = seed;
        options.iosVersion = version;
        std::string error;
        EXPECT_TRUE(CreateImage(folder / name, options, error)) << error;
        return folder / name;
    }

    testing::TempFolder folder;
};

TEST_F(SimImagePhotos, AreWholeJpegsOfTheDrawnSizeWithExif) {
    const std::vector<std::string> photos = Photos(Build("image", 3));
    ASSERT_GE(photos.size(), 3u);
    for (size_t i = 0; i < photos.size(); ++i) {
        char name[32];
        std::snprintf(name, sizeof name, "IMG_%04zu.JPG", i + 1);
        EXPECT_EQ(std::filesystem::path(photos[i]).filename(), name);
        const std::string bytes = testing::ReadFileBytes(photos[i]);
        const std::optional<JpegFacts> facts = ReadJpeg(bytes);
        ASSERT_TRUE(facts.has_value()) << photos[i];
        EXPECT_TRUE(facts->reachedScan);
        EXPECT_TRUE(facts->endsWithEoi);
        EXPECT_TRUE(facts->hasExif);
        EXPECT_EQ(facts->width, 640);
        EXPECT_EQ(facts->height, 480);
        EXPECT_EQ(facts->components, 3);
        EXPECT_NE(bytes.find(std::string("Apple\0", 6)), std::string::npos);
        EXPECT_NE(bytes.find("iPhone 5s"), std::string::npos);
    }
}

TEST_F(SimImagePhotos, CarryTheModelAndDatesOfTheirVersion) {
    const std::vector<std::string> photos = Photos(Build("old", 3, "5.1.1"));
    ASSERT_FALSE(photos.empty());
    const std::string bytes = testing::ReadFileBytes(photos.front());
    EXPECT_NE(bytes.find("iPhone 4S"), std::string::npos);
    EXPECT_NE(bytes.find("5.1.1"), std::string::npos);
    EXPECT_NE(bytes.find("2012:0"), std::string::npos);  // taken in 2012, before the image's time
    // The file dates agree with the time taken: photos are in the order they were shot.
    int64_t previous = 0;
    for (const std::string& photo : photos) {
        struct stat info {};
        ASSERT_EQ(::stat(photo.c_str(), &info), 0);
        const int64_t time = info.st_mtim.tv_sec;
        EXPECT_GT(time, 1'333'000'000);  // spring 2012
        EXPECT_LT(time, 1'342'000'000);  // summer 2012
        EXPECT_GT(time, previous);
        previous = time;
    }
}

TEST_F(SimImagePhotos, SameSeedSameBytesOtherSeedOtherPictures) {
    const std::vector<std::string> first = Photos(Build("first", 8));
    const std::vector<std::string> again = Photos(Build("again", 8));
    const std::vector<std::string> other = Photos(Build("other", 9));
    ASSERT_EQ(first.size(), again.size());
    ASSERT_EQ(first.size(), other.size());
    for (size_t i = 0; i < first.size(); ++i) {
        const std::string bytes = testing::ReadFileBytes(first[i]);
        EXPECT_EQ(bytes, testing::ReadFileBytes(again[i]));
        EXPECT_NE(bytes, testing::ReadFileBytes(other[i]));
        // Photos of one image differ from each other too.
        if (i > 0) {
            EXPECT_NE(bytes, testing::ReadFileBytes(first[i - 1]));
        }
    }
}

TEST(SimImageJpegReader, RejectsTruncatedAndForeignBytes) {
    EXPECT_FALSE(ReadJpeg("").has_value());
    EXPECT_FALSE(ReadJpeg("\x89PNG\r\n\x1a\n").has_value());
    // SOI, then an APP0 segment that claims more bytes than follow.
    EXPECT_FALSE(ReadJpeg(std::string("\xff\xd8\xff\xe0\x00\x40JFIF", 10)).has_value());
}

}  // namespace
}  // namespace bw::sim

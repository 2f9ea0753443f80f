// The camera-roll photos of an image are whole JPEGs of the size we draw, with the EXIF fields
// of the phone of their version, shot in order. The same options giving the same bytes is the
// builder's determinism test; photos differing by seed is its seed test.
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

TEST_F(SimImagePhotos, AreWholeJpegsWithTheModelAndDatesOfTheirVersion) {
    struct Case {
        const char* version;
        const char* model;
    };
    for (const Case& c : {Case{"7.1.2", "iPhone 5s"}, Case{"5.1.1", "iPhone 4S"}}) {
        SCOPED_TRACE(c.version);
        const std::vector<std::string> photos = Photos(Build(c.version, 3, c.version));
        ASSERT_GE(photos.size(), 3u);
        int64_t previous = 0;
        for (size_t i = 0; i < photos.size(); ++i) {
            char name[32];
            std::snprintf(name, sizeof name, "IMG_%04zu.JPG", i + 1);
            EXPECT_EQ(std::filesystem::path(photos[i]).filename(), name);
            const std::string bytes = testing::ReadFileBytes(photos[i]);
            const std::optional<JpegFacts> facts = ReadJpeg(bytes);
            ASSERT_TRUE(facts.has_value()) << photos[i];
            EXPECT_TRUE(facts->reachedScan && facts->endsWithEoi && facts->hasExif);
            EXPECT_EQ(facts->width, 640);
            EXPECT_EQ(facts->height, 480);
            EXPECT_EQ(facts->components, 3);
            EXPECT_NE(bytes.find(c.model), std::string::npos);
            EXPECT_NE(bytes.find(c.version), std::string::npos);
            if (i > 0) {
                EXPECT_NE(bytes, testing::ReadFileBytes(photos[i - 1]));
            }
            struct stat info {};
            ASSERT_EQ(::stat(photos[i].c_str(), &info), 0);
            EXPECT_GT(info.st_mtim.tv_sec, previous) << "in the order they were shot";
            previous = info.st_mtim.tv_sec;
        }
    }
}

}  // namespace
}  // namespace bw::sim

#include "photo/photo_thumbnail.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "platform/files.h"
#include "support/temp_folder.h"
#include "support/vips_pictures.h"

namespace bw {
namespace {

using testing::DecodeWithVips;
using testing::EncodeWithVips;
using testing::Pixels;
using testing::ReadFileBytes;
using testing::Rgb;
using testing::TempFolder;

// Channels in the middle of their RGB555 steps, so scaling that moves a value by a unit or two
// keeps the 16-bit word.
constexpr Rgb kRust{0xC4, 0x44, 0x24};  // RGB555 0x6104
constexpr Rgb kTeal{0x24, 0x84, 0x8C};
constexpr Rgb kMoss{0x4C, 0x74, 0x2C};
constexpr uint16_t kRustWord = 0x6104;
constexpr uint16_t kWhiteWord = 0x7FFF;

bool Near(Rgb a, Rgb b, int tolerance) {
    return std::abs(a.r - b.r) <= tolerance && std::abs(a.g - b.g) <= tolerance &&
           std::abs(a.b - b.b) <= tolerance;
}

bool IsWhite(Rgb c) {
    return c.r >= 240 && c.g >= 240 && c.b >= 240;
}

// ---- "Airlock_photo" written out independently from its layout ----

class BigEndian {
  public:
    BigEndian& u32(uint32_t v) {
        for (int shift = 24; shift >= 0; shift -= 8)
            bytes_.push_back(static_cast<char>(v >> shift));
        return *this;
    }
    BigEndian& raw(std::string_view b) {
        bytes_.append(b);
        return *this;
    }
    const std::string& bytes() const { return bytes_; }

  private:
    std::string bytes_;
};

struct RenditionLayout {
    uint32_t code;
    int width, height;
    int areaWidth, areaHeight;  // the picture's part, at the top left
    size_t bytes;
    const char* jpegName;
};

const RenditionLayout kLayout[] = {
    {3041, 79, 78, 79, 78, 12480, "3141_80X80.jpg"},
    {3141, 159, 158, 150, 150, 50560, "4040_158X158.jpg"},
    {4040, 169, 168, 160, 160, 57120, "4031_168X168.jpg"},
    {4031, 120, 120, 120, 120, 28800, "4032_120X120.jpg"},
    {4032, 32, 32, 32, 32, 2048, "4032_32X32.jpg"},
};

// Little-endian 16-bit words; the picture's word in its area, white elsewhere, zero in the row
// padding that brings each row to a multiple of 4 bytes.
std::string RenditionPixels(const RenditionLayout& r, uint16_t pictureWord) {
    const size_t stride = r.width % 2 ? size_t(r.width) * 2 + 2 : size_t(r.width) * 2;
    std::string out(stride * r.height, '\0');
    for (int y = 0; y < r.height; ++y)
        for (int x = 0; x < r.width; ++x) {
            const uint16_t word = x < r.areaWidth && y < r.areaHeight ? pictureWord : kWhiteWord;
            out[y * stride + x * 2] = static_cast<char>(word & 0xFF);
            out[y * stride + x * 2 + 1] = static_cast<char>(word >> 8);
        }
    return out;
}

std::string ExpectedAirlock(std::string_view picture, uint16_t pictureWord, uint32_t trailer) {
    std::string data(picture);
    std::vector<uint32_t> offsets;
    for (const RenditionLayout& r : kLayout) {
        offsets.push_back(static_cast<uint32_t>(data.size()));
        data += RenditionPixels(r, pictureWord);
    }
    BigEndian file;
    file.raw(data);
    file.u32(4035).u32(0).u32(static_cast<uint32_t>(picture.size()));
    for (size_t i = 0; i < std::size(kLayout); ++i)
        file.u32(kLayout[i].code).u32(offsets[i]).u32(static_cast<uint32_t>(kLayout[i].bytes));
    file.u32(0).u32(32).u32(0).u32(6).u32(12).u32(static_cast<uint32_t>(data.size()));
    file.raw(std::string(12, '\0'));
    file.u32(trailer).u32(static_cast<uint32_t>(data.size() + 124)).u32(2).raw("imth");
    return file.bytes();
}

uint32_t Be32At(const std::string& bytes, size_t at) {
    uint32_t v = 0;
    for (size_t i = 0; i < 4; ++i)
        v = v << 8 | static_cast<unsigned char>(bytes[at + i]);
    return v;
}

class AirlockPhoto : public ::testing::Test {
  protected:
    std::string Build(const std::string& source, uint32_t trailer = 0x01020304) {
        CPhotoUsuallyAirlock builder(source, work_.path(), "iPhone5,2");
        builder.trailerValue = trailer;
        builder.setting = 1;
        return builder.BuildThumbnailFile();
    }
    std::string Airlock() const { return work_ / "Airlock_photo"; }

    // Three side-by-side (or stacked) thirds: only the middle one is the centred square.
    static std::string ThirdsPng(bool wide, Rgb middle) {
        Pixels p(wide ? 90 : 30, wide ? 30 : 90, 3);
        p.Fill(0, 0, p.width, p.height, kTeal);
        if (wide) {
            p.Fill(30, 0, 30, 30, middle);
            p.Fill(60, 0, 30, 30, kMoss);
        } else {
            p.Fill(0, 30, 30, 30, middle);
            p.Fill(0, 60, 30, 30, kMoss);
        }
        return EncodeWithVips(p, ".png");
    }

    TempFolder work_;
    TempFolder elsewhere_;
};

TEST_F(AirlockPhoto, TheFileIsTheLayoutByteForByte) {
    for (const RenditionLayout& r : kLayout)
        ASSERT_EQ(RenditionPixels(r, 0).size(), r.bytes);
    for (const bool wide : {true, false}) {
        SCOPED_TRACE(wide ? "wide source" : "tall source");
        const std::string png = ThirdsPng(wide, kRust);
        const std::string source = elsewhere_.Write("photo.png", png);
        const std::string path = Build(source, 0xA1B2C3D4);
        ASSERT_EQ(path, Airlock());
        const std::string file = ReadFileBytes(path);
        const std::string expected = ExpectedAirlock(png, kRustWord, 0xA1B2C3D4);
        ASSERT_EQ(file.size(), expected.size());
        EXPECT_TRUE(file == expected);
        // The fields a reader of the device checks first, stated on their own.
        EXPECT_EQ(Be32At(file, file.size() - 12), file.size());
        EXPECT_EQ(file.substr(file.size() - 4), "imth");
        EXPECT_EQ(Be32At(file, file.size() - 124 + 5 * 12 + 8), 2048u);
    }
}

TEST_F(AirlockPhoto, ACameraSizedPhotoIsCroppedToItsCentreToo) {
    // Large enough to be decoded at a reduced size first: thirds of 700 x 700 side by side.
    Pixels p(2100, 700, 3);
    p.Fill(0, 0, 700, 700, kTeal);
    p.Fill(700, 0, 700, 700, kRust);
    p.Fill(1400, 0, 700, 700, kMoss);
    const std::string png = EncodeWithVips(p, ".png");
    const std::string file = ReadFileBytes(Build(elsewhere_.Write("big.png", png)));
    ASSERT_EQ(file.size(), png.size() + 151008 + 124);
    ASSERT_TRUE(file.compare(0, png.size(), png) == 0);
    // The 120 x 120 rendition (4031), fourth in the data area: away from its left and right
    // edges, where scaling may blend in a neighbour third, every word is the middle's colour.
    const size_t start = png.size() + 12480 + 50560 + 57120;
    ASSERT_EQ(Be32At(file, file.size() - 124 + 4 * 12 + 4), start);
    for (int y = 0; y < 120; ++y)
        for (int x = 4; x < 116; ++x) {
            const size_t at = start + size_t(y) * 240 + x * 2;
            const auto word = static_cast<uint16_t>(static_cast<unsigned char>(file[at]) |
                                                    static_cast<unsigned char>(file[at + 1]) << 8);
            ASSERT_EQ(word, kRustWord) << x << "," << y;
        }
}

TEST_F(AirlockPhoto, TheRenditionsAreAlsoLeftAsJpegsUnderTheirWorkingNames) {
    ASSERT_FALSE(Build(elsewhere_.Write("photo.png", ThirdsPng(true, kRust))).empty());
    for (const RenditionLayout& r : kLayout) {
        SCOPED_TRACE(r.jpegName);
        ASSERT_TRUE(platform::IsPlainFile(work_ / r.jpegName));
        const Pixels jpeg = DecodeWithVips(ReadFileBytes(work_ / r.jpegName));
        ASSERT_EQ(jpeg.width, r.width);
        ASSERT_EQ(jpeg.height, r.height);
        EXPECT_TRUE(Near(jpeg.rgb(r.areaWidth / 2, r.areaHeight / 2), kRust, 10));
        if (r.areaWidth < r.width) {
            EXPECT_TRUE(IsWhite(jpeg.rgb(r.width - 2, r.height - 2)));
        }
    }
}

TEST_F(AirlockPhoto, AMissingSourceGivesAnEmptyPictureRecordAndWhiteRenditions) {
    const std::string path = Build(elsewhere_ / "gone.jpg", 7);
    ASSERT_FALSE(path.empty());
    const std::string file = ReadFileBytes(path);
    EXPECT_TRUE(file == ExpectedAirlock("", kWhiteWord, 7));
    // The index follows the five renditions: its first record is the picture's, of length 0.
    constexpr size_t kIndex = 12480 + 50560 + 57120 + 28800 + 2048;
    EXPECT_EQ(Be32At(file, kIndex), 4035u);
    EXPECT_EQ(Be32At(file, kIndex + 8), 0u);
}

TEST_F(AirlockPhoto, BytesThatAreNoPictureStillLeadTheDataArea) {
    const std::string junk = "this is a text file, not a photo\n\x00\x01\x02";
    const std::string path = Build(elsewhere_.Write("notes.jpg", junk), 9);
    ASSERT_FALSE(path.empty());
    EXPECT_TRUE(ReadFileBytes(path) == ExpectedAirlock(junk, kWhiteWord, 9));
}

TEST_F(AirlockPhoto, ASecondBuildReplacesTheFirst) {
    const std::string source = elsewhere_.Write("photo.png", ThirdsPng(true, kRust));
    ASSERT_FALSE(Build(source, 5).empty());
    const std::string white = EncodeWithVips(testing::Solid(40, 40, Rgb{255, 255, 255}), ".png");
    elsewhere_.Write("photo.png", white);
    ASSERT_FALSE(Build(source, 6).empty());
    EXPECT_TRUE(ReadFileBytes(Airlock()) == ExpectedAirlock(white, kWhiteWord, 6));
}

TEST_F(AirlockPhoto, NothingIsBuiltWithoutASourceTrailerValueOrSetting) {
    const std::string source = elsewhere_.Write("photo.png", ThirdsPng(true, kRust));
    EXPECT_EQ(Build(source, 0), "");
    EXPECT_EQ(Build("", 1), "");
    CPhotoUsuallyAirlock noSetting(source, work_.path(), "iPhone5,2");
    noSetting.trailerValue = 1;
    EXPECT_EQ(noSetting.BuildThumbnailFile(), "");
    EXPECT_FALSE(platform::PathExists(Airlock()));
}

TEST_F(AirlockPhoto, LinksPlantedInTheWorkingFolderAreReplacedNotFollowed) {
    const std::string victim = elsewhere_.Write("victim", "keep me");
    const std::string jpegVictim = elsewhere_.Write("jpeg-victim", "keep me too");
    ASSERT_EQ(::symlink(victim.c_str(), Airlock().c_str()), 0);
    ASSERT_EQ(::symlink(jpegVictim.c_str(), (work_ / "3141_80X80.jpg").c_str()), 0);
    const std::string png = ThirdsPng(true, kRust);
    ASSERT_EQ(Build(elsewhere_.Write("photo.png", png), 3), Airlock());
    EXPECT_EQ(ReadFileBytes(victim), "keep me");
    EXPECT_EQ(ReadFileBytes(jpegVictim), "keep me too");
    ASSERT_TRUE(platform::IsPlainFile(Airlock()));
    EXPECT_TRUE(ReadFileBytes(Airlock()) == ExpectedAirlock(png, kRustWord, 3));
    EXPECT_TRUE(platform::IsPlainFile(work_ / "3141_80X80.jpg"));
}

// ---- Display thumbnails ----

Pixels Thumbnail(const std::string& picture, int boxWidth, int boxHeight) {
    std::string jpeg;
    EXPECT_TRUE(MakeDisplayThumbnail(picture, boxWidth, boxHeight, jpeg));
    EXPECT_EQ(jpeg.substr(0, 2), "\xFF\xD8");
    return DecodeWithVips(jpeg);
}

TEST(DisplayThumbnail, AWidePictureSitsCentredInAWhiteBox) {
    const Pixels t = Thumbnail(EncodeWithVips(testing::Solid(200, 100, kRust), ".png"), 98, 98);
    ASSERT_EQ(t.width, 98);
    ASSERT_EQ(t.height, 98);
    // 98 x 49 of picture from row 24: white bands above and below, the full width coloured.
    for (int x = 0; x < 98; x += 4) {
        EXPECT_TRUE(IsWhite(t.rgb(x, 10))) << x;
        EXPECT_TRUE(Near(t.rgb(x, 48), kRust, 12)) << x;
        EXPECT_TRUE(IsWhite(t.rgb(x, 88))) << x;
    }
}

TEST(DisplayThumbnail, ATallPictureInACallersBoxKeepsItsProportions) {
    const Pixels t = Thumbnail(EncodeWithVips(testing::Solid(50, 200, kTeal), ".jpg"), 120, 80);
    ASSERT_EQ(t.width, 120);
    ASSERT_EQ(t.height, 80);
    // 20 x 80 of picture from column 50.
    for (int y = 0; y < 80; y += 4) {
        EXPECT_TRUE(IsWhite(t.rgb(20, y))) << y;
        EXPECT_TRUE(Near(t.rgb(60, y), kTeal, 12)) << y;
        EXPECT_TRUE(IsWhite(t.rgb(100, y))) << y;
    }
}

TEST(DisplayThumbnail, AOnePixelPictureFillsTheWholeBox) {
    const Pixels t = Thumbnail(EncodeWithVips(testing::Solid(1, 1, kMoss), ".png"), 98, 98);
    ASSERT_EQ(t.width, 98);
    ASSERT_EQ(t.height, 98);
    for (const auto& [x, y] : {std::pair{0, 0}, {97, 0}, {0, 97}, {97, 97}, {49, 49}})
        EXPECT_TRUE(Near(t.rgb(x, y), kMoss, 12)) << x << "," << y;
}

TEST(DisplayThumbnail, PicturesThatDoNotDecodeOrAreTooLargeGiveNothing) {
    const std::string small = EncodeWithVips(testing::Solid(8, 8, kRust), ".jpg");
    std::string jpeg = "left over";
    EXPECT_FALSE(MakeDisplayThumbnail("GIF89a but nothing else", 98, 98, jpeg));
    EXPECT_TRUE(jpeg.empty());
    EXPECT_FALSE(MakeDisplayThumbnail("", 98, 98, jpeg));
    EXPECT_FALSE(MakeDisplayThumbnail(small.substr(0, small.size() / 2), 98, 98, jpeg));
    EXPECT_FALSE(
        MakeDisplayThumbnail(testing::JpegClaimingSize(small, 60000, 60000), 98, 98, jpeg));
    EXPECT_FALSE(MakeDisplayThumbnail(testing::BlackPng(10001, 10000), 98, 98, jpeg));
    EXPECT_TRUE(jpeg.empty());
}

TEST(DisplayThumbnail, BoxesOutsideOneTo4096PixelsAreRefused) {
    const std::string small = EncodeWithVips(testing::Solid(8, 8, kRust), ".png");
    std::string jpeg;
    EXPECT_FALSE(MakeDisplayThumbnail(small, 0, 98, jpeg));
    EXPECT_FALSE(MakeDisplayThumbnail(small, 98, -1, jpeg));
    EXPECT_FALSE(MakeDisplayThumbnail(small, 4097, 98, jpeg));
    EXPECT_TRUE(MakeDisplayThumbnail(small, 4096, 1, jpeg));
    const Pixels edge = DecodeWithVips(jpeg);
    EXPECT_EQ(edge.width, 4096);
    EXPECT_EQ(edge.height, 1);
}

}  // namespace
}  // namespace bw

#include "platform/image.h"

#include <gtest/gtest.h>

#include <string>

#include "support/temp_folder.h"
#include "support/vips_pictures.h"

namespace bw::platform {
namespace {

using testing::DecodeWithVips;
using testing::EncodeWithVips;
using testing::Pixels;
using testing::Rgb;

// Colours whose channels sit in the middle of their RGB555 step, so a scaler's rounding by a
// unit or two cannot move them to another 16-bit word.
constexpr Rgb kRust{0xC4, 0x44, 0x24};
constexpr Rgb kTeal{0x24, 0x84, 0x8C};
constexpr Rgb kWhite{0xFF, 0xFF, 0xFF};

std::string RgbBytes(std::initializer_list<Rgb> colours) {
    std::string out;
    for (const Rgb& c : colours) {
        out.push_back(static_cast<char>(c.r));
        out.push_back(static_cast<char>(c.g));
        out.push_back(static_cast<char>(c.b));
    }
    return out;
}

Rgb PixelOf(const Picture& picture, int x, int y) {
    const size_t at = (static_cast<size_t>(y) * picture.width() + x) * 3;
    const std::string& rgb = picture.rgb();
    return {static_cast<uint8_t>(rgb[at]), static_cast<uint8_t>(rgb[at + 1]),
            static_cast<uint8_t>(rgb[at + 2])};
}

bool Near(Rgb a, Rgb b, int tolerance) {
    return std::abs(a.r - b.r) <= tolerance && std::abs(a.g - b.g) <= tolerance &&
           std::abs(a.b - b.b) <= tolerance;
}

TEST(ImageRgb555, KnownPixelsGiveLittleEndianWordsAndZeroRowPadding) {
    // Three pixels a row: 6 bytes raised to a stride of 8, the last two zero.
    const Picture picture = Picture::FromRgb(3, 2,
                                             RgbBytes({{0xFF, 0x00, 0x00},
                                                       {0x00, 0xFF, 0x00},
                                                       {0x00, 0x00, 0xFF},
                                                       {0xFF, 0xFF, 0xFF},
                                                       {0x07, 0x08, 0x0F},
                                                       {0x80, 0x40, 0x20}}));
    ASSERT_FALSE(picture.empty());
    const std::string expected(
        "\x00\x7C\xE0\x03\x1F\x00\x00\x00"
        "\xFF\x7F\x21\x00\x04\x41\x00\x00",
        16);
    EXPECT_EQ(Rgb555Rows(picture), expected);
}

TEST(ImageRgb555, StrideIsWidthTimesTwoRaisedToFour) {
    for (const auto& [width, stride] : {std::pair{1, 4}, {2, 4}, {5, 12}, {79, 160}, {32, 64}}) {
        const Picture picture = Picture::FromRgb(width, 3, std::string(size_t(width) * 9, '\xFF'));
        const std::string rows = Rgb555Rows(picture);
        ASSERT_EQ(rows.size(), size_t(stride) * 3) << "width " << width;
        for (int y = 0; y < 3; ++y)
            for (int x = width * 2; x < stride; ++x)
                EXPECT_EQ(rows[size_t(y) * stride + x], '\0') << "width " << width;
    }
    EXPECT_TRUE(Rgb555Rows(Picture()).empty());
}

TEST(ImagePicture, FromRgbRefusesSizesThatDoNotMatchOrExceedTheLimit) {
    EXPECT_TRUE(Picture::FromRgb(2, 2, std::string(11, 'x')).empty());
    EXPECT_TRUE(Picture::FromRgb(2, 2, std::string(13, 'x')).empty());
    EXPECT_TRUE(Picture::FromRgb(0, 2, "").empty());
    EXPECT_TRUE(Picture::FromRgb(-1, -3, "").empty());
    // Sizes whose byte count overflows 32 bits or exceeds the pixel limit.
    EXPECT_TRUE(Picture::FromRgb(70000, 70000, "").empty());
    EXPECT_TRUE(Picture::FromRgb(10001, 10000, "").empty());
    const Picture ok = Picture::FromRgb(2, 1, RgbBytes({kRust, kTeal}));
    ASSERT_FALSE(ok.empty());
    EXPECT_EQ(ok.width(), 2);
    EXPECT_EQ(ok.height(), 1);
    EXPECT_EQ(PixelOf(ok, 1, 0), kTeal);
}

TEST(ImageDecode, PngPixelsComeBackExactlyAndAlphaBecomesWhite) {
    Pixels rgba(3, 1, 4);
    const uint8_t values[] = {0xC4, 0x44, 0x24, 0xFF, 0x10, 0x20,
                              0x30, 0x00, 0x00, 0x00, 0x00, 0x80};
    std::copy(std::begin(values), std::end(values), rgba.bytes.begin());
    const Picture picture = LoadPictureMemory(EncodeWithVips(rgba, ".png"));
    ASSERT_FALSE(picture.empty());
    ASSERT_EQ(picture.width(), 3);
    EXPECT_EQ(PixelOf(picture, 0, 0), kRust);   // opaque: unchanged
    EXPECT_EQ(PixelOf(picture, 1, 0), kWhite);  // transparent: the white behind it
    EXPECT_TRUE(Near(PixelOf(picture, 2, 0), Rgb{0x7F, 0x7F, 0x7F}, 1));  // half black on white
}

TEST(ImageDecode, GreyAndJpegPicturesBecomeThreeBandRgb) {
    Pixels grey(4, 2, 1);
    grey.Fill(0, 0, 4, 2, Rgb{0x5A, 0, 0});
    const Picture fromGrey = LoadPictureMemory(EncodeWithVips(grey, ".png"));
    ASSERT_FALSE(fromGrey.empty());
    EXPECT_EQ(fromGrey.rgb().size(), 4u * 2 * 3);
    EXPECT_EQ(PixelOf(fromGrey, 3, 1), (Rgb{0x5A, 0x5A, 0x5A}));

    const Picture fromJpeg =
        LoadPictureMemory(EncodeWithVips(testing::Solid(40, 24, kRust), ".jpg[Q=98]"));
    ASSERT_FALSE(fromJpeg.empty());
    EXPECT_EQ(fromJpeg.width(), 40);
    EXPECT_EQ(fromJpeg.height(), 24);
    EXPECT_TRUE(Near(PixelOf(fromJpeg, 20, 12), kRust, 3));
}

TEST(ImageDecode, HeadersClaimingHugeSizesAreRefusedBeforeDecoding) {
    const Pixels small = testing::Solid(8, 8, kTeal);
    const std::string png = EncodeWithVips(small, ".png");
    const std::string jpeg = EncodeWithVips(small, ".jpg");
    // The patched files still read as valid headers: the untouched ones decode.
    ASSERT_FALSE(LoadPictureMemory(testing::PngClaimingSize(png, 8, 8)).empty());
    ASSERT_FALSE(LoadPictureMemory(testing::JpegClaimingSize(jpeg, 8, 8)).empty());
    // 60000 x 60000 would be 10 GB of pixels.
    const std::string hugePng = testing::PngClaimingSize(png, 60000, 60000);
    const std::string hugeJpeg = testing::JpegClaimingSize(jpeg, 60000, 60000);
    // The header reader states the claim without decoding; the loaders refuse it.
    int width = 0, height = 0;
    ASSERT_TRUE(ReadPictureHeader(hugeJpeg, width, height));
    EXPECT_EQ(width, 60000);
    EXPECT_EQ(height, 60000);
    EXPECT_TRUE(LoadPictureMemory(hugePng).empty());
    EXPECT_TRUE(LoadPictureMemory(hugeJpeg).empty());
    EXPECT_TRUE(LoadPictureFitted(hugePng, 98, 98).empty());
    EXPECT_TRUE(LoadPictureFitted(hugeJpeg, 98, 98).empty());
}

TEST(ImageDecode, AValidPictureJustOverThePixelLimitIsRefused) {
    // 10001 x 10000 is one row over the limit; the file itself is whole and decodable.
    const std::string png = testing::BlackPng(10001, 10000);
    EXPECT_TRUE(LoadPictureMemory(png).empty());
    EXPECT_TRUE(LoadPictureFitted(png, 98, 98).empty());
}

TEST(ImageDecode, TruncatedDamagedAndForeignBytesAreRefused) {
    const Pixels busy = [] {
        Pixels p = testing::Solid(64, 64, kRust);
        for (int y = 0; y < 64; y += 2)
            p.Fill(0, y, 64, 1, kTeal);
        return p;
    }();
    const std::string jpeg = EncodeWithVips(busy, ".jpg");
    const std::string png = EncodeWithVips(busy, ".png");
    for (const std::string& cut : {jpeg.substr(0, jpeg.size() / 2), png.substr(0, png.size() / 2),
                                   jpeg.substr(0, 20), std::string()}) {
        EXPECT_TRUE(LoadPictureMemory(cut).empty()) << cut.size();
        EXPECT_TRUE(LoadPictureFitted(cut, 32, 32).empty()) << cut.size();
    }
    EXPECT_TRUE(LoadPictureMemory("not a picture at all, just some text").empty());
    int width = 1, height = 1;
    EXPECT_FALSE(ReadPictureHeader("not a picture at all, just some text", width, height));
    EXPECT_EQ(width, 0);
    // A vector document: the imaging library may read these, a photo library never holds them.
    const std::string svg =
        "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"10\" height=\"10\">"
        "<rect width=\"10\" height=\"10\" fill=\"red\"/></svg>";
    EXPECT_TRUE(LoadPictureMemory(svg).empty());
    EXPECT_FALSE(ReadPictureHeader(svg, width, height));
}

TEST(ImageDecode, FileLoadingRefusesFoldersAndMissingFiles) {
    testing::TempFolder folder;
    const std::string path =
        folder.Write("p.png", EncodeWithVips(testing::Solid(5, 3, kTeal), ".png"));
    const Picture picture = LoadPictureFile(path);
    ASSERT_FALSE(picture.empty());
    EXPECT_EQ(PixelOf(picture, 4, 2), kTeal);
    EXPECT_TRUE(LoadPictureFile(folder / "missing.png").empty());
    EXPECT_TRUE(LoadPictureFile(folder.path()).empty());
}

TEST(ImageGeometry, SquareCropKeepsTheCentredSquare) {
    // Six columns: the centred 2 x 2 square is columns 2 and 3.
    const Picture wide = Picture::FromRgb(6, 2,
                                          RgbBytes({kWhite, kWhite, kRust, kTeal, kWhite, kWhite,
                                                    kWhite, kWhite, kTeal, kRust, kWhite, kWhite}));
    const Picture square = SquareCrop(wide);
    ASSERT_EQ(square.width(), 2);
    ASSERT_EQ(square.height(), 2);
    EXPECT_EQ(square.rgb(), RgbBytes({kRust, kTeal, kTeal, kRust}));

    // Five rows, one column: row 2 (odd leftovers go below).
    const Picture tall = Picture::FromRgb(1, 5, RgbBytes({kWhite, kWhite, kRust, kWhite, kWhite}));
    EXPECT_EQ(SquareCrop(tall).rgb(), RgbBytes({kRust}));
    EXPECT_TRUE(SquareCrop(Picture()).empty());
}

TEST(ImageGeometry, DrawIntoBoxFitsAndCentresWithinTheArea) {
    const Picture wide = Picture::FromRgb(4, 2, std::string(24, '\0'));  // black
    const Picture boxed = DrawIntoBox(wide, 10, 10, 10, 10, true, 0xFFFFFF);
    ASSERT_EQ(boxed.width(), 10);
    ASSERT_EQ(boxed.height(), 10);
    // 10 x 5 of black centred: rows 2 to 6; white above and below.
    for (int y = 0; y < 10; ++y) {
        const Rgb expected = (y >= 2 && y <= 6) ? Rgb{0, 0, 0} : kWhite;
        for (int x = 0; x < 10; ++x)
            ASSERT_TRUE(Near(PixelOf(boxed, x, y), expected, 2)) << x << "," << y;
    }

    // Stretched into the top-left area of a larger canvas of another colour.
    const Picture padded = DrawIntoBox(SquareCrop(wide), 12, 9, 3, 4, false, 0x102030);
    ASSERT_EQ(padded.width(), 12);
    for (int y = 0; y < 9; ++y)
        for (int x = 0; x < 12; ++x) {
            const Rgb expected = (x < 3 && y < 4) ? Rgb{0, 0, 0} : Rgb{0x10, 0x20, 0x30};
            ASSERT_TRUE(Near(PixelOf(padded, x, y), expected, 2)) << x << "," << y;
        }
}

TEST(ImageGeometry, DrawIntoBoxRefusesAreasOutsideTheCanvas) {
    const Picture one = Picture::FromRgb(1, 1, RgbBytes({kRust}));
    EXPECT_TRUE(DrawIntoBox(one, 10, 10, 11, 10, false, 0).empty());
    EXPECT_TRUE(DrawIntoBox(one, 10, 10, 0, 10, false, 0).empty());
    EXPECT_TRUE(DrawIntoBox(one, 0, 10, 0, 10, false, 0).empty());
    EXPECT_TRUE(DrawIntoBox(Picture(), 10, 10, 10, 10, false, 0).empty());
    EXPECT_TRUE(DrawIntoBox(one, 20000, 20000, 20000, 20000, false, 0).empty());
}

TEST(ImageEncode, JpegAndPngDecodeElsewhereToTheSamePicture) {
    const Picture picture =
        Picture::FromRgb(3, 2, RgbBytes({kRust, kTeal, kWhite, kTeal, kRust, Rgb{0, 0, 0}}));
    const Pixels png = DecodeWithVips(EncodePng(picture));
    ASSERT_EQ(png.width, 3);
    ASSERT_EQ(png.height, 2);
    EXPECT_EQ(std::string(png.bytes.begin(), png.bytes.end()), picture.rgb());

    const Picture flat =
        DrawIntoBox(Picture::FromRgb(1, 1, RgbBytes({kTeal})), 16, 8, 16, 8, false, 0);
    const std::string jpeg = EncodeJpeg(flat, 95);
    ASSERT_EQ(jpeg.substr(0, 2), "\xFF\xD8");
    const Pixels decoded = DecodeWithVips(jpeg);
    ASSERT_EQ(decoded.width, 16);
    ASSERT_EQ(decoded.height, 8);
    EXPECT_TRUE(Near(decoded.rgb(8, 4), kTeal, 3));
    EXPECT_TRUE(EncodeJpeg(flat, 0).empty());
    EXPECT_TRUE(EncodeJpeg(flat, 101).empty());
    EXPECT_TRUE(EncodeJpeg(Picture(), 90).empty());
}

TEST(ImageFitted, ScalesDownAndUpSoOneSideMeetsTheBox) {
    const std::string photo = EncodeWithVips(testing::Solid(640, 480, kRust), ".jpg");
    const Picture down = LoadPictureFitted(photo, 98, 98);
    ASSERT_FALSE(down.empty());
    EXPECT_EQ(down.width(), 98);
    EXPECT_NEAR(down.height(), 73.5, 1.0);
    EXPECT_TRUE(Near(PixelOf(down, 49, down.height() / 2), kRust, 4));

    const Picture up =
        LoadPictureFitted(EncodeWithVips(testing::Solid(1, 1, kTeal), ".png"), 98, 60);
    ASSERT_EQ(up.width(), 60);
    ASSERT_EQ(up.height(), 60);
    EXPECT_TRUE(Near(PixelOf(up, 30, 30), kTeal, 2));
    EXPECT_TRUE(LoadPictureFitted(photo, 0, 98).empty());
}

}  // namespace
}  // namespace bw::platform

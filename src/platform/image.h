// Pictures: decoding, drawing into a box, JPEG encoding and 16-bit RGB555 pixel rows. This is
// the one place that knows the imaging library (libvips); the photo code sees only these calls.
//
// Nothing here throws: a failure is an empty Picture, an empty byte string or a false.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace bw::platform {

// Starts the imaging library once for the process; later calls answer the first one's outcome.
// Every other call below starts it on demand, so this only makes the start explicit (the photo
// manager calls it when it is made). Returns a token that is 0 when the start failed.
uint32_t StartImaging();
// Kept for symmetry with StartImaging: the imaging library cannot be started twice in one
// process, so it stays started until the process ends and this only forgets the token.
void StopImaging(uint32_t token);

// A decoded picture: 8-bit sRGB, 3 bands, in memory. Cheap to copy (shared, never modified).
class Picture {
  public:
    Picture() = default;
    bool empty() const { return !pixels_; }
    int width() const { return width_; }
    int height() const { return height_; }
    // Rows from top to bottom, 3 bytes (R, G, B) per pixel, no padding.
    const std::string& rgb() const { return *pixels_; }

    static Picture FromRgb(int width, int height, std::string rgb);

  private:
    std::shared_ptr<const std::string> pixels_;
    int width_ = 0;
    int height_ = 0;
};

// Decoding. Any format the imaging library reads (JPEG, PNG, TIFF, ...); alpha is flattened onto
// white; the orientation tag is not applied (pixels as stored). Pictures larger than
// kMaxPicturePixels are refused, so hostile headers cannot ask for gigabytes.
inline constexpr int64_t kMaxPicturePixels = 100'000'000;
// The size a picture's header declares, read without decoding any pixel (so it may exceed
// kMaxPicturePixels); false when the bytes are not of a format these calls decode.
bool ReadPictureHeader(std::string_view bytes, int& width, int& height);
Picture LoadPictureFile(const std::string& path);
Picture LoadPictureMemory(std::string_view bytes);

// The picture fitted inside a `boxWidth` x `boxHeight` box with its proportions kept (one side
// meets the box), scaled up or down with high quality. Faster than LoadPictureMemory followed by
// DrawIntoBox for a small box: formats that can decode at a reduced size (JPEG) do so. The same
// formats, size limit and orientation rule as LoadPictureMemory.
Picture LoadPictureFitted(std::string_view bytes, int boxWidth, int boxHeight);

// The largest centred square of the picture.
Picture SquareCrop(const Picture& picture);

// A `width` x `height` canvas filled with `background` (0xRRGGBB) on which the picture is drawn
// scaled with high quality into the rectangle (0, 0, areaWidth, areaHeight); with
// `keepProportions` it is fitted inside that rectangle and centred there.
Picture DrawIntoBox(const Picture& picture, int width, int height, int areaWidth, int areaHeight,
                    bool keepProportions, uint32_t background);

// JPEG bytes (quality 1-100); empty on failure.
std::string EncodeJpeg(const Picture& picture, int quality = 90);
// PNG bytes; empty on failure.
std::string EncodePng(const Picture& picture);

// The picture as 16-bit RGB555 words, little-endian, rows from top to bottom, each row
// width * 2 bytes raised to the next multiple of 4 (the padding is zero). Each channel keeps its
// 5 high bits: word = (r >> 3) << 10 | (g >> 3) << 5 | (b >> 3).
std::string Rgb555Rows(const Picture& picture);

}  // namespace bw::platform

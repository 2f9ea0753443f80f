// Picture bytes from a phone or a host folder through the imaging layer: the display thumbnail
// maker, and the decoder followed by the RGB555 rows the upload thumbnail stores. Input: two bytes
// choosing the box (1 to 64 pixels a side, so each run stays fast), then the picture bytes.
//
// The header reader is the guard in front of both: bytes it does not accept never decode, and a
// decoded picture has the size its header declared. A thumbnail is a JPEG of exactly the box;
// rows are the declared stride with zero padding.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "fuzz_seeds.h"
#include "photo/photo_thumbnail.h"
#include "platform/image.h"

namespace {

using namespace bw::platform;

// Larger pictures decode correctly but slowly; they are the benchmark's business, not the
// fuzzer's, which would spend its time on them instead of on odd bytes.
constexpr int64_t kMaxFuzzedPixels = 1 << 20;

void Check(bool condition) {
    if (!condition) std::abort();
}

Picture Colours(int width, int height) {
    std::string rgb;
    for (int i = 0; i < width * height; ++i) {
        rgb.push_back(static_cast<char>(i * 37));
        rgb.push_back(static_cast<char>(i * 91 + 5));
        rgb.push_back(static_cast<char>(255 - i * 13));
    }
    return Picture::FromRgb(width, height, std::move(rgb));
}

std::string Boxed(char w, char h, const std::string& picture) {
    return std::string{w, h} + picture;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    const std::string jpeg = EncodeJpeg(Colours(17, 9), 80);
    const std::string png = EncodePng(Colours(5, 12));
    bw::fuzz::MaybeWriteSeeds({
        Boxed(97, 97, jpeg),
        Boxed(10, 40, png),
        Boxed(0, 0, EncodePng(Colours(1, 1))),
        Boxed(31, 7, jpeg.substr(0, jpeg.size() / 2)),
        Boxed(5, 5, png.substr(0, 40)),
        Boxed(3, 3, "GIF89a\x01\x00\x01\x00\x00\x00\x00;"),
    });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    const int boxWidth = 1 + (data[0] & 63);
    const int boxHeight = 1 + (data[1] & 63);
    const std::string_view bytes(reinterpret_cast<const char*>(data) + 2, size - 2);

    int width = 0;
    int height = 0;
    const bool known = ReadPictureHeader(bytes, width, height);
    if (known && int64_t{width} * height > kMaxFuzzedPixels) return 0;

    std::string jpeg;
    if (bw::MakeDisplayThumbnail(bytes, boxWidth, boxHeight, jpeg)) {
        Check(known);
        const Picture thumbnail = LoadPictureMemory(jpeg);
        Check(thumbnail.width() == boxWidth && thumbnail.height() == boxHeight);
    } else {
        Check(jpeg.empty());
    }

    const Picture picture = LoadPictureMemory(bytes);
    if (picture.empty()) return 0;
    Check(known && picture.width() == width && picture.height() == height);
    Check(picture.rgb().size() == size_t(width) * height * 3);
    const std::string rows = Rgb555Rows(picture);
    const size_t stride = (size_t(width) * 2 + 3) / 4 * 4;
    Check(rows.size() == stride * height);
    for (int y = 0; y < height; ++y) {
        for (size_t x = size_t(width) * 2; x < stride; ++x)
            Check(rows[y * stride + x] == '\0');
        // The high bit of each word is unused in RGB555.
        for (int x = 0; x < width; ++x)
            Check((rows[y * stride + x * 2 + 1] & 0x80) == 0);
    }
    return 0;
}

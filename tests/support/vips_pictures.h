// Pictures made and read back with libvips directly, not through the platform layer, so a test
// of the imaging code never judges it by itself. Also hostile variants of real files: headers
// patched to claim sizes nobody could decode.
#pragma once

#include <vips/vips8>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace bw::testing {

struct Rgb {
    uint8_t r = 0, g = 0, b = 0;
    bool operator==(const Rgb&) const = default;
};

inline void StartTestVips() {
    static const bool started = vips_init("brackwater-tests") == 0;
    (void)started;
}

// Pixels of a picture: `bands` bytes each, rows from top to bottom.
struct Pixels {
    int width = 0;
    int height = 0;
    int bands = 0;
    std::vector<uint8_t> bytes;

    Pixels() = default;
    Pixels(int w, int h, int b) : width(w), height(h), bands(b), bytes(size_t(w) * h * b) {}
    uint8_t* at(int x, int y) { return &bytes[(size_t(y) * width + x) * bands]; }
    const uint8_t* at(int x, int y) const { return &bytes[(size_t(y) * width + x) * bands]; }
    Rgb rgb(int x, int y) const {
        const uint8_t* p = at(x, y);
        return bands >= 3 ? Rgb{p[0], p[1], p[2]} : Rgb{p[0], p[0], p[0]};
    }
    void Fill(int x0, int y0, int w, int h, Rgb colour) {
        for (int y = y0; y < y0 + h; ++y)
            for (int x = x0; x < x0 + w; ++x) {
                uint8_t* p = at(x, y);
                p[0] = colour.r;
                if (bands >= 3) p[1] = colour.g, p[2] = colour.b;
            }
    }
};

inline Pixels Solid(int width, int height, Rgb colour) {
    Pixels pixels(width, height, 3);
    pixels.Fill(0, 0, width, height, colour);
    return pixels;
}

// Encodes with libvips; `suffix` picks the format and its options (".png", ".jpg[Q=95]").
inline std::string EncodeWithVips(const Pixels& pixels, const char* suffix) {
    StartTestVips();
    vips::VImage image = vips::VImage::new_from_memory(
        const_cast<uint8_t*>(pixels.bytes.data()), pixels.bytes.size(), pixels.width, pixels.height,
        pixels.bands, VIPS_FORMAT_UCHAR);
    const VipsInterpretation space =
        pixels.bands >= 3 ? VIPS_INTERPRETATION_sRGB : VIPS_INTERPRETATION_B_W;
    image = image.copy(vips::VImage::option()->set("interpretation", space));
    void* buffer = nullptr;
    size_t size = 0;
    image.write_to_buffer(suffix, &buffer, &size);
    std::string bytes(static_cast<const char*>(buffer), size);
    g_free(buffer);
    return bytes;
}

// Decodes with libvips to 8-bit sRGB (3 bands); an empty result when it does not decode.
inline Pixels DecodeWithVips(std::string_view bytes) {
    StartTestVips();
    try {
        vips::VImage image = vips::VImage::new_from_buffer(bytes.data(), bytes.size(), "");
        image = image.colourspace(VIPS_INTERPRETATION_sRGB).cast(VIPS_FORMAT_UCHAR);
        if (image.bands() > 3) image = image.extract_band(0, vips::VImage::option()->set("n", 3));
        Pixels pixels(image.width(), image.height(), 3);
        size_t size = 0;
        void* memory = image.write_to_memory(&size);
        pixels.bytes.assign(static_cast<uint8_t*>(memory), static_cast<uint8_t*>(memory) + size);
        g_free(memory);
        return pixels;
    } catch (const vips::VError&) {
        vips_error_clear();
        return {};
    }
}

// A valid, fully decodable black PNG of `width` x `height`, small in bytes however large in
// pixels (it compresses to about a thousandth).
inline std::string BlackPng(int width, int height) {
    StartTestVips();
    vips::VImage image =
        vips::VImage::black(width, height)
            .copy(vips::VImage::option()->set("interpretation", VIPS_INTERPRETATION_B_W));
    void* buffer = nullptr;
    size_t size = 0;
    image.write_to_buffer(".png[compression=9,filter=0]", &buffer, &size);
    std::string bytes(static_cast<const char*>(buffer), size);
    g_free(buffer);
    return bytes;
}

inline uint32_t Crc32(std::string_view bytes) {
    uint32_t crc = 0xFFFFFFFFu;
    for (unsigned char c : bytes) {
        crc ^= c;
        for (int k = 0; k < 8; ++k)
            crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    return ~crc;
}

inline void PutBe32(std::string& bytes, size_t at, uint32_t value) {
    for (int i = 0; i < 4; ++i)
        bytes[at + i] = static_cast<char>(value >> (24 - 8 * i));
}

// A real PNG whose header chunk now claims `width` x `height` (with a correct checksum, so the
// header reads as valid).
inline std::string PngClaimingSize(std::string png, uint32_t width, uint32_t height) {
    // Signature (8), chunk length (4), "IHDR" (4), then width and height.
    PutBe32(png, 16, width);
    PutBe32(png, 20, height);
    PutBe32(png, 29, Crc32(std::string_view(png).substr(12, 17)));
    return png;
}

// A real baseline JPEG whose frame header now claims `width` x `height`.
inline std::string JpegClaimingSize(std::string jpeg, uint16_t width, uint16_t height) {
    for (size_t i = 2; i + 9 < jpeg.size(); ++i) {
        const auto marker = static_cast<unsigned char>(jpeg[i + 1]);
        if (static_cast<unsigned char>(jpeg[i]) == 0xFF && (marker == 0xC0 || marker == 0xC2)) {
            // Marker (2), length (2), precision (1), then height and width.
            jpeg[i + 5] = static_cast<char>(height >> 8);
            jpeg[i + 6] = static_cast<char>(height);
            jpeg[i + 7] = static_cast<char>(width >> 8);
            jpeg[i + 8] = static_cast<char>(width);
            return jpeg;
        }
    }
    return {};
}

// The RGB555 word of a colour: each channel's 5 high bits.
inline uint16_t Rgb555(Rgb c) {
    return static_cast<uint16_t>((c.r >> 3) << 10 | (c.g >> 3) << 5 | (c.b >> 3));
}

}  // namespace bw::testing

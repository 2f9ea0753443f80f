#include "app_icons.h"

#include <vips/vips8>

#include <algorithm>
#include <cmath>
#include <mutex>
#include <vector>

#include "seeded_random.h"

namespace bw::sim {
namespace {

struct Rgb {
    double r, g, b;
};

uint8_t Channel(double value) {
    return static_cast<uint8_t>(std::clamp(std::lround(value), 0L, 255L));
}

// A vertical gradient with a light disc or ring in the middle, drawn in coordinates relative to
// the size so that the retina icon and the artwork are the small icon enlarged.
std::vector<uint8_t> DrawIcon(const IconSpec& spec) {
    SeededRandom random(spec.seed, "icon-" + spec.bundleId);
    const auto color = [&random] {
        return Rgb{static_cast<double>(random.Below(256)), static_cast<double>(random.Below(256)),
                   static_cast<double>(random.Below(256))};
    };
    const Rgb top = color(), bottom = color();
    const double outer = static_cast<double>(random.Between(25, 40)) / 100.0;
    const double inner = random.Chance(50) ? outer * 0.6 : 0.0;  // a ring or a disc
    const int size = spec.size;
    std::vector<uint8_t> pixels(static_cast<size_t>(size) * static_cast<size_t>(size) * 3);
    for (int y = 0; y < size; ++y) {
        const double t = static_cast<double>(y) / (size - 1);
        for (int x = 0; x < size; ++x) {
            const double dx = (x + 0.5) / size - 0.5, dy = (y + 0.5) / size - 0.5;
            const double distance = std::sqrt(dx * dx + dy * dy);
            const bool glyph = distance <= outer && distance >= inner;
            uint8_t* pixel = &pixels[(static_cast<size_t>(y) * size + x) * 3];
            pixel[0] = glyph ? 245 : Channel(top.r + (bottom.r - top.r) * t);
            pixel[1] = glyph ? 245 : Channel(top.g + (bottom.g - top.g) * t);
            pixel[2] = glyph ? 240 : Channel(top.b + (bottom.b - top.b) * t);
        }
    }
    return pixels;
}

bool StartVips(std::string& error) {
    static std::once_flag once;
    static bool started = false;
    // vips_init may run more than once in a process (the photos start it too); it is idempotent.
    std::call_once(once, [] { started = vips_init("brackwater-sim") == 0; });
    if (!started) error = "libvips could not be started";
    return started;
}

}  // namespace

bool EncodeIcon(const IconSpec& spec, std::string& png, std::string& error) {
    if (spec.size < 16 || spec.size > 1024) {
        error = "icon size out of range";
        return false;
    }
    if (!StartVips(error)) return false;
    const std::vector<uint8_t> pixels = DrawIcon(spec);
    try {
        vips::VImage image =
            vips::VImage::new_from_memory(const_cast<uint8_t*>(pixels.data()), pixels.size(),
                                          spec.size, spec.size, 3, VIPS_FORMAT_UCHAR);
        image = image.copy(vips::VImage::option()->set("interpretation", VIPS_INTERPRETATION_sRGB));
        // No metadata: the bytes depend on the pixels and the encoder alone.
        VipsBlob* blob =
            image.pngsave_buffer(vips::VImage::option()->set("compression", 9)->set("strip", true));
        size_t length = 0;
        const void* bytes = vips_blob_get(blob, &length);
        png.assign(static_cast<const char*>(bytes), length);
        vips_area_unref(VIPS_AREA(blob));
    } catch (const vips::VError& failure) {
        error = std::string("libvips could not encode an icon: ") + failure.what();
        while (!error.empty() && (error.back() == '\n' || error.back() == ' '))
            error.pop_back();
        return false;
    }
    return true;
}

}  // namespace bw::sim

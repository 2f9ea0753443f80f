#include "photos.h"

#include <vips/vips8>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <mutex>
#include <vector>

#include "seeded_random.h"

namespace bw::sim {
namespace {

struct Rgb {
    double r, g, b;
};

Rgb RandomColor(SeededRandom& random) {
    return {static_cast<double>(random.Below(256)), static_cast<double>(random.Below(256)),
            static_cast<double>(random.Below(256))};
}

// Rounds half up; a call into the maths library per channel was most of the drawing's time.
uint8_t Channel(double value) {
    return value <= 0.0 ? 0 : value >= 255.0 ? 255 : static_cast<uint8_t>(value + 0.5);
}

void Blend(uint8_t* pixel, const Rgb& color, double alpha) {
    pixel[0] = Channel(pixel[0] + (color.r - pixel[0]) * alpha);
    pixel[1] = Channel(pixel[1] + (color.g - pixel[1]) * alpha);
    pixel[2] = Channel(pixel[2] + (color.b - pixel[2]) * alpha);
}

// A diagonal gradient with a few translucent discs and boxes on it: smooth enough to encode
// small, varied enough that photos of different seeds never look alike.
std::vector<uint8_t> DrawPhoto(const PhotoSpec& spec) {
    SeededRandom random(spec.seed, std::string("photo-") + std::to_string(spec.index));
    const int width = spec.width, height = spec.height;
    std::vector<uint8_t> pixels(static_cast<size_t>(width) * static_cast<size_t>(height) * 3);

    const Rgb from = RandomColor(random), to = RandomColor(random);
    const double dx = static_cast<double>(random.Between(-100, 100)) / 100.0;
    const double dy = static_cast<double>(random.Between(10, 100)) / 100.0;
    const double span = std::abs(dx) * width + dy * height;
    const double start = dx < 0 ? -dx * width : 0.0;
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            const double t = (x * dx + y * dy + start) / span;
            uint8_t* pixel = &pixels[(static_cast<size_t>(y) * width + x) * 3];
            pixel[0] = Channel(from.r + (to.r - from.r) * t);
            pixel[1] = Channel(from.g + (to.g - from.g) * t);
            pixel[2] = Channel(from.b + (to.b - from.b) * t);
        }
    }

    const int shapes = static_cast<int>(random.Between(3, 6));
    for (int s = 0; s < shapes; ++s) {
        const bool disc = random.Chance(50);
        const Rgb color = RandomColor(random);
        const double alpha = static_cast<double>(random.Between(40, 90)) / 100.0;
        const int cx = static_cast<int>(random.Below(static_cast<uint64_t>(width)));
        const int cy = static_cast<int>(random.Below(static_cast<uint64_t>(height)));
        const int rx = static_cast<int>(random.Between(20, std::max(21, width / 4)));
        const int ry = disc ? rx : static_cast<int>(random.Between(20, std::max(21, height / 4)));
        for (int y = std::max(0, cy - ry); y < std::min(height, cy + ry); ++y) {
            for (int x = std::max(0, cx - rx); x < std::min(width, cx + rx); ++x) {
                if (disc && (x - cx) * (x - cx) + (y - cy) * (y - cy) > rx * rx) continue;
                Blend(&pixels[(static_cast<size_t>(y) * width + x) * 3], color, alpha);
            }
        }
    }
    return pixels;
}

bool StartVips(std::string& error) {
    static std::once_flag once;
    static bool started = false;
    std::call_once(once, [] {
        started = vips_init("brackwater-sim") == 0;
        if (started) {
            // One worker: the encoding is small, and the machine is shared with the tests.
            vips_concurrency_set(1);
            vips_cache_set_max(0);
        }
    });
    if (!started) error = "libvips could not be started";
    return started;
}

}  // namespace

std::string ExifDateTime(int64_t unixTime, int64_t offsetFromUtc) {
    const auto local = static_cast<time_t>(unixTime + offsetFromUtc);
    std::tm parts{};
    gmtime_r(&local, &parts);
    char text[32];
    std::strftime(text, sizeof text, "%Y:%m:%d %H:%M:%S", &parts);
    return text;
}

namespace {

bool SizeInRange(const PhotoSpec& spec, std::string& error) {
    if (spec.width < 16 || spec.height < 16 || spec.width > 8192 || spec.height > 8192) {
        error = "photo size out of range";
        return false;
    }
    if (spec.orientation < 1 || spec.orientation > 8) {
        error = "photo orientation out of range";
        return false;
    }
    return true;
}

std::string TakeBlob(VipsBlob* blob) {
    size_t length = 0;
    const void* bytes = vips_blob_get(blob, &length);
    std::string taken(static_cast<const char*>(bytes), length);
    vips_area_unref(VIPS_AREA(blob));
    return taken;
}

bool EncodeFailed(const vips::VError& failure, std::string& error) {
    error = std::string("libvips could not encode a photo: ") + failure.what();
    while (!error.empty() && (error.back() == '\n' || error.back() == ' '))
        error.pop_back();
    return false;
}

// Runs `use` on the drawing of `spec` as a libvips image.
template <typename Use>
bool WithDrawing(const PhotoSpec& spec, std::string& error, Use use) {
    if (!SizeInRange(spec, error) || !StartVips(error)) return false;
    const std::vector<uint8_t> pixels = DrawPhoto(spec);
    try {
        constexpr double kPixelsPerMillimetre = 72.0 / 25.4;
        vips::VImage image =
            vips::VImage::new_from_memory(const_cast<uint8_t*>(pixels.data()), pixels.size(),
                                          spec.width, spec.height, 3, VIPS_FORMAT_UCHAR);
        use(image.copy(vips::VImage::option()
                           ->set("interpretation", VIPS_INTERPRETATION_sRGB)
                           ->set("xres", kPixelsPerMillimetre)
                           ->set("yres", kPixelsPerMillimetre)));
    } catch (const vips::VError& failure) {
        return EncodeFailed(failure, error);
    }
    return true;
}

std::string PhotoJpeg(const vips::VImage& drawing, const PhotoSpec& spec) {
    vips::VImage image = drawing.copy();  // its own header, for the EXIF fields
    image.set("exif-ifd0-Make", "Apple");
    image.set("exif-ifd0-Model", spec.model.c_str());
    image.set("exif-ifd0-Software", spec.software.c_str());
    image.set("exif-ifd0-DateTime", spec.takenLocal.c_str());
    image.set("exif-ifd2-DateTimeOriginal", spec.takenLocal.c_str());
    image.set("exif-ifd2-DateTimeDigitized", spec.takenLocal.c_str());
    // libvips writes this field as the EXIF orientation tag.
    image.set(VIPS_META_ORIENTATION, spec.orientation);
    return TakeBlob(image.jpegsave_buffer(vips::VImage::option()->set("Q", 90)));
}

std::string ScreenshotPng(const vips::VImage& drawing) {
    return TakeBlob(drawing.pngsave_buffer(vips::VImage::option()->set("compression", 9)));
}

std::string ThumbnailJpeg(vips::VImage image, int orientation) {
    // Turn the stored pixels the way a viewer does before making them small.
    switch (orientation) {
        case 3:
            image = image.rot(VIPS_ANGLE_D180);
            break;
        case 6:
            image = image.rot(VIPS_ANGLE_D90);
            break;
        case 8:
            image = image.rot(VIPS_ANGLE_D270);
            break;
        default:
            break;
    }
    image = image.thumbnail_image(kThumbnailSide, vips::VImage::option()
                                                      ->set("height", kThumbnailSide)
                                                      ->set("size", VIPS_SIZE_DOWN)
                                                      ->set("no_rotate", true));
    image = image.gravity(VIPS_COMPASS_DIRECTION_CENTRE, kThumbnailSide, kThumbnailSide,
                          vips::VImage::option()
                              ->set("extend", VIPS_EXTEND_BACKGROUND)
                              ->set("background", std::vector<double>{255, 255, 255}));
    return TakeBlob(
        image.jpegsave_buffer(vips::VImage::option()->set("Q", 85)->set("strip", true)));
}

}  // namespace

bool EncodePhoto(const PhotoSpec& spec, std::string& jpeg, std::string& error) {
    return WithDrawing(spec, error,
                       [&](const vips::VImage& drawing) { jpeg = PhotoJpeg(drawing, spec); });
}

bool EncodePicture(const PhotoSpec& spec, bool screenshot, std::string& bytes,
                   std::string* thumbnail, std::string& error) {
    return WithDrawing(spec, error, [&](const vips::VImage& drawing) {
        bytes = screenshot ? ScreenshotPng(drawing) : PhotoJpeg(drawing, spec);
        if (thumbnail != nullptr) *thumbnail = ThumbnailJpeg(drawing, spec.orientation);
    });
}

bool EncodeThumbnail(const PhotoSpec& spec, std::string& jpeg, std::string& error) {
    return WithDrawing(spec, error, [&](const vips::VImage& drawing) {
        jpeg = ThumbnailJpeg(drawing, spec.orientation);
    });
}

std::string PhotoEncoderVersion() {
    return vips_version_string();
}

}  // namespace bw::sim

namespace bw::sim {
namespace {

// EXIF texts read back through libvips carry a description after the value:
// "2013:05:01 12:00:00 (2013:05:01 12:00:00, ASCII, 20 components, 20 bytes)".
std::string ExifDate(const vips::VImage& image, const char* field) {
    if (image.get_typeof(field) == 0) return "";
    const std::string text = image.get_string(field);
    if (text.size() < 19) return "";
    const std::string date = text.substr(0, 19);
    for (size_t i = 0; i < date.size(); ++i) {
        const bool separator = i == 4 || i == 7 || i == 10 || i == 13 || i == 16;
        const char expected = i == 10 ? ' ' : ':';
        if (separator ? date[i] != expected : !std::isdigit(static_cast<unsigned char>(date[i])))
            return "";
    }
    return date;
}

}  // namespace

bool ReadPictureInfo(const std::string& bytes, PictureInfo& info, std::string& error) {
    if (!StartVips(error)) return false;
    try {
        const vips::VImage image = vips::VImage::new_from_buffer(
            bytes.data(), bytes.size(), "", vips::VImage::option()->set("access", "sequential"));
        info.width = image.width();
        info.height = image.height();
        info.orientation = 1;
        if (image.get_typeof(VIPS_META_ORIENTATION) != 0) {
            const int orientation = image.get_int(VIPS_META_ORIENTATION);
            if (orientation >= 1 && orientation <= 8) info.orientation = orientation;
        }
        info.takenLocal = ExifDate(image, "exif-ifd2-DateTimeOriginal");
        if (info.takenLocal.empty()) info.takenLocal = ExifDate(image, "exif-ifd0-DateTime");
    } catch (const vips::VError& failure) {
        error = std::string("libvips could not read a picture: ") + failure.what();
        return false;
    }
    return true;
}

bool EncodePictureThumbnail(const std::string& bytes, int orientation, std::string& jpeg,
                            std::string& error) {
    if (!StartVips(error)) return false;
    try {
        vips::VImage image = vips::VImage::new_from_buffer(bytes.data(), bytes.size(), "");
        if (image.bands() > 3)
            image = image.flatten(
                vips::VImage::option()->set("background", std::vector<double>{255, 255, 255}));
        if (image.bands() == 1) image = image.colourspace(VIPS_INTERPRETATION_sRGB);
        jpeg = ThumbnailJpeg(image, orientation);
    } catch (const vips::VError& failure) {
        return EncodeFailed(failure, error);
    }
    return true;
}

}  // namespace bw::sim

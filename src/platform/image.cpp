#include "platform/image.h"

#include <vips/vips8>

#include <algorithm>
#include <array>
#include <cmath>
#include <exception>
#include <mutex>
#include <new>
#include <optional>
#include <utility>
#include <vector>

#include "platform/files.h"

namespace bw::platform {

namespace {

// Any nonzero value: the imaging library has one process-wide state, not one per token.
constexpr uint32_t kImagingToken = 1;

// A file larger than this is not a photo anyone takes; it is refused before it is read.
constexpr uint64_t kMaxPictureFileBytes = uint64_t{512} << 20;

// The formats a phone's library or a host's photo folder holds. Everything else the imaging
// library could read (vector documents, the catch-all loaders of other toolkits) is a large
// parser surface that a hostile file should never reach. Named as the library names the loader
// it finds for a buffer (its class name; PNG and GIF have had two loaders each).
constexpr std::array<std::string_view, 8> kAllowedLoaders = {
    "VipsForeignLoadJpegBuffer",  "VipsForeignLoadPngBuffer", "VipsForeignLoadSpngBuffer",
    "VipsForeignLoadNsgifBuffer", "VipsForeignLoadGifBuffer", "VipsForeignLoadTiffBuffer",
    "VipsForeignLoadWebpBuffer",  "VipsForeignLoadHeifBuffer"};

bool Started() {
    static std::once_flag once;
    static bool started = false;
    std::call_once(once, [] {
        started = vips_init("brackwater") == 0;
        if (!started) return;
        // Thumbnails are small pictures made one after another: a pool of worker threads per
        // picture costs more than it saves there, and the host keeps its other cores.
        vips_concurrency_set(1);
        // Every picture is decoded once; a cache of operations would only hold memory.
        vips_cache_set_max(0);
        vips_block_untrusted_set(TRUE);
    });
    return started;
}

// The library keeps a process-wide log of failures that only grows; ours are reported as empty
// results, so the log is emptied after each.
void ForgetFailure() {
    vips_error_clear();
}

// A view of caller-owned bytes as a blob, released when it goes out of scope.
class BorrowedBlob {
  public:
    explicit BorrowedBlob(std::string_view bytes)
        : blob_(vips_blob_new(nullptr, bytes.data(), bytes.size())) {}
    ~BorrowedBlob() {
        if (blob_) vips_area_unref(VIPS_AREA(blob_));
    }
    BorrowedBlob(const BorrowedBlob&) = delete;
    BorrowedBlob& operator=(const BorrowedBlob&) = delete;
    VipsBlob* get() const { return blob_; }

  private:
    VipsBlob* blob_;
};

bool SizeAllowed(int64_t width, int64_t height) {
    return width > 0 && height > 0 && width * height <= kMaxPicturePixels;
}

// The size the header declares, for bytes of a format we decode; nothing is decoded.
std::optional<std::pair<int, int>> DeclaredSize(std::string_view bytes) {
    if (bytes.empty()) return std::nullopt;
    const char* loader = vips_foreign_find_load_buffer(bytes.data(), bytes.size());
    if (!loader) return std::nullopt;
    const std::string_view name(loader);
    if (std::find(kAllowedLoaders.begin(), kAllowedLoaders.end(), name) == kAllowedLoaders.end())
        return std::nullopt;
    // Opening reads the header only; the pixels are decoded later, on demand.
    vips::VImage header = vips::VImage::new_from_buffer(
        bytes.data(), bytes.size(), "",
        vips::VImage::option()->set("access", VIPS_ACCESS_SEQUENTIAL));
    return std::pair{header.width(), header.height()};
}

// Whether the bytes are of a format we decode and, from the header alone, of an allowed size.
bool HeaderAcceptable(std::string_view bytes) {
    const std::optional<std::pair<int, int>> size = DeclaredSize(bytes);
    return size && SizeAllowed(size->first, size->second);
}

// Any decoded image as 8-bit sRGB with 3 bands: other colour spaces converted, alpha flattened
// onto white, extra bands dropped.
vips::VImage ToRgb8(vips::VImage image) {
    if (image.interpretation() != VIPS_INTERPRETATION_sRGB) {
        const VipsInterpretation guessed = image.guess_interpretation();
        if (vips_colourspace_issupported(image.get_image()) &&
            guessed != VIPS_INTERPRETATION_MULTIBAND)
            image = image.colourspace(VIPS_INTERPRETATION_sRGB);
    }
    if (image.has_alpha() && (image.bands() == 2 || image.bands() == 4))
        image = image.flatten(
            vips::VImage::option()->set("background", std::vector<double>{255.0, 255.0, 255.0}));
    if (image.format() != VIPS_FORMAT_UCHAR) image = image.cast(VIPS_FORMAT_UCHAR);
    if (image.bands() == 1 || image.bands() == 2) {
        const vips::VImage grey = image.extract_band(0);
        image = vips::VImage::bandjoin({grey, grey, grey});
    } else if (image.bands() > 3) {
        image = image.extract_band(0, vips::VImage::option()->set("n", 3));
    }
    return image;
}

Picture FromImage(const vips::VImage& image) {
    const vips::VImage rgb = ToRgb8(image);
    if (!SizeAllowed(rgb.width(), rgb.height())) return {};
    size_t size = 0;
    void* memory = rgb.write_to_memory(&size);
    std::string pixels(static_cast<const char*>(memory), size);
    g_free(memory);
    return Picture::FromRgb(rgb.width(), rgb.height(), std::move(pixels));
}

// The picture as an image that reads the Picture's own bytes; the Picture must outlive it.
vips::VImage ToImage(const Picture& picture) {
    vips::VImage image =
        vips::VImage::new_from_memory(const_cast<char*>(picture.rgb().data()), picture.rgb().size(),
                                      picture.width(), picture.height(), 3, VIPS_FORMAT_UCHAR);
    return image.copy(vips::VImage::option()->set("interpretation", VIPS_INTERPRETATION_sRGB));
}

// Runs one imaging step; the library reports failures by exception, we by an empty result.
template <typename Result, typename Step>
Result Guarded(Step&& step) {
    if (!Started()) return Result{};
    try {
        return step();
    } catch (const std::exception&) {
        // vips::VError, and std::bad_alloc for a picture that does not fit in memory.
    }
    ForgetFailure();
    return Result{};
}

// For the steps that only copy pixels: a picture too large for the memory left is an empty result.
template <typename Result, typename Step>
Result WithoutThrowing(Step&& step) {
    try {
        return step();
    } catch (const std::bad_alloc&) {
        return Result{};
    }
}

std::string BlobBytes(VipsBlob* blob) {
    size_t length = 0;
    const void* bytes = vips_blob_get(blob, &length);
    std::string out(static_cast<const char*>(bytes), length);
    vips_area_unref(VIPS_AREA(blob));
    return out;
}

}  // namespace

uint32_t StartImaging() {
    return Started() ? kImagingToken : 0;
}

void StopImaging(uint32_t) {}

Picture Picture::FromRgb(int width, int height, std::string rgb) {
    if (!SizeAllowed(width, height)) return {};
    if (rgb.size() != static_cast<size_t>(width) * static_cast<size_t>(height) * 3) return {};
    Picture picture;
    picture.pixels_ = std::make_shared<const std::string>(std::move(rgb));
    picture.width_ = width;
    picture.height_ = height;
    return picture;
}

Picture LoadPictureFile(const std::string& path) {
    std::string bytes;
    if (!ReadWholeFile(path, bytes, kMaxPictureFileBytes)) return {};
    return LoadPictureMemory(bytes);
}

bool ReadPictureHeader(std::string_view bytes, int& width, int& height) {
    width = height = 0;
    const auto size = Guarded<std::optional<std::pair<int, int>>>([&] {
        auto declared = DeclaredSize(bytes);
        if (!declared) ForgetFailure();
        return declared;
    });
    if (!size) return false;
    width = size->first;
    height = size->second;
    return true;
}

Picture LoadPictureMemory(std::string_view bytes) {
    return Guarded<Picture>([&]() -> Picture {
        if (!HeaderAcceptable(bytes)) {
            ForgetFailure();
            return {};
        }
        // A damaged or cut-off file is refused rather than shown half grey.
        vips::VImage image =
            vips::VImage::new_from_buffer(bytes.data(), bytes.size(), "",
                                          vips::VImage::option()
                                              ->set("access", VIPS_ACCESS_SEQUENTIAL)
                                              ->set("fail_on", VIPS_FAIL_ON_ERROR));
        return FromImage(image);
    });
}

Picture LoadPictureFitted(std::string_view bytes, int boxWidth, int boxHeight) {
    if (!SizeAllowed(boxWidth, boxHeight)) return {};
    return Guarded<Picture>([&]() -> Picture {
        if (!HeaderAcceptable(bytes)) {
            ForgetFailure();
            return {};
        }
        BorrowedBlob blob(bytes);
        // The thumbnail operation decodes at a reduced size where the format can (a JPEG at 1/2,
        // 1/4 or 1/8), which is most of the speed; the stored orientation is left alone, as
        // LoadPictureMemory leaves it.
        vips::VImage image = vips::VImage::thumbnail_buffer(
            blob.get(), boxWidth,
            vips::VImage::option()
                ->set("height", boxHeight)
                ->set("size", VIPS_SIZE_BOTH)
                ->set("no_rotate", true)
                ->set("fail_on", VIPS_FAIL_ON_ERROR)
                // The operation's own fail_on does not reach the loader in every library
                // version; the loader's option string does.
                ->set("option_string", "fail_on=error"));
        return FromImage(image);
    });
}

Picture SquareCrop(const Picture& picture) {
    return WithoutThrowing<Picture>([&]() -> Picture {
        if (picture.empty()) return {};
        const int side = std::min(picture.width(), picture.height());
        const int left = (picture.width() - side) / 2;
        const int top = (picture.height() - side) / 2;
        if (side == picture.width() && side == picture.height()) return picture;
        std::string square;
        square.reserve(static_cast<size_t>(side) * side * 3);
        const std::string& rgb = picture.rgb();
        for (int y = 0; y < side; ++y) {
            const size_t start = (static_cast<size_t>(top + y) * picture.width() + left) * 3;
            square.append(rgb, start, static_cast<size_t>(side) * 3);
        }
        return Picture::FromRgb(side, side, std::move(square));
    });
}

Picture DrawIntoBox(const Picture& picture, int width, int height, int areaWidth, int areaHeight,
                    bool keepProportions, uint32_t background) {
    if (picture.empty() || !SizeAllowed(width, height)) return {};
    if (areaWidth < 1 || areaHeight < 1 || areaWidth > width || areaHeight > height) return {};
    int drawnWidth = areaWidth;
    int drawnHeight = areaHeight;
    if (keepProportions) {
        const double scale = std::min(static_cast<double>(areaWidth) / picture.width(),
                                      static_cast<double>(areaHeight) / picture.height());
        drawnWidth =
            std::clamp(static_cast<int>(std::lround(picture.width() * scale)), 1, areaWidth);
        drawnHeight =
            std::clamp(static_cast<int>(std::lround(picture.height() * scale)), 1, areaHeight);
    }
    const int left = (areaWidth - drawnWidth) / 2;
    const int top = (areaHeight - drawnHeight) / 2;
    const std::vector<double> fill = {static_cast<double>((background >> 16) & 0xFF),
                                      static_cast<double>((background >> 8) & 0xFF),
                                      static_cast<double>(background & 0xFF)};
    return Guarded<Picture>([&]() -> Picture {
        vips::VImage image = ToImage(picture);
        if (drawnWidth != picture.width() || drawnHeight != picture.height()) {
            image = image.resize(
                static_cast<double>(drawnWidth) / picture.width(),
                vips::VImage::option()
                    ->set("vscale", static_cast<double>(drawnHeight) / picture.height())
                    ->set("kernel", VIPS_KERNEL_LANCZOS3));
            // The scaler rounds its output size by itself; the drawn size is ours.
            if (image.width() > drawnWidth || image.height() > drawnHeight)
                image = image.extract_area(0, 0, std::min(image.width(), drawnWidth),
                                           std::min(image.height(), drawnHeight));
            if (image.width() < drawnWidth || image.height() < drawnHeight)
                image = image.embed(0, 0, drawnWidth, drawnHeight,
                                    vips::VImage::option()->set("extend", VIPS_EXTEND_COPY));
        }
        image = image.embed(
            left, top, width, height,
            vips::VImage::option()->set("extend", VIPS_EXTEND_BACKGROUND)->set("background", fill));
        return FromImage(image);
    });
}

std::string EncodeJpeg(const Picture& picture, int quality) {
    if (picture.empty() || quality < 1 || quality > 100) return {};
    return Guarded<std::string>([&] {
        return BlobBytes(ToImage(picture).jpegsave_buffer(
            vips::VImage::option()->set("Q", quality)->set("strip", true)));
    });
}

std::string EncodePng(const Picture& picture) {
    if (picture.empty()) return {};
    return Guarded<std::string>([&] {
        return BlobBytes(
            ToImage(picture).pngsave_buffer(vips::VImage::option()->set("strip", true)));
    });
}

std::string Rgb555Rows(const Picture& picture) {
    return WithoutThrowing<std::string>([&]() -> std::string {
        if (picture.empty()) return {};
        const size_t width = static_cast<size_t>(picture.width());
        const size_t stride = (width * 2 + 3) / 4 * 4;
        std::string rows(stride * static_cast<size_t>(picture.height()), '\0');
        const auto* rgb = reinterpret_cast<const unsigned char*>(picture.rgb().data());
        for (size_t y = 0; y < static_cast<size_t>(picture.height()); ++y) {
            char* out = rows.data() + y * stride;
            const unsigned char* in = rgb + y * width * 3;
            for (size_t x = 0; x < width; ++x, in += 3) {
                const unsigned word = (in[0] >> 3) << 10 | (in[1] >> 3) << 5 | (in[2] >> 3);
                out[x * 2] = static_cast<char>(word & 0xFF);
                out[x * 2 + 1] = static_cast<char>(word >> 8);
            }
        }
        return rows;
    });
}

}  // namespace bw::platform

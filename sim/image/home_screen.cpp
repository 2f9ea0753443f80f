// The home screen as the phone shows it after unlocking: a wallpaper (a vertical gradient from
// the seed), the status bar, the first page of IconState.plist in a grid of four columns and the
// dock ("buttonBar") at the bottom. Icons are the applications' own icon files, read back from
// fs/ and scaled with libvips; an application without one gets a square of its own colour, and a
// folder a dark tile holding small copies of the icons on its first page. Sizes are in points
// times the screen's scale, as springboard lays them out: 57-point icons before iOS 7, 60 after.
//
// The picture is written outside fs/, so no service of the phone lists it as a file; only the
// screenshot service reads it.
#include "home_screen.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <vips/vips8>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <map>
#include <mutex>
#include <optional>
#include <vector>

#include "common/plist_file.h"
#include "common/plist_tree.h"
#include "ios_release.h"
#include "seeded_random.h"

namespace bw::sim {
namespace {

constexpr char kIconStatePath[] = "/var/mobile/Library/SpringBoard/IconState.plist";
constexpr size_t kLargestPlist = 4 * 1024 * 1024;
constexpr size_t kLargestIcon = 4 * 1024 * 1024;
constexpr int kColumns = 4;
constexpr size_t kMostRows = 5;
constexpr size_t kDockIcons = 4;
constexpr size_t kFolderPreview = 9;  // three by three

struct Rgb {
    uint8_t r = 0, g = 0, b = 0;
};

// A picture the size of the screen, RGB, row by row.
class Canvas {
  public:
    Canvas(int width, int height)
        : width_(width), height_(height), pixels_(static_cast<size_t>(width) * height * 3) {}

    int width() const { return width_; }
    int height() const { return height_; }
    const std::vector<uint8_t>& pixels() const { return pixels_; }

    void Gradient(Rgb top, Rgb bottom) {
        for (int y = 0; y < height_; ++y) {
            const double t = static_cast<double>(y) / (height_ - 1);
            const Rgb row{Mix(top.r, bottom.r, t), Mix(top.g, bottom.g, t),
                          Mix(top.b, bottom.b, t)};
            for (int x = 0; x < width_; ++x)
                Set(x, y, row);
        }
    }

    // Blends `color` over a rectangle with the given opacity (0 to 1) and corner radius.
    void Shade(int left, int top, int width, int height, Rgb color, double opacity,
               int radius = 0) {
        ForEach(left, top, width, height, radius, [&](int x, int y) {
            uint8_t* pixel = At(x, y);
            pixel[0] = Mix(pixel[0], color.r, opacity);
            pixel[1] = Mix(pixel[1], color.g, opacity);
            pixel[2] = Mix(pixel[2], color.b, opacity);
        });
    }

    // A square of RGB pixels (side * side), with corners rounded as springboard masks icons.
    void Icon(int left, int top, int side, const std::vector<uint8_t>& rgb) {
        ForEach(left, top, side, side, side * 18 / 100, [&](int x, int y) {
            const uint8_t* source = &rgb[(static_cast<size_t>(y - top) * side + (x - left)) * 3];
            std::memcpy(At(x, y), source, 3);
        });
    }

    void Square(int left, int top, int side, Rgb color) {
        ForEach(left, top, side, side, side * 18 / 100, [&](int x, int y) { Set(x, y, color); });
    }

  private:
    static uint8_t Mix(uint8_t from, uint8_t to, double t) {
        return static_cast<uint8_t>(from + (to - from) * t + 0.5);
    }

    uint8_t* At(int x, int y) { return &pixels_[(static_cast<size_t>(y) * width_ + x) * 3]; }
    void Set(int x, int y, Rgb color) {
        uint8_t* pixel = At(x, y);
        pixel[0] = color.r, pixel[1] = color.g, pixel[2] = color.b;
    }

    // Every pixel of the rectangle inside the canvas and inside its rounded corners.
    template <class Paint>
    void ForEach(int left, int top, int width, int height, int radius, Paint paint) {
        for (int y = std::max(top, 0); y < std::min(top + height, height_); ++y) {
            for (int x = std::max(left, 0); x < std::min(left + width, width_); ++x) {
                const int dx = std::max({left + radius - x, x - (left + width - 1 - radius), 0});
                const int dy = std::max({top + radius - y, y - (top + height - 1 - radius), 0});
                if (dx * dx + dy * dy <= radius * radius) paint(x, y);
            }
        }
    }

    int width_, height_;
    std::vector<uint8_t> pixels_;
};

Rgb RandomColor(SeededRandom& random) {
    return {static_cast<uint8_t>(random.Below(256)), static_cast<uint8_t>(random.Below(256)),
            static_cast<uint8_t>(random.Below(256))};
}

bool StartVips() {
    static std::once_flag once;
    static bool started = false;
    std::call_once(once, [] { started = vips_init("brackwater-sim") == 0; });
    return started;
}

// The file names iOS tries for a bundle's icon, best first.
std::vector<std::string> IconCandidates(plist_t info) {
    std::vector<std::string> names;
    const auto addList = [&names](plist_t list) {
        if (list == nullptr || plist_get_node_type(list) != PLIST_ARRAY) return;
        for (uint32_t i = 0; i < plist_array_get_size(list); ++i)
            names.push_back(StringValue(plist_array_get_item(list, i)));
    };
    if (plist_t icons = plist_dict_get_item(info, "CFBundleIcons");
        icons != nullptr && plist_get_node_type(icons) == PLIST_DICT) {
        plist_t primary = plist_dict_get_item(icons, "CFBundlePrimaryIcon");
        if (primary != nullptr && plist_get_node_type(primary) == PLIST_DICT)
            addList(plist_dict_get_item(primary, "CFBundleIconFiles"));
    }
    addList(plist_dict_get_item(info, "CFBundleIconFiles"));
    names.push_back(StringValue(plist_dict_get_item(info, "CFBundleIconFile")));
    names.push_back("Icon.png");
    std::vector<std::string> candidates;
    for (const std::string& name : names) {
        if (name.empty() || name.find('/') != std::string::npos || name.find('\0') != name.npos)
            continue;
        const std::string base = name.ends_with(".png") ? name.substr(0, name.size() - 4) : name;
        candidates.push_back(base + "@2x.png");
        candidates.push_back(base + ".png");
    }
    return candidates;
}

// The icon file of every application bundle in fs/, by bundle identifier; empty text for an
// application without one.
std::map<std::string, std::string> IconFiles(const ImageWriter& writer) {
    std::vector<std::string> bundles;
    const auto addBundles = [&bundles](const std::string& folder) {
        std::error_code error;
        for (const auto& entry : std::filesystem::directory_iterator(folder, error))
            if (entry.path().extension() == ".app" && entry.is_directory())
                bundles.push_back(entry.path().string());
    };
    addBundles(writer.HostPath("/Applications"));
    std::error_code error;
    for (const auto& container :
         std::filesystem::directory_iterator(writer.HostPath("/var/mobile/Applications"), error))
        if (container.is_directory()) addBundles(container.path().string());

    std::map<std::string, std::string> icons;
    for (const std::string& bundle : bundles) {
        const PlistTree info = ReadPlistFile(bundle + "/Info.plist", kLargestPlist);
        if (info == nullptr || plist_get_node_type(info.get()) != PLIST_DICT) continue;
        const std::string id = StringValue(plist_dict_get_item(info.get(), "CFBundleIdentifier"));
        std::string& icon = icons[id];
        for (const std::string& name : IconCandidates(info.get())) {
            if (std::optional<std::string> bytes =
                    ReadRegularFile(bundle + "/" + name, kLargestIcon);
                bytes && !bytes->empty()) {
                icon = std::move(*bytes);
                break;
            }
        }
    }
    return icons;
}

// The icon's PNG scaled to `side`, as RGB; nullopt when it cannot be decoded.
std::optional<std::vector<uint8_t>> ScaledIcon(const std::string& png, int side) {
    try {
        vips::VImage icon =
            vips::VImage::new_from_buffer(png.data(), png.size(), "")
                .thumbnail_image(
                    side,
                    vips::VImage::option()->set("height", side)->set("size", VIPS_SIZE_FORCE));
        icon = icon.colourspace(VIPS_INTERPRETATION_sRGB);
        if (icon.has_alpha()) icon = icon.flatten();
        icon = icon.cast(VIPS_FORMAT_UCHAR);
        if (icon.bands() != 3 || icon.width() != side || icon.height() != side) return std::nullopt;
        size_t length = 0;
        void* pixels = icon.write_to_memory(&length);
        std::vector<uint8_t> rgb(static_cast<uint8_t*>(pixels),
                                 static_cast<uint8_t*>(pixels) + length);
        g_free(pixels);
        return rgb;
    } catch (const vips::VError&) {
        return std::nullopt;
    }
}

class HomeScreen {
  public:
    HomeScreen(const ImageWriter& writer, const ImageOptions& options)
        : release_(*writer.identity().release),
          canvas_(release_.screenWidth, release_.screenHeight),
          scale_(release_.screenWidth / 320),
          icons_(IconFiles(writer)),
          seed_(options.seed) {}

    Canvas Draw(plist_t iconState) {
        SeededRandom random(seed_, "home-screen-wallpaper");
        const Rgb top = RandomColor(random), bottom = RandomColor(random);
        canvas_.Gradient(top, bottom);
        StatusBar();
        const int side = Points(release_.major >= 7 ? 60 : 57);
        const int gap = (canvas_.width() - kColumns * side) / (kColumns + 1);
        const int dockHeight = Points(96);
        const int dockTop = canvas_.height() - dockHeight;
        canvas_.Shade(0, dockTop, canvas_.width(), dockHeight, {255, 255, 255}, 0.3);

        const plist_t pages = Item(iconState, "iconLists");
        const plist_t page = pages != nullptr && plist_get_node_type(pages) == PLIST_ARRAY
                                 ? plist_array_get_item(pages, 0)
                                 : nullptr;
        const size_t rows =
            std::min<size_t>(kMostRows, static_cast<size_t>((dockTop - Points(20)) / Points(88)));
        const std::vector<plist_t> onPage = Entries(page, rows * kColumns);
        for (size_t i = 0; i < onPage.size(); ++i) {
            const int column = static_cast<int>(i % kColumns), row = static_cast<int>(i / kColumns);
            Tile(onPage[i], gap + column * (side + gap), Points(20 + 16) + row * Points(88), side);
        }
        const std::vector<plist_t> dock = Entries(Item(iconState, "buttonBar"), kDockIcons);
        for (size_t i = 0; i < dock.size(); ++i)
            Tile(dock[i], gap + static_cast<int>(i) * (side + gap),
                 dockTop + (dockHeight - side) / 2, side);
        return std::move(canvas_);
    }

  private:
    int Points(int points) const { return points * scale_; }

    static plist_t Item(plist_t dict, const char* key) {
        return dict != nullptr && plist_get_node_type(dict) == PLIST_DICT
                   ? plist_dict_get_item(dict, key)
                   : nullptr;
    }

    static std::vector<plist_t> Entries(plist_t list, size_t most) {
        std::vector<plist_t> entries;
        if (list == nullptr || plist_get_node_type(list) != PLIST_ARRAY) return entries;
        for (uint32_t i = 0; i < plist_array_get_size(list) && entries.size() < most; ++i)
            entries.push_back(plist_array_get_item(list, i));
        return entries;
    }

    // Signal dots on the left, the clock in the middle and the battery on the right, in white
    // over a darkened band.
    void StatusBar() {
        const int height = Points(20);
        canvas_.Shade(0, 0, canvas_.width(), height, {0, 0, 0}, 0.6);
        for (int dot = 0; dot < 5; ++dot)
            canvas_.Square(Points(6 + dot * 7), Points(7), Points(6), {255, 255, 255});
        canvas_.Shade(canvas_.width() / 2 - Points(20), Points(6), Points(40), Points(8),
                      {255, 255, 255}, 1.0);
        canvas_.Shade(canvas_.width() - Points(30), Points(5), Points(24), Points(10),
                      {255, 255, 255}, 1.0);
    }

    // One place of the grid: an application's icon, or a folder.
    void Tile(plist_t entry, int left, int top, int side) {
        if (plist_get_node_type(entry) == PLIST_STRING) {
            AppIcon(StringValue(entry), left, top, side);
            return;
        }
        if (StringValue(Item(entry, "listType")) != "folder") return;
        canvas_.Shade(left, top, side, side, {0, 0, 0}, 0.45, side * 18 / 100);
        const plist_t pages = Item(entry, "iconLists");
        const plist_t first = pages != nullptr && plist_get_node_type(pages) == PLIST_ARRAY
                                  ? plist_array_get_item(pages, 0)
                                  : nullptr;
        const int small = side / 4, margin = (side - 3 * small) / 4;
        const std::vector<plist_t> inside = Entries(first, kFolderPreview);
        for (size_t i = 0; i < inside.size(); ++i) {
            if (plist_get_node_type(inside[i]) != PLIST_STRING) continue;
            const int column = static_cast<int>(i % 3), row = static_cast<int>(i / 3);
            AppIcon(StringValue(inside[i]), left + margin + column * (small + margin),
                    top + margin + row * (small + margin), small);
        }
    }

    void AppIcon(const std::string& bundleId, int left, int top, int side) {
        const auto found = icons_.find(bundleId);
        if (found == icons_.end()) return;  // springboard leaves out what is not installed
        if (!found->second.empty()) {
            if (const std::optional<std::vector<uint8_t>> rgb = ScaledIcon(found->second, side)) {
                canvas_.Icon(left, top, side, *rgb);
                return;
            }
        }
        SeededRandom random(seed_, "home-screen-icon-" + bundleId);
        canvas_.Square(left, top, side, RandomColor(random));
    }

    const IosRelease& release_;
    Canvas canvas_;
    const int scale_;
    const std::map<std::string, std::string> icons_;
    const uint64_t seed_;
};

bool WriteBeside(ImageWriter& writer, const std::string& path, const std::string& bytes) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0) return writer.Fail("cannot create " + path + ": " + std::strerror(errno));
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t wrote = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (wrote < 0 && errno == EINTR) continue;
        if (wrote <= 0) break;
        done += static_cast<size_t>(wrote);
    }
    const int64_t time = writer.identity().now;
    const timespec times[2] = {{static_cast<time_t>(time), 0}, {static_cast<time_t>(time), 0}};
    const bool ok = done == bytes.size() && ::fchmod(fd, 0644) == 0 && ::futimens(fd, times) == 0;
    if (::close(fd) != 0 || !ok) return writer.Fail("cannot write " + path);
    return true;
}

}  // namespace

bool AddHomeScreen(ImageWriter& writer, const ImageOptions& options) {
    if (!StartVips()) return writer.Fail("libvips could not be started");
    const PlistTree iconState = ReadPlistFile(writer.HostPath(kIconStatePath), kLargestPlist);
    const Canvas canvas = HomeScreen(writer, options).Draw(iconState.get());
    std::string png;
    try {
        const vips::VImage picture =
            vips::VImage::new_from_memory(const_cast<uint8_t*>(canvas.pixels().data()),
                                          canvas.pixels().size(), canvas.width(), canvas.height(),
                                          3, VIPS_FORMAT_UCHAR)
                .copy(vips::VImage::option()->set("interpretation", VIPS_INTERPRETATION_sRGB));
        VipsBlob* blob = picture.pngsave_buffer(
            vips::VImage::option()->set("compression", 9)->set("strip", true));
        size_t length = 0;
        const void* bytes = vips_blob_get(blob, &length);
        png.assign(static_cast<const char*>(bytes), length);
        vips_area_unref(VIPS_AREA(blob));
    } catch (const vips::VError& failure) {
        return writer.Fail(std::string("libvips could not encode the home screen: ") +
                           failure.what());
    }
    const std::string fsFolder = writer.HostPath("/");
    const std::string imageFolder = fsFolder.substr(0, fsFolder.find_last_of('/'));
    return WriteBeside(writer, imageFolder + "/screen.png", png);
}

}  // namespace bw::sim

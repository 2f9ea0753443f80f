// The home-screen picture of an image: the screen size of its release, the same bytes for the
// same seed, and the applications' own icons where the layout places them.
#include <gtest/gtest.h>

#include <vips/vips8>

#include <cstdlib>
#include <fstream>
#include <iterator>

#include "image/image_builder.h"
#include "support/ios_versions.h"
#include "support/temp_folder.h"

namespace bw::sim {
namespace {

struct Picture {
    int width = 0, height = 0, bands = 0;
    std::vector<uint8_t> rgb;

    const uint8_t* At(int x, int y) const {
        return &rgb[(static_cast<size_t>(y) * width + x) * static_cast<size_t>(bands)];
    }
};

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

Picture Decode(const std::string& path) {
    EXPECT_EQ(VIPS_INIT("image_home_screen_test"), 0);
    Picture picture;
    try {
        vips::VImage image = vips::VImage::new_from_file(path.c_str());
        picture.width = image.width();
        picture.height = image.height();
        picture.bands = image.bands();
        size_t length = 0;
        void* memory = image.write_to_memory(&length);
        picture.rgb.assign(static_cast<uint8_t*>(memory), static_cast<uint8_t*>(memory) + length);
        g_free(memory);
    } catch (const vips::VError& error) {
        ADD_FAILURE() << path << ": " << error.what();
    }
    return picture;
}

class SimImageHomeScreen : public ::testing::TestWithParam<const char*> {
  protected:
    std::string Make(uint64_t seed = 1) {
        ImageOptions options;
        options.iosVersion = GetParam();
        options.seed = seed;
        const std::string path = folder_ / ("image" + std::to_string(images_++));
        std::string error;
        EXPECT_TRUE(CreateImage(path, options, error)) << error;
        return path;
    }

    testing::TempFolder folder_;
    int images_ = 0;
};

TEST_P(SimImageHomeScreen, TheSameSeedDrawsTheSameBytes) {
    const std::string first = ReadFile(Make(7) + "/screen.png");
    ASSERT_FALSE(first.empty());
    EXPECT_EQ(ReadFile(Make(7) + "/screen.png"), first);
    EXPECT_NE(ReadFile(Make(8) + "/screen.png"), first);
}

// The picture is of the whole screen. The first place of the first page holds Settings, whose
// bundle has a retina icon: the middle of the tile is the middle of that icon (scaled from 114 to
// 120 pixels on iOS 7).
TEST_P(SimImageHomeScreen, IsTheWholeScreenWithTheApplicationsIconOnTheFirstTile) {
    const std::string image = Make();
    const Picture screen = Decode(image + "/screen.png");
    EXPECT_EQ(screen.width, 640);
    EXPECT_EQ(screen.height, std::string(GetParam()) == "5.1.1" ? 960 : 1136);
    ASSERT_EQ(screen.bands, 3);
    const Picture icon = Decode(image + "/fs/Applications/Preferences.app/Icon@2x.png");
    ASSERT_EQ(icon.width, 114);
    const int side = std::string(GetParam()) == "7.1.2" ? 120 : 114;
    const int gap = (640 - 4 * side) / 5;
    const int top = 72;  // below the 20-point status bar and a 16-point margin
    for (const auto& [dx, dy] : {std::pair{0, 0}, std::pair{-40, -40}, std::pair{40, 45}}) {
        const uint8_t* drawn = screen.At(gap + side / 2 + dx, top + side / 2 + dy);
        const uint8_t* source = icon.At(57 + dx * 114 / side, 57 + dy * 114 / side);
        for (int channel = 0; channel < 3; ++channel)
            EXPECT_NEAR(drawn[channel], source[channel], 24) << "offset " << dx << "," << dy;
    }
    // The wallpaper shows between the tiles: the gap left of the first tile is not the icon.
    const uint8_t* wallpaper = screen.At(gap / 2, top + side / 2);
    const uint8_t* middle = screen.At(gap + side / 2, top + side / 2);
    EXPECT_NE(std::vector<uint8_t>(wallpaper, wallpaper + 3),
              std::vector<uint8_t>(middle, middle + 3));
}

INSTANTIATE_TEST_SUITE_P(Versions, SimImageHomeScreen, bw::testing::EachIosVersion(),
                         bw::testing::IosVersionName);

}  // namespace
}  // namespace bw::sim

#include "ios_release.h"

#include <iterator>

namespace bw::sim {
namespace {

// Each version on the phone that was current for it: the iPhone 4S ran iOS 5 out of the box,
// the iPhone 5 iOS 6, the iPhone 5s iOS 7.
constexpr IosRelease kReleases[] = {
    {
        .version = "5.1.1",
        .major = 5,
        .build = "9B206",
        .productType = "iPhone4,1",
        .marketingName = "iPhone 4S",
        .hardwareModel = "N94AP",
        .platform = "s5l8940x",
        .cpu = "armv7",
        .chipId = 0x8940,
        .boardId = 8,
        .iboot = "iBoot-1219.62.15",
        .baseband = "04.12.02",
        .imeiTypeCode = "01332700",
        .serialModel = "DT9V",
        .modelNumbers = {"MD235", "MD241", "MD257"},
        .colors = {{"black", "black"}, {"white", "white"}, {"black", "black"}},
        .screenWidth = 640,
        .screenHeight = 960,
        .minITunesVersion = "10.6",
        .minMacOSVersion = "10.5.8",
        .itunesDbVersion = 4,
        .epoch = 1339718400,  // 2012-06-15
    },
    {
        .version = "6.1.3",
        .major = 6,
        .build = "10B329",
        .productType = "iPhone5,1",
        .marketingName = "iPhone 5",
        .hardwareModel = "N41AP",
        .platform = "s5l8950x",
        .cpu = "armv7s",
        .chipId = 0x8950,
        .boardId = 0,
        .iboot = "iBoot-1537.9.55",
        .baseband = "3.04.25",
        .imeiTypeCode = "01367300",
        .serialModel = "DTTN",
        .modelNumbers = {"MD297", "MD299", "MD644"},
        .colors = {{"black", "black"}, {"white", "white"}, {"white", "white"}},
        .screenWidth = 640,
        .screenHeight = 1136,
        .minITunesVersion = "10.7",
        .minMacOSVersion = "10.6.8",
        .itunesDbVersion = 5,
        .epoch = 1367366400,  // 2013-05-01
    },
    {
        .version = "7.1.2",
        .major = 7,
        .build = "11D257",
        .productType = "iPhone6,1",
        .marketingName = "iPhone 5s",
        .hardwareModel = "N51AP",
        .platform = "s5l8960x",
        .cpu = "arm64",
        .chipId = 0x8960,
        .boardId = 0,
        .iboot = "iBoot-1940.10.58",
        .baseband = "1.04.00",
        .imeiTypeCode = "35854305",
        .serialModel = "FF9R",
        .modelNumbers = {"ME305", "ME308", "ME311"},
        // Since the iPhone 5s the colours are reported as RGB texts.
        .colors = {{"#3b3b3c", "#99989b"}, {"#e1e4e3", "#d7d9d8"}, {"#e1e4e3", "#d4c5b3"}},
        .screenWidth = 640,
        .screenHeight = 1136,
        .minITunesVersion = "11.1",
        .minMacOSVersion = "10.6.8",
        .itunesDbVersion = 5,
        .epoch = 1406851200,  // 2014-08-01
    },
};

}  // namespace

const IosRelease* FindIosRelease(std::string_view version) {
    for (const IosRelease& release : kReleases) {
        if (version == release.version) return &release;
    }
    return nullptr;
}

const IosRelease* IosReleasesBegin() {
    return std::begin(kReleases);
}
const IosRelease* IosReleasesEnd() {
    return std::end(kReleases);
}

}  // namespace bw::sim

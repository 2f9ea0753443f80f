// Messages a device sends to the host's information code: the AirTraffic "assetmetrics" message
// (as the message thread reads it, converted to a property list) and the screenshot service's
// device-link reply. Categories must come out with known names, zero-terminated, audio and video
// at most once each; a screenshot is taken only from a reply that holds one.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "device/device_info.h"
#include "device/device_utilities.h"
#include "formats/plist_library.h"
#include "fuzz_seeds.h"
#include "plist_seeds.h"

namespace {

using bw::CDicValueObj;

CDicValueObj Figures(int64_t count, int64_t size) {
    CDicValueObj figures = CDicValueObj::MakeDictionary();
    figures.Set("_Count", CDicValueObj::MakeInteger(count));
    figures.Set("_PhysicalSize", CDicValueObj::MakeInteger(size));
    return figures;
}

std::vector<std::string> Seeds() {
    CDicValueObj media = CDicValueObj::MakeDictionary();
    media.Set("Song", Figures(12, 48000000));
    media.Set("Movie", Figures(1, 700000000));
    media.Set("TVEpisode", Figures(2, 300000000));
    CDicValueObj params = CDicValueObj::MakeDictionary();
    params.Set("Media", media);
    params.Set("Photo", Figures(240, 480000000));
    params.Set("Application", Figures(12, 900000000));
    params.Set("Book", Figures(3, 9000000));
    params.Set("Ringtone", Figures(2, 600000));
    params.Set("VoiceMemo", Figures(1, 300000));
    params.Set("UserData", Figures(0, 120000000));
    CDicValueObj metrics = CDicValueObj::MakeDictionary();
    metrics.Set("Command", CDicValueObj::MakeString("AssetMetrics"));
    metrics.Set("Params", params);

    CDicValueObj reply = CDicValueObj::MakeArray();
    reply.Array()->push_back(CDicValueObj::MakeString("DLMessageProcessMessage"));
    CDicValueObj body = CDicValueObj::MakeDictionary();
    body.Set("MessageType", CDicValueObj::MakeString("ScreenShotReply"));
    body.Set("ScreenShotData", CDicValueObj::MakeData(std::string("MM\0*\0\0\0\x08", 8)));
    reply.Array()->push_back(body);
    return {bw::fuzz::XmlSeed(metrics),
            bw::fuzz::BinarySeed(metrics),
            bw::fuzz::BinarySeed(reply),
            bw::fuzz::XmlSeed(reply),
            "bplist00",
            ""};
}

bool KnownName(const BwMediaCategory& category, std::u16string_view& name) {
    size_t length = 0;
    while (length < std::size(category.category) && category.category[length] != 0)
        ++length;
    if (length == std::size(category.category)) return false;  // not zero-terminated
    name = std::u16string_view(category.category, length);
    for (std::u16string_view known :
         {u"audio", u"video", u"photo", u"application", u"book", u"userdata"}) {
        if (name == known) return true;
    }
    return false;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    bw::fuzz::MaybeWriteSeeds(Seeds());
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > (1u << 20)) return 0;
    CDicValueObj message;
    bw::readPlistFromByteArry(data, static_cast<int>(size), message, 0);

    int audio = 0;
    int video = 0;
    for (const BwMediaCategory& category : bw::MediaCategoriesFromMetrics(message)) {
        std::u16string_view name;
        if (!KnownName(category, name)) std::abort();
        audio += name == u"audio" ? 1 : 0;
        video += name == u"video" ? 1 : 0;
    }
    if (audio > 1 || video > 1) std::abort();

    std::string image = "previous";
    const bool taken = bw::ScreenshotDataFromReply(message, image);
    if (!taken && !image.empty()) std::abort();
    return 0;
}

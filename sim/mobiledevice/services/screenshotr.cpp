// "com.apple.mobile.screenshotr": a device-link service. Messages are arrays whose first element
// names them. On open the device offers its protocol version, ["DLMessageVersionExchange", 300,
// 0]; the host accepts with ["DLMessageVersionExchange", "DLVersionsOk", <major>] and the device
// answers ["DLMessageDeviceReady"]. Then each ["DLMessageProcessMessage", {"MessageType":
// "ScreenShotRequest"}] is answered ["DLMessageProcessMessage", {"MessageType":
// "ScreenShotReply", "ScreenShotData": <TIFF>}], and ["DLMessageDisconnect", ...] ends the link.
// A phone drops the connection on anything else, and so does this one. Messages from the device
// are binary property lists, as a phone sends them.
//
// Phones of iOS 5 to 7 send the screen as an uncompressed big-endian RGB TIFF of the screen's
// pixel size. The picture is the image's screen.png, read on every request; an image without a
// usable one (missing, broken, or not of the screen's size) shows a plain grey screen.
#include <vips/vips8>

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "app_catalog.h"
#include "channel.h"
#include "common/plist_file.h"
#include "common/plist_tree.h"
#include "device.h"
#include "service.h"
#include "status.h"

namespace bw::sim::md {
namespace {

constexpr char kServiceName[] = "com.apple.mobile.screenshotr";
constexpr uint64_t kDeviceLinkMajor = 300;
constexpr uint64_t kDeviceLinkMinor = 0;

// Without "ScreenWidth"/"ScreenHeight" the device has the 3.5-inch retina screen.
constexpr int kDefaultWidth = 640;
constexpr int kDefaultHeight = 960;
constexpr uint64_t kLargestSide = 4096;
constexpr size_t kLargestPicture = 64u * 1024 * 1024;
constexpr uint8_t kGrey = 0x80;

struct ScreenSize {
    int width = kDefaultWidth;
    int height = kDefaultHeight;
};

// With DeviceMutex held.
ScreenSize ReadScreenSize(const Device& device) {
    const plist_t domain = plist_dict_get_item(device.values.get(), "com.apple.iTunes");
    if (domain == nullptr || plist_get_node_type(domain) != PLIST_DICT) return {};
    const auto side = [domain](const char* key) -> std::optional<int> {
        const plist_t node = plist_dict_get_item(domain, key);
        if (node == nullptr || plist_get_node_type(node) != PLIST_UINT) return std::nullopt;
        uint64_t value = 0;
        plist_get_uint_val(node, &value);
        if (value == 0 || value > kLargestSide) return std::nullopt;
        return static_cast<int>(value);
    };
    const std::optional<int> width = side("ScreenWidth"), height = side("ScreenHeight");
    if (!width || !height) return {};
    return {*width, *height};
}

bool StartVips() {
    static std::once_flag once;
    static bool started = false;
    std::call_once(once, [] { started = vips_init("brackwater-sim") == 0; });
    return started;
}

// The RGB rows of the picture, when it is a picture of exactly the screen's size.
std::optional<std::vector<uint8_t>> ReadPicture(const std::string& path, ScreenSize size) {
    const std::optional<std::string> bytes = ReadRegularFile(path, kLargestPicture);
    if (!bytes || bytes->empty() || !StartVips()) return std::nullopt;
    try {
        // The header alone decides the size, so a picture of another size is never decoded.
        vips::VImage picture =
            vips::VImage::new_from_buffer(bytes->data(), bytes->size(), "",
                                          vips::VImage::option()
                                              ->set("access", VIPS_ACCESS_SEQUENTIAL)
                                              ->set("fail_on", VIPS_FAIL_ON_ERROR));
        if (picture.width() != size.width || picture.height() != size.height) return std::nullopt;
        picture = picture.colourspace(VIPS_INTERPRETATION_sRGB);
        if (picture.has_alpha()) picture = picture.flatten();
        picture = picture.cast(VIPS_FORMAT_UCHAR);
        if (picture.bands() != 3) return std::nullopt;
        size_t length = 0;
        void* pixels = picture.write_to_memory(&length);
        std::vector<uint8_t> rows(static_cast<const uint8_t*>(pixels),
                                  static_cast<const uint8_t*>(pixels) + length);
        g_free(pixels);
        if (rows.size() != static_cast<size_t>(size.width) * size.height * 3) return std::nullopt;
        return rows;
    } catch (const vips::VError&) {
        return std::nullopt;
    }
}

// Baseline TIFF 6.0, big-endian: the header, one directory, the values that do not fit in it,
// then the pixels as one uncompressed strip of 8-bit RGB.
class TiffWriter {
  public:
    static std::string Encode(ScreenSize size, const std::vector<uint8_t>& rgb) {
        constexpr uint32_t kEntries = 13;
        constexpr uint32_t kDirectory = 8;
        constexpr uint32_t kBitsPerSample = kDirectory + 2 + kEntries * 12 + 4;
        constexpr uint32_t kXResolution = kBitsPerSample + 6;
        constexpr uint32_t kYResolution = kXResolution + 8;
        constexpr uint32_t kPixels = kYResolution + 8;
        const auto width = static_cast<uint32_t>(size.width);
        const auto height = static_cast<uint32_t>(size.height);
        TiffWriter out;
        out.bytes_ = "MM";
        out.Short(42);
        out.Long(kDirectory);
        out.Short(kEntries);
        out.Entry(256, kLong, 1, width);               // ImageWidth
        out.Entry(257, kLong, 1, height);              // ImageLength
        out.Entry(258, kShort, 3, kBitsPerSample);     // BitsPerSample: 8, 8, 8
        out.Entry(259, kShort, 1, 1u << 16);           // Compression: none
        out.Entry(262, kShort, 1, 2u << 16);           // PhotometricInterpretation: RGB
        out.Entry(273, kLong, 1, kPixels);             // StripOffsets
        out.Entry(277, kShort, 1, 3u << 16);           // SamplesPerPixel
        out.Entry(278, kLong, 1, height);              // RowsPerStrip: all of them
        out.Entry(279, kLong, 1, width * height * 3);  // StripByteCounts
        out.Entry(282, kRational, 1, kXResolution);    // XResolution
        out.Entry(283, kRational, 1, kYResolution);    // YResolution
        out.Entry(284, kShort, 1, 1u << 16);           // PlanarConfiguration: interleaved
        out.Entry(296, kShort, 1, 2u << 16);           // ResolutionUnit: inch
        out.Long(0);                                   // no further directory
        out.Short(8), out.Short(8), out.Short(8);
        out.Long(72), out.Long(1);
        out.Long(72), out.Long(1);
        out.bytes_.append(reinterpret_cast<const char*>(rgb.data()), rgb.size());
        return std::move(out.bytes_);
    }

  private:
    static constexpr uint16_t kShort = 3;
    static constexpr uint16_t kLong = 4;
    static constexpr uint16_t kRational = 5;

    void Short(uint16_t value) {
        bytes_ += static_cast<char>(value >> 8);
        bytes_ += static_cast<char>(value);
    }
    void Long(uint32_t value) {
        Short(static_cast<uint16_t>(value >> 16));
        Short(static_cast<uint16_t>(value));
    }
    // A value that fits in four bytes sits in them left-justified (a SHORT in the high half).
    void Entry(uint16_t tag, uint16_t type, uint32_t count, uint32_t valueOrOffset) {
        Short(tag);
        Short(type);
        Long(count);
        Long(valueOrOffset);
    }

    std::string bytes_;
};

std::string Screenshot(const std::string& imageFolder, ScreenSize size) {
    std::optional<std::vector<uint8_t>> rgb = ReadPicture(imageFolder + "/screen.png", size);
    if (!rgb) rgb.emplace(static_cast<size_t>(size.width) * size.height * 3, kGrey);
    return TiffWriter::Encode(size, *rgb);
}

// The name of a device-link message: its first element's text; empty for anything else.
std::string MessageName(plist_t message) {
    if (plist_get_node_type(message) != PLIST_ARRAY || plist_array_get_size(message) == 0)
        return {};
    return StringValue(plist_array_get_item(message, 0));
}

bool IsVersionsOk(plist_t message) {
    return plist_array_get_size(message) == 3 &&
           StringValue(plist_array_get_item(message, 1)) == "DLVersionsOk" &&
           plist_get_node_type(plist_array_get_item(message, 2)) == PLIST_UINT;
}

bool IsScreenShotRequest(plist_t message) {
    if (plist_array_get_size(message) != 2) return false;
    const plist_t body = plist_array_get_item(message, 1);
    return plist_get_node_type(body) == PLIST_DICT &&
           StringValue(plist_dict_get_item(body, "MessageType")) == "ScreenShotRequest";
}

class Screenshotr : public Service {
  public:
    Screenshotr(std::string imageFolder, ScreenSize size)
        : imageFolder_(std::move(imageFolder)), size_(size) {}

    void OnOpen(Channel& channel) override {
        PlistTree offer(plist_new_array());
        plist_array_append_item(offer.get(), plist_new_string("DLMessageVersionExchange"));
        plist_array_append_item(offer.get(), plist_new_uint(kDeviceLinkMajor));
        plist_array_append_item(offer.get(), plist_new_uint(kDeviceLinkMinor));
        channel.Reply(offer.get(), true);
    }

    void OnMessage(Channel& channel, plist_t message, bool) override {
        const std::string name = MessageName(message);
        if (!ready_ && name == "DLMessageVersionExchange" && IsVersionsOk(message)) {
            ready_ = true;
            PlistTree reply(plist_new_array());
            plist_array_append_item(reply.get(), plist_new_string("DLMessageDeviceReady"));
            channel.Reply(reply.get(), true);
        } else if (ready_ && name == "DLMessageProcessMessage" && IsScreenShotRequest(message)) {
            const std::string tiff = Screenshot(imageFolder_, size_);
            PlistTree body(plist_new_dict());
            plist_dict_set_item(body.get(), "MessageType", plist_new_string("ScreenShotReply"));
            plist_dict_set_item(body.get(), "ScreenShotData",
                                plist_new_data(tiff.data(), tiff.size()));
            PlistTree reply(plist_new_array());
            plist_array_append_item(reply.get(), plist_new_string("DLMessageProcessMessage"));
            plist_array_append_item(reply.get(), body.release());
            channel.Reply(reply.get(), true);
        } else if (ready_ && name == "DLMessagePing") {
            // Keeps the link alive; nothing to answer.
        } else {
            channel.Close();  // "DLMessageDisconnect", or a message out of turn or malformed
        }
    }

  private:
    const std::string imageFolder_;
    const ScreenSize size_;
    bool ready_ = false;  // requests reach the service one at a time
};

// With DeviceMutex held, as every factory.
ServiceStart StartScreenshotr(Device& device) {
    return {kAmdSuccess, std::make_unique<Screenshotr>(device.imageFolder, ReadScreenSize(device))};
}

[[maybe_unused]] const bool kRegistered = RegisterService(kServiceName, &StartScreenshotr);

}  // namespace
}  // namespace bw::sim::md

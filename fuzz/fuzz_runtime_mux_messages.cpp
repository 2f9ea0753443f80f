// The device runtime's reader of usbmuxd's messages on any bytes, read as a stream the way its
// listening connection reads them: a header is taken only with a body length it can hold, and a
// message yields only phones with a handle, a sane UTF-8 identifier and a known connection type.
#include <array>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "fuzz_seeds.h"
#include "mapping.h"

namespace {

using namespace bw::imd;

void Require(bool condition) {
    if (!condition) std::abort();
}

void RequireUsable(const MuxDevice& device) {
    Require(device.handle != 0);
    Require(!device.udid.empty() && device.udid.size() <= 63 && IsUtf8(device.udid));
    Require(device.interfaceType == 1 || device.interfaceType == 2);
}

// A message as usbmuxd writes one: the header, then the XML body.
std::string Message(const std::string& xml, uint32_t tag) {
    std::string bytes = MuxRequest("Listen", tag);
    bytes.resize(kMuxHeaderBytes);
    const auto length = static_cast<uint32_t>(kMuxHeaderBytes + xml.size());
    for (int i = 0; i < 4; ++i)
        bytes[static_cast<size_t>(i)] = static_cast<char>((length >> (8 * i)) & 0xFF);
    return bytes + xml;
}

const char kHead[] = "<?xml version=\"1.0\" encoding=\"UTF-8\"?><plist version=\"1.0\"><dict>";
const char kAttached[] =
    "<key>MessageType</key><string>Attached</string><key>DeviceID</key><integer>3</integer>"
    "<key>Properties</key><dict><key>ConnectionType</key><string>USB</string>"
    "<key>SerialNumber</key><string>0123456789abcdef0123456789abcdef01234567</string></dict>";

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    const std::string head = kHead;
    bw::fuzz::MaybeWriteSeeds(
        {Message(head + "<key>MessageType</key><string>Result</string><key>Number</key>"
                        "<integer>0</integer></dict></plist>",
                 2) +
             Message(head + kAttached + "</dict></plist>", 0),
         Message(head + "<key>MessageType</key><string>Detached</string><key>DeviceID</key>"
                        "<integer>3</integer></dict></plist>",
                 0),
         Message(head + "<key>DeviceList</key><array><dict>" + kAttached +
                     "</dict></array></dict></plist>",
                 1)});
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view rest(reinterpret_cast<const char*>(data), size);
    while (rest.size() >= kMuxHeaderBytes) {
        std::array<unsigned char, kMuxHeaderBytes> header{};
        std::memcpy(header.data(), rest.data(), header.size());
        const std::optional<uint32_t> length = MuxBodyLength(header);
        if (!length) break;
        Require(*length <= kMaxMuxMessageBytes - kMuxHeaderBytes);
        rest.remove_prefix(kMuxHeaderBytes);
        if (*length > rest.size()) break;
        const std::optional<MuxMessage> message = ReadMuxMessage(rest.substr(0, *length));
        rest.remove_prefix(*length);
        if (!message) continue;
        if (message->kind == MuxMessage::Kind::Attached) RequireUsable(message->device);
        if (message->kind == MuxMessage::Kind::Detached) Require(message->device.handle != 0);
        for (const MuxDevice& device : message->devices)
            RequireUsable(device);
    }
    return 0;
}

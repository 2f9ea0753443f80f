// The simulator's screenshot service on any bytes. The first byte's low bit says whether the
// host first completes the version exchange (so that the bytes reach the ready state); the rest
// reaches the service in pieces (the first byte of each piece gives its length). The image has a
// small screen and a broken screen picture, so that each request also runs the picture reader's
// failure path. Nothing may crash, allocate what a length field claims, or stay open.

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include "fuzz_seeds.h"
#include "sim_md_runtime.h"

namespace {

std::string Xml(const std::string& inner) {
    return bw::fuzz::Framed("<?xml version=\"1.0\"?><plist version=\"1.0\"><array>" + inner +
                            "</array></plist>");
}

const std::string kVersionsOk =
    Xml("<string>DLMessageVersionExchange</string><string>DLVersionsOk</string>"
        "<integer>100</integer>");

struct World {
    bw::fuzz::SimServiceRuntime rt{};
    AMDeviceRef device = nullptr;
    CFStringRef service = nullptr;

    World() {
        rt = bw::fuzz::SimServiceRuntime::Load();

        const std::string root = bw::fuzz::TemporaryFolder("bw-fuzz-device-link");
        bw::fuzz::MakeImage(root);
        std::ofstream(root + "/device.plist", std::ios::trunc)
            << "<?xml version=\"1.0\" encoding=\"UTF-8\"?><plist version=\"1.0\"><dict>"
               "<key>UniqueDeviceID</key><string>fuzz</string><key>com.apple.iTunes</key><dict>"
               "<key>ScreenWidth</key><integer>16</integer><key>ScreenHeight</key>"
               "<integer>24</integer></dict></dict></plist>";
        std::ofstream(root + "/screen.png") << "\x89PNG\r\n\x1a\n broken";
        device = bw::fuzz::AttachImage(rt, root);
        service = rt.makeString(nullptr, "com.apple.mobile.screenshotr", kCFStringEncodingUTF8);
    }
};

World& TheWorld() {
    static World* world = new World;
    return *world;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    bw::fuzz::MaybeWriteSeeds({
        "\x00\xff" + kVersionsOk,
        "\x01\xff" + Xml("<string>DLMessageProcessMessage</string><dict><key>MessageType</key>"
                         "<string>ScreenShotRequest</string></dict>"),
        "\x01\x40" + Xml("<string>DLMessageDisconnect</string>"
                         "<string>___EmptyParameterString___</string>"),
        "\x01\x20" + Xml("<string>DLMessagePing</string><string>x</string>"),
        std::string("\x00\x04\x7f\xff\xff\xff", 6),
        std::string("\x01\x08\0\0\0\x08"
                    "bplist00",
                    10),
    });
    TheWorld();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    World& world = TheWorld();
    const bw::fuzz::SimServiceRuntime& rt = world.rt;
    AMDServiceConnectionRef connection = bw::fuzz::StartService(rt, world.device, world.service);
    bool open = true;
    if (data[0] & 1)
        open = rt.send(connection, kVersionsOk.data(), kVersionsOk.size()) ==
               static_cast<int>(kVersionsOk.size());
    if (open) bw::fuzz::SendInPieces(rt, connection, data, size, 1);
    // Whatever the service answered is read to the end: the bytes must all be there.
    bw::fuzz::CloseAndCheck(rt, connection, true);
    return 0;
}

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

struct Runtime : bw::fuzz::SimMdRuntime {
    decltype(&::AMDServiceConnectionReceive) receive = nullptr;
    decltype(&::AMDeviceSecureStartService) secureStart = nullptr;
    decltype(&::AMDServiceConnectionSend) send = nullptr;
    decltype(&::AMDServiceConnectionInvalidate) invalidate = nullptr;
};

std::string Framed(const std::string& body) {
    const auto size = static_cast<uint32_t>(body.size());
    std::string framed = {static_cast<char>(size >> 24), static_cast<char>(size >> 16),
                          static_cast<char>(size >> 8), static_cast<char>(size)};
    return framed + body;
}

std::string Xml(const std::string& inner) {
    return Framed("<?xml version=\"1.0\"?><plist version=\"1.0\"><array>" + inner +
                  "</array></plist>");
}

const std::string kVersionsOk =
    Xml("<string>DLMessageVersionExchange</string><string>DLVersionsOk</string>"
        "<integer>100</integer>");

struct World {
    Runtime rt{};
    AMDeviceRef device = nullptr;
    CFStringRef service = nullptr;

    World() {
        static_cast<bw::fuzz::SimMdRuntime&>(rt) = bw::fuzz::SimMdRuntime::Load();
        rt.Find("AMDServiceConnectionReceive", rt.receive);
        rt.Find("AMDeviceSecureStartService", rt.secureStart);
        rt.Find("AMDServiceConnectionSend", rt.send);
        rt.Find("AMDServiceConnectionInvalidate", rt.invalidate);

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
    const Runtime& rt = world.rt;
    if (rt.connect(world.device) != 0 || rt.startSession(world.device) != 0) std::abort();
    AMDServiceConnectionRef connection = nullptr;
    if (rt.secureStart(world.device, world.service, nullptr, &connection) != 0) std::abort();
    rt.stopSession(world.device);
    rt.disconnect(world.device);

    bool open = true;
    if (data[0] & 1)
        open = rt.send(connection, kVersionsOk.data(), kVersionsOk.size()) ==
               static_cast<int>(kVersionsOk.size());
    size_t offset = 1;
    while (open && offset < size) {
        const size_t piece = std::min<size_t>(1 + data[offset], size - offset - 1);
        ++offset;
        if (rt.send(connection, data + offset, piece) < 0) break;
        offset += piece;
    }
    rt.invalidate(connection);
    // Whatever the service answered is read to the end: the bytes must all be there.
    char buffer[4096];
    while (rt.receive(connection, buffer, sizeof buffer) > 0) {
    }
    rt.release(connection);
    BwSimCounters counters{};
    rt.counters(&counters);
    if (counters.serviceConnections != 0 || counters.connectedDevices != 0 ||
        counters.sessions != 0) {
        std::fprintf(stderr, "a connection or session stayed open\n");
        std::abort();
    }
    return 0;
}

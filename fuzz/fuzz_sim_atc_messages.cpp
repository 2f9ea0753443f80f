// The device side of AirTraffic ("com.apple.atc") on any bytes from the host: the service gets
// the input in pieces (the first byte of each piece gives its length), as framed messages that
// may be broken anywhere. Nothing may crash, allocate what a length field claims, or stay open
// once the host lets go of the connection.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "fuzz_seeds.h"
#include "sim_md_runtime.h"

namespace {

struct Runtime : bw::fuzz::SimMdRuntime {
    decltype(&::AMDeviceSecureStartService) secureStart = nullptr;
    decltype(&::AMDServiceConnectionSend) send = nullptr;
    decltype(&::AMDServiceConnectionInvalidate) invalidate = nullptr;
};

struct World {
    Runtime rt{};
    AMDeviceRef device = nullptr;
    CFStringRef serviceName = nullptr;

    World() {
        static_cast<bw::fuzz::SimMdRuntime&>(rt) = bw::fuzz::SimMdRuntime::Load();
        rt.Find("AMDeviceSecureStartService", rt.secureStart);
        rt.Find("AMDServiceConnectionSend", rt.send);
        rt.Find("AMDServiceConnectionInvalidate", rt.invalidate);

        const std::string image = bw::fuzz::TemporaryFolder("bw-fuzz-atc");
        bw::fuzz::MakeImage(image);
        device = bw::fuzz::AttachImage(rt, image);
        serviceName = rt.makeString(nullptr, "com.apple.atc", kCFStringEncodingUTF8);
    }
};

World& TheWorld() {
    static World* world = new World;
    return *world;
}

std::string Framed(const std::string& body) {
    const auto size = static_cast<uint32_t>(body.size());
    std::string framed = {static_cast<char>(size >> 24), static_cast<char>(size >> 16),
                          static_cast<char>(size >> 8), static_cast<char>(size)};
    return framed + body;
}

std::string Message(const char* command, const char* params) {
    return Framed(std::string("<?xml version=\"1.0\"?><plist version=\"1.0\"><dict>"
                              "<key>Command</key><string>") +
                  command + "</string><key>Params</key>" + params +
                  "<key>Session</key><integer>0</integer></dict></plist>");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    const std::string hostInfo = Message(
        "HostInfo",
        "<dict><key>HostInfo</key><dict><key>LibraryID</key><string>A1B2C3D4E5F60718</string>"
        "<key>SyncedDataclasses</key><array/></dict></dict>");
    bw::fuzz::MaybeWriteSeeds({
        "\xff" + hostInfo,
        "\x10" + Message("PowerAssertion", "<dict><key>Enabled</key><true/></dict>") + hostInfo,
        "\x08" + Message("Ping", "<string>not a dictionary</string>"),
        "\x20" + Framed("<?xml version=\"1.0\"?><plist version=\"1.0\"><array/></plist>"),
        std::string("\x04\x7f\xff\xff\xff", 5),
        std::string("\x08\0\0\0\x08"
                    "bplist00",
                    9),
    });
    TheWorld();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    World& world = TheWorld();
    const Runtime& rt = world.rt;
    if (rt.connect(world.device) != 0 || rt.startSession(world.device) != 0) std::abort();
    AMDServiceConnectionRef link = nullptr;
    if (rt.secureStart(world.device, world.serviceName, nullptr, &link) != 0) std::abort();
    rt.stopSession(world.device);
    rt.disconnect(world.device);

    size_t offset = 0;
    while (offset < size) {
        const size_t piece = std::min<size_t>(1 + data[offset], size - offset - 1);
        ++offset;
        if (rt.send(link, data + offset, piece) < 0) break;
        offset += piece;
    }
    rt.invalidate(link);
    rt.release(link);
    BwSimCounters counters{};
    rt.counters(&counters);
    if (counters.serviceConnections != 0 || counters.connectedDevices != 0 ||
        counters.sessions != 0) {
        std::fprintf(stderr, "a connection or session stayed open\n");
        std::abort();
    }
    return 0;
}

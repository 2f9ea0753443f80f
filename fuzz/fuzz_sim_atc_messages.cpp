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

struct World {
    bw::fuzz::SimServiceRuntime rt{};
    AMDeviceRef device = nullptr;
    CFStringRef serviceName = nullptr;

    World() {
        rt = bw::fuzz::SimServiceRuntime::Load();

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

std::string Message(const char* command, const char* params) {
    return bw::fuzz::Framed(std::string("<?xml version=\"1.0\"?><plist version=\"1.0\"><dict>"
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
        "\x20" + bw::fuzz::Framed("<?xml version=\"1.0\"?><plist version=\"1.0\"><array/></plist>"),
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
    const bw::fuzz::SimServiceRuntime& rt = world.rt;
    AMDServiceConnectionRef link = bw::fuzz::StartService(rt, world.device, world.serviceName);
    bw::fuzz::SendInPieces(rt, link, data, size, 0);
    bw::fuzz::CloseAndCheck(rt, link, false);
    return 0;
}

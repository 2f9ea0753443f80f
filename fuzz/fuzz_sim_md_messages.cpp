// The framed message exchange of the simulator's mobile device library on any bytes: the
// notification proxy gets the input in pieces (the first byte of each piece gives its length),
// then a notification is posted on the device. Nothing may crash, allocate what a length field
// claims, or stay open.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "fuzz_seeds.h"
#include "sim_md_runtime.h"

namespace {

// The runtime's functions this target uses besides the common ones.
struct Runtime : bw::fuzz::SimServiceRuntime {
    decltype(&::BwSimPostDeviceNotification) post = nullptr;
};

struct World {
    Runtime rt{};
    AMDeviceRef device = nullptr;
    CFStringRef serviceName = nullptr;

    World() {
        static_cast<bw::fuzz::SimServiceRuntime&>(rt) = bw::fuzz::SimServiceRuntime::Load();
        rt.Find("BwSimPostDeviceNotification", rt.post);

        const std::string image = bw::fuzz::TemporaryFolder("bw-fuzz-md");
        bw::fuzz::MakeImage(image);
        device = bw::fuzz::AttachImage(rt, image);
        serviceName =
            rt.makeString(nullptr, "com.apple.mobile.notification_proxy", kCFStringEncodingUTF8);
    }
};

World& TheWorld() {
    static World* world = new World;
    return *world;
}

std::string Command(const char* command, const char* name) {
    return bw::fuzz::Framed(std::string("<?xml version=\"1.0\"?><plist version=\"1.0\"><dict>"
                                        "<key>Command</key><string>") +
                            command + "</string><key>Name</key><string>" + name +
                            "</string></dict></plist>");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    bw::fuzz::MaybeWriteSeeds({
        "\xff" + Command("ObserveNotification", "fuzz.ping"),
        "\x04" + Command("PostNotification", "fuzz.ping"),
        "\x10" + Command("ObserveNotification", "fuzz.ping") + Command("Shutdown", ""),
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
    AMDServiceConnectionRef proxy = bw::fuzz::StartService(rt, world.device, world.serviceName);
    bw::fuzz::SendInPieces(rt, proxy, data, size, 0);
    rt.post("fuzz", "fuzz.ping");
    bw::fuzz::CloseAndCheck(rt, proxy, false);
    return 0;
}

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
struct Runtime : bw::fuzz::SimMdRuntime {
    decltype(&::BwSimPostDeviceNotification) post = nullptr;
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
        rt.Find("BwSimPostDeviceNotification", rt.post);
        rt.Find("AMDeviceSecureStartService", rt.secureStart);
        rt.Find("AMDServiceConnectionSend", rt.send);
        rt.Find("AMDServiceConnectionInvalidate", rt.invalidate);

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

std::string Framed(const std::string& body) {
    const auto size = static_cast<uint32_t>(body.size());
    std::string framed = {static_cast<char>(size >> 24), static_cast<char>(size >> 16),
                          static_cast<char>(size >> 8), static_cast<char>(size)};
    return framed + body;
}

std::string Command(const char* command, const char* name) {
    return Framed(std::string("<?xml version=\"1.0\"?><plist version=\"1.0\"><dict>"
                              "<key>Command</key><string>") +
                  command + "</string><key>Name</key><string>" + name + "</string></dict></plist>");
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
    if (rt.connect(world.device) != 0 || rt.startSession(world.device) != 0) std::abort();
    AMDServiceConnectionRef proxy = nullptr;
    if (rt.secureStart(world.device, world.serviceName, nullptr, &proxy) != 0) std::abort();
    rt.stopSession(world.device);
    rt.disconnect(world.device);

    size_t offset = 0;
    while (offset < size) {
        const size_t piece = std::min<size_t>(1 + data[offset], size - offset - 1);
        ++offset;
        if (rt.send(proxy, data + offset, piece) < 0) break;
        offset += piece;
    }
    rt.post("fuzz", "fuzz.ping");
    rt.invalidate(proxy);
    rt.release(proxy);
    BwSimCounters counters{};
    rt.counters(&counters);
    if (counters.serviceConnections != 0 || counters.connectedDevices != 0 ||
        counters.sessions != 0) {
        std::fprintf(stderr, "a connection or session stayed open\n");
        std::abort();
    }
    return 0;
}

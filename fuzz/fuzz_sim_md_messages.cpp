// The framed message exchange of the simulator's mobile device library on any bytes: the
// notification proxy gets the input in pieces (the first byte of each piece gives its length),
// then a notification is posted on the device. Nothing may crash, allocate what a length field
// claims, or stay open.
#include <dlfcn.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "../sim/mobiledevice/MobileDevice.h"
#include "../sim/mobiledevice/sim_control.h"
#include "fuzz_seeds.h"

namespace {

namespace fs = std::filesystem;

// The runtime's functions, looked up by name, with the types its headers declare.
struct Runtime {
    decltype(&::BwSimAttach) attach;
    decltype(&::BwSimWaitForNotifications) wait;
    decltype(&::BwSimGetCounters) counters;
    decltype(&::BwSimPostDeviceNotification) post;
    decltype(&::AMDeviceNotificationSubscribe) subscribe;
    decltype(&::AMDeviceConnect) connect;
    decltype(&::AMDeviceDisconnect) disconnect;
    decltype(&::AMDeviceStartSession) startSession;
    decltype(&::AMDeviceStopSession) stopSession;
    decltype(&::AMDeviceSecureStartService) secureStart;
    decltype(&::AMDServiceConnectionSend) send;
    decltype(&::AMDServiceConnectionInvalidate) invalidate;
    decltype(&::CFStringCreateWithCString) makeString;
    decltype(&::CFRelease) release;
};

// The temporary folder goes when the fuzzer exits normally; a crash leaves it for inspection.
std::string g_temporary;

void RemoveWhenDone(const std::string& folder) {
    g_temporary = folder;
    std::atexit([] { fs::remove_all(g_temporary); });
}

template <class T>
void Find(void* library, const char* name, T& slot) {
    slot = reinterpret_cast<T>(dlsym(library, name));
    if (slot == nullptr) {
        std::fprintf(stderr, "missing %s\n", name);
        std::abort();
    }
}

std::atomic<AMDeviceRef> g_device{nullptr};

void OnDevice(am_device_notification_callback_info* info, void*) {
    if (info->msg == 1) g_device = info->dev;
}

struct World {
    Runtime rt{};
    AMDeviceRef device = nullptr;
    CFStringRef serviceName = nullptr;

    World() {
        const fs::path runtime = fs::read_symlink("/proc/self/exe").parent_path().parent_path() /
                                 "sim/runtime/libMobileDevice.so";
        void* library = dlopen(runtime.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (library == nullptr) {
            std::fprintf(stderr, "cannot load %s: %s\n", runtime.c_str(), dlerror());
            std::abort();
        }
        Find(library, "BwSimAttach", rt.attach);
        Find(library, "BwSimWaitForNotifications", rt.wait);
        Find(library, "BwSimGetCounters", rt.counters);
        Find(library, "BwSimPostDeviceNotification", rt.post);
        Find(library, "AMDeviceNotificationSubscribe", rt.subscribe);
        Find(library, "AMDeviceConnect", rt.connect);
        Find(library, "AMDeviceDisconnect", rt.disconnect);
        Find(library, "AMDeviceStartSession", rt.startSession);
        Find(library, "AMDeviceStopSession", rt.stopSession);
        Find(library, "AMDeviceSecureStartService", rt.secureStart);
        Find(library, "AMDServiceConnectionSend", rt.send);
        Find(library, "AMDServiceConnectionInvalidate", rt.invalidate);
        Find(library, "CFStringCreateWithCString", rt.makeString);
        Find(library, "CFRelease", rt.release);

        std::string pattern = (fs::temp_directory_path() / "bw-fuzz-md-XXXXXX").string();
        const std::string root = ::mkdtemp(pattern.data());
        RemoveWhenDone(root);
        fs::create_directories(root + "/fs/var/mobile/Media");
        std::ofstream(root + "/device.plist")
            << "<?xml version=\"1.0\" encoding=\"UTF-8\"?><plist version=\"1.0\"><dict>"
               "<key>UniqueDeviceID</key><string>fuzz</string></dict></plist>";
        AMDeviceNotificationRef subscription = nullptr;
        rt.subscribe(&OnDevice, 0, 0, nullptr, &subscription);
        if (rt.attach(root.c_str(), nullptr, 0) != 0 || rt.wait(5000) != 0) std::abort();
        device = g_device;
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

// The libimobiledevice runtime against the simulated runtime it reaches, in the same run: a file
// copied out of the image in 512 KiB reads (the library's copy block) through this runtime's AFC
// functions (libimobiledevice's AFC client, libusbmuxd and the simulator's multiplexer socket),
// and through the simulated runtime's own AFC functions, the baseline. The ratio is what a real
// runtime's path costs over the in-process one. Both measure wall time: the server answers on
// threads of its own.
#include <benchmark/benchmark.h>
#include <dlfcn.h>

#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>

#include "image/image_builder.h"
#include "mobiledevice/MobileDevice.h"
#include "mobiledevice/sim_control.h"
#include "quick.h"
#include "wire/wire_server.h"

namespace {

// A quick run copies 4 MB.
const size_t kFileBytes = bw::bench::FullOrQuick<size_t>(64u * 1024 * 1024, 4u * 1024 * 1024);
constexpr size_t kBlock = 512 * 1024;

void Fail(const char* what) {
    std::fprintf(stderr, "imd_wire_copy: %s\n", what);
    std::exit(1);
}

// The runtime's functions this benchmark calls, looked up by name as the library looks them up.
struct ImdRuntime {
    decltype(&AMDeviceNotificationSubscribe) subscribe;
    decltype(&AMDeviceConnect) connect;
    decltype(&AMDeviceStartSession) startSession;
    decltype(&AMDeviceStopSession) stopSession;
    decltype(&AMDeviceDisconnect) disconnect;
    int (*startService)(AMDeviceRef, CFStringRef, void*, unsigned int*);
    int (*afcOpen)(const void*, unsigned int, AFCConnectionRef*);
    decltype(&AFCConnectionClose) afcClose;
    decltype(&AFCFileRefOpen) fileOpen;
    decltype(&AFCFileRefRead) fileRead;
    decltype(&AFCFileRefClose) fileClose;
};

template <typename Function>
void Find(void* library, const char* name, Function& slot) {
    slot = reinterpret_cast<Function>(dlsym(library, name));
    if (slot == nullptr) Fail(name);
}

struct Arrival {
    std::mutex mutex;
    std::condition_variable arrived;
    AMDeviceRef device = nullptr;

    static void On(am_device_notification_callback_info* info, void* context) {
        auto* arrival = static_cast<Arrival*>(context);
        if (info->msg != kAMDeviceAttached) return;
        std::lock_guard<std::mutex> lock(arrival->mutex);
        arrival->device = info->dev;
        arrival->arrived.notify_all();
    }
    AMDeviceRef Wait() {
        std::unique_lock<std::mutex> lock(mutex);
        arrived.wait_for(lock, std::chrono::seconds(30), [&] { return device != nullptr; });
        return device;
    }
};

// Connects, starts the AFC service and opens AFC on it, with one runtime's functions.
template <typename Runtime>
AFCConnectionRef OpenAfc(const Runtime& runtime, AMDeviceRef device) {
    if (device == nullptr || runtime.connect(device) != 0 || runtime.startSession(device) != 0)
        Fail("session");
    CFStringRef name = CFStringCreateWithCString(nullptr, "com.apple.afc", kCFStringEncodingUTF8);
    void* service = nullptr;
    const int started = runtime.startService(device, name, &service, nullptr);
    CFRelease(name);
    runtime.stopSession(device);
    runtime.disconnect(device);
    AFCConnectionRef afc = nullptr;
    if (started != 0 || runtime.afcOpen(service, 0, &afc) != 0) Fail("AFC");
    return afc;
}

struct SimRuntime {
    decltype(&AMDeviceConnect) connect = AMDeviceConnect;
    decltype(&AMDeviceStartSession) startSession = AMDeviceStartSession;
    decltype(&AMDeviceStopSession) stopSession = AMDeviceStopSession;
    decltype(&AMDeviceDisconnect) disconnect = AMDeviceDisconnect;
    int (*startService)(AMDeviceRef, CFStringRef, void*, unsigned int*) =
        reinterpret_cast<int (*)(AMDeviceRef, CFStringRef, void*, unsigned int*)>(
            AMDeviceStartService);
    int (*afcOpen)(const void*, unsigned int, AFCConnectionRef*) =
        reinterpret_cast<int (*)(const void*, unsigned int, AFCConnectionRef*)>(AFCConnectionOpen);
};

struct Setup {
    std::string root;
    std::unique_ptr<bw::sim::wire::WireServer> server;
    ImdRuntime imd{};
    AFCConnectionRef imdAfc = nullptr;
    AFCConnectionRef simAfc = nullptr;

    Setup() {
        char pattern[] = "/tmp/bw-bench-imd-XXXXXX";
        if (::mkdtemp(pattern) == nullptr) Fail("no temporary folder");
        root = pattern;
        const std::string image = root + "/image";
        std::string error;
        if (!bw::sim::CreateImage(image, bw::sim::ImageOptions{}, error)) Fail(error.c_str());
        std::string bytes(kFileBytes, '\0');
        for (size_t i = 0; i < bytes.size(); ++i)
            bytes[i] = static_cast<char>(i * 131 + (i >> 12));
        std::ofstream(image + "/fs/var/mobile/Media/copy.bin", std::ios::binary) << bytes;

        Arrival simArrival;
        AMDeviceNotificationRef simSubscription = nullptr;
        AMDeviceNotificationSubscribe(&Arrival::On, 0, 0, &simArrival, &simSubscription);
        char udid[64] = {};
        if (BwSimAttach(image.c_str(), udid, sizeof udid) != 0) Fail("attach");
        BwSimWaitForNotifications(5000);
        simAfc = OpenAfc(SimRuntime{}, simArrival.Wait());

        const std::string socket = root + "/mux";
        server = bw::sim::wire::WireServer::Start(socket, error);
        if (!server) Fail(error.c_str());
        ::setenv("USBMUXD_SOCKET_ADDRESS", ("UNIX:" + socket).c_str(), 1);
        void* library =
            dlopen(BRACKWATER_DEVICE_RUNTIME_DIR "/libMobileDevice.so", RTLD_NOW | RTLD_LOCAL);
        if (library == nullptr) Fail(dlerror());
        Find(library, "AMDeviceNotificationSubscribe", imd.subscribe);
        Find(library, "AMDeviceConnect", imd.connect);
        Find(library, "AMDeviceStartSession", imd.startSession);
        Find(library, "AMDeviceStopSession", imd.stopSession);
        Find(library, "AMDeviceDisconnect", imd.disconnect);
        Find(library, "AMDeviceStartService", imd.startService);
        Find(library, "AFCConnectionOpen", imd.afcOpen);
        Find(library, "AFCConnectionClose", imd.afcClose);
        Find(library, "AFCFileRefOpen", imd.fileOpen);
        Find(library, "AFCFileRefRead", imd.fileRead);
        Find(library, "AFCFileRefClose", imd.fileClose);
        static Arrival imdArrival;
        AMDeviceNotificationRef imdSubscription = nullptr;
        if (imd.subscribe(&Arrival::On, 0, 0, &imdArrival, &imdSubscription) != 0) Fail("usbmuxd");
        imdAfc = OpenAfc(imd, imdArrival.Wait());
    }
};

Setup& World() {
    static Setup* setup = new Setup;  // the runtimes' threads outlive the benchmark
    return *setup;
}

template <typename OpenFn, typename ReadFn, typename CloseFn>
void Copy(benchmark::State& state, AFCConnectionRef afc, OpenFn open, ReadFn read, CloseFn close) {
    std::string buffer(kBlock, '\0');
    for (auto _ : state) {
        AFCFileRef file = 0;
        if (open(afc, "/copy.bin", 1, &file) != 0) Fail("open");
        size_t copied = 0;
        for (;;) {
            size_t length = kBlock;
            if (read(afc, file, buffer.data(), &length) != 0) Fail("read");
            if (length == 0) break;
            copied += length;
        }
        close(afc, file);
        if (copied != kFileBytes) Fail("short copy");
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kFileBytes));
}

void BM_CopyThroughTheLibimobiledeviceRuntime(benchmark::State& state) {
    Setup& world = World();
    Copy(state, world.imdAfc, world.imd.fileOpen, world.imd.fileRead, world.imd.fileClose);
}
BENCHMARK(BM_CopyThroughTheLibimobiledeviceRuntime)->Unit(benchmark::kMillisecond)->UseRealTime();

// Baseline: the simulated runtime's own AFC functions, no socket between.
void BM_CopyThroughTheSimulatedRuntime(benchmark::State& state) {
    Setup& world = World();
    Copy(state, world.simAfc, AFCFileRefOpen, AFCFileRefRead, AFCFileRefClose);
}
BENCHMARK(BM_CopyThroughTheSimulatedRuntime)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();

// The simulator's AFC server on a socket against the runtime's AFC functions it calls, in the
// same run: a file copied out of the image in 512 KiB reads (the library's copy block) and in
// 4 MiB reads (the server's bound) by a wire client over a socket pair, and by direct
// AFCFileRefRead calls with the same block, the baseline. The ratio is what the wire costs. Both
// measure wall time: the server works on a thread of its own.
#include <benchmark/benchmark.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "image/image_builder.h"
#include "mobiledevice/MobileDevice.h"
#include "mobiledevice/sim_control.h"
#include "quick.h"
#include "wire/afc_server.h"

namespace {

namespace fs = std::filesystem;

// A quick run copies 4 MB.
const size_t kFileBytes = bw::bench::FullOrQuick<size_t>(128u * 1024 * 1024, 4u * 1024 * 1024);

std::atomic<AMDeviceRef> g_device{nullptr};

void OnDevice(am_device_notification_callback_info* info, void*) {
    if (info->msg == kAMDeviceAttached) g_device = info->dev;
}

void Fail(const char* what) {
    std::fprintf(stderr, "sim_wire_afc: %s\n", what);
    std::exit(1);
}

// One attached image with the file to copy, and an AFC connection on its media folder.
struct Setup {
    std::string root;
    AFCConnectionRef afc = nullptr;

    Setup() {
        char pattern[] = "/tmp/bw-bench-wire-XXXXXX";
        if (::mkdtemp(pattern) == nullptr) Fail("no temporary folder");
        root = pattern;
        const std::string image = root + "/image";
        std::string error;
        if (!bw::sim::CreateImage(image, bw::sim::ImageOptions{}, error)) Fail(error.c_str());
        std::string bytes(kFileBytes, '\0');
        for (size_t i = 0; i < bytes.size(); ++i)
            bytes[i] = static_cast<char>(i * 131 + (i >> 12));
        std::ofstream(image + "/fs/var/mobile/Media/copy.bin", std::ios::binary) << bytes;

        AMDeviceNotificationRef subscription = nullptr;
        AMDeviceNotificationSubscribe(&OnDevice, 0, 0, nullptr, &subscription);
        char udid[64] = {};
        if (BwSimAttach(image.c_str(), udid, sizeof udid) != 0) Fail("attach");
        BwSimWaitForNotifications(5000);
        AMDeviceRef device = g_device;
        if (device == nullptr || AMDeviceConnect(device) != 0 || AMDeviceStartSession(device) != 0)
            Fail("session");
        AMDServiceConnectionRef service = nullptr;
        CFStringRef name =
            CFStringCreateWithCString(nullptr, "com.apple.afc", kCFStringEncodingUTF8);
        const int started = AMDeviceStartService(device, name, &service, nullptr);
        CFRelease(name);
        AMDeviceStopSession(device);
        AMDeviceDisconnect(device);
        if (started != 0 || AFCConnectionOpen(service, 0, &afc) != 0) Fail("AFC");
    }

    ~Setup() {
        AFCConnectionClose(afc);
        BwSimDetachAll();
        fs::remove_all(root);
    }
};

Setup& World() {
    static Setup setup;
    return setup;
}

std::string Le64(uint64_t value) {
    std::string out;
    for (int i = 0; i < 8; ++i)
        out.push_back(static_cast<char>(value >> (8 * i)));
    return out;
}

bool ReadExactly(int fd, char* out, size_t length) {
    size_t got = 0;
    while (got < length) {
        const ssize_t count = ::recv(fd, out + got, length - got, 0);
        if (count <= 0) return false;
        got += static_cast<size_t>(count);
    }
    return true;
}

uint64_t FieldAt(const char* bytes) {
    uint64_t value = 0;
    for (int i = 7; i >= 0; --i)
        value = (value << 8) | static_cast<unsigned char>(bytes[i]);
    return value;
}

// A minimal wire client: one request, its whole answer into `out` (parameters and payload).
struct WireClient {
    int fd;
    uint64_t number = 0;
    std::string out;

    void Request(uint64_t operation, const std::string& parameters) {
        const std::string packet = std::string("CFA6LPAA") + Le64(40 + parameters.size()) +
                                   Le64(40 + parameters.size()) + Le64(++number) + Le64(operation) +
                                   parameters;
        if (::send(fd, packet.data(), packet.size(), MSG_NOSIGNAL) !=
            static_cast<ssize_t>(packet.size()))
            Fail("send");
        char header[40];
        if (!ReadExactly(fd, header, sizeof header)) Fail("answer");
        out.resize(FieldAt(header + 8) - 40);
        if (!ReadExactly(fd, out.data(), out.size())) Fail("answer body");
    }
};

void BM_CopyOverTheWire(benchmark::State& state) {
    Setup& world = World();
    const auto block = static_cast<uint64_t>(state.range(0));
    int fds[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) Fail("socketpair");
    std::thread server([&] { bw::sim::wire::ServeAfc(fds[1], world.afc); });
    WireClient client{fds[0]};
    for (auto _ : state) {
        client.Request(0x0D, Le64(1) + std::string("/copy.bin") + '\0');
        const std::string handle = client.out.substr(0, 8);
        size_t copied = 0;
        do {
            client.Request(0x0F, handle + Le64(block));
            copied += client.out.size();
        } while (!client.out.empty());
        client.Request(0x14, handle);
        if (copied != kFileBytes) Fail("short copy");
    }
    ::close(fds[0]);
    server.join();
    ::close(fds[1]);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kFileBytes));
}
BENCHMARK(BM_CopyOverTheWire)
    ->Arg(512 * 1024)
    ->Arg(4 * 1024 * 1024)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

// Baseline: the same reads through the runtime's functions, no socket between.
void BM_CopyThroughTheRuntime(benchmark::State& state) {
    Setup& world = World();
    const auto block = static_cast<size_t>(state.range(0));
    std::string buffer(block, '\0');
    for (auto _ : state) {
        AFCFileRef file = 0;
        if (AFCFileRefOpen(world.afc, "/copy.bin", 1, &file) != 0) Fail("open");
        size_t copied = 0;
        for (;;) {
            size_t length = block;
            if (AFCFileRefRead(world.afc, file, buffer.data(), &length) != 0) Fail("read");
            if (length == 0) break;
            copied += length;
        }
        AFCFileRefClose(world.afc, file);
        if (copied != kFileBytes) Fail("short copy");
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kFileBytes));
}
BENCHMARK(BM_CopyThroughTheRuntime)
    ->Arg(512 * 1024)
    ->Arg(4 * 1024 * 1024)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace

BENCHMARK_MAIN();

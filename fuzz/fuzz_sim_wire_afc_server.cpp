// The simulator's AFC server on any stream of bytes from its peer: whatever arrives (packets
// that open, write, rename and remove through links that point inside, outside and above the
// media root, broken frames, stray handles), the server returns, nothing outside the media root
// changes, and every file, listing and information iterator it opened is closed again.
//
// Input: the bytes the peer sends, read by the server as its socket stream.
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

#include "afc_request_seeds.h"
#include "fuzz_seeds.h"
#include "mobiledevice/MobileDevice.h"
#include "mobiledevice/sim_control.h"
#include "sim_md_runtime.h"
#include "wire/afc_server.h"

namespace {

namespace fs = std::filesystem;

std::atomic<AMDeviceRef> g_device{nullptr};

std::string FileText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

struct World {
    std::string root;
    std::string media;
    std::string outside;
    AFCConnectionRef afc = nullptr;

    World() {
        root = bw::fuzz::TemporaryFolder("bw-fuzz-wire-afc");
        media = root + "/image/fs/var/mobile/Media";
        outside = root + "/outside";
        bw::fuzz::MakeImage(root + "/image");
        fs::create_directories(outside);
        std::ofstream(root + "/image/fs/var/mobile/secret.txt") << "secret";
        std::ofstream(outside + "/victim.txt") << "victim";

        AMDeviceNotificationRef subscription = nullptr;
        AMDeviceNotificationSubscribe(
            [](am_device_notification_callback_info* info, void*) {
                if (info->msg == kAMDeviceAttached) g_device = info->dev;
            },
            0, 0, nullptr, &subscription);
        if (BwSimAttach((root + "/image").c_str(), nullptr, 0) != 0 ||
            BwSimWaitForNotifications(5000) != 0 || g_device == nullptr)
            std::abort();
        AMDeviceRef device = g_device;
        AMDServiceConnectionRef handle = nullptr;
        CFStringRef name =
            CFStringCreateWithCString(nullptr, "com.apple.afc", kCFStringEncodingUTF8);
        if (AMDeviceConnect(device) != 0 || AMDeviceStartSession(device) != 0 ||
            AMDeviceStartService(device, name, &handle, nullptr) != 0 ||
            AMDeviceStopSession(device) != 0 || AMDeviceDisconnect(device) != 0 ||
            AFCConnectionOpen(handle, 0, &afc) != 0)
            std::abort();
        CFRelease(name);
    }

    // The media folder as each input starts: folders, a file, and links of every kind.
    void Reset() {
        for (const auto& entry : fs::directory_iterator(media))
            fs::remove_all(entry.path());
        fs::create_directories(media + "/a/b");
        std::ofstream(media + "/a/f") << "file";
        fs::create_directory_symlink("a", media + "/in");
        fs::create_directory_symlink(outside, media + "/abs");
        fs::create_directory_symlink("..", media + "/up");
        fs::create_symlink(outside + "/victim.txt", media + "/victim");
    }

    void Check() {
        size_t outsideEntries = 0;
        for ([[maybe_unused]] const auto& entry : fs::directory_iterator(outside))
            ++outsideEntries;
        BwSimCounters counters{};
        BwSimGetCounters(&counters);
        if (outsideEntries != 1 || FileText(outside + "/victim.txt") != "victim" ||
            FileText(root + "/image/fs/var/mobile/secret.txt") != "secret" ||
            counters.afcFiles != 0 || counters.directories != 0 ||
            counters.keyValueIterators != 0) {
            std::fprintf(stderr, "the AFC server reached outside its root or left a handle open\n");
            std::abort();
        }
    }
};

World& TheWorld() {
    static World* world = new World;
    return *world;
}

using bw::fuzz::Le64;
using bw::fuzz::Packet;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    const std::string z(1, '\0');
    bw::fuzz::MaybeWriteSeeds({
        Packet(1, 0x03, "/a" + z) + Packet(2, 0x0A, "/abs/victim.txt" + z) + Packet(3, 0x0B, ""),
        Packet(1, 0x0D, Le64(3) + "/up/new" + z) + Packet(2, 0x10, Le64(1), "bytes") +
            Packet(3, 0x0F, Le64(1) + Le64(100)) + Packet(4, 0x12, Le64(1)),
        Packet(1, 0x0D, Le64(2) + "/victim" + z) + Packet(2, 0x15, Le64(1) + Le64(0)),
        Packet(1, 0x18, "/a/f" + z + "/abs/f" + z) + Packet(2, 0x22, "/in" + z) +
            Packet(3, 0x08, "/a/b" + z),
        Packet(1, 0x07, Le64(0) + "/abs/victim.txt" + z) + Packet(2, 0x22, "/abs" + z),
        Packet(1, 0x0D, Le64(1) + "/a/f" + z) + Packet(2, 0x1B, Le64(1) + Le64(6)) +
            Packet(3, 0x11, Le64(1) + Le64(2) + Le64(~uint64_t{0})),
        Packet(1, 0x0D, Le64(1) + "/a/f" + z) + "CFA6LPAA" + Le64(39),
    });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    World& world = TheWorld();
    world.Reset();
    int fds[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) std::abort();
    // The peer writes its bytes and reads every answer on threads of its own, so that neither
    // side's socket buffer can stall the other.
    std::thread writer([&] {
        size_t sent = 0;
        while (sent < size) {
            const ssize_t count = ::send(fds[0], data + sent, size - sent, MSG_NOSIGNAL);
            if (count <= 0) break;
            sent += static_cast<size_t>(count);
        }
        ::shutdown(fds[0], SHUT_WR);
    });
    std::thread reader([&] {
        char buffer[65536];
        while (::recv(fds[0], buffer, sizeof buffer, 0) > 0) {
        }
    });
    bw::sim::wire::ServeAfc(fds[1], world.afc);
    ::shutdown(fds[1], SHUT_RDWR);
    writer.join();
    reader.join();
    ::close(fds[0]);
    ::close(fds[1]);
    world.Check();
    return 0;
}

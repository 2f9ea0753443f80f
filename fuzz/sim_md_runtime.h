// What the fuzz targets of the simulator's mobile device library share: the library loaded from
// the build's runtime folder and its functions looked up by name (as the library under test
// loads it), a temporary image folder that goes when the fuzzer exits normally, and the device
// of that image attached and announced.
#pragma once

#include <dlfcn.h>
#include <stdlib.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "../sim/mobiledevice/MobileDevice.h"
#include "../sim/mobiledevice/sim_control.h"

namespace bw::fuzz {

// The runtime's functions every target uses, with the types its headers declare.
struct SimMdRuntime {
    void* library = nullptr;
    decltype(&::BwSimAttach) attach = nullptr;
    decltype(&::BwSimWaitForNotifications) wait = nullptr;
    decltype(&::BwSimGetCounters) counters = nullptr;
    decltype(&::AMDeviceNotificationSubscribe) subscribe = nullptr;
    decltype(&::AMDeviceConnect) connect = nullptr;
    decltype(&::AMDeviceDisconnect) disconnect = nullptr;
    decltype(&::AMDeviceStartSession) startSession = nullptr;
    decltype(&::AMDeviceStopSession) stopSession = nullptr;
    decltype(&::CFStringCreateWithCString) makeString = nullptr;
    decltype(&::CFRelease) release = nullptr;

    // Looks a further function up; a missing one ends the fuzzer.
    template <class T>
    void Find(const char* name, T& slot) const {
        slot = reinterpret_cast<T>(::dlsym(library, name));
        if (slot == nullptr) {
            std::fprintf(stderr, "missing %s\n", name);
            std::abort();
        }
    }

    // The library in the build's runtime folder (the fuzzer sits in <build>/fuzz).
    static SimMdRuntime Load() {
        namespace fs = std::filesystem;
        const fs::path path = fs::read_symlink("/proc/self/exe").parent_path().parent_path() /
                              "sim/runtime/libMobileDevice.so";
        SimMdRuntime rt;
        rt.library = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (rt.library == nullptr) {
            std::fprintf(stderr, "cannot load %s: %s\n", path.c_str(), ::dlerror());
            std::abort();
        }
        rt.Find("BwSimAttach", rt.attach);
        rt.Find("BwSimWaitForNotifications", rt.wait);
        rt.Find("BwSimGetCounters", rt.counters);
        rt.Find("AMDeviceNotificationSubscribe", rt.subscribe);
        rt.Find("AMDeviceConnect", rt.connect);
        rt.Find("AMDeviceDisconnect", rt.disconnect);
        rt.Find("AMDeviceStartSession", rt.startSession);
        rt.Find("AMDeviceStopSession", rt.stopSession);
        rt.Find("CFStringCreateWithCString", rt.makeString);
        rt.Find("CFRelease", rt.release);
        return rt;
    }
};

// A fresh folder below the temporary folder, removed when the fuzzer exits normally; a crash
// leaves it for inspection.
inline std::string TemporaryFolder(const char* prefix) {
    namespace fs = std::filesystem;
    static std::string folder;
    std::string pattern = (fs::temp_directory_path() / (std::string(prefix) + "-XXXXXX")).string();
    if (::mkdtemp(pattern.data()) == nullptr) std::abort();
    folder = pattern;
    std::atexit([] { fs::remove_all(folder); });
    return folder;
}

// The smallest image: a device named "fuzz" with an empty media folder.
inline void MakeImage(const std::string& image) {
    std::filesystem::create_directories(image + "/fs/var/mobile/Media");
    std::ofstream(image + "/device.plist")
        << "<?xml version=\"1.0\" encoding=\"UTF-8\"?><plist version=\"1.0\"><dict>"
           "<key>UniqueDeviceID</key><string>fuzz</string></dict></plist>";
}

inline std::atomic<AMDeviceRef> g_arrivedDevice{nullptr};

// Attaches the image and returns its device as the arrival notification gave it.
inline AMDeviceRef AttachImage(const SimMdRuntime& rt, const std::string& image) {
    AMDeviceNotificationRef subscription = nullptr;
    rt.subscribe(
        [](am_device_notification_callback_info* info, void*) {
            if (info->msg == 1) g_arrivedDevice = info->dev;
        },
        0, 0, nullptr, &subscription);
    if (rt.attach(image.c_str(), nullptr, 0) != 0 || rt.wait(5000) != 0) std::abort();
    AMDeviceRef device = g_arrivedDevice;
    if (device == nullptr) std::abort();
    return device;
}

// The service functions of the targets that feed a service with messages.
struct SimServiceRuntime : SimMdRuntime {
    decltype(&::AMDeviceSecureStartService) secureStart = nullptr;
    decltype(&::AMDServiceConnectionSend) send = nullptr;
    decltype(&::AMDServiceConnectionReceive) receive = nullptr;
    decltype(&::AMDServiceConnectionInvalidate) invalidate = nullptr;

    static SimServiceRuntime Load() {
        SimServiceRuntime rt;
        static_cast<SimMdRuntime&>(rt) = SimMdRuntime::Load();
        rt.Find("AMDeviceSecureStartService", rt.secureStart);
        rt.Find("AMDServiceConnectionSend", rt.send);
        rt.Find("AMDServiceConnectionReceive", rt.receive);
        rt.Find("AMDServiceConnectionInvalidate", rt.invalidate);
        return rt;
    }
};

// A message as plist services frame it: a 4-byte big-endian length, then the body.
inline std::string Framed(const std::string& body) {
    const auto size = static_cast<uint32_t>(body.size());
    std::string framed = {static_cast<char>(size >> 24), static_cast<char>(size >> 16),
                          static_cast<char>(size >> 8), static_cast<char>(size)};
    return framed + body;
}

// Starts the service as a host does: a session around the start, none kept afterwards.
inline AMDServiceConnectionRef StartService(const SimServiceRuntime& rt, AMDeviceRef device,
                                            CFStringRef name) {
    if (rt.connect(device) != 0 || rt.startSession(device) != 0) std::abort();
    AMDServiceConnectionRef connection = nullptr;
    if (rt.secureStart(device, name, nullptr, &connection) != 0) std::abort();
    rt.stopSession(device);
    rt.disconnect(device);
    return connection;
}

// Sends the input from `offset` on in pieces, each as long as its first byte says plus one, so
// that framed messages arrive broken anywhere; stops when the device dropped the connection.
inline void SendInPieces(const SimServiceRuntime& rt, AMDServiceConnectionRef connection,
                         const uint8_t* data, size_t size, size_t offset) {
    while (offset < size) {
        const size_t piece = std::min<size_t>(1 + data[offset], size - offset - 1);
        ++offset;
        if (rt.send(connection, data + offset, piece) < 0) break;
        offset += piece;
    }
}

// Invalidates the connection, reads what the service still answered when `drain` is set (the
// bytes must all be there), releases it, and ends the fuzzer when a connection or session stayed
// open.
inline void CloseAndCheck(const SimServiceRuntime& rt, AMDServiceConnectionRef connection,
                          bool drain) {
    rt.invalidate(connection);
    char buffer[4096];
    while (drain && rt.receive(connection, buffer, sizeof buffer) > 0) {
    }
    rt.release(connection);
    BwSimCounters counters{};
    rt.counters(&counters);
    if (counters.serviceConnections != 0 || counters.connectedDevices != 0 ||
        counters.sessions != 0) {
        std::fprintf(stderr, "a connection or session stayed open\n");
        std::abort();
    }
}

}  // namespace bw::fuzz

// Set-up shared by the benchmarks on the simulated runtime: a temporary folder, the registry file
// that points the library at the build's simulator runtime (as a host's registry points at the
// installed one), a minimal device image, and a device attached and reported to the library's
// listener.
#pragma once

#include <dlfcn.h>
#include <stdlib.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "device/connect_listener.h"
#include "device/iphone.h"
#include "platform/registry.h"

namespace bw::bench {

// Stops the benchmark program: without its set-up no figure would mean anything.
[[noreturn]] inline void Fail(const std::string& why) {
    const std::string program = std::filesystem::read_symlink("/proc/self/exe").filename();
    std::fprintf(stderr, "%s: %s\n", program.c_str(), why.c_str());
    std::exit(1);
}

// The simulator's runtime folder of the build this benchmark belongs to.
inline std::filesystem::path RuntimeFolder() {
    return std::filesystem::read_symlink("/proc/self/exe").parent_path().parent_path() /
           "sim/runtime";
}

// A new folder of this process alone, bw-bench-<name>-XXXXXX in the temporary folder.
inline std::string MakeTempFolder(const std::string& name) {
    std::string pattern =
        (std::filesystem::temp_directory_path() / ("bw-bench-" + name + "-XXXXXX")).string();
    if (::mkdtemp(pattern.data()) == nullptr) Fail("no temporary folder");
    return pattern;
}

// Writes `root`/registry.reg naming the simulator's runtime and makes the library read it.
inline void UseSimRegistry(const std::string& root) {
    const std::filesystem::path runtime = RuntimeFolder();
    const std::string registry = root + "/registry.reg";
    std::ofstream(registry)
        << "REGEDIT4\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Apple Inc.\\Apple Application Support]\n"
        << "\"InstallDir\"=\"" << platform::EscapeRegistryString(runtime.string())
        << "\"\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Apple Inc.\\Apple Mobile Device Support\\"
        << "Shared]\n\"iTunesMobileDeviceDLL\"=\""
        << platform::EscapeRegistryString((runtime / "libMobileDevice.so").string()) << "\"\n";
    ::setenv("BRACKWATER_REGISTRY", registry.c_str(), 1);
}

// The device.plist of an image with no more than an identifier (40 times `udidDigit`) and a name.
inline void WriteDevicePlist(const std::string& image, char udidDigit) {
    std::filesystem::create_directories(image);
    std::ofstream(image + "/device.plist")
        << "<?xml version=\"1.0\" encoding=\"UTF-8\"?><plist version=\"1.0\"><dict>"
           "<key>UniqueDeviceID</key><string>"
        << std::string(40, udidDigit) << "</string><key>DeviceName</key><string>Bench</string>"
        << "</dict></plist>";
}

namespace detail {
inline std::atomic<CIPhone*> arrived{nullptr};

inline void OnDevice(::CIPhone* device, uint32_t message, void*) {
    if (message == kDeviceArrived) arrived = reinterpret_cast<CIPhone*>(device);
}
}  // namespace detail

// Attaches `image` to the simulator and returns the device the library's listener reported.
// UseSimRegistry comes first: the listener loads the runtime the registry names.
inline CIPhone* AttachDevice(const std::string& image) {
    const std::filesystem::path library = RuntimeFolder() / "libMobileDevice.so";
    void* handle = ::dlopen(library.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) Fail(std::string("no simulator runtime: ") + ::dlerror());
    const auto attach =
        reinterpret_cast<int (*)(const char*, char*, size_t)>(::dlsym(handle, "BwSimAttach"));
    const auto settle =
        reinterpret_cast<int (*)(int)>(::dlsym(handle, "BwSimWaitForNotifications"));
    if (attach == nullptr || settle == nullptr) Fail("no simulator control functions");

    IConnectListener* listener = NewConnectListener(false, false);
    listener->SetCallback(detail::OnDevice, nullptr);
    listener->StartListening();
    if (attach(image.c_str(), nullptr, 0) != 0 || settle(10000) != 0 ||
        detail::arrived == nullptr) {
        Fail("the simulated device did not arrive");
    }
    return detail::arrived;
}

}  // namespace bw::bench

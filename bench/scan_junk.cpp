// Junk scanning on the simulated runtime against plain host file access, in the same run: the
// general-storage scan of a tree of 100 thousand files (1000 folders of 100) against walking the
// same tree with std::filesystem (names, types and sizes), and the clean of 100 thousand files
// against removing them with std::filesystem. The library finds the simulator through a registry
// file, as a host's library would.
#include <benchmark/benchmark.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "brackwater/scan.h"
#include "device/connect_listener.h"
#include "device/iphone.h"
#include "platform/registry.h"
#include "session/scan_device.h"

namespace {

namespace fs = std::filesystem;

constexpr int kScanFolders = 1000, kScanFilesPerFolder = 100;
constexpr int kCleanFolders = 1000, kCleanFilesPerFolder = 100;

std::atomic<bw::CIPhone*> gDevice{nullptr};

void OnDevice(::CIPhone* device, uint32_t message, void*) {
    if (message == kDeviceArrived) gDevice = reinterpret_cast<bw::CIPhone*>(device);
}

[[noreturn]] void Fail(const std::string& why) {
    std::fprintf(stderr, "scan_junk: %s\n", why.c_str());
    std::exit(1);
}

// Files of 1 to 100 bytes, so that sizes are read, not assumed.
void MakeTree(const std::string& top, int folders, int filesPerFolder) {
    std::string bytes(100, 'j');
    for (int folder = 0; folder < folders; ++folder) {
        const std::string path = top + "/f" + std::to_string(folder);
        fs::create_directories(path);
        for (int file = 0; file < filesPerFolder; ++file) {
            const std::string name = path + "/" + std::to_string(file) + ".tmp";
            const int fd = ::open(name.c_str(), O_CREAT | O_WRONLY | O_TRUNC, 0644);
            if (::write(fd, bytes.data(), static_cast<size_t>(file % 100 + 1)) < 0) {
                Fail("cannot write the tree");
            }
            ::close(fd);
        }
    }
}

struct Setup {
    std::string root;
    std::string media;
    bw::CIPhone* phone = nullptr;

    Setup() {
        const fs::path runtime =
            fs::read_symlink("/proc/self/exe").parent_path().parent_path() / "sim/runtime";
        void* library = ::dlopen((runtime / "libMobileDevice.so").c_str(), RTLD_NOW | RTLD_LOCAL);
        if (library == nullptr) Fail(std::string("no simulator runtime: ") + ::dlerror());
        const auto attach =
            reinterpret_cast<int (*)(const char*, char*, size_t)>(::dlsym(library, "BwSimAttach"));
        const auto settle =
            reinterpret_cast<int (*)(int)>(::dlsym(library, "BwSimWaitForNotifications"));
        if (attach == nullptr || settle == nullptr) Fail("no simulator control functions");

        std::string pattern = (fs::temp_directory_path() / "bw-bench-scan-XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr) Fail("no temporary folder");
        root = pattern;
        media = root + "/image/fs/var/mobile/Media";
        MakeTree(media + "/general_storage", kScanFolders, kScanFilesPerFolder);
        std::ofstream(root + "/image/device.plist")
            << "<?xml version=\"1.0\" encoding=\"UTF-8\"?><plist version=\"1.0\"><dict>"
               "<key>UniqueDeviceID</key><string>"
            << std::string(40, 'e') << "</string><key>DeviceName</key><string>Bench</string>"
            << "</dict></plist>";

        const std::string registry = root + "/registry.reg";
        std::ofstream(registry)
            << "REGEDIT4\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Apple Inc.\\Apple Application Support]\n"
            << "\"InstallDir\"=\"" << bw::platform::EscapeRegistryString(runtime.string())
            << "\"\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Apple Inc.\\Apple Mobile Device Support\\"
            << "Shared]\n\"iTunesMobileDeviceDLL\"=\""
            << bw::platform::EscapeRegistryString((runtime / "libMobileDevice.so").string())
            << "\"\n";
        ::setenv("BRACKWATER_REGISTRY", registry.c_str(), 1);

        IConnectListener* listener = bw::NewConnectListener(false, false);
        listener->SetCallback(OnDevice, nullptr);
        listener->StartListening();
        if (attach((root + "/image").c_str(), nullptr, 0) != 0 || settle(10000) != 0 ||
            gDevice == nullptr) {
            Fail("the simulated device did not arrive");
        }
        phone = gDevice;
    }

    ~Setup() { fs::remove_all(root); }
};

Setup& TheSetup() {
    static Setup setup;
    return setup;
}

// Baseline: every regular file below the tree with its name and size.
void BM_HostWalkTree(benchmark::State& state) {
    Setup& s = TheSetup();
    for (auto _ : state) {
        size_t files = 0;
        uintmax_t bytes = 0;
        for (const fs::directory_entry& entry :
             fs::recursive_directory_iterator(s.media + "/general_storage")) {
            if (entry.symlink_status().type() != fs::file_type::regular) continue;
            std::string name = entry.path().filename().string();
            benchmark::DoNotOptimize(name);
            bytes += entry.file_size();
            ++files;
        }
        if (files != size_t{kScanFolders} * kScanFilesPerFolder) state.SkipWithError("count");
        benchmark::DoNotOptimize(bytes);
    }
    state.SetItemsProcessed(state.iterations() * kScanFolders * kScanFilesPerFolder);
}

void BM_ScanGeneralStorage(benchmark::State& state) {
    Setup& s = TheSetup();
    bw::CScanDevice session(s.phone);
    BwScanStatus status;
    session.SetStatusRecord(&status);
    for (auto _ : state) {
        session.StartScan(kJunkGeneralStorage);
        if (session.GetResultCount0() != kScanFolders * kScanFilesPerFolder) {
            state.SkipWithError("count");
        }
    }
    state.SetItemsProcessed(state.iterations() * kScanFolders * kScanFilesPerFolder);
}

// Baseline: removing the files and then the folders of a fresh tree.
void BM_HostRemoveTree(benchmark::State& state) {
    Setup& s = TheSetup();
    const std::string top = s.media + "/Downloads";
    for (auto _ : state) {
        state.PauseTiming();
        MakeTree(top, kCleanFolders, kCleanFilesPerFolder);
        state.ResumeTiming();
        for (int folder = 0; folder < kCleanFolders; ++folder) {
            const std::string path = top + "/f" + std::to_string(folder);
            for (int file = 0; file < kCleanFilesPerFolder; ++file)
                fs::remove(path + "/" + std::to_string(file) + ".tmp");
            fs::remove(path);
        }
    }
    state.SetItemsProcessed(state.iterations() * kCleanFolders * kCleanFilesPerFolder);
}

// The clean of the same tree after a scan (the scan is not timed).
void BM_CleanDownloads(benchmark::State& state) {
    Setup& s = TheSetup();
    const std::string top = s.media + "/Downloads";
    bw::CScanDevice session(s.phone);
    BwScanStatus status;
    session.SetStatusRecord(&status);
    for (auto _ : state) {
        state.PauseTiming();
        MakeTree(top, kCleanFolders, kCleanFilesPerFolder);
        session.StartScan(kJunkDownloads);
        if (session.GetResultCount0() != kCleanFolders * kCleanFilesPerFolder) {
            state.SkipWithError("count");
        }
        state.ResumeTiming();
        session.StartClean();
        if (fs::exists(top + "/f0")) state.SkipWithError("not removed");
    }
    state.SetItemsProcessed(state.iterations() * kCleanFolders * kCleanFilesPerFolder);
}

BENCHMARK(BM_HostWalkTree)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ScanGeneralStorage)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_HostRemoveTree)->Unit(benchmark::kMillisecond)->Iterations(1);
BENCHMARK(BM_CleanDownloads)->Unit(benchmark::kMillisecond)->Iterations(1);

}  // namespace

BENCHMARK_MAIN();

// AFC through the simulator's mobile device library against plain host file access, in the same
// run: a 256 MB copy in 512 KiB blocks each way (the library's copy block), and listing a folder
// of 100 thousand entries. The runtime is loaded by path from the build's sim/runtime folder, as
// the library loads it.
#include <benchmark/benchmark.h>
#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "quick.h"

namespace {

namespace fs = std::filesystem;

constexpr size_t kBlock = 512 * 1024;
// A quick run copies 4 MB and lists 1000 entries.
const size_t kCopyBytes = bw::bench::FullOrQuick<size_t>(256u * 1024 * 1024, 4u * 1024 * 1024);
const int kFolderEntries = bw::bench::FullOrQuick(100000, 1000);

struct Info {
    void* dev;
    uint32_t msg;
    void* subscription;
};

// The runtime's functions, looked up by name.
struct Runtime {
    int (*attach)(const char*, char*, size_t);
    int (*wait)(int);
    int (*subscribe)(void (*)(Info*, void*), unsigned, unsigned, void*, void**);
    int (*connect)(void*);
    int (*disconnect)(void*);
    int (*startSession)(void*);
    int (*stopSession)(void*);
    int (*startService)(void*, const void*, void**, unsigned*);
    int (*afcOpen)(const void*, unsigned, void**);
    int (*afcClose)(void*);
    int (*fileOpen)(void*, const char*, uint64_t, uint64_t*);
    int (*fileRead)(void*, uint64_t, void*, size_t*);
    int (*fileWrite)(void*, uint64_t, const void*, size_t);
    int (*fileClose)(void*, uint64_t);
    int (*dirOpen)(void*, const char*, void**);
    int (*dirRead)(void*, void*, char**);
    int (*dirClose)(void*, void*);
    const void* (*makeString)(const void*, const char*, uint32_t);
    void (*release)(const void*);
};

template <class T>
void Find(void* library, const char* name, T& slot) {
    slot = reinterpret_cast<T>(dlsym(library, name));
    if (slot == nullptr) {
        std::fprintf(stderr, "missing %s\n", name);
        std::exit(1);
    }
}

std::atomic<void*> g_device{nullptr};

void OnDevice(Info* info, void*) {
    if (info->msg == 1) g_device = info->dev;
}

struct Setup {
    Runtime rt{};
    std::string root;   // temporary folder: image/ and host/
    std::string media;  // the image's media folder, which "com.apple.afc" serves
    void* afc = nullptr;

    Setup() {
        const std::string runtime = fs::read_symlink("/proc/self/exe").parent_path().parent_path() /
                                    "sim/runtime/libMobileDevice.so";
        void* library = dlopen(runtime.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (library == nullptr) {
            std::fprintf(stderr, "cannot load %s: %s\n", runtime.c_str(), dlerror());
            std::exit(1);
        }
        Find(library, "BwSimAttach", rt.attach);
        Find(library, "BwSimWaitForNotifications", rt.wait);
        Find(library, "AMDeviceNotificationSubscribe", rt.subscribe);
        Find(library, "AMDeviceConnect", rt.connect);
        Find(library, "AMDeviceDisconnect", rt.disconnect);
        Find(library, "AMDeviceStartSession", rt.startSession);
        Find(library, "AMDeviceStopSession", rt.stopSession);
        Find(library, "AMDeviceStartService", rt.startService);
        Find(library, "AFCConnectionOpen", rt.afcOpen);
        Find(library, "AFCConnectionClose", rt.afcClose);
        Find(library, "AFCFileRefOpen", rt.fileOpen);
        Find(library, "AFCFileRefRead", rt.fileRead);
        Find(library, "AFCFileRefWrite", rt.fileWrite);
        Find(library, "AFCFileRefClose", rt.fileClose);
        Find(library, "AFCDirectoryOpen", rt.dirOpen);
        Find(library, "AFCDirectoryRead", rt.dirRead);
        Find(library, "AFCDirectoryClose", rt.dirClose);
        Find(library, "CFStringCreateWithCString", rt.makeString);
        Find(library, "CFRelease", rt.release);

        std::string pattern = (fs::temp_directory_path() / "bw-bench-md-XXXXXX").string();
        root = ::mkdtemp(pattern.data());
        media = root + "/image/fs/var/mobile/Media";
        fs::create_directories(media + "/many");
        fs::create_directories(root + "/host/many");
        std::ofstream(root + "/image/device.plist")
            << "<?xml version=\"1.0\" encoding=\"UTF-8\"?><plist version=\"1.0\"><dict>"
               "<key>UniqueDeviceID</key><string>"
            << std::string(40, 'b') << "</string></dict></plist>";
        for (int i = 0; i < kFolderEntries; ++i) {
            const std::string name = "/IMG_" + std::to_string(i) + ".JPG";
            ::close(::open((media + "/many" + name).c_str(), O_CREAT | O_WRONLY, 0644));
            ::close(::open((root + "/host/many" + name).c_str(), O_CREAT | O_WRONLY, 0644));
        }
        std::vector<char> block(kBlock, 'x');
        std::ofstream source(root + "/host/source.bin", std::ios::binary);
        for (size_t done = 0; done < kCopyBytes; done += kBlock)
            source.write(block.data(), static_cast<std::streamsize>(block.size()));
        source.close();

        void* subscription = nullptr;
        if (rt.subscribe(&OnDevice, 0, 0, nullptr, &subscription) != 0 ||
            rt.attach((root + "/image").c_str(), nullptr, 0) != 0 || rt.wait(5000) != 0 ||
            g_device == nullptr) {
            std::fprintf(stderr, "the simulated device did not arrive\n");
            std::exit(1);
        }
        void* device = g_device;
        void* handle = nullptr;
        const void* name = rt.makeString(nullptr, "com.apple.afc", 0x08000100);
        if (rt.connect(device) != 0 || rt.startSession(device) != 0 ||
            rt.startService(device, name, &handle, nullptr) != 0 || rt.stopSession(device) != 0 ||
            rt.disconnect(device) != 0 || rt.afcOpen(handle, 0, &afc) != 0) {
            std::fprintf(stderr, "cannot open AFC on the simulated device\n");
            std::exit(1);
        }
        rt.release(name);
    }

    ~Setup() {
        rt.afcClose(afc);
        fs::remove_all(root);
    }
};

Setup& TheSetup() {
    static Setup setup;
    return setup;
}

// Host to device: the library's CopyFileToDevice.
void BM_AfcCopyToDevice(benchmark::State& state) {
    Setup& s = TheSetup();
    std::vector<char> block(kBlock);
    for (auto _ : state) {
        const int in = ::open((s.root + "/host/source.bin").c_str(), O_RDONLY);
        uint64_t file = 0;
        if (s.rt.fileOpen(s.afc, "/copy.bin", 3, &file) != 0) state.SkipWithError("open");
        for (;;) {
            const ssize_t got = ::read(in, block.data(), block.size());
            if (got <= 0) break;
            if (s.rt.fileWrite(s.afc, file, block.data(), static_cast<size_t>(got)) != 0)
                state.SkipWithError("write");
        }
        s.rt.fileClose(s.afc, file);
        ::close(in);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kCopyBytes));
}

// Device to host: the library's CopyFileFromDevice.
void BM_AfcCopyFromDevice(benchmark::State& state) {
    Setup& s = TheSetup();
    std::vector<char> block(kBlock);
    for (auto _ : state) {
        uint64_t file = 0;
        if (s.rt.fileOpen(s.afc, "/copy.bin", 1, &file) != 0) state.SkipWithError("open");
        const int out =
            ::open((s.root + "/host/back.bin").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        for (;;) {
            size_t length = block.size();
            if (s.rt.fileRead(s.afc, file, block.data(), &length) != 0 || length == 0) break;
            if (::write(out, block.data(), length) != static_cast<ssize_t>(length))
                state.SkipWithError("host write");
        }
        ::close(out);
        s.rt.fileClose(s.afc, file);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kCopyBytes));
}

// Baseline: the same copy between two host files with the same block.
void BM_HostCopy(benchmark::State& state) {
    Setup& s = TheSetup();
    std::vector<char> block(kBlock);
    for (auto _ : state) {
        const int in = ::open((s.root + "/host/source.bin").c_str(), O_RDONLY);
        const int out =
            ::open((s.root + "/host/plain.bin").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        for (;;) {
            const ssize_t got = ::read(in, block.data(), block.size());
            if (got <= 0) break;
            if (::write(out, block.data(), static_cast<size_t>(got)) != got)
                state.SkipWithError("host write");
        }
        ::close(out);
        ::close(in);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kCopyBytes));
}

void BM_AfcListFolder(benchmark::State& state) {
    Setup& s = TheSetup();
    for (auto _ : state) {
        void* directory = nullptr;
        if (s.rt.dirOpen(s.afc, "/many", &directory) != 0) state.SkipWithError("open");
        int names = 0;
        char* name = nullptr;
        while (s.rt.dirRead(s.afc, directory, &name) == 0 && name != nullptr)
            ++names;
        s.rt.dirClose(s.afc, directory);
        if (names != kFolderEntries + 2) state.SkipWithError("wrong count");
    }
    state.SetItemsProcessed(state.iterations() * kFolderEntries);
}

// Baseline: readdir over the same number of entries on the host.
void BM_HostListFolder(benchmark::State& state) {
    Setup& s = TheSetup();
    for (auto _ : state) {
        DIR* folder = ::opendir((s.root + "/host/many").c_str());
        int names = 0;
        while (const dirent* entry = ::readdir(folder))
            names += entry->d_name[0] != '\0' ? 1 : 0;
        ::closedir(folder);
        benchmark::DoNotOptimize(names);
    }
    state.SetItemsProcessed(state.iterations() * kFolderEntries);
}

BENCHMARK(BM_HostCopy)->Unit(benchmark::kMillisecond)->Iterations(4);
BENCHMARK(BM_AfcCopyToDevice)->Unit(benchmark::kMillisecond)->Iterations(4);
BENCHMARK(BM_AfcCopyFromDevice)->Unit(benchmark::kMillisecond)->Iterations(4);
BENCHMARK(BM_HostListFolder)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_AfcListFolder)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();

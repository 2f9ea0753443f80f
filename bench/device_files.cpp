// The device file service on the simulated runtime against plain host file access, in the same
// run: whole-file copies of 256 MB each way (CopyFileToDevice, CopyFileFromDevice) against a
// host read/write loop with the same 512 KiB blocks, and listing a folder of 100 thousand entries
// (ListDirectory, ListDirectoryInfo) against std::filesystem::directory_iterator of the same
// folder. The library finds the simulator through a registry file, as a host's library would.
// A quick run copies 4 MB and lists 1000 entries.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "device/iphone.h"
#include "quick.h"
#include "sim_setup.h"

namespace {

namespace fs = std::filesystem;
using bw::bench::FullOrQuick;

const size_t kCopyBytes = FullOrQuick(size_t{256} << 20, size_t{4} << 20);
const size_t kFolderEntries = FullOrQuick<size_t>(100000, 1000);

struct Setup {
    std::string root;   // temporary folder: image/, host/, registry.reg
    std::string media;  // the image's media folder, which "com.apple.afc" serves
    bw::CIPhone* phone = nullptr;

    Setup() {
        root = bw::bench::MakeTempFolder("device");
        media = root + "/image/fs/var/mobile/Media";
        fs::create_directories(media + "/many");
        fs::create_directories(root + "/host");
        bw::bench::WriteDevicePlist(root + "/image", 'd');
        for (size_t i = 0; i < kFolderEntries; ++i) {
            const std::string name = media + "/many/IMG_" + std::to_string(i) + ".JPG";
            ::close(::open(name.c_str(), O_CREAT | O_WRONLY, 0644));
        }
        std::vector<char> block(size_t{1} << 20);
        for (size_t i = 0; i < block.size(); ++i)
            block[i] = static_cast<char>(i * 131 + 7);
        std::ofstream source(root + "/host/source.bin", std::ios::binary);
        for (size_t done = 0; done < kCopyBytes; done += block.size())
            source.write(block.data(), static_cast<std::streamsize>(block.size()));
        source.close();
        fs::copy_file(root + "/host/source.bin", media + "/copy.bin");

        bw::bench::UseSimRegistry(root);
        phone = bw::bench::AttachDevice(root + "/image");
    }

    ~Setup() { fs::remove_all(root); }
};

Setup& TheSetup() {
    static Setup setup;
    return setup;
}

// Baseline: the same copy between two host files, one read and one write per 512 KiB block.
void BM_HostCopy(benchmark::State& state) {
    Setup& s = TheSetup();
    std::vector<char> block(bw::kCopyBlockSize);
    for (auto _ : state) {
        const int in = ::open((s.root + "/host/source.bin").c_str(), O_RDONLY);
        const int out =
            ::open((s.root + "/host/plain.bin").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        for (;;) {
            const ssize_t got = ::read(in, block.data(), block.size());
            if (got <= 0) break;
            if (::write(out, block.data(), static_cast<size_t>(got)) != got) {
                state.SkipWithError("host write");
            }
        }
        ::close(out);
        ::close(in);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kCopyBytes));
}

void BM_CopyFileToDevice(benchmark::State& state) {
    Setup& s = TheSetup();
    for (auto _ : state) {
        if (!s.phone->CopyFileToDevice(s.root + "/host/source.bin", "/pushed.bin")) {
            state.SkipWithError("copy to the device failed");
        }
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kCopyBytes));
}

void BM_CopyFileFromDevice(benchmark::State& state) {
    Setup& s = TheSetup();
    for (auto _ : state) {
        if (!s.phone->CopyFileFromDevice("/copy.bin", s.root + "/host/pulled.bin")) {
            state.SkipWithError("copy from the device failed");
        }
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kCopyBytes));
}

// Baseline: the names of the same folder, straight from the host.
void BM_HostListFolder(benchmark::State& state) {
    Setup& s = TheSetup();
    for (auto _ : state) {
        std::vector<std::string> names;
        for (const fs::directory_entry& entry : fs::directory_iterator(s.media + "/many"))
            names.push_back(entry.path().filename().string());
        if (names.size() != kFolderEntries) state.SkipWithError("wrong count");
    }
    state.SetItemsProcessed(state.iterations() * kFolderEntries);
}

// Baseline: the names with each entry's type, size and modification time.
void BM_HostListFolderInfo(benchmark::State& state) {
    Setup& s = TheSetup();
    for (auto _ : state) {
        size_t files = 0;
        uintmax_t bytes = 0;
        for (const fs::directory_entry& entry : fs::directory_iterator(s.media + "/many")) {
            std::string name = entry.path().filename().string();
            benchmark::DoNotOptimize(name);
            files += entry.symlink_status().type() == fs::file_type::regular ? 1 : 0;
            bytes += entry.file_size();
            benchmark::DoNotOptimize(entry.last_write_time());
        }
        if (files != kFolderEntries) state.SkipWithError("wrong count");
        benchmark::DoNotOptimize(bytes);
    }
    state.SetItemsProcessed(state.iterations() * kFolderEntries);
}

void BM_ListDirectory(benchmark::State& state) {
    Setup& s = TheSetup();
    for (auto _ : state) {
        std::vector<std::string> names;
        if (!s.phone->ListDirectory("/many", names) || names.size() != kFolderEntries) {
            state.SkipWithError("listing failed");
        }
    }
    state.SetItemsProcessed(state.iterations() * kFolderEntries);
}

void BM_ListDirectoryInfo(benchmark::State& state) {
    Setup& s = TheSetup();
    for (auto _ : state) {
        std::vector<bw::DeviceFileInfo> entries;
        if (!s.phone->ListDirectoryInfo("/many", entries) || entries.size() != kFolderEntries ||
            entries.back().fileType != bw::kDeviceFileRegular) {
            state.SkipWithError("listing failed");
        }
    }
    state.SetItemsProcessed(state.iterations() * kFolderEntries);
}

BENCHMARK(BM_HostCopy)->Unit(benchmark::kMillisecond)->Iterations(4);
BENCHMARK(BM_CopyFileToDevice)->Unit(benchmark::kMillisecond)->Iterations(4);
BENCHMARK(BM_CopyFileFromDevice)->Unit(benchmark::kMillisecond)->Iterations(4);
BENCHMARK(BM_HostListFolder)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ListDirectory)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_HostListFolderInfo)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ListDirectoryInfo)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();

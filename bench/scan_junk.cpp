// Junk scanning on the simulated runtime against plain host file access, in the same run: the
// general-storage scan of a tree of 100 thousand files (1000 folders of 100) against walking the
// same tree with std::filesystem (names, types and sizes), and the clean of 100 thousand files
// against removing them with std::filesystem. The library finds the simulator through a registry
// file, as a host's library would. A quick run scans and cleans 1000 files.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "brackwater/scan.h"
#include "device/iphone.h"
#include "device/runtime.h"
#include "quick.h"
#include "session/scan_device.h"
#include "sim_setup.h"

namespace {

namespace fs = std::filesystem;

using bw::bench::FullOrQuick;

const int kScanFolders = FullOrQuick(1000, 10), kScanFilesPerFolder = 100;
const int kCleanFolders = FullOrQuick(1000, 10), kCleanFilesPerFolder = 100;

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
                bw::bench::Fail("cannot write the tree");
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
        root = bw::bench::MakeTempFolder("scan");
        media = root + "/image/fs/var/mobile/Media";
        MakeTree(media + "/general_storage", kScanFolders, kScanFilesPerFolder);
        bw::bench::WriteDevicePlist(root + "/image", 'e');
        bw::bench::UseSimRegistry(root);
        phone = bw::bench::AttachDevice(root + "/image");
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
        if (files != static_cast<size_t>(kScanFolders) * kScanFilesPerFolder)
            state.SkipWithError("count");
        benchmark::DoNotOptimize(bytes);
    }
    state.SetItemsProcessed(state.iterations() * kScanFolders * kScanFilesPerFolder);
}

void ScanGeneralStorage(benchmark::State& state) {
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

void BM_ScanGeneralStorage(benchmark::State& state) {
    ScanGeneralStorage(state);
}

// The same scan through the file-service functions every runtime has: the information of each
// entry asked for on its own, as with a runtime that cannot list a folder with its information.
void BM_ScanGeneralStorageEntryByEntry(benchmark::State& state) {
    TheSetup();  // the runtime is loaded before its table is changed
    bw::UseListingWithInfoForTests(false);
    ScanGeneralStorage(state);
    bw::UseListingWithInfoForTests(true);
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
BENCHMARK(BM_ScanGeneralStorageEntryByEntry)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_HostRemoveTree)->Unit(benchmark::kMillisecond)->Iterations(1);
BENCHMARK(BM_CleanDownloads)->Unit(benchmark::kMillisecond)->Iterations(1);

}  // namespace

BENCHMARK_MAIN();

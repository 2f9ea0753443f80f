// Backup and restore through the backup tool stand-in against copying the same tree on the host,
// in the same run: a phone image with about 1 GB in 20 thousand files. Then the completion of a
// deep clean with one edited file, on that backup and on the backup of a phone without the bulk,
// to show that its cost follows the edited files, not the size of the backup.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "backup/configure_tool.h"
#include "backup/device_backup.h"
#include "image/image_builder.h"
#include "platform/text.h"
#include "quick.h"
#include "sim_setup.h"

namespace {

namespace fs = std::filesystem;

using bw::bench::Fail;

// 20 thousand files, about 1 GB in all; a quick run has 100 files, 5 MB.
const int kBulkFolders = bw::bench::FullOrQuick(200, 4);
const int kBulkFilesPerFolder = bw::bench::FullOrQuick(100, 25);
constexpr size_t kBulkFileBytes = 50 * 1024;

struct Phone {
    std::string image;
    std::string udid;
    std::string backupRoot;
};

struct Setup {
    std::string root;
    Phone big;
    Phone small;

    Setup() {
        if (!fs::exists(bw::bench::RuntimeFolder() / "AppleMobileBackup.exe")) {
            Fail("no backup tool stand-in");
        }
        root = bw::bench::MakeTempFolder("backup");
        bw::bench::UseSimRegistry(root);
        ::setenv("XDG_DATA_HOME", (root + "/data").c_str(), 1);

        big = MakePhone("big", 1, true);
        small = MakePhone("small", 2, false);
        ::setenv("BRACKWATER_SIM_IMAGES", (big.image + ":" + small.image).c_str(), 1);
    }

    Phone MakePhone(const std::string& name, uint64_t seed, bool bulk) {
        Phone phone;
        phone.image = root + "/" + name;
        bw::sim::ImageOptions options;
        options.seed = seed;
        std::string error;
        if (!bw::sim::CreateImage(phone.image, options, error)) Fail(error);
        phone.udid = options.udid;
        if (phone.udid.empty()) {
            // The builder derives the identifier from the seed; read it back from the image.
            std::ifstream in(phone.image + "/device.plist");
            const std::string text((std::istreambuf_iterator<char>(in)), {});
            const size_t key = text.find("<key>UniqueDeviceID</key>");
            const size_t start = text.find("<string>", key) + 8;
            phone.udid = text.substr(start, text.find("</string>", start) - start);
        }
        phone.backupRoot = root + "/data/Apple Computer/MobileSync/Backup";
        if (bulk) {
            std::string bytes(kBulkFileBytes, '\0');
            for (size_t i = 0; i < bytes.size(); ++i)
                bytes[i] = static_cast<char>(i * 131 + 7);
            const std::string top = phone.image + "/fs/var/mobile/Media/Bulk";
            for (int folder = 0; folder < kBulkFolders; ++folder) {
                const std::string path = top + "/f" + std::to_string(folder);
                fs::create_directories(path);
                for (int file = 0; file < kBulkFilesPerFolder; ++file) {
                    bytes[0] = static_cast<char>(file);  // no two files alike
                    bytes[1] = static_cast<char>(folder);
                    std::ofstream(path + "/" + std::to_string(file) + ".bin", std::ios::binary)
                        .write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
                }
            }
        }
        return phone;
    }

    ~Setup() { fs::remove_all(root); }
};

Setup& TheSetup() {
    static Setup setup;
    return setup;
}

bool RunTool(const std::string& udid, int32_t mode) {
    BackupStatus status{};
    bw::CDeviceBackUp run(bw::Utf8ToWide(udid), mode, false, u"");
    run.SetStatus(&status);
    run.Start();
    while (std::atomic_ref<uint8_t>(status.finished).load() == 0)
        ::usleep(2000);
    return status.failed == 0;
}

// Baseline: copying the phone's file tree on the host.
void BM_HostCopyTree(benchmark::State& state) {
    Setup& s = TheSetup();
    const std::string target = s.root + "/host-copy";
    for (auto _ : state) {
        fs::copy(s.big.image + "/fs", target,
                 fs::copy_options::recursive | fs::copy_options::copy_symlinks);
        state.PauseTiming();
        fs::remove_all(target);
        state.ResumeTiming();
    }
}

void BM_Backup(benchmark::State& state) {
    Setup& s = TheSetup();
    for (auto _ : state) {
        state.PauseTiming();
        fs::remove_all(s.big.backupRoot + "/" + s.big.udid);
        state.ResumeTiming();
        // The loop must end after an error: timing calls after it abort the program.
        if (!RunTool(s.big.udid, kBackupModeBackup)) {
            state.SkipWithError("backup failed");
            break;
        }
    }
}

void BM_Restore(benchmark::State& state) {
    Setup& s = TheSetup();
    if (!fs::exists(s.big.backupRoot + "/" + s.big.udid) &&
        !RunTool(s.big.udid, kBackupModeBackup)) {
        state.SkipWithError("backup failed");
        return;
    }
    for (auto _ : state) {
        if (!RunTool(s.big.udid, kBackupModeRestore)) {
            state.SkipWithError("restore failed");
            break;
        }
    }
}

// The completion of a deep clean that edited one home-domain file; set-up and the edit are not
// timed.
void DeepCleanOneFile(benchmark::State& state, const Phone& phone) {
    Setup& s = TheSetup();
    if (!fs::exists(phone.backupRoot + "/" + phone.udid) &&
        !RunTool(phone.udid, kBackupModeBackup)) {
        state.SkipWithError("backup failed");
        return;
    }
    int round = 0;
    for (auto _ : state) {
        state.PauseTiming();
        bw::CConfigureTool& tool = bw::CConfigureTool::Instance();
        const std::string work = s.root + "/work-" + std::to_string(round++);
        if (!tool.SetUp({phone.udid, "7.1.2", 0}, work, phone.backupRoot, false)) {
            state.SkipWithError("set-up failed");
            break;
        }
        const std::string copy =
            tool.CopyWorkingFile("HomeDomain", "Library/SpringBoard/IconState.plist", 0);
        std::ofstream(copy, std::ios::app) << "<!-- " << round << " -->\n";
        state.ResumeTiming();
        if (!tool.WriteBackupInfo() || !tool.Complete()) state.SkipWithError("completion failed");
    }
}

void BM_DeepCleanCompleteBigBackup(benchmark::State& state) {
    DeepCleanOneFile(state, TheSetup().big);
}
void BM_DeepCleanCompleteSmallBackup(benchmark::State& state) {
    DeepCleanOneFile(state, TheSetup().small);
}

}  // namespace

BENCHMARK(BM_HostCopyTree)->Unit(benchmark::kMillisecond)->Iterations(2);
BENCHMARK(BM_Backup)->Unit(benchmark::kMillisecond)->Iterations(2);
BENCHMARK(BM_Restore)->Unit(benchmark::kMillisecond)->Iterations(2);
BENCHMARK(BM_DeepCleanCompleteBigBackup)->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK(BM_DeepCleanCompleteSmallBackup)->Unit(benchmark::kMillisecond)->Iterations(5);

BENCHMARK_MAIN();

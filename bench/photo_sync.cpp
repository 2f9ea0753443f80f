// Adding pictures to a phone's photo library: 200 pictures of about 3 MB each added through the
// photo manager's sync (library list, upload of each picture and its thumbnail file, the phone
// applying them), against copying the same files to the phone through the file service, in the
// same run and on the same simulated phone. The sync pauses 100 ms after each picture to pace
// the phone; that pause is reported on its own so the work around it can be judged too.
#include <benchmark/benchmark.h>
#include <vips/vips8>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "device/iphone.h"
#include "image/image_builder.h"
#include "photo/photo_manager.h"
#include "quick.h"
#include "sim_setup.h"

namespace {

namespace fs = std::filesystem;

using bw::bench::Fail;

const int kPictures = bw::bench::FullOrQuick(200, 4);
// The pause the sync makes after each picture.
constexpr double kPacingSeconds = 0.1;

struct Setup {
    std::string root;
    std::string media;
    std::vector<std::string> pictures;
    uint64_t bytes = 0;
    bw::CIPhone* device = nullptr;

    Setup() {
        root = bw::bench::MakeTempFolder("photosync");
        bw::bench::UseSimRegistry(root);
        fs::create_directories(root + "/tmp");
        ::setenv("TMPDIR", (root + "/tmp").c_str(), 1);
        const std::string image = root + "/phone";
        bw::sim::ImageOptions options;
        options.iosVersion = "7.1.2";
        std::string error;
        if (!bw::sim::CreateImage(image, options, error)) Fail(error);
        media = image + "/fs/var/mobile/Media";
        device = bw::bench::AttachDevice(image);
        if (VIPS_INIT("bench") != 0) Fail("cannot start libvips");
        MakePictures();
    }
    ~Setup() { fs::remove_all(root); }

    // Camera-sized JPEGs of about 3 MB: noise compresses badly, as a detailed photo does. Each
    // file is its own picture, so the phone's library sees 200 different photos.
    void MakePictures() {
        fs::create_directories(root + "/pictures");
        const vips::VImage base =
            vips::VImage::gaussnoise(1600, 1200, vips::VImage::option()->set("sigma", 60.0))
                .bandjoin(vips::VImage::gaussnoise(1600, 1200))
                .bandjoin(vips::VImage::gaussnoise(1600, 1200))
                .cast(VIPS_FORMAT_UCHAR)
                .copy(vips::VImage::option()->set("interpretation", VIPS_INTERPRETATION_sRGB));
        for (int i = 0; i < kPictures; ++i) {
            const std::string path = root + "/pictures/picture-" + std::to_string(i) + ".jpg";
            (base + (i % 64))
                .cast(VIPS_FORMAT_UCHAR)
                .jpegsave(path.c_str(), vips::VImage::option()->set("Q", 92));
            pictures.push_back(path);
            bytes += fs::file_size(path);
        }
    }
};

Setup& TheSetup() {
    static Setup setup;
    return setup;
}

// Baseline: the same files copied into a folder of the phone through the file service.
void BM_FileServiceCopiesThePictures(benchmark::State& state) {
    Setup& s = TheSetup();
    int round = 0;
    for (auto _ : state) {
        const std::string folder = "/Benchmark" + std::to_string(round++);
        s.device->MakeDirectory(folder);
        for (size_t i = 0; i < s.pictures.size(); ++i) {
            if (!s.device->CopyFileToDevice(
                    s.pictures[i], folder + "/" + fs::path(s.pictures[i]).filename().string()))
                return state.SkipWithError("a copy to the phone failed");
        }
        state.PauseTiming();
        fs::remove_all(s.media + folder);
        state.ResumeTiming();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * s.bytes));
    state.counters["pictures"] = static_cast<double>(s.pictures.size());
}

// When each stage of a sync reported, for the breakdown in the counters.
struct StageTimes {
    using Clock = std::chrono::steady_clock;
    Clock::time_point start, listSent, firstPicture, lastPicture, finished;
    std::mutex mutex;

    static void Note(void* context, int32_t stage, int32_t done, int32_t, const BwChar*) {
        auto* times = static_cast<StageTimes*>(context);
        std::lock_guard<std::mutex> lock(times->mutex);
        const Clock::time_point now = Clock::now();
        if (stage == 2) times->listSent = now;
        if (stage == 3 && done == 1) times->firstPicture = now;
        if (stage == 3) times->lastPicture = now;
        if (stage == 4) times->finished = now;
    }
    static double Seconds(Clock::time_point from, Clock::time_point to) {
        return std::chrono::duration<double>(to - from).count();
    }
};

// The photo manager adds the pictures through a photo sync; every round adds them again as new
// photos of the library. The counters split the time: up to the list sent, the pictures (each
// with its thumbnail file, and the pause after it), and the phone applying them.
void BM_PhotoSyncAddsThePictures(benchmark::State& state) {
    Setup& s = TheSetup();
    std::vector<const char*> paths;
    for (const std::string& picture : s.pictures)
        paths.push_back(picture.c_str());
    for (auto _ : state) {
        state.PauseTiming();
        auto manager = std::make_unique<bw::CPhotoManager>(s.device);
        StageTimes times;
        manager->SetSyncProgress(&StageTimes::Note, &times);
        times.start = StageTimes::Clock::now();
        state.ResumeTiming();
        manager->AddPhotos(paths.data(), static_cast<int32_t>(paths.size()));
        state.PauseTiming();
        const int32_t result = manager->lastSyncResult();
        manager.reset();
        if (result != 0) return state.SkipWithError("the photo sync failed");
        state.counters["list_s"] = StageTimes::Seconds(times.start, times.listSent);
        state.counters["pictures_s"] = StageTimes::Seconds(times.listSent, times.lastPicture);
        state.counters["apply_s"] = StageTimes::Seconds(times.lastPicture, times.finished);
        state.ResumeTiming();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * s.bytes));
    state.counters["pacing_s"] = kPacingSeconds * static_cast<double>(s.pictures.size());
}

}  // namespace

BENCHMARK(BM_FileServiceCopiesThePictures)->Unit(benchmark::kMillisecond)->Iterations(1);
BENCHMARK(BM_PhotoSyncAddsThePictures)->Unit(benchmark::kMillisecond)->Iterations(1);

BENCHMARK_MAIN();

// Display thumbnails: 1000 made by MakeDisplayThumbnail from JPEG bytes in memory (20 distinct
// 640 x 480 photos, cycled) against libvips' own thumbnail operation on the same bytes to the same
// 98 x 98 box, followed by the same JPEG encoding, in the same run. The baseline runs second and
// reports ours_over_vips: our processor time for the batch divided by its own.
#include <benchmark/benchmark.h>
#include <vips/vips8>

#include <stdlib.h>
#include <time.h>

#include <cmath>
#include <string>
#include <vector>

#include "photo/photo_thumbnail.h"
#include "platform/files.h"
#include "platform/image.h"
#include "quick.h"

namespace {

constexpr int kDistinctPhotos = 20;
constexpr int kBox = bw::kThumbnailBox;

int BatchSize() {
    return bw::bench::FullOrQuick(1000, 40);
}

// A photo-like picture: smooth gradients with a pattern, different for each seed, so the JPEG
// decoder has real work (a flat picture decodes unrealistically fast).
std::string Photo(int seed) {
    constexpr int kWidth = 640;
    constexpr int kHeight = 480;
    std::string rgb(size_t(kWidth) * kHeight * 3, '\0');
    for (int y = 0; y < kHeight; ++y)
        for (int x = 0; x < kWidth; ++x) {
            char* p = &rgb[(size_t(y) * kWidth + x) * 3];
            p[0] = static_cast<char>((x * (seed + 1) / 3 + y) & 0xFF);
            p[1] = static_cast<char>(128 + 100 * std::sin((x + seed * 17) / 23.0) *
                                               std::cos(y / (11.0 + seed)));
            p[2] = static_cast<char>((y * 2 + seed * 13 + ((x / 8 + y / 8) % 2) * 40) & 0xFF);
        }
    return bw::platform::EncodeJpeg(bw::platform::Picture::FromRgb(kWidth, kHeight, std::move(rgb)),
                                    90);
}

const std::vector<std::string>& Photos() {
    static const std::vector<std::string> photos = [] {
        std::vector<std::string> out;
        for (int i = 0; i < kDistinctPhotos; ++i)
            out.push_back(Photo(i));
        return out;
    }();
    return photos;
}

// Processor time of the whole process (the library's worker threads included): the machine is
// shared, and wall time would measure the neighbours as much as the code.
double CpuSeconds() {
    timespec now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

double g_ourBatchSeconds = 0;

void BM_MakeDisplayThumbnail(benchmark::State& state) {
    const std::vector<std::string>& photos = Photos();
    if (photos.front().empty()) state.SkipWithError("the photos could not be made");
    const int batch = BatchSize();
    double seconds = 0;
    for (auto _ : state) {
        const double start = CpuSeconds();
        for (int i = 0; i < batch; ++i) {
            std::string jpeg;
            if (!bw::MakeDisplayThumbnail(photos[i % kDistinctPhotos], kBox, kBox, jpeg))
                state.SkipWithError("a thumbnail failed");
            benchmark::DoNotOptimize(jpeg.data());
        }
        seconds += CpuSeconds() - start;
    }
    g_ourBatchSeconds = seconds / static_cast<double>(state.iterations());
    state.SetItemsProcessed(state.iterations() * batch);
}

void BM_VipsThumbnailBuffer(benchmark::State& state) {
    const std::vector<std::string>& photos = Photos();
    const int batch = BatchSize();
    double seconds = 0;
    for (auto _ : state) {
        const double start = CpuSeconds();
        for (int i = 0; i < batch; ++i) {
            const std::string& photo = photos[i % kDistinctPhotos];
            VipsBlob* blob = vips_blob_new(nullptr, photo.data(), photo.size());
            vips::VImage thumbnail = vips::VImage::thumbnail_buffer(
                blob, kBox, vips::VImage::option()->set("height", kBox));
            VipsBlob* jpeg = thumbnail.jpegsave_buffer(vips::VImage::option()->set("Q", 90));
            benchmark::DoNotOptimize(jpeg);
            vips_area_unref(VIPS_AREA(jpeg));
            vips_area_unref(VIPS_AREA(blob));
        }
        seconds += CpuSeconds() - start;
    }
    const double baseline = seconds / static_cast<double>(state.iterations());
    if (g_ourBatchSeconds > 0 && baseline > 0)
        state.counters["ours_over_vips"] = g_ourBatchSeconds / baseline;
    state.SetItemsProcessed(state.iterations() * batch);
}

// "Airlock_photo" for a camera-sized photo (3264 x 2448, as an 8-megapixel phone camera takes),
// against the floor of any build: libvips decoding the same bytes once at full size.
std::string CameraPhoto() {
    static const std::string photo = [] {
        const int width = bw::bench::FullOrQuick(3264, 816);
        const int height = bw::bench::FullOrQuick(2448, 612);
        std::string rgb(size_t(width) * height * 3, '\0');
        for (int y = 0; y < height; ++y)
            for (int x = 0; x < width; ++x) {
                char* p = &rgb[(size_t(y) * width + x) * 3];
                p[0] = static_cast<char>(x / 7 + y / 5);
                p[1] = static_cast<char>(128 + 90 * std::sin(x / 31.0) * std::cos(y / 17.0));
                p[2] = static_cast<char>((x ^ y) & 0x7F);
            }
        return bw::platform::EncodeJpeg(bw::platform::Picture::FromRgb(width, height, rgb), 90);
    }();
    return photo;
}

void BM_BuildAirlockPhoto(benchmark::State& state) {
    char pattern[] = "/tmp/bw-bench-airlock-XXXXXX";
    const std::string folder = ::mkdtemp(pattern) ? pattern : "";
    const std::string source = bw::platform::JoinPath(folder, "IMG_0001.JPG");
    if (folder.empty() || !bw::platform::WriteFileAtomic(source, CameraPhoto()))
        state.SkipWithError("no working folder");
    for (auto _ : state) {
        bw::CPhotoUsuallyAirlock builder(source, folder, "iPhone5,2");
        builder.trailerValue = 1;
        builder.setting = 1;
        if (builder.BuildThumbnailFile().empty()) state.SkipWithError("the build failed");
    }
    bw::platform::DeleteTree(folder);
}

void BM_VipsDecodeCameraPhoto(benchmark::State& state) {
    const std::string photo = CameraPhoto();
    for (auto _ : state) {
        vips::VImage image = vips::VImage::new_from_buffer(photo.data(), photo.size(), "");
        size_t size = 0;
        void* pixels = image.write_to_memory(&size);
        benchmark::DoNotOptimize(pixels);
        g_free(pixels);
    }
}

}  // namespace

// Ours first, so the baseline can report the ratio; both after the same start of the library.
BENCHMARK(BM_MakeDisplayThumbnail)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_VipsThumbnailBuffer)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_BuildAirlockPhoto)->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK(BM_VipsDecodeCameraPhoto)->Unit(benchmark::kMillisecond)->Iterations(5);

int main(int argc, char** argv) {
    if (bw::platform::StartImaging() == 0) return 1;
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}

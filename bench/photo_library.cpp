// The photo library of a phone with about 10 thousand photos (an iOS 6 image at the builder's
// largest scale): listing every album and photo through the photo manager against one plain
// SQLite query of the same rows over the same database file, and 1000 display thumbnails made
// through the manager (read over the file service, made, stored on the phone) against libvips
// thumbnails of the same files read from the host's disk, in the same run.
#include <benchmark/benchmark.h>
#include <sqlite3.h>
#include <vips/vips8>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "image/image_builder.h"
#include "photo/photo_manager.h"
#include "quick.h"
#include "sim_setup.h"

namespace {

namespace fs = std::filesystem;

using bw::bench::Fail;

// Each step above 1 adds 10 camera-roll photos: 1000 gives about 10 thousand.
const int kScale = bw::bench::FullOrQuick(1000, 3);
const int kThumbnails = bw::bench::FullOrQuick(1000, 20);

struct Setup {
    std::string root;
    std::string media;
    bw::CIPhone* device = nullptr;

    Setup() {
        root = bw::bench::MakeTempFolder("photos");
        bw::bench::UseSimRegistry(root);
        // The manager's working copy goes below the temporary folder: keep it in ours.
        fs::create_directories(root + "/tmp");
        ::setenv("TMPDIR", (root + "/tmp").c_str(), 1);
        const std::string image = root + "/phone";
        bw::sim::ImageOptions options;
        options.iosVersion = "6.1.3";
        options.scale = kScale;
        std::string error;
        if (!bw::sim::CreateImage(image, options, error)) Fail(error);
        media = image + "/fs/var/mobile/Media";
        device = bw::bench::AttachDevice(image);
        if (VIPS_INIT("bench") != 0) Fail("cannot start libvips");
    }
    ~Setup() { fs::remove_all(root); }
};

Setup& TheSetup() {
    static Setup setup;
    return setup;
}

// Baseline: every album membership with the photo columns the readers select, in one statement.
void BM_PlainQueryOfThePhotos(benchmark::State& state) {
    Setup& s = TheSetup();
    sqlite3* db = nullptr;
    if (sqlite3_open_v2((s.media + "/PhotoData/Photos.sqlite").c_str(), &db, SQLITE_OPEN_READONLY,
                        nullptr) != SQLITE_OK) {
        sqlite3_close(db);
        return state.SkipWithError("cannot open the photo database");
    }
    int64_t rows = 0;
    for (auto _ : state) {
        sqlite3_stmt* statement = nullptr;
        sqlite3_prepare_v2(
            db,
            "SELECT a.ZSAVEDASSETTYPE,a.ZTHUMBNAILINDEX,a.ZDATECREATED,a.ZMODIFICATIONDATE,"
            "a.ZUNIFORMTYPEIDENTIFIER,b.ZEMBEDDEDTHUMBNAILHEIGHT,b.ZEMBEDDEDTHUMBNAILLENGTH,"
            "b.ZEMBEDDEDTHUMBNAILOFFSET,b.ZEMBEDDEDTHUMBNAILWIDTH,b.ZORIGINALORIENTATION,"
            "a.ZDIRECTORY,a.ZFILENAME,a.ZTITLE,b.ZORIGINALFILESIZE,b.ZORIGINALHEIGHT,"
            "b.ZORIGINALWIDTH,a.Z_PK,a.ZUUID,a.ZKIND,j.Z_8ALBUMS FROM Z_8ASSETS j "
            "JOIN ZGENERICASSET a ON a.Z_PK = j.Z_14ASSETS "
            "LEFT JOIN ZADDITIONALASSETATTRIBUTES b ON a.ZADDITIONALATTRIBUTES = b.Z_PK "
            "WHERE a.ZWIDTH > 0 AND a.ZHEIGHT > 0",
            -1, &statement, nullptr);
        rows = 0;
        size_t bytes = 0;
        while (sqlite3_step(statement) == SQLITE_ROW) {
            ++rows;
            for (int column = 0; column < 20; ++column)
                bytes += static_cast<size_t>(sqlite3_column_bytes(statement, column));
        }
        sqlite3_finalize(statement);
        benchmark::DoNotOptimize(bytes);
    }
    sqlite3_close(db);
    state.counters["rows"] = static_cast<double>(rows);
}

int64_t ReadEveryPhoto(bw::CPhotoManager& manager) {
    int64_t sum = 0;
    const int32_t albums = manager.LoadAlbums();
    for (int32_t i = 0; i < albums; ++i)
        sum += manager.GetAlbum(i)->CountPhotos();
    const int32_t photos = manager.LoadPhotos();
    for (int32_t i = 0; i < photos; ++i) {
        IPhoto* photo = manager.GetPhoto(i);
        sum += photo->GetFileSize() + photo->GetWidth() + photo->GetHeight();
    }
    // The fields are read for the timing, not for their sum.
    benchmark::DoNotOptimize(sum);
    return photos;
}

// The host's listing: the manager made (which copies the database from the phone), then every
// album and photo with its fields.
void BM_ManagerListsThePhotos(benchmark::State& state) {
    Setup& s = TheSetup();
    int64_t photos = 0;
    for (auto _ : state) {
        bw::CPhotoManager manager(s.device);
        photos = ReadEveryPhoto(manager);
    }
    state.counters["photos"] = static_cast<double>(photos);
}

// Making the manager alone: the device's values and the copy of the database.
void BM_ManagerMade(benchmark::State& state) {
    Setup& s = TheSetup();
    for (auto _ : state) {
        bw::CPhotoManager manager(s.device);
        benchmark::DoNotOptimize(manager.hasReader());
    }
}

// The same listing on a manager that already holds its copy of the database.
void BM_ManagerListsThePhotosWithoutTheCopy(benchmark::State& state) {
    Setup& s = TheSetup();
    int64_t photos = 0;
    for (auto _ : state) {
        state.PauseTiming();
        auto manager = std::make_unique<bw::CPhotoManager>(s.device);
        state.ResumeTiming();
        photos = ReadEveryPhoto(*manager);
        state.PauseTiming();
        manager.reset();
        state.ResumeTiming();
    }
    state.counters["photos"] = static_cast<double>(photos);
}

// The camera-roll files the thumbnails are made of, in the manager's order.
std::vector<std::string> ThumbnailSources(bw::CPhotoManager& manager, const std::string& media) {
    std::vector<std::string> paths;
    manager.LoadAlbums();
    const int32_t photos = manager.LoadPhotos();
    for (int32_t i = 0; i < photos && static_cast<int>(paths.size()) < kThumbnails; ++i) {
        IPhoto* photo = manager.GetPhoto(i);
        std::string path(photo->GetDevicePath(nullptr), '\0');
        photo->GetDevicePath(path.data());
        path.resize(std::char_traits<char>::length(path.c_str()));
        // The image has a few rows whose file is missing; both sides skip them.
        if (path.size() > 4 && path.compare(path.size() - 4, 4, ".JPG") == 0 &&
            fs::exists(media + path)) {
            paths.push_back(path);
        }
    }
    return paths;
}

// Baseline: libvips' own thumbnail of each file, read from the host's disk, as JPEG bytes.
void BM_LibvipsThumbnails(benchmark::State& state) {
    Setup& s = TheSetup();
    bw::CPhotoManager manager(s.device);
    const std::vector<std::string> paths = ThumbnailSources(manager, s.media);
    size_t bytes = 0;
    for (auto _ : state) {
        for (const std::string& path : paths) {
            std::ifstream in(s.media + path, std::ios::binary);
            const std::string file((std::istreambuf_iterator<char>(in)), {});
            VipsBlob* blob = vips_blob_new(nullptr, file.data(), file.size());
            vips::VImage thumbnail =
                vips::VImage::thumbnail_buffer(blob, 98, vips::VImage::option()->set("height", 98));
            VipsBlob* jpeg = thumbnail.jpegsave_buffer(vips::VImage::option()->set("Q", 90));
            bytes += VIPS_AREA(jpeg)->length;
            vips_area_unref(VIPS_AREA(jpeg));
            vips_area_unref(VIPS_AREA(blob));
        }
    }
    benchmark::DoNotOptimize(bytes);
    state.counters["thumbnails"] = static_cast<double>(paths.size());
}

// The manager's thumbnails with the phone's cache emptied first: each one read from the phone,
// made, stored on the phone and read back.
void BM_ManagerMakesThumbnails(benchmark::State& state) {
    Setup& s = TheSetup();
    bw::CPhotoManager manager(s.device);
    const size_t count = ThumbnailSources(manager, s.media).size();
    size_t made = 0;
    for (auto _ : state) {
        state.PauseTiming();
        fs::remove_all(s.media + "/DCIM/.THMB");
        state.ResumeTiming();
        made = 0;
        for (int32_t i = 0; made < count; ++i) {
            IPhoto* photo = manager.GetPhoto(i);
            if (photo == nullptr) break;
            made += photo->LoadThumbnail();
        }
    }
    state.counters["thumbnails"] = static_cast<double>(made);
}

// The same thumbnails found in the phone's cache.
void BM_ManagerReadsCachedThumbnails(benchmark::State& state) {
    Setup& s = TheSetup();
    bw::CPhotoManager manager(s.device);
    const size_t count = ThumbnailSources(manager, s.media).size();
    size_t read = 0;
    for (int32_t i = 0; read < count && manager.GetPhoto(i) != nullptr; ++i)
        read += manager.GetPhoto(i)->LoadThumbnail();
    for (auto _ : state) {
        read = 0;
        for (int32_t i = 0; read < count; ++i) {
            IPhoto* photo = manager.GetPhoto(i);
            if (photo == nullptr) break;
            read += photo->LoadThumbnail();
        }
    }
    state.counters["thumbnails"] = static_cast<double>(read);
}

}  // namespace

BENCHMARK(BM_PlainQueryOfThePhotos)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ManagerListsThePhotos)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ManagerMade)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ManagerListsThePhotosWithoutTheCopy)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LibvipsThumbnails)->Unit(benchmark::kMillisecond)->Iterations(2);
BENCHMARK(BM_ManagerMakesThumbnails)->Unit(benchmark::kMillisecond)->Iterations(2);
BENCHMARK(BM_ManagerReadsCachedThumbnails)->Unit(benchmark::kMillisecond)->Iterations(2);

BENCHMARK_MAIN();

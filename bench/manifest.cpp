// Manifest load and save against their baseline: reading the same bytes and hashing the same
// domain-path names (with our SHA-1 and with OpenSSL's). SHA-1 throughput against OpenSSL.
#include <benchmark/benchmark.h>
#include <openssl/sha.h>
#include <unistd.h>

#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "../tests/backup/mbdb_builder.h"
#include "backup/manifest.h"
#include "formats/sha1.h"
#include "platform/environment.h"
#include "platform/files.h"
#include "quick.h"

// The one-call SHA1() is OpenSSL's fastest path for short inputs; version 3 marks it deprecated.
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"

namespace {

using bw::testing::MbdbBuilder;
using bw::testing::MbdbRecordFields;

const size_t kRecordCount = bw::bench::FullOrQuick<size_t>(200000, 2000);

// A backup of about the shape a phone with many applications gives: a few big system domains,
// a couple of hundred application domains, mostly files with a 20-byte data hash, some folders,
// a few records with properties.
class BackupFixture {
  public:
    BackupFixture() {
        folder_ = bw::platform::TempFolder() + "/bw-bench-manifest-" + std::to_string(::getpid());
        bw::platform::CreateFolders(folder_);
        manifest_ = bw::platform::JoinPath(folder_, "Manifest.mbdb");
        std::mt19937 random(42);
        MbdbBuilder builder;
        for (size_t i = 0; i < kRecordCount; ++i) {
            MbdbRecordFields fields;
            const uint32_t kind = random() % 100;
            if (kind < 15) {
                fields.domain = "HomeDomain";
                fields.path = "Library/Caches/com.apple.mobilesafari/fsCachedData/" +
                              std::to_string(random()) + "-" + std::to_string(i);
            } else if (kind < 30) {
                fields.domain = "MediaDomain";
                fields.path = "Library/SMS/Attachments/" + std::to_string(random() % 100) + "/" +
                              std::to_string(random() % 100) + "/IMG_" + std::to_string(i) + ".JPG";
            } else if (kind < 35) {
                fields.domain = "CameraRollDomain";
                fields.path = "Media/DCIM/100APPLE/IMG_" + std::to_string(i) + ".MOV";
            } else {
                fields.domain = "AppDomain-com.vendor" + std::to_string(random() % 40) +
                                ".application" + std::to_string(random() % 200);
                fields.path = "Library/Application Support/Data/cache-" + std::to_string(random()) +
                              "/item" + std::to_string(i) + ".plist";
            }
            if (random() % 10 == 0) {
                fields.mode = 040755;
            } else {
                std::string hash(20, '\0');
                for (char& c : hash)
                    c = static_cast<char>(random());
                fields.dataHash = hash;
                fields.size = random() % 5000000;
            }
            if (random() % 20 == 0) {
                fields.properties = {{"com.apple.assetsd.UUID", std::string(16, '\x5A')}};
            }
            fields.inode = random();
            fields.modifiedTime = 1300000000 + random() % 100000000;
            builder.Record(fields);
            names_.push_back(*fields.domain + "-" + *fields.path);
        }
        bw::platform::WriteFileAtomic(manifest_, builder.Bytes());
        bytes_ = builder.Size();
    }
    ~BackupFixture() { bw::platform::DeleteTree(folder_); }

    const std::string& Folder() const { return folder_; }
    const std::string& Manifest() const { return manifest_; }
    const std::vector<std::string>& Names() const { return names_; }
    size_t Bytes() const { return bytes_; }

  private:
    std::string folder_;
    std::string manifest_;
    std::vector<std::string> names_;
    size_t bytes_ = 0;
};

BackupFixture& Fixture() {
    static BackupFixture fixture;
    return fixture;
}

void BM_ManifestLoad(benchmark::State& state) {
    const BackupFixture& fixture = Fixture();
    for (auto _ : state) {
        auto manager =
            std::make_unique<bw::ManifestDataManager>("udid", fixture.Folder(), fixture.Manifest());
        benchmark::DoNotOptimize(manager->Load());
        state.PauseTiming();
        manager.reset();
        state.ResumeTiming();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * fixture.Bytes()));
    state.counters["records"] = kRecordCount;
}

// Every record decoded, as a listing tool asks for them (not part of the load goal).
void BM_ManifestRecords(benchmark::State& state) {
    const BackupFixture& fixture = Fixture();
    bw::ManifestDataManager manager("udid", fixture.Folder(), fixture.Manifest());
    manager.Load();
    for (auto _ : state) {
        benchmark::DoNotOptimize(manager.Records().size());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * fixture.Bytes()));
}

void BM_ManifestForEachRecord(benchmark::State& state) {
    const BackupFixture& fixture = Fixture();
    bw::ManifestDataManager manager("udid", fixture.Folder(), fixture.Manifest());
    manager.Load();
    for (auto _ : state) {
        uint64_t total = 0;
        manager.ForEachRecord([&](const bw::MbdbRecord& record) { total += record.size; });
        benchmark::DoNotOptimize(total);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * fixture.Bytes()));
}

// Writes the whole list, flushes it and renames it into place.
void BM_ManifestSave(benchmark::State& state) {
    const BackupFixture& fixture = Fixture();
    bw::ManifestDataManager manager("udid", fixture.Folder(), fixture.Manifest());
    manager.Load();
    for (auto _ : state) {
        benchmark::DoNotOptimize(manager.Save());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * fixture.Bytes()));
}

// The work no manifest reader can avoid: the bytes from disk and one SHA-1 per name.
void BM_ReadAndHashNames(benchmark::State& state) {
    const BackupFixture& fixture = Fixture();
    for (auto _ : state) {
        std::string bytes;
        bw::platform::ReadWholeFile(fixture.Manifest(), bytes);
        for (const std::string& name : fixture.Names()) {
            benchmark::DoNotOptimize(bw::Sha1::Hash(name));
        }
        benchmark::DoNotOptimize(bytes.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * fixture.Bytes()));
}

void BM_ReadAndHashNamesOpenSsl(benchmark::State& state) {
    const BackupFixture& fixture = Fixture();
    for (auto _ : state) {
        std::string bytes;
        bw::platform::ReadWholeFile(fixture.Manifest(), bytes);
        unsigned char digest[SHA_DIGEST_LENGTH];
        for (const std::string& name : fixture.Names()) {
            SHA1(reinterpret_cast<const unsigned char*>(name.data()), name.size(), digest);
            benchmark::DoNotOptimize(digest);
        }
        benchmark::DoNotOptimize(bytes.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * fixture.Bytes()));
}

std::string RandomBuffer(size_t size) {
    std::string buffer(size, '\0');
    std::mt19937_64 random(7);
    for (size_t i = 0; i + 8 <= size; i += 8) {
        const uint64_t value = random();
        std::memcpy(buffer.data() + i, &value, 8);
    }
    return buffer;
}

void BM_Sha1Ours(benchmark::State& state) {
    const std::string buffer = RandomBuffer(static_cast<size_t>(state.range(0)));
    for (auto _ : state) {
        benchmark::DoNotOptimize(bw::Sha1::Hash(buffer));
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * buffer.size()));
}

void BM_Sha1OpenSsl(benchmark::State& state) {
    const std::string buffer = RandomBuffer(static_cast<size_t>(state.range(0)));
    unsigned char digest[SHA_DIGEST_LENGTH];
    for (auto _ : state) {
        SHA1(reinterpret_cast<const unsigned char*>(buffer.data()), buffer.size(), digest);
        benchmark::DoNotOptimize(digest);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * buffer.size()));
}

// The portable rounds alone, for machines without SHA instructions.
void BM_Sha1OursPortable(benchmark::State& state) {
    const std::string buffer = RandomBuffer(static_cast<size_t>(state.range(0)));
    const auto* blocks = reinterpret_cast<const uint8_t*>(buffer.data());
    for (auto _ : state) {
        uint32_t words[5] = {0x67452301u, 0xEFCDAB89u, 0x98BADCFEu, 0x10325476u, 0xC3D2E1F0u};
        bw::sha1_detail::CompressPortable(words, blocks, buffer.size() / bw::Sha1::kBlockSize);
        benchmark::DoNotOptimize(words);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * buffer.size()));
}

constexpr int64_t kOneMiB = 1 << 20;

// 1 MiB and 64 MiB; a quick run hashes 64 KiB.
void HashSizes(benchmark::internal::Benchmark* bench) {
    if (bw::bench::Quick()) {
        bench->Arg(64 * 1024);
    } else {
        bench->Arg(kOneMiB)->Arg(64 * kOneMiB);
    }
    bench->Unit(benchmark::kMicrosecond);
}

BENCHMARK(BM_ManifestLoad)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ManifestRecords)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ManifestForEachRecord)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ManifestSave)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ReadAndHashNames)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ReadAndHashNamesOpenSsl)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Sha1Ours)->Apply(HashSizes);
BENCHMARK(BM_Sha1OpenSsl)->Apply(HashSizes);
BENCHMARK(BM_Sha1OursPortable)
    ->Arg(bw::bench::FullOrQuick(kOneMiB, int64_t{64 * 1024}))
    ->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();

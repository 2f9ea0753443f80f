// The codec's binary reader and writer against libplist on the same trees and the same bytes:
// a photo library of about 10 thousand and about 1 million objects (albums of photo records
// with strings, integers, reals, dates, data, booleans, nested arrays and dictionaries).
// Reads, and conversions from binary to XML, run on the bytes our writer produced (source 0) and
// on the bytes libplist produced (source 1), which share repeated keys and values.
#include <benchmark/benchmark.h>
#include <plist/plist.h>

#include <cstdlib>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "formats/libplist_bridge.h"
#include "formats/plist_codec.h"
#include "inspect/plist_convert.h"
#include "quick.h"

namespace {

using bw::PlistDate;
using bw::PlistKind;
using bw::PlistValue;

// One photo record is 26 objects.
PlistValue Photo(std::mt19937& random, int number) {
    char name[32];
    std::snprintf(name, sizeof name, "IMG_%05d.JPG", number);
    return PlistValue::Dictionary{
        {"name", name},
        {"id", number},
        {"size", static_cast<int64_t>(random()) * 3},
        {"aspect", static_cast<double>(random() % 4000) / 3000.0},
        {"created", PlistDate{1300000000 + static_cast<int64_t>(random() % 300000000)}},
        {"thumbnail", PlistValue::Data(16, static_cast<uint8_t>(random()))},
        {"hidden", random() % 10 == 0},
        {"tags", PlistValue::Array{"family", random() % 3 ? "summer" : "\xC3\xA9t\xC3\xA9",
                                   "tag" + std::to_string(random() % 50)}},
        {"pixels", PlistValue::Dictionary{{"width", 3264}, {"height", 2448}}},
    };
}

PlistValue Library(int objects) {
    std::mt19937 random(7);
    PlistValue::Array albums;
    int made = 3;  // the top dictionary, its key and the album array
    int number = 0;
    while (made < objects) {
        PlistValue::Array photos;
        for (int i = 0; i < 40 && made < objects; ++i, made += 26)
            photos.push_back(Photo(random, number++));
        albums.push_back(PlistValue::Dictionary{
            {"title", "Album " + std::to_string(albums.size()) + " \xE2\x80\x94 F\xC3\xAAte"},
            {"photos", std::move(photos)}});
        made += 6;
    }
    return PlistValue::Dictionary{{"albums", std::move(albums)}};
}

struct Fixture {
    PlistValue tree;
    bw::LibplistNode libplistTree;
    std::string ours;    // our encoding of the tree
    std::string theirs;  // libplist's encoding of the same tree
};

const Fixture& GetFixture(int objects) {
    static std::map<int, std::unique_ptr<Fixture>> fixtures;
    std::unique_ptr<Fixture>& slot = fixtures[objects];
    if (!slot) {
        slot = std::make_unique<Fixture>();
        slot->tree = Library(objects);
        slot->libplistTree = bw::ToLibplist(slot->tree);
        slot->ours = bw::EncodePlistBinary(slot->tree).value_or("");
        char* bytes = nullptr;
        uint32_t length = 0;
        plist_to_bin(static_cast<plist_t>(slot->libplistTree.get()), &bytes, &length);
        slot->theirs.assign(bytes, length);
        plist_to_bin_free(bytes);
    }
    return *slot;
}

const std::string& Source(const Fixture& fixture, int64_t source) {
    return source == 0 ? fixture.ours : fixture.theirs;
}

void BM_OwnRead(benchmark::State& state) {
    const Fixture& fixture = GetFixture(static_cast<int>(state.range(0)));
    const std::string& bytes = Source(fixture, state.range(1));
    for (auto _ : state) {
        PlistValue value;
        if (!bw::ReadPlistFromMemory(bytes.data(), bytes.size(), value))
            state.SkipWithError("read");
        benchmark::DoNotOptimize(value);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes.size()));
}

void BM_LibplistRead(benchmark::State& state) {
    const Fixture& fixture = GetFixture(static_cast<int>(state.range(0)));
    const std::string& bytes = Source(fixture, state.range(1));
    for (auto _ : state) {
        plist_t root = nullptr;
        plist_from_bin(bytes.data(), static_cast<uint32_t>(bytes.size()), &root);
        if (root == nullptr) state.SkipWithError("read");
        benchmark::DoNotOptimize(root);
        plist_free(root);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes.size()));
}

void BM_OwnWrite(benchmark::State& state) {
    const Fixture& fixture = GetFixture(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        std::optional<std::string> bytes = bw::EncodePlistBinary(fixture.tree);
        if (!bytes) state.SkipWithError("write");
        benchmark::DoNotOptimize(bytes);
    }
}

void BM_LibplistWrite(benchmark::State& state) {
    const Fixture& fixture = GetFixture(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        char* bytes = nullptr;
        uint32_t length = 0;
        plist_to_bin(static_cast<plist_t>(fixture.libplistTree.get()), &bytes, &length);
        if (bytes == nullptr) state.SkipWithError("write");
        benchmark::DoNotOptimize(bytes);
        plist_to_bin_free(bytes);
    }
}

// Binary to XML as `plist convert --codec own` makes it, against the external library reading
// and writing the same bytes (what its own command-line converter does).
void BM_OwnConvertToXml(benchmark::State& state) {
    const Fixture& fixture = GetFixture(static_cast<int>(state.range(0)));
    const std::string& bytes = Source(fixture, state.range(1));
    for (auto _ : state) {
        std::string xml;
        std::string error;
        if (!bw::inspect::ConvertPlistBytes(bytes, bw::inspect::PlistOutput::kXml,
                                            bw::inspect::PlistReader::kOwn, xml, error)) {
            state.SkipWithError("convert");
        }
        benchmark::DoNotOptimize(xml);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes.size()));
}

void BM_LibplistConvertToXml(benchmark::State& state) {
    const Fixture& fixture = GetFixture(static_cast<int>(state.range(0)));
    const std::string& bytes = Source(fixture, state.range(1));
    for (auto _ : state) {
        plist_t root = nullptr;
        plist_from_bin(bytes.data(), static_cast<uint32_t>(bytes.size()), &root);
        char* xml = nullptr;
        uint32_t length = 0;
        plist_to_xml(root, &xml, &length);
        if (xml == nullptr) state.SkipWithError("convert");
        benchmark::DoNotOptimize(xml);
        plist_to_xml_free(xml);
        plist_free(root);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes.size()));
}

// A quick run leaves out the library of a million objects.
std::vector<int> ObjectCounts() {
    return bw::bench::Quick() ? std::vector<int>{10000} : std::vector<int>{10000, 1000000};
}

void ReadArguments(benchmark::internal::Benchmark* bench) {
    bench->ArgNames({"objects", "source"});
    for (int objects : ObjectCounts())
        for (int source : {0, 1})
            bench->Args({objects, source});
    bench->Unit(benchmark::kMillisecond);
}

void WriteArguments(benchmark::internal::Benchmark* bench) {
    bench->ArgNames({"objects"});
    for (int objects : ObjectCounts())
        bench->Arg(objects);
    bench->Unit(benchmark::kMillisecond);
}

BENCHMARK(BM_OwnRead)->Apply(ReadArguments);
BENCHMARK(BM_LibplistRead)->Apply(ReadArguments);
BENCHMARK(BM_OwnWrite)->Apply(WriteArguments);
BENCHMARK(BM_LibplistWrite)->Apply(WriteArguments);
BENCHMARK(BM_OwnConvertToXml)->Apply(ReadArguments);
BENCHMARK(BM_LibplistConvertToXml)->Apply(ReadArguments);

}  // namespace

BENCHMARK_MAIN();

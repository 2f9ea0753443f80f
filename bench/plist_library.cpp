// Building and writing large dictionaries in the library layer (CDicValueObj), the shape of a
// backup's file lists and of an application list with every bundle in it:
// - Set against appending the same entries straight to the dictionary (the floor: no search);
// - the binary writer against the codec's binary writer on the same keys and values.
// The key counts double, so a cost that grows faster than the count shows in the ratios.
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "formats/plist_codec.h"
#include "formats/plist_library.h"
#include "quick.h"

namespace {

using bw::CDicValueObj;

std::vector<std::string> Keys(int count) {
    std::vector<std::string> keys;
    keys.reserve(static_cast<size_t>(count));
    for (int i = 0; i < count; ++i)
        keys.push_back("HomeDomain-Library/Caches/item-" + std::to_string(i * 7919 % count));
    return keys;
}

void BM_DictionarySet(benchmark::State& state) {
    const std::vector<std::string> keys = Keys(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        CDicValueObj dictionary = CDicValueObj::MakeDictionary();
        for (const std::string& key : keys)
            dictionary.Set(key, CDicValueObj::MakeInteger(1));
        benchmark::DoNotOptimize(dictionary.Dictionary()->size());
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}

void BM_DictionaryAppend(benchmark::State& state) {
    const std::vector<std::string> keys = Keys(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        CDicValueObj dictionary = CDicValueObj::MakeDictionary();
        bw::PlistDictionary& entries = *dictionary.Dictionary();
        for (const std::string& key : keys)
            entries.emplace_back(key, CDicValueObj::MakeInteger(1));
        benchmark::DoNotOptimize(entries.size());
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}

void BM_LibraryWriteBinary(benchmark::State& state) {
    CDicValueObj dictionary = CDicValueObj::MakeDictionary();
    bw::PlistDictionary& entries = *dictionary.Dictionary();
    for (const std::string& key : Keys(static_cast<int>(state.range(0))))
        entries.emplace_back(key, CDicValueObj::MakeString("f" + key));
    for (auto _ : state) {
        std::string bytes;
        bw::writeBinary(dictionary, bytes);
        if (bytes.empty()) state.SkipWithError("write");
        benchmark::DoNotOptimize(bytes);
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}

void BM_CodecWriteBinary(benchmark::State& state) {
    bw::PlistValue::Dictionary dictionary;
    for (const std::string& key : Keys(static_cast<int>(state.range(0))))
        dictionary.emplace(key, bw::PlistValue("f" + key));
    const bw::PlistValue tree(std::move(dictionary));
    for (auto _ : state) {
        std::optional<std::string> bytes = bw::EncodePlistBinary(tree);
        if (!bytes) state.SkipWithError("write");
        benchmark::DoNotOptimize(bytes);
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}

void KeyCounts(benchmark::internal::Benchmark* bench) {
    bench->ArgNames({"keys"});
    for (int keys : bw::bench::Quick() ? std::vector<int>{2000}
                                       : std::vector<int>{25000, 50000, 100000, 200000})
        bench->Arg(keys);
    bench->Unit(benchmark::kMillisecond);
}

BENCHMARK(BM_DictionarySet)->Apply(KeyCounts);
BENCHMARK(BM_DictionaryAppend)->Apply(KeyCounts);
BENCHMARK(BM_LibraryWriteBinary)->Apply(KeyCounts);
BENCHMARK(BM_CodecWriteBinary)->Apply(KeyCounts);

}  // namespace

BENCHMARK_MAIN();

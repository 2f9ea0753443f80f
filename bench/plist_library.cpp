// Building and writing large dictionaries in the library layer (CDicValueObj), the shape of a
// backup's file lists and of an application list with every bundle in it:
// - Set against appending the same entries straight to the dictionary (the floor: no search);
// - the binary writer against the codec's binary writer on the same keys and values.
// The key counts double, so a cost that grows faster than the count shows in the ratios.
// - the binary writer on a list of photo-like records (dictionaries of eight values) at 12 and
//   120 thousand records, beside the external library's own binary writer on the same tree,
//   whose time grows with the square of the record count.
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include <plist/plist.h>

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

CDicValueObj Records(int count) {
    CDicValueObj list = CDicValueObj::MakeArray();
    bw::PlistArray& items = *list.Array();
    items.reserve(static_cast<size_t>(count));
    for (int i = 0; i < count; ++i) {
        CDicValueObj record = CDicValueObj::MakeDictionary();
        bw::PlistDictionary& entries = *record.Dictionary();
        entries.emplace_back("name", CDicValueObj::MakeString("IMG_" + std::to_string(i) + ".JPG"));
        entries.emplace_back("size", CDicValueObj::MakeInteger(int64_t{i} * 7919 % 9000000));
        entries.emplace_back("aspect", CDicValueObj::MakeReal(1.0 + (i % 1000) / 3000.0));
        bw::PlistCalendar date;
        date.year = 110 + i % 10;
        date.day = 1 + i % 28;
        date.second = i % 60;
        entries.emplace_back("created", CDicValueObj::MakeDate(date));
        entries.emplace_back("hidden", CDicValueObj::MakeBool(i % 10 == 0));
        entries.emplace_back("album", CDicValueObj::MakeString("Album " + std::to_string(i / 40)));
        entries.emplace_back("checksum",
                             CDicValueObj::MakeData(std::string(8, static_cast<char>(i))));
        entries.emplace_back("rating", CDicValueObj::MakeInteger(i % 6));
        items.push_back(std::move(record));
    }
    return list;
}

void BM_LibraryWriteRecords(benchmark::State& state) {
    const CDicValueObj list = Records(static_cast<int>(state.range(0)));
    size_t size = 0;
    for (auto _ : state) {
        std::string bytes;
        bw::writeBinary(list, bytes);
        if (bytes.empty()) state.SkipWithError("write");
        size = bytes.size();
        benchmark::DoNotOptimize(bytes);
    }
    state.counters["bytes"] = static_cast<double>(size);
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}

// The baseline: the external library's binary writer on the same records (the tree is built
// once, outside the timing).
void BM_LibplistWriteRecords(benchmark::State& state) {
    const int count = static_cast<int>(state.range(0));
    plist_t list = plist_new_array();
    for (int i = 0; i < count; ++i) {
        plist_t record = plist_new_dict();
        plist_dict_set_item(record, "name",
                            plist_new_string(("IMG_" + std::to_string(i) + ".JPG").c_str()));
        plist_dict_set_item(record, "size",
                            plist_new_uint(static_cast<uint64_t>(i) * 7919 % 9000000));
        plist_dict_set_item(record, "aspect", plist_new_real(1.0 + (i % 1000) / 3000.0));
        plist_dict_set_item(record, "created", plist_new_date(300000000 + i, 0));
        plist_dict_set_item(record, "hidden", plist_new_bool(i % 10 == 0));
        plist_dict_set_item(record, "album",
                            plist_new_string(("Album " + std::to_string(i / 40)).c_str()));
        const std::string checksum(8, static_cast<char>(i));
        plist_dict_set_item(record, "checksum", plist_new_data(checksum.data(), checksum.size()));
        plist_dict_set_item(record, "rating", plist_new_uint(static_cast<uint64_t>(i % 6)));
        plist_array_append_item(list, record);
    }
    for (auto _ : state) {
        char* bytes = nullptr;
        uint32_t length = 0;
        plist_to_bin(list, &bytes, &length);
        if (bytes == nullptr) state.SkipWithError("write");
        benchmark::DoNotOptimize(bytes);
        plist_to_bin_free(bytes);
    }
    plist_free(list);
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}

void RecordCounts(benchmark::internal::Benchmark* bench) {
    bench->ArgNames({"records"});
    for (int records :
         bw::bench::Quick() ? std::vector<int>{1200} : std::vector<int>{12000, 120000})
        bench->Arg(records);
    bench->Unit(benchmark::kMillisecond);
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
BENCHMARK(BM_LibraryWriteRecords)->Apply(RecordCounts);
// A single pass: the 120 thousand records take half a minute.
BENCHMARK(BM_LibplistWriteRecords)->Apply(RecordCounts)->Iterations(1);

}  // namespace

BENCHMARK_MAIN();

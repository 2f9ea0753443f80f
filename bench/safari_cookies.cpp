// Safari's cookie file of 100 thousand cookies in a thousand pages: read into the cookie tree,
// marked so that 1% of the cookies go, and written again, against reading and writing the same
// bytes with the same file calls in the same run (the floor any rewrite of the file stands on).
// The ratio of the two is the figure to watch; the aim is to stay within 5 times the floor.
#include <benchmark/benchmark.h>

#include <filesystem>
#include <string>

#include "formats/binary_cookies.h"
#include "platform/files.h"
#include "privacy/safari_cookie_junk.h"
#include "quick.h"
#include "sim_setup.h"

namespace {

const int kCookies = bw::bench::FullOrQuick(100000, 2000);
constexpr int kCookiesPerPage = 100;

bw::CookieRecord MakeRecord(int index) {
    const std::string site = ".site" + std::to_string(index / kCookiesPerPage) + ".example.com";
    bw::CookieRecord record;
    const std::string name = "cookie_" + std::to_string(index) + '\0';
    const std::string value(24 + index % 40, static_cast<char>('a' + index % 26));
    record.SetStrings({site + '\0', name, std::string_view("/\0", 2), value + '\0'});
    record.flags = {static_cast<uint8_t>(index % 2 == 0 ? 5 : 0), 0, 0, 0};
    record.expiration = {0, 0, 0, 0, 0x80, 0x84, 0xC7, 0x41};
    record.creation = {0, 0, 0, 0, 0x60, 0x84, 0xC7, 0x41};
    return record;
}

struct Setup {
    std::string folder;
    std::string original;  // the file's bytes
    std::string path;

    Setup() {
        folder = bw::bench::MakeTempFolder("cookies");
        bw::BinaryCookieFile file;
        for (int i = 0; i < kCookies; ++i) {
            if (i % kCookiesPerPage == 0) file.pages.emplace_back();
            file.pages.back().cookies.push_back(MakeRecord(i));
        }
        file.trailer = std::string("\0\0\x12\x34\x07\x17\x20\x05", 8);
        original = bw::WriteBinaryCookies(file);
        path = folder + "/Cookies.binarycookies";
    }
    ~Setup() { std::filesystem::remove_all(folder); }

    bool Restore() const { return bw::platform::WriteFileAtomic(path, original); }
};

Setup& TheSetup() {
    static Setup setup;
    return setup;
}

// Baseline: the same bytes read whole and written back through the file calls the scanner uses.
void BM_PlainReadAndWrite(benchmark::State& state) {
    Setup& s = TheSetup();
    if (!s.Restore()) return state.SkipWithError("cannot write the file");
    for (auto _ : state) {
        std::string bytes;
        if (!bw::platform::ReadWholeFile(s.path, bytes) ||
            !bw::platform::WriteFileAtomic(s.path, bytes)) {
            state.SkipWithError("read or write failed");
            break;
        }
    }
    state.counters["bytes"] = static_cast<double>(s.original.size());
}

// The scanner's worker: the file read into the tree, every cookie but each hundredth deselected
// as a host would through the cookie interface, and the clean that writes the rest.
void BM_ReadAndRewriteWithoutOnePercent(benchmark::State& state) {
    Setup& s = TheSetup();
    size_t left = 0;
    for (auto _ : state) {
        state.PauseTiming();
        if (!s.Restore()) {
            state.SkipWithError("cannot write the file");
            break;
        }
        state.ResumeTiming();
        bw::CSafariCookieJunk scanner;
        bw::CSafaricookieManage manage(s.path, scanner.Tree(), &scanner);
        manage.Read();
        ICookieModel& tree = scanner.Tree();
        int index = 0;
        for (int32_t p = 0; p < tree.GetPageCount(); ++p) {
            ICookiePageModel* page = tree.GetPage(p);
            for (int32_t c = 0; c < page->GetCookieCount(); ++c, ++index) {
                if (index % 100 != 0) page->GetCookie(c)->Select(1);
            }
        }
        if (!manage.Clean()) {
            state.SkipWithError("the clean did not write");
            break;
        }
        state.PauseTiming();
        left = scanner.Tree().CookieCount();
        state.ResumeTiming();
    }
    if (left != static_cast<size_t>(kCookies - kCookies / 100))
        state.SkipWithError("the wrong number of cookies is left");
    state.counters["cookies"] = kCookies;
    state.counters["left"] = static_cast<double>(left);
}

}  // namespace

BENCHMARK(BM_PlainReadAndWrite)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ReadAndRewriteWithoutOnePercent)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();

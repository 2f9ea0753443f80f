// Safari's history reader on any bytes as the working copy of "History.plist", then a clean of
// the pages the input's last byte selects: nothing crashes, the records number the pages 1, 2,
// 3..., and the file afterwards holds exactly the pages that were not removed.
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <string>

#include "formats/plist_library.h"
#include "fuzz_seeds.h"
#include "platform/files.h"
#include "privacy/web_history_junk.h"

namespace {

std::string gFolder;

std::string HistoryList(bool binary) {
    bw::CDicValueObj page = bw::CDicValueObj::MakeDictionary();
    page.Set("", bw::CDicValueObj::MakeString("https://example.com/"));
    page.Set("title", bw::CDicValueObj::MakeString("T\xc3\xaftle"));
    page.Set("visitCount", bw::CDicValueObj::MakeInteger(3));
    page.Set("lastVisitedDate", bw::CDicValueObj::MakeString("409612345.5"));
    page.Set("ID", bw::CDicValueObj::MakeInteger(1));
    bw::CDicValueObj pages = bw::CDicValueObj::MakeArray();
    pages.Array()->push_back(page);
    pages.Array()->push_back(bw::CDicValueObj::MakeString("not a page"));
    bw::CDicValueObj top = bw::CDicValueObj::MakeDictionary();
    top.Set("WebHistoryDates", pages);
    std::string bytes;
    binary ? bw::writeBinary(top, bytes) : bw::writeXmlutf8(top, bytes);
    return bytes;
}

size_t PageCount(const std::string& path) {
    bw::CDicValueObj tree;
    bw::readPlistFromFile(path, tree);
    const bw::CDicValueObj* pages = tree.Find("WebHistoryDates");
    if (pages == nullptr || pages->Array() == nullptr) std::abort();
    return pages->Array()->size();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    std::string pattern = "/tmp/bw-fuzz-history-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) std::abort();
    gFolder = pattern;
    bw::fuzz::MaybeWriteSeeds({HistoryList(true), HistoryList(false), "bplist00"});
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string path = gFolder + "/History.plist";
    if (!bw::platform::WriteFileAtomic(path, {reinterpret_cast<const char*>(data), size})) return 0;
    const uint8_t pattern = size > 0 ? data[size - 1] : 0;

    bw::CWebHistoryJunk scanner;
    bw::CWebHistoryManage manage(path, &scanner);
    manage.ReadHistory();
    const bw::ResultList& list = scanner.Results(kResultSafariHistory);
    size_t removable = 0;
    for (size_t i = 0; i < list.size(); ++i) {
        auto* page = list.At<bw::CHistoryDataModel>(i);
        if (page->GetSequenceNumber() != static_cast<int32_t>(i) + 1) std::abort();
        if (page->GetURL(nullptr) != page->url.size() + 2) std::abort();
        if (((pattern >> (i % 8)) & 1) != 0) page->Select(1);
        const bw::PlistArray* pages = manage.Tree().Find("WebHistoryDates")->Array();
        if (page->selected != 0 && (*pages)[page->element].GetInteger("ID").has_value())
            ++removable;
    }
    if (list.empty()) return 0;
    const size_t before = manage.Tree().Find("WebHistoryDates")->Array()->size();
    manage.RemoveSelected();
    if (PageCount(path) != before - removable) std::abort();
    bw::platform::RemoveFile(path);
    return 0;
}

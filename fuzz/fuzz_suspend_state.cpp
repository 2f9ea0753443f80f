// Safari's saved-tabs reader on any bytes as the working copy of "SuspendState.plist", then a
// clean of the tabs and pages the input's last byte selects: nothing crashes, every tab's total
// is the sum of its pages, and the file afterwards is a list again.
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <string>

#include "formats/plist_library.h"
#include "fuzz_seeds.h"
#include "platform/files.h"
#include "privacy/suspend_page_junk.h"

namespace {

std::string gFolder;

std::string StateList(bool binary) {
    bw::CDicValueObj entry = bw::CDicValueObj::MakeDictionary();
    entry.Set("", bw::CDicValueObj::MakeString("https://example.com/"));
    entry.Set("title", bw::CDicValueObj::MakeString("Ex\xc3\xa4mple"));
    entry.Set("scaleIsInitial", bw::CDicValueObj::MakeBool(true));
    bw::CDicValueObj entries = bw::CDicValueObj::MakeArray();
    entries.Array()->push_back(entry);
    entries.Array()->push_back(entry);
    bw::CDicValueObj backForward = bw::CDicValueObj::MakeDictionary();
    backForward.Set("entries", entries);
    bw::CDicValueObj tab = bw::CDicValueObj::MakeDictionary();
    tab.Set("SafariStateDocumentBackForwardList", backForward);
    tab.Set("SafariStateDocumentLastViewedTime", bw::CDicValueObj::MakeReal(409612345.25));
    tab.Set("SafariStateDocumentTitle", bw::CDicValueObj::MakeString("Example"));
    tab.Set("SafariStateDocumentUUID", bw::CDicValueObj::MakeString("A-B"));
    bw::CDicValueObj tabs = bw::CDicValueObj::MakeArray();
    tabs.Array()->push_back(tab);
    tabs.Array()->push_back(tab);
    bw::CDicValueObj top = bw::CDicValueObj::MakeDictionary();
    top.Set("SafariStateDocuments", tabs);
    std::string bytes;
    binary ? bw::writeBinary(top, bytes) : bw::writeXmlutf8(top, bytes);
    return bytes;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    std::string pattern = "/tmp/bw-fuzz-suspend-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) std::abort();
    gFolder = pattern;
    bw::fuzz::MaybeWriteSeeds({StateList(true), StateList(false), "bplist00"});
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string path = gFolder + "/SuspendState.plist";
    if (!bw::platform::WriteFileAtomic(path, {reinterpret_cast<const char*>(data), size})) return 0;
    const uint8_t pattern = size > 0 ? data[size - 1] : 0;

    bw::CSuspendPageJunk scanner;
    bw::CSuspendStateManage manage(path, &scanner);
    manage.ReadTabs();
    const bw::ResultList& list = scanner.Results(kResultSafariTabs);
    unsigned bit = 0;
    for (size_t i = 0; i < list.size(); ++i) {
        auto* tab = list.At<bw::CSuspendStateModel>(i);
        uint64_t sum = 0;
        for (int32_t e = 0; e < tab->GetEntryCount(); ++e) {
            IPageEntriesList* page = tab->GetEntry(e);
            sum += page->GetSize();
            if (((pattern >> (bit++ % 8)) & 1) != 0) page->Select(1);
        }
        if (sum != tab->GetTotalSize()) std::abort();
        if (((pattern >> (bit++ % 8)) & 1) != 0) tab->Select(1);
    }
    if (list.empty()) return 0;
    manage.RemoveSelected();
    bw::CDicValueObj after;
    bw::readPlistFromFile(path, after);
    if (after.type == bw::kPlistNone) std::abort();
    bw::platform::RemoveFile(path);
    return 0;
}

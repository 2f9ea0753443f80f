// Safari's saved open tabs through the scan session: the tabs of the deep clean's working copy of
// "SuspendState.plist" with their back-and-forward pages, and the file after a clean of whole
// tabs or single pages, read back with libplist.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "privacy/safari_test_support.h"
#include "privacy/suspend_page_junk.h"
#include "support/hostile_files.h"

namespace bw {
namespace {

using testing::BinaryOf;
using testing::ElementTexts;
using testing::Node;
using testing::ParseBytes;
using testing::Push;
using testing::Put;
using testing::Str;
using testing::Text;
using testing::XmlOf;

constexpr char kSuspendPath[] = "Library/Safari/SuspendState.plist";

struct EntryRow {
    const char* url;
    const char* title;
    bool scaleIsInitial;
};

plist_t MakeTab(const char* uuid, const char* title, double viewed, std::vector<EntryRow> entries) {
    plist_t list = plist_new_array();
    for (const EntryRow& row : entries) {
        plist_t entry = Put(plist_new_dict(), "", Str(row.url));
        Put(entry, "title", Str(row.title));
        Put(entry, "scaleIsInitial", plist_new_bool(row.scaleIsInitial ? 1 : 0));
        Put(entry, "scale", plist_new_real(1.0));
        Push(list, entry);
    }
    plist_t backForward = Put(plist_new_dict(), "current", plist_new_uint(0));
    Put(backForward, "entries", list);
    plist_t tab = plist_new_dict();
    Put(tab, "SafariStateDocumentBackForwardList", backForward);
    Put(tab, "SafariStateDocumentLastViewedTime", plist_new_real(viewed));
    Put(tab, "SafariStateDocumentTitle", Str(title));
    Put(tab, "SafariStateDocumentURL", Str(entries.empty() ? "" : entries.back().url));
    if (uuid != nullptr) Put(tab, "SafariStateDocumentUUID", Str(uuid));
    Put(tab, "SafariStateDocumentUserVisibleURL", Str("visible:" + std::string(title)));
    return tab;
}

Node MakeState(std::vector<plist_t> tabs) {
    plist_t documents = plist_new_array();
    for (plist_t tab : tabs)
        Push(documents, tab);
    plist_t top = Put(plist_new_dict(), "SafariStateDocuments", documents);
    Put(top, "SafariStateActiveDocumentIndex", plist_new_uint(1));
    return Node(top);
}

constexpr char kUuidA[] = "6F1D3E0A-1B2C-4D5E-8F90-A1B2C3D4E5F6";
constexpr char kUuidB[] = "0C9B8A7F-6E5D-4C3B-2A19-0817263544AB";
constexpr char kUuidC[] = "11111111-2222-4333-8444-555555555555";

// Tabs A (3 pages), B (4, the last two equal), something that is no tab, C (2), and a tab
// without an identifier.
Node TypicalState() {
    return MakeState({
        MakeTab(kUuidA, "Nachrichten \xe2\x80\x93 K\xc3\xb6ln", 409612345.0,
                {{"https://news.example.de/", "Nachrichten", true},
                 {"https://news.example.de/k\xc3\xb6ln", "K\xc3\xb6ln", false},
                 {"https://news.example.de/wetter", "Wetter", true}}),
        MakeTab(kUuidB, "\xe5\xa4\xa9\xe6\xb0\x94", 86400.0,
                {{"https://weather.example.cn/", "\xe5\xa4\xa9\xe6\xb0\x94", true},
                 {"https://weather.example.cn/a?b=%s", "it's \"%n\"", false},
                 {"https://weather.example.cn/../x", "Same", true},
                 {"https://weather.example.cn/../x", "Same", true}}),
        Str("not a tab"),
        MakeTab(kUuidC, "Maps", 31539661.0,
                {{"https://maps.example.com/", "Maps", true},
                 {"https://maps.example.com/route", "Route", false}}),
        MakeTab(nullptr, "Anonymous", 1.0, {{"https://anon.example.com/", "Anon", false}}),
    });
}

// The tab at `index` of `state` with the pages at `removed` taken out, as XML.
std::string TabWithout(plist_t state, uint32_t index, std::vector<uint32_t> removed) {
    Node tab(plist_copy(
        plist_array_get_item(plist_dict_get_item(state, "SafariStateDocuments"), index)));
    plist_t entries = plist_dict_get_item(
        plist_dict_get_item(tab.get(), "SafariStateDocumentBackForwardList"), "entries");
    for (auto it = removed.rbegin(); it != removed.rend(); ++it)
        plist_array_remove_item(entries, *it);
    return XmlOf(tab.get());
}

std::string TabOf(plist_t state, uint32_t index) {
    return TabWithout(state, index, {});
}

class SuspendStateTest : public testing::SafariSessionFixture {
  protected:
    void SetUp() override {
        SafariSessionFixture::SetUp();
        testing::UseTimeZone("EST5");
    }

    void Scan(const Node& state, std::string_view version = "6.1.3") {
        ScanBytes(BinaryOf(state.get()), version);
    }

    void ScanBytes(const std::string& bytes, std::string_view version = "6.1.3") {
        const bool ios7 = version.substr(0, 1) == "7";
        Prepare(ios7 ? kSafariAppDomain : kHomeDomain, kSuspendPath, bytes, version);
        session_.StartScan(kJunkSafariTabs);
        ASSERT_NE(dynamic_cast<CSuspendPageJunk*>(session_.Scanner()), nullptr);
    }

    ISuspendStateModel* Tab(int32_t index) {
        return static_cast<ISuspendStateModel*>(session_.GetResult0(index));
    }

    std::vector<std::string> DocumentsOnDisk() {
        return ArrayOnDisk("SafariStateDocuments", "SafariStateActiveDocumentIndex", 1);
    }

    // Clears tab `index`'s flag and deselects its first page.
    void Keep(int32_t index) {
        Tab(index)->Select(1);
        Tab(index)->GetEntry(0)->Select(1);
    }
};

TEST_F(SuspendStateTest, ScanListsTabsWithTheirPagesFromTheSafariDomainOfIos7) {
    const Node state = TypicalState();
    Scan(state, "7.1.2");
    ASSERT_EQ(session_.GetResultCount0(), 4);
    EXPECT_EQ(Tab(4), nullptr);

    ISuspendStateModel* a = Tab(0);
    EXPECT_EQ(Text(a, &ISuspendStateModel::GetTitle), u"Nachrichten – Köln");
    EXPECT_EQ(Text(a, &ISuspendStateModel::GetURL), u"https://news.example.de/wetter");
    EXPECT_EQ(Text(a, &ISuspendStateModel::GetUserVisibleURL), u"visible:Nachrichten – Köln");
    EXPECT_EQ(Text(a, &ISuspendStateModel::GetUUID), u"6F1D3E0A-1B2C-4D5E-8F90-A1B2C3D4E5F6");
    EXPECT_DOUBLE_EQ(a->GetLastViewedTime(), 409612345.0);
    // From local midnight of 2001-01-01, not converted from UTC.
    EXPECT_EQ(Text(a, &ISuspendStateModel::GetDateText), u"2013-12-24 21:12:25");
    EXPECT_EQ(Text(Tab(2), &ISuspendStateModel::GetDateText), u"2002-01-01 01:01:01");
    ASSERT_EQ(a->GetEntryCount(), 3);
    EXPECT_EQ(a->GetEntry(-1), nullptr);
    EXPECT_EQ(a->GetEntry(3), nullptr);
    IPageEntriesList* page = a->GetEntry(1);
    EXPECT_EQ(Text(page, &IPageEntriesList::GetURL), u"https://news.example.de/köln");
    EXPECT_EQ(Text(page, &IPageEntriesList::GetTitle), u"Köln");
    EXPECT_EQ(page->GetScaleIsInitial(), 0);
    EXPECT_EQ(a->GetEntry(0)->GetScaleIsInitial(), 1);
    // The bytes of the page's title and address.
    EXPECT_EQ(page->GetSize(), std::string("https://news.example.de/k\xc3\xb6ln").size() + 5);
    uint64_t sum = 0;
    for (int32_t i = 0; i < 3; ++i)
        sum += a->GetEntry(i)->GetSize();
    EXPECT_EQ(a->GetTotalSize(), sum);
    EXPECT_EQ(page->Select(0), 1);
    EXPECT_EQ(page->Select(1), 0);
    EXPECT_EQ(page->Select(1), 1);
    EXPECT_EQ(a->Select(0), 1);
    EXPECT_EQ(a->Select(1), 0);
    EXPECT_EQ(a->Select(1), 1);

    EXPECT_EQ(Text(Tab(3), &ISuspendStateModel::GetUUID), u"");
    uint64_t total = 0;
    int32_t pages = 0;
    for (int32_t i = 0; i < 4; ++i) {
        total += Tab(i)->GetTotalSize();
        pages += Tab(i)->GetEntryCount();
    }
    EXPECT_EQ(pages, 10);
    EXPECT_EQ(Status()->selectedCount, 10u);
    EXPECT_EQ(Status()->selectedSize, total);
    EXPECT_DOUBLE_EQ(Status()->progress, 100.0);
    EXPECT_EQ(Status()->finished, 1);
    EXPECT_EQ(Message(), u"Anonymous");
    ExpectSourceUntouched();
}

TEST_F(SuspendStateTest, ACleanRemovesFlaggedTabsWholeAndOnlyTheSelectedPagesOfOthers) {
    const Node state = TypicalState();
    const std::string notATab =
        XmlOf(plist_array_get_item(plist_dict_get_item(state.get(), "SafariStateDocuments"), 2));
    struct Case {
        const char* name;
        bool edit;
        std::vector<std::string> left;
        uint64_t selected;
    };
    const Case cases[] = {
        // With the scan's flags every tab that can be found again goes: what is no tab stays,
        // and so does the tab without an identifier.
        {"as scanned", false, {notATab, TabOf(state.get(), 4)}, 1},
        // A kept whole; B loses pages 1 and 3, and of its two equal pages the deselected one
        // stays; C keeps its flag and goes.
        {"edited",
         true,
         {TabOf(state.get(), 0), TabWithout(state.get(), 1, {1, 3}), notATab,
          TabOf(state.get(), 4)},
         10 - 4},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Reset();
        Scan(state);
        uint64_t gone = Tab(2)->GetTotalSize();
        if (c.edit) {
            Keep(0);
            for (int32_t i = 1; i < 3; ++i)
                Tab(0)->GetEntry(i)->Select(1);
            Keep(1);
            Tab(1)->GetEntry(2)->Select(1);
            gone += Tab(1)->GetEntry(1)->GetSize() + Tab(1)->GetEntry(3)->GetSize();
        } else {
            gone += Tab(0)->GetTotalSize() + Tab(1)->GetTotalSize();
        }
        // Deselecting is the host's own count; the clean subtracts what went.
        const uint64_t before = Status()->selectedSize;
        session_.StartClean();
        EXPECT_EQ(DocumentsOnDisk(), c.left);
        EXPECT_EQ(Status()->selectedCount, c.selected);
        EXPECT_EQ(Status()->selectedSize, before - gone);
        EXPECT_DOUBLE_EQ(Status()->progress, 100.0);
        EXPECT_EQ(Status()->finished, 1);
        EXPECT_EQ(Message(), u"Anonymous");
        ExpectSourceUntouched();
    }
}

TEST_F(SuspendStateTest, TabsSharingAnIdentifierEachFindTheFirstMatchingTab) {
    const Node original = MakeState({
        MakeTab(kUuidA, "First", 10.0, {{"https://1.example/", "one", true}}),
        MakeTab(kUuidA, "Second", 20.0,
                {{"https://2.example/a", "two a", true}, {"https://2.example/b", "two b", false}}),
        MakeTab(kUuidB, "Third", 30.0, {{"https://3.example/", "three", true}}),
    });
    struct Case {
        const char* name;
        std::vector<int32_t> kept;  // tabs whose flag is cleared and first page deselected
        std::vector<std::string> left;
    };
    const Case cases[] = {
        // Both flagged: the first removes the first tab, the second then finds its own.
        {"both flagged", {2}, {TabOf(original.get(), 2)}},
        // The second, flag cleared with page b selected, finds the first tab, which holds none
        // of its pages: nothing goes.
        {"both cleared",
         {0, 1, 2},
         ElementTexts(plist_dict_get_item(original.get(), "SafariStateDocuments"))},
        // Once the first is gone the second finds itself.
        {"first flagged", {1, 2}, {TabWithout(original.get(), 1, {1}), TabOf(original.get(), 2)}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Reset();
        ScanBytes(BinaryOf(original.get()));
        for (const int32_t index : c.kept)
            Keep(index);
        session_.StartClean();
        EXPECT_EQ(DocumentsOnDisk(), c.left);
        // A second clean does not take a remaining tab for one that went.
        session_.StartClean();
        EXPECT_EQ(DocumentsOnDisk(), c.left);
    }
}

TEST_F(SuspendStateTest, HostileFilesListWhatCanBeReadAndNeverCrash) {
    // Every level of a tab with the wrong type.
    plist_t oddEntry = Put(plist_new_dict(), "", plist_new_uint(3));
    Put(oddEntry, "title", plist_new_real(1.5));
    Put(oddEntry, "scaleIsInitial", Str("true"));
    plist_t oddEntries = Push(plist_new_array(), Str("not an entry"));
    Push(oddEntries, oddEntry);
    plist_t oddTab = Put(plist_new_dict(), "SafariStateDocumentTitle", plist_new_uint(7));
    Put(oddTab, "SafariStateDocumentLastViewedTime", Str("409612345"));
    Put(oddTab, "SafariStateDocumentUUID", plist_new_uint(1));
    Put(oddTab, "SafariStateDocumentBackForwardList", Put(plist_new_dict(), "entries", oddEntries));
    plist_t listArray = Put(plist_new_dict(), "SafariStateDocumentUUID", Str(kUuidC));
    Put(listArray, "SafariStateDocumentBackForwardList", Push(plist_new_array(), Str("x")));
    plist_t entriesDictionary = Put(plist_new_dict(), "SafariStateDocumentUUID", Str(kUuidB));
    Put(entriesDictionary, "SafariStateDocumentLastViewedTime", plist_new_real(1e300));
    Put(entriesDictionary, "SafariStateDocumentBackForwardList",
        Put(plist_new_dict(), "entries", plist_new_dict()));
    plist_t documents = Push(plist_new_array(), plist_new_uint(4));
    Push(documents, oddTab);
    Push(documents, listArray);
    Push(documents, entriesDictionary);
    Node wrongLevels(Put(plist_new_dict(), "SafariStateDocuments", documents));
    Node topArray(Push(plist_new_array(), Str("SafariStateDocuments")));
    Node documentsDictionary(Put(plist_new_dict(), "SafariStateDocuments", plist_new_dict()));
    Node noDocuments(Put(plist_new_dict(), "SafariStateActiveDocumentIndex", plist_new_uint(0)));
    const std::string full = BinaryOf(TypicalState().get());

    struct Case {
        const char* name;
        std::string bytes;
        int32_t tabs;
    };
    const Case cases[] = {
        {"not a list", "<?xml version=\"1.0\"?><plist><dict><key>a", 0},
        {"empty", "", 0},
        {"truncated", full.substr(0, full.size() / 3), 0},
        {"huge count", testing::HugeCountList("SafariStateDocuments"), 0},
        {"top level array", BinaryOf(topArray.get()), 0},
        {"documents a dictionary", BinaryOf(documentsDictionary.get()), 0},
        {"no documents", BinaryOf(noDocuments.get()), 0},
        {"wrong types inside", BinaryOf(wrongLevels.get()), 3},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Reset();
        ScanBytes(c.bytes);
        EXPECT_EQ(Status()->finished, 1);
        ASSERT_EQ(session_.GetResultCount0(), c.tabs);
        if (c.tabs == 3) {
            // The tab whose fields all have the wrong type: nothing readable but its one page.
            ISuspendStateModel* odd = Tab(0);
            EXPECT_EQ(Text(odd, &ISuspendStateModel::GetTitle), u"");
            EXPECT_EQ(Text(odd, &ISuspendStateModel::GetUUID), u"");
            EXPECT_EQ(Text(odd, &ISuspendStateModel::GetDateText), u"");
            ASSERT_EQ(odd->GetEntryCount(), 1);
            EXPECT_EQ(Text(odd->GetEntry(0), &IPageEntriesList::GetURL), u"");
            EXPECT_EQ(Text(odd->GetEntry(0), &IPageEntriesList::GetTitle), u"");
            EXPECT_EQ(odd->GetEntry(0)->GetScaleIsInitial(), 0);
            EXPECT_EQ(odd->GetTotalSize(), 0u);
            EXPECT_EQ(Tab(2)->GetEntryCount(), 0);  // "entries" a dictionary
            EXPECT_EQ(Text(Tab(2), &ISuspendStateModel::GetDateText), u"");  // 1e300 seconds
        }
        session_.StartClean();
        EXPECT_EQ(Status()->finished, 1);
        if (c.tabs == 0) {
            EXPECT_EQ(WorkingBytes(), c.bytes) << "nothing listed, nothing written";
        }
        ExpectSourceUntouched();
    }
    // Of the last case, the two tabs with a text identifier went whole; the tab whose identifier
    // is a number cannot be found again and stays, like what is no tab.
    Node after = ParseBytes(WorkingBytes());
    ASSERT_NE(after, nullptr);
    plist_t left = plist_dict_get_item(after.get(), "SafariStateDocuments");
    EXPECT_EQ(ElementTexts(left),
              (std::vector<std::string>{XmlOf(plist_array_get_item(documents, 0)), XmlOf(oddTab)}));
}

// Files a reader must refuse without waiting or filling memory: a named pipe, a link to an
// endless device, and a saved state just past the size a property list may have.
TEST(SuspendStateFiles, EndlessAndOversizedFilesAreNotRead) {
    testing::TempFolder folder;
    std::vector<std::string> paths = testing::EndlessFiles(folder.path());
    const std::string large = folder / "SuspendState.plist";
    ASSERT_TRUE(
        testing::MakeSparseFile(large, BinaryOf(TypicalState().get()), kPlistMaxInputBytes + 1));
    paths.push_back(large);
    for (const std::string& path : paths) {
        SCOPED_TRACE(path);
        ASSERT_FALSE(path.empty());
        CSuspendPageJunk scanner;
        CSuspendStateManage manage(path, &scanner);
        manage.ReadTabs();
        EXPECT_TRUE(scanner.Results(kResultSafariTabs).empty());
        manage.RemoveSelected();
        EXPECT_EQ(platform::FileSize(large), kPlistMaxInputBytes + 1) << "nothing written";
    }
}

}  // namespace
}  // namespace bw

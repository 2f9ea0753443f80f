// Safari's history through the scan session: the pages of the deep clean's working copy of
// "History.plist" as the host reads them, and the file after a clean, read back with libplist.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "privacy/safari_cookie_junk.h"
#include "privacy/safari_test_support.h"
#include "privacy/web_history_junk.h"
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

constexpr char kHistoryPath[] = "Library/Safari/History.plist";

struct PageRow {
    const char* url;
    const char* title;  // null: no title
    uint64_t visits;
    const char* date;  // null: no date
    bool withId;
};

// Elements 0 to 4 and 8 are pages with an integer "ID"; 5 has none; 6 is not a dictionary;
// 7 has a text "ID".
plist_t MakePage(const PageRow& row, uint64_t id) {
    plist_t page = plist_new_dict();
    Put(page, "", Str(row.url));
    if (row.title != nullptr) Put(page, "title", Str(row.title));
    if (row.date != nullptr) Put(page, "lastVisitedDate", Str(row.date));
    Put(page, "visitCount", plist_new_uint(row.visits));
    if (row.withId) Put(page, "ID", plist_new_uint(id));
    return page;
}

Node MakeHistory() {
    const PageRow rows[] = {
        {"https://www.example.com/", "Example Domain", 3, "409612345.5", true},
        {"https://de.example.org/k\xc3\xb6ln",
         "Gr\xc3\xbc\xc3\x9f"
         "e aus K\xc3\xb6ln",
         1, "86400", true},
        {"https://zh.example.net/", "\xe6\x98\x8e\xe5\xa4\xa9\xe8\xa7\x81", 12, "31539661", true},
        {"https://untitled.example.com/", nullptr, 1, nullptr, true},
        {"https://example.com/?q=%s&x=../", "it's \"100%\" ../../etc", 2, "-5", true},
        {"https://no-id.example.com/", "No identifier", 4, "123456789", false},
    };
    plist_t pages = plist_new_array();
    uint64_t id = 1;
    for (const PageRow& row : rows)
        Push(pages, MakePage(row, id++));
    Push(pages, Str("not a page"));
    plist_t textId =
        MakePage({"https://text-id.example.com/", "Text ID", 1, "441763200", false}, 0);
    Put(textId, "ID", Str("8"));
    Push(pages, textId);
    // More visits than a 32-bit count holds.
    Push(pages, MakePage({"https://example.com/last", "Last", uint64_t{1} << 40, "1", true}, 9));
    plist_t top = plist_new_dict();
    Put(top, "WebHistoryDates", pages);
    Put(top, "WebHistoryFileVersion", plist_new_uint(1));
    return Node(top);
}

class SafariHistoryTest : public testing::SafariSessionFixture {
  protected:
    void SetUp() override {
        SafariSessionFixture::SetUp();
        // Without summer time, so that a time counted from local midnight and one counted from
        // UTC midnight differ by exactly five hours all year.
        testing::UseTimeZone("EST5");
        history_ = MakeHistory();
    }

    void Scan(const std::string& bytes, std::string_view version = "6.1.3",
              std::string_view domain = kHomeDomain) {
        Prepare(domain, kHistoryPath, bytes, version);
        session_.StartScan(kJunkSafariHistory);
        ASSERT_NE(dynamic_cast<CWebHistoryJunk*>(session_.Scanner()), nullptr);
    }

    IHistoryDataModel* Page(int32_t index) {
        return static_cast<IHistoryDataModel*>(session_.GetResult0(index));
    }

    std::vector<std::u16string> Titles() {
        std::vector<std::u16string> titles;
        for (int32_t i = 0; i < session_.GetResultCount0(); ++i)
            titles.push_back(Text(Page(i), &IHistoryDataModel::GetTitle));
        return titles;
    }

    // The original elements at `indexes`, as XML texts.
    std::vector<std::string> Original(std::vector<uint32_t> indexes) {
        plist_t pages = plist_dict_get_item(history_.get(), "WebHistoryDates");
        std::vector<std::string> texts;
        for (uint32_t i : indexes)
            texts.push_back(XmlOf(plist_array_get_item(pages, i)));
        return texts;
    }

    std::vector<std::string> PagesOnDisk() {
        return ArrayOnDisk("WebHistoryDates", "WebHistoryFileVersion", 1);
    }

    Node history_;
};

TEST_F(SafariHistoryTest, ScanListsEveryPageWithItsFieldsAndCounts) {
    Scan(BinaryOf(history_.get()));
    ASSERT_EQ(session_.GetResultCount0(), 8);  // the element that is no dictionary is not a page
    EXPECT_EQ(session_.GetResult0(8), nullptr);
    EXPECT_EQ(session_.GetResult0(-1), nullptr);
    EXPECT_EQ(Titles(), (std::vector<std::u16string>{u"Example Domain", u"Grüße aus Köln",
                                                     u"明天见", u"", u"it's \"100%\" ../../etc",
                                                     u"No identifier", u"Text ID", u"Last"}));

    IHistoryDataModel* first = Page(0);
    EXPECT_EQ(Text(first, &IHistoryDataModel::GetURL), u"https://www.example.com/");
    EXPECT_EQ(first->GetVisitCount(), 3);
    EXPECT_DOUBLE_EQ(first->GetLastVisitTime(), 409612345.5);
    // From local midnight of 2001-01-01, not converted from UTC (that would read 16:12:25).
    EXPECT_EQ(Text(first, &IHistoryDataModel::GetDateText), u"2013-12-24 21:12:25");
    EXPECT_EQ(Text(Page(1), &IHistoryDataModel::GetURL), u"https://de.example.org/köln");
    EXPECT_EQ(Text(Page(1), &IHistoryDataModel::GetDateText), u"2001-01-02 00:00:00");
    EXPECT_EQ(Text(Page(2), &IHistoryDataModel::GetDateText), u"2002-01-01 01:01:01");
    // No date, and a negative one: no text.
    EXPECT_EQ(Text(Page(3), &IHistoryDataModel::GetDateText), u"");
    EXPECT_DOUBLE_EQ(Page(3)->GetLastVisitTime(), 0.0);
    EXPECT_EQ(Text(Page(4), &IHistoryDataModel::GetDateText), u"");
    EXPECT_EQ(Text(Page(4), &IHistoryDataModel::GetURL), u"https://example.com/?q=%s&x=../");
    EXPECT_EQ(Page(7)->GetVisitCount(), 2147483647);
    for (int32_t i = 0; i < 8; ++i) {
        EXPECT_EQ(Page(i)->GetSequenceNumber(), i + 1);
        EXPECT_EQ(Page(i)->Select(0), 1);
    }
    EXPECT_EQ(Page(0)->Select(1), 0);
    EXPECT_EQ(Page(0)->Select(0), 0);
    EXPECT_EQ(Page(0)->Select(1), 1);

    EXPECT_EQ(Status()->selectedCount, 8u);
    EXPECT_EQ(Status()->shownCount, 8u);
    EXPECT_DOUBLE_EQ(Status()->progress, 100.0);
    EXPECT_EQ(Status()->finished, 1);
    EXPECT_EQ(Status()->busy, 1);
    EXPECT_EQ(Message(), u"Start Scanning...");
    ExpectSourceUntouched();
}

TEST_F(SafariHistoryTest, CleanRemovesTheSelectedPagesThatCarryAnIdAndKeepsTheRestEqual) {
    // An XML file is read as well; the clean writes the content back, binary.
    Scan(XmlOf(history_.get()));
    ASSERT_EQ(session_.GetResultCount0(), 8);
    Page(1)->Select(1);
    Page(3)->Select(1);
    session_.StartClean();
    // Selected with an integer ID: elements 0, 2, 4 and 8. Selected without one (5, 7) stay, as
    // does the element that was never listed.
    EXPECT_EQ(PagesOnDisk(), Original({1, 3, 5, 6, 7}));
    EXPECT_EQ(Status()->selectedCount, 4u);
    EXPECT_DOUBLE_EQ(Status()->progress, 100.0);
    EXPECT_EQ(Status()->finished, 1);
    EXPECT_EQ(Status()->busy, 0);
    ExpectSourceUntouched();

    // The records of the pages that stayed still name them.
    Page(1)->Select(1);
    session_.StartClean();
    EXPECT_EQ(PagesOnDisk(), Original({3, 5, 6, 7}));

    // With nothing selected every page stays, in order.
    for (int32_t i = 0; i < 8; ++i) {
        if (Page(i)->Select(0) == 1) Page(i)->Select(1);
    }
    session_.StartClean();
    EXPECT_EQ(PagesOnDisk(), Original({3, 5, 6, 7}));
}

TEST_F(SafariHistoryTest, OnIos7TheSafariApplicationDomainIsReadAndCleaned) {
    plist_t pages = plist_new_array();
    Push(pages, MakePage({"https://home.example.com/", "Home domain", 1, "1", true}, 1));
    Node home(Put(plist_new_dict(), "WebHistoryDates", pages));
    WriteBackup({{kHomeDomain, kHistoryPath, BinaryOf(home.get())},
                 {kSafariAppDomain, kHistoryPath, BinaryOf(history_.get())}},
                "7.1.2");
    ASSERT_TRUE(SetUpTool(CConfigureTool::Instance(), "7.1.2"));
    domain_ = kSafariAppDomain;
    path_ = kHistoryPath;
    session_.StartScan(kJunkSafariHistory);
    ASSERT_EQ(session_.GetResultCount0(), 8);
    EXPECT_EQ(Text(Page(0), &IHistoryDataModel::GetTitle), u"Example Domain");
    session_.StartClean();
    EXPECT_EQ(PagesOnDisk(), Original({5, 6, 7}));
    EXPECT_FALSE(platform::PathExists(RestoreCopy() + "/" + FileName(kHomeDomain, kHistoryPath)));
}

TEST_F(SafariHistoryTest, AStopReachesTheWorkerAndAStoppedScanListsNothing) {
    Scan(BinaryOf(history_.get()));
    auto* scanner = dynamic_cast<CWebHistoryJunk*>(session_.Scanner());
    ASSERT_NE(scanner->Manage(), nullptr);
    scanner->Stop();
    scanner->ReleaseItems(kResultSafariHistory);
    scanner->Manage()->ReadHistory();
    EXPECT_TRUE(scanner->Results(kResultSafariHistory).empty());

    CWebHistoryJunk stopped;
    stopped.RequestStop();
    stopped.Scan(nullptr);
    EXPECT_EQ(stopped.Manage(), nullptr);
    EXPECT_TRUE(stopped.Results(kResultSafariHistory).empty());
    stopped.Clean();
    EXPECT_EQ(WorkingBytes(), BinaryOf(history_.get())) << "a clean of nothing writes nothing";
}

TEST_F(SafariHistoryTest, WithoutSafarisFilesEachScannerListsNothingAndFinishes) {
    WriteBackup({{kHomeDomain, "Library/Preferences/com.apple.mobilesafari.plist", "prefs"}});
    ASSERT_TRUE(SetUpTool(CConfigureTool::Instance()));
    before_ = testing::FingerprintTree(Source());
    session_.SetStatusRecord(Status());
    for (int32_t type : {kJunkSafariHistory, kJunkSafariTabs, kJunkSafariCookies}) {
        SCOPED_TRACE(type);
        Status()->finished = 0;
        session_.StartScan(type);
        EXPECT_EQ(Status()->finished, 1);
        EXPECT_EQ(session_.GetResultCount0(), 0);
        if (type == kJunkSafariCookies) {
            auto* tree = static_cast<ICookieModel*>(session_.GetCookieTree());
            ASSERT_NE(tree, nullptr);
            EXPECT_EQ(tree->GetPageCount(), 0);
        }
        session_.StartClean();
        EXPECT_EQ(Status()->finished, 1);
    }
    EXPECT_EQ(Status()->selectedCount, 0u);
    ExpectSourceUntouched();
}

TEST_F(SafariHistoryTest, HostileFilesListWhatCanBeReadAndNeverCrash) {
    plist_t wrongPage = plist_new_dict();
    Put(wrongPage, "", plist_new_uint(5));
    Put(wrongPage, "title", plist_new_uint(7));
    Put(wrongPage, "visitCount", Str("9"));
    Put(wrongPage, "lastVisitedDate", plist_new_real(3.5));
    Put(wrongPage, "ID", plist_new_uint(1));
    plist_t wrongTypes = plist_new_array();
    Push(wrongTypes, plist_new_uint(1));
    Push(wrongTypes, plist_new_bool(1));
    Push(wrongTypes, plist_new_array());
    Push(wrongTypes, wrongPage);
    plist_t outOfRange = Put(plist_new_dict(), "visitCount", plist_new_real(2.5));
    Push(wrongTypes, Put(outOfRange, "lastVisitedDate", Str("1e400")));
    Node wrongLevels(Put(plist_new_dict(), "WebHistoryDates", wrongTypes));
    Node topArray(Push(plist_new_array(), Str("WebHistoryDates")));
    Node datesDictionary(Put(plist_new_dict(), "WebHistoryDates", plist_new_dict()));
    Node datesText(Put(plist_new_dict(), "WebHistoryDates", Str("x")));
    Node noDates(Put(plist_new_dict(), "WebHistoryFileVersion", plist_new_uint(1)));
    const std::string full = BinaryOf(history_.get());

    struct Case {
        const char* name;
        std::string bytes;
        int32_t listed;
    };
    const Case cases[] = {
        {"not a list", "this is not a property list", 0},
        {"empty", "", 0},
        {"truncated", full.substr(0, full.size() / 2), 0},
        {"cut before the trailer", full.substr(0, full.size() - 1), 0},
        {"huge count", testing::HugeCountList("WebHistoryDates"), 0},
        {"top level array", BinaryOf(topArray.get()), 0},
        {"dates a dictionary", BinaryOf(datesDictionary.get()), 0},
        {"dates a text", BinaryOf(datesText.get()), 0},
        {"no dates", BinaryOf(noDates.get()), 0},
        {"wrong types inside", BinaryOf(wrongLevels.get()), 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Reset();
        Scan(c.bytes);
        EXPECT_EQ(Status()->finished, 1);
        ASSERT_EQ(session_.GetResultCount0(), c.listed);
        for (int32_t i = 0; i < c.listed; ++i) {
            EXPECT_EQ(Text(Page(i), &IHistoryDataModel::GetURL), u"");
            EXPECT_EQ(Text(Page(i), &IHistoryDataModel::GetDateText), u"");
            EXPECT_EQ(Page(i)->GetVisitCount(), 0);
        }
        session_.StartClean();
        EXPECT_EQ(Status()->finished, 1);
        if (c.listed == 0) {
            EXPECT_EQ(WorkingBytes(), c.bytes) << "nothing listed, nothing written";
        }
        ExpectSourceUntouched();
    }
    // The selected page with an ID went; the rest are as they were.
    Node after = ParseBytes(WorkingBytes());
    ASSERT_NE(after, nullptr);
    std::vector<std::string> expected = ElementTexts(wrongTypes);
    expected.erase(expected.begin() + 3);
    EXPECT_EQ(ElementTexts(plist_dict_get_item(after.get(), "WebHistoryDates")), expected);
}

// Files a reader must refuse without waiting or filling memory: a named pipe, a link to an
// endless device, and a history just past the size a property list may have.
TEST(SafariHistoryFiles, EndlessAndOversizedFilesAreNotRead) {
    testing::TempFolder folder;
    std::vector<std::string> paths = testing::EndlessFiles(folder.path());
    const std::string large = folder / "History.plist";
    ASSERT_TRUE(
        testing::MakeSparseFile(large, BinaryOf(MakeHistory().get()), kPlistMaxInputBytes + 1));
    paths.push_back(large);
    for (const std::string& path : paths) {
        SCOPED_TRACE(path);
        ASSERT_FALSE(path.empty());
        CWebHistoryJunk scanner;
        CWebHistoryManage manage(path, &scanner);
        manage.ReadHistory();
        EXPECT_TRUE(scanner.Results(kResultSafariHistory).empty());
        EXPECT_EQ(manage.Tree().type, kPlistNone);
    }
}

}  // namespace
}  // namespace bw

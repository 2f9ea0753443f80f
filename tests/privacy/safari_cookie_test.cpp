// The Safari cookie scanner: the tree the host reads from a cookie file the test builds, the
// clean's file compared with the file the test builds without the removed parts, hostile files
// left alone, and the whole run through the scan session over a backup folder.
#include "privacy/safari_cookie_junk.h"

#include <gtest/gtest.h>

#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "backup/configure_test_support.h"
#include "brackwater/scan.h"
#include "formats/cookie_file_builder.h"
#include "platform/files.h"
#include "privacy/safari_test_support.h"
#include "session/scan_device.h"
#include "support/canary.h"
#include "support/hostile_files.h"
#include "support/temp_folder.h"

namespace bw {
namespace {

using testing::CookieFileBytes;
using testing::CookieRecordBytes;
using testing::ReadFileBytes;
using testing::SampleCookiePages;
using testing::TestPage;
using testing::Text;

template <class Getter>
std::string CookieBytes(Getter getter) {
    std::string bytes(getter(nullptr), '#');
    getter(reinterpret_cast<unsigned char*>(bytes.data()));
    return bytes;
}

// Calls operation `slot` of `object` through its virtual table, as a host built against the
// public header does.
template <typename Result, typename... Arguments>
Result CallSlot(void* object, size_t slot, Arguments... arguments) {
    using Function = Result (*)(void*, Arguments...);
    void* const* table = *static_cast<void* const* const*>(object);
    return reinterpret_cast<Function>(table[slot])(object, arguments...);
}

std::u16string SlotText(void* object, size_t slot) {
    std::u16string text(CallSlot<size_t>(object, slot, static_cast<BwChar*>(nullptr)), u'#');
    CallSlot<size_t>(object, slot, text.data());
    return text.c_str();
}

std::string SlotBytes(void* object, size_t slot) {
    return CookieBytes([&](unsigned char* b) { return CallSlot<size_t>(object, slot, b); });
}

uint64_t RecordSizes(const std::vector<TestPage>& pages) {
    uint64_t size = 0;
    for (const TestPage& page : pages) {
        for (const auto& cookie : page.cookies)
            size += CookieRecordBytes(cookie).size();
    }
    return size;
}

class SafariCookieTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_FALSE(temp_.path().empty());
        path_ = temp_ / "Cookies.binarycookies";
        scanner_.SetStatusRecord(record());
    }

    void Write(const std::string& bytes) { ASSERT_TRUE(platform::WriteFileAtomic(path_, bytes)); }

    CSafaricookieManage& Read() {
        manage_ = std::make_unique<CSafaricookieManage>(path_, scanner_.Tree(), &scanner_);
        manage_->Read();
        return *manage_;
    }

    ICookieModel& Tree() { return *static_cast<ICookieModel*>(scanner_.CookieTree()); }
    BwScanStatus* record() { return reinterpret_cast<BwScanStatus*>(bytes_); }
    std::u16string Message() { return reinterpret_cast<const char16_t*>(record()->message); }

    testing::TempFolder temp_;
    std::string path_;
    alignas(8) unsigned char bytes_[sizeof(BwScanStatus)] = {};
    CSafariCookieJunk scanner_;
    std::unique_ptr<CSafaricookieManage> manage_;
};

// What a host built against the public header sees: each operation called through its slot.
TEST_F(SafariCookieTest, ReadingListsEveryPageAndTheInterfacesAnswerInTheirSlotOrder) {
    const std::vector<TestPage> pages = SampleCookiePages();
    Write(CookieFileBytes(pages, testing::kSampleTrailer));
    Read();
    void* tree = scanner_.CookieTree();
    EXPECT_EQ(CallSlot<int32_t>(tree, 1), 3);
    EXPECT_EQ(CallSlot<int64_t>(tree, 2), 0);
    EXPECT_EQ(SlotBytes(tree, 3), testing::kSampleTrailer);
    EXPECT_EQ(SlotBytes(tree, 4), "cook");
    EXPECT_EQ(Tree().GetPage(3), nullptr);
    EXPECT_EQ(Tree().GetPage(-1), nullptr);
    ICookiePageModel* empty = Tree().GetPage(1);
    EXPECT_EQ(empty->GetName(nullptr), 8u);  // "Page 1"
    EXPECT_EQ(empty->GetCookieCount(), 0);
    EXPECT_EQ(empty->GetCookie(0), nullptr);
    EXPECT_EQ(empty->GetPageSize(), 12u);
    EXPECT_EQ(Tree().GetPage(0)->GetCookieCount(), 2);
    EXPECT_EQ(Tree().GetPage(2)->GetCookie(3), nullptr);
    // Every cookie counts, with its record size; the last name read is shown.
    EXPECT_EQ(record()->selectedCount, 5u);
    EXPECT_EQ(record()->selectedSize, RecordSizes(pages));
    EXPECT_EQ(Message(), u"z");
    EXPECT_DOUBLE_EQ(record()->progress, 100.0);

    void* page = CallSlot<ICookiePageModel*>(tree, 0, int32_t{2});
    ASSERT_EQ(page, Tree().GetPage(2));
    EXPECT_EQ(CallSlot<int32_t>(page, 1), 3);
    EXPECT_EQ(SlotBytes(page, 2), pages[2].header);
    EXPECT_EQ(CallSlot<unsigned char>(page, 3, static_cast<unsigned char>(1)), 0);
    EXPECT_EQ(CallSlot<unsigned char>(page, 3, static_cast<unsigned char>(0)), 0);
    EXPECT_EQ(SlotText(page, 4), u"Page 2");
    EXPECT_EQ(CallSlot<uint32_t>(page, 5), testing::CookiePageBytes(pages[2]).size());
    EXPECT_EQ(SlotBytes(page, 6), pages[2].footer);

    void* cookie = CallSlot<ICookieContentModel*>(page, 0, int32_t{0});
    ASSERT_EQ(cookie, Tree().GetPage(2)->GetCookie(0));
    const testing::TestCookie& built = pages[2].cookies[0];
    EXPECT_EQ(CallSlot<uint32_t>(cookie, 0), 24u);
    EXPECT_EQ(CallSlot<uint32_t>(cookie, 1), CookieRecordBytes(built).size());
    EXPECT_EQ(SlotText(cookie, 2), CookieDateText(6.9e8));
    EXPECT_EQ(SlotText(cookie, 3), CookieDateText(7.0e8));
    EXPECT_NE(CookieDateText(6.9e8), CookieDateText(7.0e8));
    EXPECT_EQ(SlotBytes(cookie, 4), std::string(4, '\0'));
    EXPECT_EQ(CallSlot<unsigned char>(cookie, 5, static_cast<unsigned char>(1)), 0);
    EXPECT_EQ(CallSlot<unsigned char>(cookie, 5, static_cast<unsigned char>(1)), 1);
    EXPECT_EQ(SlotBytes(cookie, 6), built.name + '\0');
    EXPECT_EQ(CallSlot<uint32_t>(cookie, 7), 56u);
    EXPECT_EQ(SlotText(cookie, 8), u"na\u00efve");
    const char* name = nullptr;
    uint32_t offset = 0;
    std::string order;  // stored as name, value, URL, path: the pairs come by offset
    for (int32_t i = 0; i < 4; ++i) {
        ASSERT_EQ(CallSlot<unsigned char>(cookie, 9, i, &name, &offset), 1);
        order += std::string(name) + "@" + std::to_string(offset) + " ";
    }
    EXPECT_EQ(order, "name@56 value@63 url@69 path@82 ");
    EXPECT_EQ(CallSlot<unsigned char>(cookie, 9, int32_t{4}, &name, &offset), 0);
    EXPECT_EQ(CallSlot<int32_t>(cookie, 10), 4);
    EXPECT_EQ(SlotBytes(cookie, 11), built.path + '\0');
    EXPECT_EQ(CallSlot<uint32_t>(cookie, 12), 82u);
    EXPECT_EQ(SlotText(cookie, 13), u"/p");
    EXPECT_EQ(SlotBytes(cookie, 14), built.reserved1);
    EXPECT_EQ(SlotBytes(cookie, 15), built.url + '\0');
    EXPECT_EQ(CallSlot<uint32_t>(cookie, 16), 69u);
    EXPECT_EQ(SlotText(cookie, 17), u"news.example");
    EXPECT_EQ(SlotBytes(cookie, 18), built.value + '\0');
    EXPECT_EQ(CallSlot<uint32_t>(cookie, 19), 63u);
    EXPECT_EQ(SlotText(cookie, 20), u"caf\u00e9");
    EXPECT_EQ(SlotBytes(cookie, 21), built.endOfHeader);
    EXPECT_EQ(SlotBytes(cookie, 22), built.reserved2);
    EXPECT_EQ(CallSlot<double>(cookie, 23), 6.9e8);
    EXPECT_EQ(CallSlot<double>(cookie, 24), 7.0e8);
}

TEST_F(SafariCookieTest, DatesAreShownAsLocalTimeFrom2001) {
    EXPECT_EQ(CookieDateText(0.0), u"2001-01-01 00:00:00");
    EXPECT_EQ(CookieDateText(86400.0 * 31 + 3661.4), u"2001-02-01 01:01:01");
    EXPECT_EQ(CookieDateText(59.6), u"2001-01-01 00:01:00");
    EXPECT_EQ(CookieDateText(-1.0), u"2000-12-31 23:59:59");
    EXPECT_EQ(CookieDateText(std::numeric_limits<double>::quiet_NaN()), u"");
    EXPECT_EQ(CookieDateText(std::numeric_limits<double>::infinity()), u"");
    EXPECT_EQ(CookieDateText(1.0e300), u"");
}

TEST_F(SafariCookieTest, CleanWithEveryMarkAsScannedLeavesEmptyPagesOfTwelveBytes) {
    const std::vector<TestPage> pages = SampleCookiePages();
    Write(CookieFileBytes(pages, testing::kSampleTrailer));
    Read();
    EXPECT_TRUE(manage_->Clean());

    std::vector<TestPage> expected = pages;
    for (TestPage& page : expected)
        page.cookies.clear();
    EXPECT_EQ(ReadFileBytes(path_), CookieFileBytes(expected, testing::kSampleTrailer));
    for (int32_t p = 0; p < 3; ++p) {
        EXPECT_EQ(Tree().GetPage(p)->GetCookieCount(), 0);
        EXPECT_EQ(Tree().GetPage(p)->GetPageSize(), 12u);
    }
    EXPECT_EQ(record()->selectedCount, 0u);
    EXPECT_EQ(record()->selectedSize, 0u);
}

TEST_F(SafariCookieTest, AStopLeavesTheRestUnlistedButTheCleanWritesItBack) {
    const std::vector<TestPage> pages = SampleCookiePages();
    Write(CookieFileBytes(pages, testing::kSampleTrailer));
    manage_ = std::make_unique<CSafaricookieManage>(path_, scanner_.Tree(), &scanner_);
    int read = 0;
    manage_->afterEachCookie = [&] {
        if (++read == 1) scanner_.RequestStop();
    };
    manage_->Read();
    ASSERT_EQ(Tree().GetPageCount(), 1);
    EXPECT_EQ(Tree().GetPage(0)->GetCookieCount(), 1);
    EXPECT_EQ(record()->selectedCount, 1u);

    scanner_.ClearStop();
    EXPECT_TRUE(manage_->Clean());
    std::vector<TestPage> expected = pages;
    expected[0].cookies.erase(expected[0].cookies.begin());
    EXPECT_EQ(ReadFileBytes(path_), CookieFileBytes(expected, testing::kSampleTrailer));
    EXPECT_EQ(Tree().GetPage(0)->GetPageSize(), testing::CookiePageBytes(expected[0]).size());
}

TEST_F(SafariCookieTest, HostileFilesListNothingAndAreNotRewritten) {
    const std::string good = CookieFileBytes(SampleCookiePages(), "");
    std::string pastTheEnd = good;
    pastTheEnd[8] = '\x7F';  // the first page claims more bytes than follow
    const std::vector<std::string> files = {
        "",
        "cook",
        "kooc" + good.substr(4),
        good.substr(0, good.size() - 1),
        pastTheEnd,
        std::string("cook\xFF\xFF\xFF\xFF", 8),
    };
    for (const std::string& bytes : files) {
        SCOPED_TRACE(bytes.size());
        Write(bytes);
        Read();
        EXPECT_EQ(Tree().GetPageCount(), 0);
        EXPECT_FALSE(manage_->Clean());
        EXPECT_EQ(ReadFileBytes(path_), bytes);
    }
    EXPECT_EQ(record()->selectedCount, 0u);

    // Something that is not a regular file is not read.
    for (const std::string& endless : testing::EndlessFiles(temp_.path())) {
        if (endless.empty()) continue;
        manage_ = std::make_unique<CSafaricookieManage>(endless, scanner_.Tree(), &scanner_);
        manage_->Read();
        EXPECT_EQ(Tree().GetPageCount(), 0);
    }
}

TEST_F(SafariCookieTest, AFailedWriteLeavesTheFileAndTheTree) {
    const std::vector<TestPage> pages = SampleCookiePages();
    const std::string bytes = CookieFileBytes(pages, "");
    Write(bytes);
    Read();
    // The file's place is taken by a folder: nothing can replace it.
    ASSERT_TRUE(platform::RemoveFile(path_));
    ASSERT_TRUE(platform::CreateFolder(path_));
    EXPECT_FALSE(manage_->Clean());
    EXPECT_TRUE(platform::IsFolder(path_));
    EXPECT_EQ(Tree().GetPage(0)->GetCookieCount(), 2);
    EXPECT_EQ(record()->selectedCount, 5u);
}

// As a host runs it: the deep-clean configuration serves a working copy of the backup's cookie
// file, the session's cookie-tree slot shows it, the clean edits the copy, and completion
// writes the copy into the backup folder with a manifest that matches it.
class SafariCookieSessionTest : public testing::DeepCleanFixture {};

TEST_F(SafariCookieSessionTest, TheSessionScansMarksCleansAndTheBackupReceivesTheFile) {
    const std::vector<TestPage> pages = SampleCookiePages();
    WriteBackup({
        {"HomeDomain", "Library", "", true},
        {"HomeDomain", "Library/Cookies/Cookies.binarycookies",
         CookieFileBytes(pages, testing::kSampleTrailer)},
        {"HomeDomain", "Library/Preferences/com.example.plist", "kept"},
    });
    ASSERT_TRUE(SetUpTool(CConfigureTool::Instance()));
    const testing::TreeFingerprint before = testing::FingerprintTree(Source());

    CScanDevice session(nullptr);
    alignas(8) unsigned char bytes[sizeof(BwScanStatus)] = {};
    auto* status = reinterpret_cast<BwScanStatus*>(bytes);
    session.SetStatusRecord(status);
    session.StartScan(kJunkSafariCookies);
    ASSERT_NE(dynamic_cast<CSafariCookieJunk*>(session.Scanner()), nullptr);
    EXPECT_EQ(status->finished, 1);
    EXPECT_EQ(status->busy, 1);
    EXPECT_EQ(session.GetResultCount0(), 0);
    auto* tree = static_cast<ICookieModel*>(session.GetCookieTree());
    ASSERT_NE(tree, nullptr);
    ASSERT_EQ(tree->GetPageCount(), 3);
    EXPECT_EQ(status->selectedCount, 5u);

    // The shop page goes whole although its cookies are deselected: its mark is cleared. Of the
    // news page only the middle cookie goes.
    ICookiePageModel* shop = tree->GetPage(0);
    const uint32_t shopSize = shop->GetPageSize();
    shop->Keep(1);
    shop->GetCookie(0)->Select(1);
    shop->GetCookie(1)->Select(1);
    tree->GetPage(2)->GetCookie(0)->Select(1);
    tree->GetPage(2)->GetCookie(2)->Select(1);
    session.StartClean();
    EXPECT_EQ(status->finished, 1);
    EXPECT_EQ(testing::FingerprintTree(Source()), before);

    std::vector<TestPage> expected = {pages[1], pages[2]};
    expected[1].cookies.erase(expected[1].cookies.begin() + 1);
    const std::string expectedBytes = CookieFileBytes(expected, testing::kSampleTrailer);
    const std::string name = FileName("HomeDomain", "Library/Cookies/Cookies.binarycookies");
    EXPECT_EQ(ReadFileBytes(RestoreCopy() + "/" + name), expectedBytes);

    // The tree follows the file; the names stay those of the pages as read.
    EXPECT_EQ(tree->GetTotal(), -static_cast<int64_t>(shopSize));
    ASSERT_EQ(tree->GetPageCount(), 2);
    ICookiePageModel* left = tree->GetPage(1);
    EXPECT_EQ(Text(left, &ICookiePageModel::GetName), u"Page 2");
    ASSERT_EQ(left->GetCookieCount(), 2);
    EXPECT_EQ(Text(left->GetCookie(1), &ICookieContentModel::GetName), u"z");
    EXPECT_EQ(left->GetCookie(1)->GetOffset(),
              12 + 4 * 2 + CookieRecordBytes(pages[2].cookies[0]).size());
    EXPECT_EQ(left->GetPageSize(), testing::CookiePageBytes(expected[1]).size());
    // The shop page's cookies were never removed one by one: the count keeps them.
    EXPECT_EQ(status->selectedCount, 4u);
    EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t*>(status->message)), u"\u65e5\u672c");

    ASSERT_TRUE(CConfigureTool::Instance().Complete());
    EXPECT_EQ(ReadFileBytes(platform::JoinPath(Source(), name)), expectedBytes);
    EXPECT_EQ(ReadFileBytes(SourceFile("HomeDomain", "Library/Preferences/com.example.plist")),
              "kept");
    ExpectManifestMatchesFiles();
}

}  // namespace
}  // namespace bw

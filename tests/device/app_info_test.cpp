// Application records through the host's interface: two-call getters, selection, counters.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "brackwater/apps.h"
#include "brackwater/scan.h"
#include "device/app_info.h"

namespace bw {
namespace {

constexpr BwChar kUntouched = 0x7777;

std::vector<BwChar> Untouched(size_t size) {
    return std::vector<BwChar>(size, kUntouched);
}

// The host's two calls: measure, then copy into a buffer of exactly that size.
std::u16string TwoCalls(size_t (IAppInfo::*getter)(BwChar*), IAppInfo& record) {
    const size_t size = (record.*getter)(nullptr);
    std::vector<BwChar> buffer = Untouched(size);
    EXPECT_EQ((record.*getter)(buffer.data()), size);
    EXPECT_EQ(buffer[size - 2], 0);           // the terminating zero follows the text
    EXPECT_EQ(buffer[size - 1], kUntouched);  // and the spare character is never written
    return std::u16string(buffer.data(), size - 2);
}

TEST(AppInfoModel, NameAndIdentifierFollowTheTwoCallRule) {
    CAppInfoModel model("", "Notes", "com.example.notes");
    IAppInfo& record = model;
    EXPECT_EQ(record.GetName(nullptr), 7u);  // five characters plus 2
    EXPECT_EQ(TwoCalls(&IAppInfo::GetName, record), u"Notes");
    EXPECT_EQ(record.GetIdentifier(nullptr), 19u);
    EXPECT_EQ(TwoCalls(&IAppInfo::GetIdentifier, record), u"com.example.notes");
}

TEST(AppInfoModel, NamesCountUtf16Characters) {
    // "é" is one UTF-16 character, the emoji two (a surrogate pair).
    CAppInfoModel model("", "Caf\xC3\xA9 \xF0\x9F\x98\x80", "x");
    EXPECT_EQ(model.GetName(nullptr), 7u + 2u);
    EXPECT_EQ(TwoCalls(&IAppInfo::GetName, model), u"Café 😀");
    CAppInfoModel empty;
    EXPECT_EQ(empty.GetName(nullptr), 2u);
    EXPECT_EQ(TwoCalls(&IAppInfo::GetName, empty), u"");
}

TEST(AppInfoModel, IconBytesIncludingZerosAreCopied) {
    const std::string png("\x89PNG\r\n\x1a\n\0\0\0\rIHDR", 16);
    CAppInfoModel model(png, "Maps", "com.example.maps");
    IAppInfo& record = model;
    ASSERT_EQ(record.GetIconData(nullptr), png.size());
    std::string copy(png.size() + 1, '#');
    EXPECT_EQ(record.GetIconData(reinterpret_cast<unsigned char*>(copy.data())), png.size());
    EXPECT_EQ(copy.substr(0, png.size()), png);
    EXPECT_EQ(copy.back(), '#');

    CAppInfoModel noIcon("", "Plain", "com.example.plain");
    unsigned char byte = 0x55;
    EXPECT_EQ(noIcon.GetIconData(nullptr), 0u);
    EXPECT_EQ(noIcon.GetIconData(&byte), 0u);
    EXPECT_EQ(byte, 0x55);
}

TEST(AppInfoModel, SelectionTogglesOnlyOnRequestAndCountersAreZero) {
    CAppInfoModel model("", "Notes", "com.example.notes");
    IAppInfo& record = model;
    EXPECT_EQ(record.Selected(0), 0);
    EXPECT_EQ(record.Selected(1), 1);
    EXPECT_EQ(record.Selected(0), 1);
    EXPECT_EQ(record.Selected(0xFF), 0);
    EXPECT_EQ(record.GetItem(0), nullptr);
    EXPECT_EQ(record.GetItem(-1), nullptr);
    EXPECT_EQ(record.GetItemCount(), 0);
    EXPECT_EQ(record.GetTotalSize(), 0u);
    EXPECT_EQ(record.GetKindCount(), 0);
    EXPECT_EQ(record.GetTotalSizeSecondEntry(), 0u);
}

TEST(AppInfoText, TwoCallHelpersWriteNothingWithoutABuffer) {
    EXPECT_EQ(CopyTwoCallText("abc", nullptr), 5u);
    std::vector<BwChar> buffer = Untouched(5);
    EXPECT_EQ(CopyTwoCallText("abc", buffer.data()), 5u);
    EXPECT_EQ(std::u16string(buffer.data(), 4), std::u16string(u"abc\0", 4));
    EXPECT_EQ(buffer[4], kUntouched);
    // Broken UTF-8 still converts (to U+FFFD) rather than cutting the text short.
    EXPECT_EQ(CopyTwoCallText("a\xFF"
                              "b",
                              nullptr),
              5u);
    EXPECT_EQ(CopyTwoCallBytes("xyz", nullptr), 3u);
}

// A file record of the scan's kind that counts its destructions.
class CountedFile : public IAppDetailFile {
  public:
    CountedFile(int* destroyed, uint64_t size) : destroyed_(destroyed), size_(size) {}
    ~CountedFile() override { ++*destroyed_; }
    size_t GetName(BwChar* buffer) override { return CopyTwoCallText("f", buffer); }
    size_t GetPath(BwChar* buffer) override { return CopyTwoCallText("/tmp/f", buffer); }
    uint64_t GetSize() override { return size_; }
    unsigned char Select(unsigned char) override { return 1; }
    unsigned char GetFlag() override { return 0; }
    size_t GetDisplayPath(BwChar* buffer) override { return CopyTwoCallText("/tmp/f", buffer); }

  private:
    int* destroyed_;
    uint64_t size_;
};

TEST(AppInfoRecord, OwnsItsFilesAndHandsThemOutByIndex) {
    int destroyed = 0;
    {
        auto info = std::make_unique<CAppInfo>();
        info->AddItem(std::make_unique<CountedFile>(&destroyed, 10));
        info->AddItem(std::unique_ptr<CountedFile>());  // nothing to own
        info->AddItem(std::make_unique<CountedFile>(&destroyed, 20));
        ASSERT_EQ(info->items.size(), 2u);
        IAppInfo& record = *info;
        ASSERT_NE(record.GetItem(0), nullptr);
        EXPECT_EQ(record.GetItem(0)->GetSize(), 10u);
        EXPECT_EQ(record.GetItem(1)->GetSize(), 20u);
        EXPECT_EQ(record.GetItem(2), nullptr);
        EXPECT_EQ(record.GetItem(-1), nullptr);
        EXPECT_EQ(destroyed, 0);
        // Destroyed through the interface, as a scan's result list destroys its records.
        std::unique_ptr<IAppInfo> owned(info.release());
    }
    EXPECT_EQ(destroyed, 2);
}

}  // namespace
}  // namespace bw

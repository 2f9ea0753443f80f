// The scan session and the scanner base as a host sees them: the status record's bytes, the
// result records' getters, the result slots, the application list and the junk-type table.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "brackwater/scan.h"
#include "scan/media_junk.h"
#include "scan/radio_junk.h"
#include "scanner/device_junk.h"
#include "scanner/scan_records.h"
#include "session/scan_device.h"

namespace bw {
namespace {

// The record as raw bytes, read at the offsets the host relies on.
struct RawRecord {
    alignas(8) unsigned char bytes[552];

    BwScanStatus* record() { return reinterpret_cast<BwScanStatus*>(bytes); }
    double Progress() const { return Read<double>(0); }
    uint32_t SelectedCount() const { return Read<uint32_t>(528); }
    uint32_t ShownCount() const { return Read<uint32_t>(532); }
    uint64_t SelectedSize() const { return Read<uint64_t>(536); }
    uint32_t Extra() const { return Read<uint32_t>(544); }
    uint8_t Finished() const { return bytes[548]; }
    uint8_t Busy() const { return bytes[549]; }
    std::u16string Message() const {
        std::u16string text;
        for (size_t offset = 8; offset < 528; offset += 2) {
            const char16_t c = Read<char16_t>(offset);
            if (c == 0) break;
            text += c;
        }
        return text;
    }
    template <class T>
    T Read(size_t offset) const {
        T value;
        std::memcpy(&value, bytes + offset, sizeof value);
        return value;
    }
};

// A scanner that finds what the test tells it, so that the base's bookkeeping can be watched.
class ListedJunk : public CDeviceJunk {
  public:
    void Scan(CIPhone*) override {}
    void Clean() override {}
};

TEST(ScanStatusRecord, WritesLandAtTheirOffsets) {
    RawRecord raw;
    std::memset(raw.bytes, 0xAB, sizeof raw.bytes);
    ListedJunk junk;
    // Without a record nothing is written and the counts still add.
    junk.SetMessage(u"x");
    junk.AdjustSelection(3, 30, true);
    junk.SetFinished();
    EXPECT_EQ(junk.SelectedCount(), 3u);
    EXPECT_EQ(junk.SelectedSize(), 30u);
    junk.SetStatusRecord(raw.record());
    EXPECT_EQ(raw.Finished(), 0xAB);
    junk.SetTotals(7, 0x0102030405060708ull, 3);
    EXPECT_EQ(raw.SelectedCount(), 7u);
    EXPECT_EQ(raw.SelectedSize(), 0x0102030405060708ull);
    EXPECT_EQ(raw.Extra(), 3u);
    EXPECT_EQ(raw.ShownCount(), 0xABABABABu);  // SetTotals leaves the shown count alone

    junk.AdjustSelection(2, 100, true);
    EXPECT_EQ(raw.SelectedCount(), 9u);
    EXPECT_EQ(raw.ShownCount(), 9u);
    EXPECT_EQ(raw.SelectedSize(), 0x0102030405060708ull + 100);
    junk.AdjustSelection(4, 0x0102030405060708ull, false);
    EXPECT_EQ(raw.SelectedCount(), 5u);
    EXPECT_EQ(raw.ShownCount(), 5u);
    EXPECT_EQ(raw.SelectedSize(), 100u);
    EXPECT_EQ(raw.Extra(), 3u);
    // Subtracting more than is counted stops at zero instead of wrapping.
    junk.AdjustSelection(50, 5000, false);
    EXPECT_EQ(raw.SelectedCount(), 0u);
    EXPECT_EQ(raw.SelectedSize(), 0u);

    junk.SetFinished();
    EXPECT_EQ(raw.Finished(), 1);
    junk.SetBusy(1);
    EXPECT_EQ(raw.Busy(), 1);
    junk.SetProgress(42.5f);
    EXPECT_DOUBLE_EQ(raw.Progress(), 42.5);
    // The two bytes after the flags are the host's; nothing writes them.
    EXPECT_EQ(raw.bytes[550], 0xAB);
    EXPECT_EQ(raw.bytes[551], 0xAB);
}

TEST(ScanStatusRecord, MessagesUpTo259CharactersAreShownLongerOnesAreNot) {
    RawRecord raw{};
    ListedJunk junk;
    junk.SetStatusRecord(raw.record());
    junk.SetMessage(u"Scanning...");
    EXPECT_EQ(raw.Message(), u"Scanning...");
    const std::u16string longest(259, u'x');
    junk.SetMessage(longest);
    EXPECT_EQ(raw.Message(), longest);
    EXPECT_EQ(raw.Read<char16_t>(8 + 259 * 2), 0);
    junk.SetMessage(u"short");
    EXPECT_EQ(raw.Message(), u"short");
    EXPECT_EQ(raw.Read<char16_t>(8 + 5 * 2), 0);
    junk.SetMessage(std::u16string(260, u'y'));
    EXPECT_EQ(raw.Message(), u"short");
    junk.SetMessageUtf8("Caf\xc3\xa9.log");
    EXPECT_EQ(raw.Message(), u"Caf\u00e9.log");
}

// Texts follow the two-call rule (the size with room for the zero, then the text and nothing
// beyond it); every kind of record starts selected and toggles only when asked to.
TEST(ScanRecords, TextsAndSelection) {
    CScanFileInfo file("abc", "/Downloads/sub/abc", 1234);
    EXPECT_EQ(file.GetName(nullptr), 5u);
    char16_t buffer[64];
    std::fill(std::begin(buffer), std::end(buffer), u'#');
    EXPECT_EQ(file.GetName(buffer), 5u);
    EXPECT_EQ(std::u16string(buffer), u"abc");
    EXPECT_EQ(buffer[4], u'#');
    EXPECT_EQ(file.GetPath(buffer), 20u);
    EXPECT_EQ(std::u16string(buffer), u"/Downloads/sub/abc");
    EXPECT_EQ(CScanFileInfo("", "", 0).GetName(buffer), 2u);
    EXPECT_EQ(buffer[0], 0);
    EXPECT_EQ(CRadioHistoryModel().GetTitle(nullptr), 2u);

    // The display path drops the container's prefix, when the path has it.
    CAppDetailFile detail("c.db", "/var/mobile/Applications/U/Library/Caches/c.db", 9,
                          "/var/mobile/Applications/U");
    EXPECT_EQ(detail.GetDisplayPath(nullptr), std::u16string(u"/Library/Caches/c.db").size() + 2);
    detail.GetDisplayPath(buffer);
    EXPECT_EQ(std::u16string(buffer), u"/Library/Caches/c.db");
    detail.GetPath(buffer);
    EXPECT_EQ(std::u16string(buffer), u"/var/mobile/Applications/U/Library/Caches/c.db");
    CAppDetailFile other("c.db", "/Library/Caches/c.db", 9, "/elsewhere");
    other.GetDisplayPath(buffer);
    EXPECT_EQ(std::u16string(buffer), u"/Library/Caches/c.db");

    const auto togglesOnRequest = [](auto& record) {
        EXPECT_EQ(record.Select(0), 1);
        EXPECT_EQ(record.Select(1), 0);
        EXPECT_EQ(record.Select(0), 0);
        EXPECT_EQ(record.GetFlag(), 0);
        EXPECT_EQ(record.Select(7), 1);
    };
    togglesOnRequest(file);
    togglesOnRequest(detail);
    CRadioHistoryModel row;
    EXPECT_EQ(row.Select(0), 1);
    EXPECT_EQ(row.Select(1), 0);
}

TEST(ScanSession, RegisteringARecordZeroesItAndNullKeepsIt) {
    CScanDevice session(nullptr);
    RawRecord raw;
    std::memset(raw.bytes, 0x5A, sizeof raw.bytes);
    session.SetStatusRecord(raw.record());
    for (unsigned char byte : raw.bytes)
        ASSERT_EQ(byte, 0);
    session.SetStatusRecord(nullptr);
    session.StartScan(kJunkDownloads);  // no device: finds nothing, still finishes
    EXPECT_EQ(raw.Finished(), 1);
    EXPECT_EQ(raw.Busy(), 1);
    EXPECT_EQ(raw.Progress(), 0.0);
    session.StartClean();
    EXPECT_EQ(raw.Busy(), 0);
    EXPECT_EQ(raw.Finished(), 1);
}

TEST(ScanSession, ARecordRegisteredAfterTheScanReceivesTheClean) {
    CScanDevice session(nullptr);
    RawRecord first{}, second{};
    session.SetStatusRecord(first.record());
    session.StartScan(kJunkGeneralStorage);
    session.SetStatusRecord(second.record());
    first.bytes[548] = 0;
    session.StartClean();
    EXPECT_EQ(second.Finished(), 1);
    EXPECT_EQ(first.Finished(), 0);
}

TEST(ScanSession, UnlistedTypesCreateNoScanner) {
    CScanDevice session(nullptr);
    RawRecord raw{};
    session.SetStatusRecord(raw.record());
    for (int32_t type : {-1, 19, 1000}) {
        SCOPED_TRACE(type);
        session.StartScan(kJunkCrashLogs);
        ASSERT_NE(session.Scanner(), nullptr);
        raw.bytes[548] = 0;
        session.StartScan(type);
        EXPECT_EQ(session.Scanner(), nullptr);
        EXPECT_EQ(session.JunkType(), type);
        EXPECT_EQ(raw.Finished(), 0);  // nothing ran
        EXPECT_EQ(session.GetResultCount0(), 0);
        EXPECT_EQ(session.GetResult0(0), nullptr);
        EXPECT_EQ(session.GetCookieTree(), nullptr);
        session.StartClean();
        session.StopScan();
        EXPECT_EQ(raw.Finished(), 0);
    }
}

TEST(ScanSession, RegisteredTypesCreateTheirScanner) {
    CScanDevice session(nullptr);
    session.StartScan(kJunkCrashLogs);
    EXPECT_NE(dynamic_cast<CCrashLogJunk*>(session.Scanner()), nullptr);
    session.StartScan(kJunkDownloads);
    EXPECT_NE(dynamic_cast<CDownloadsTempJunk*>(session.Scanner()), nullptr);
    session.StartScan(kJunkPhotoThumbnails);
    EXPECT_NE(dynamic_cast<CPhotosJunk*>(session.Scanner()), nullptr);
    session.StartScan(kJunkGeneralStorage);
    EXPECT_NE(dynamic_cast<CStorageJunk*>(session.Scanner()), nullptr);
    session.StartScan(kJunkRadioHistory);
    EXPECT_NE(dynamic_cast<CRadioTempJunk*>(session.Scanner()), nullptr);
    EXPECT_NE(session.GetCookieTree(), nullptr);
}

TEST(ScanSession, ExtendedTypesAreNineToNineteen) {
    CScanDevice session(nullptr);
    EXPECT_EQ(session.IsExtendedType(), 0);  // a new session has type 0
    for (int32_t type = -2; type <= 21; ++type) {
        session.StartScan(type);
        EXPECT_EQ(session.IsExtendedType(), type >= 9 && type <= 19 ? 1 : 0) << type;
    }
}

TEST(ScanSession, SetAppListAppendsNonNullEntriesInOrder) {
    CScanDevice session(nullptr);
    const BwChar* first[] = {u"com.a", nullptr, u"com.b"};
    session.SetAppList(first, 3);
    const BwChar* second[] = {u"com.c"};
    session.SetAppList(second, 1);
    session.SetAppList(second, 0);
    session.SetAppList(second, -4);
    session.SetAppList(nullptr, 2);
    EXPECT_EQ(session.AppList(), (std::vector<std::u16string>{u"com.a", u"com.b", u"com.c"}));
}

TEST(ScanSession, StopWithoutScannerDoesNothingAndAStopStaysWithItsScanner) {
    CScanDevice session(nullptr);
    session.StopScan();
    session.StartScan(kJunkGeneralStorage);
    session.StopScan();
    EXPECT_TRUE(session.Scanner()->StopRequested());
    session.StartScan(kJunkGeneralStorage);  // a fresh scanner starts unstopped
    EXPECT_FALSE(session.Scanner()->StopRequested());
}

TEST(ScanResultList, SlotsAnswerWithinTheirBoundsOnly) {
    ResultList list;
    auto* first = list.Append<IScanFileInfo>(std::make_unique<CScanFileInfo>("a", "/a", 1));
    auto* second = list.Append<IScanFileInfo>(std::make_unique<CScanFileInfo>("b", "/b", 2));
    EXPECT_EQ(list.HostAt(0), static_cast<IScanFileInfo*>(first));
    EXPECT_EQ(list.HostAt(1), static_cast<IScanFileInfo*>(second));
    EXPECT_EQ(list.HostAt(2), nullptr);
    EXPECT_EQ(list.HostAt(-1), nullptr);
    EXPECT_EQ(list.At<CScanFileInfo>(1)->size, 2u);
    list.Release();
    EXPECT_TRUE(list.empty());
    EXPECT_EQ(list.HostAt(0), nullptr);
}

}  // namespace
}  // namespace bw

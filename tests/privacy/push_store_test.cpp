// Push stores: the notifications of a store decoded from keyed archives that libplist writes, the
// date texts in the host's time zone, the stores of a backup listed through the scan session
// (with and without a phone for the icons), the stores that the simulated phone itself writes,
// and a clean that takes exactly the selected stores out of the backup.
#include "privacy/app_notification_junk.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "backup/configure_test_support.h"
#include "backup/manifest.h"
#include "brackwater/privacy.h"
#include "brackwater/scan.h"
#include "image/image_builder.h"
#include "platform/text.h"
#include "privacy/springboard_test_support.h"
#include "session/scan_device.h"
#include "support/keyed_archive_builder.h"
#include "support/test_images.h"

namespace bw {
namespace {

using testing::KeyedArchiveBuilder;
using testing::ReadFileBytes;
using testing::Text;
using testing::UseTimeZone;

constexpr char kStores[] = "Library/SpringBoard/PushStore/";

// Two notifications of "Mail" and one whose title changes the store's name.
std::string TwoTitles() {
    KeyedArchiveBuilder archive;
    const uint64_t root = archive.Array(
        "NSMutableArray",
        {archive.Notification("New mail: 50% \"off\"", 417000000.5, "Mail"),
         archive.String("not a notification"), archive.Notification("Re: ../../x", 0.0, "Mail 2")});
    return archive.Bytes(root);
}

TEST(PushStoreRead, NotificationsBecomeMessagesAndTheLastTitleNamesTheStore) {
    UseTimeZone("UTC0");
    CAppPushStoreModel store;
    ASSERT_TRUE(ReadPushStore(TwoTitles(), store));
    ASSERT_EQ(store.GetMessageCount(), 2);
    IPushMessageModel* first = store.GetMessage(0);
    EXPECT_EQ(Text(first, &IPushMessageModel::GetMessageText), u"New mail: 50% \"off\"");
    EXPECT_EQ(first->GetCreationTime(), 417000000.5);
    // 417000000 s after 2001-01-01 00:00:00.
    EXPECT_EQ(Text(first, &IPushMessageModel::GetDateText), u"2014-03-20 09:20:00");
    EXPECT_EQ(Text(store.GetMessage(1), &IPushMessageModel::GetDateText), u"2001-01-01 00:00:00");
    EXPECT_EQ(Text(&store, &IAppPushStoreModel::GetDisplayName), u"Mail 2");
    EXPECT_EQ(store.GetMessage(2), nullptr);
    EXPECT_EQ(store.GetMessage(-1), nullptr);
}

TEST(PushStoreRead, DateTextsCountFromMidnightOfTheHostsZone) {
    // Half past five ahead of UTC: the reference midnight is local, so the text does not move.
    UseTimeZone("IST-5:30");
    EXPECT_EQ(ReferenceDateText(417000000.0), u"2014-03-20 09:20:00");
    EXPECT_EQ(ReferenceDateText(-86400.0), u"2000-12-31 00:00:00");
    // Values no calendar holds are clamped, not undefined.
    EXPECT_FALSE(ReferenceDateText(1e300).empty());
    EXPECT_FALSE(ReferenceDateText(std::nan("")).empty());
}

TEST(PushStoreRead, StoresThatHoldNoNotificationsStayListedUnlessTheArchiveIsEmpty) {
    KeyedArchiveBuilder archive;
    const uint64_t dictionaryRoot =
        archive.Dictionary("NSDictionary", {archive.String("k")}, {archive.String("v")});
    struct Case {
        std::string name, bytes;
        bool listed;
    };
    const Case cases[] = {
        {"empty file", "", true},
        {"not a list", "garbage", true},
        {"root is a dictionary", archive.Bytes(dictionaryRoot), true},
        {"root past the end", archive.Bytes(100000), false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        CAppPushStoreModel store;
        EXPECT_EQ(ReadPushStore(c.bytes, store), c.listed);
        EXPECT_EQ(store.GetMessageCount(), 0);
    }
}

class PushStoreTest : public testing::DeepCleanFixture {
  protected:
    static std::string Store(const std::string& identifier) {
        return std::string(kStores) + identifier + ".pushstore";
    }

    void WriteStores(const std::string& version = "6.1.3") {
        KeyedArchiveBuilder chat;
        const std::string chatBytes = chat.Bytes(
            chat.Array("NSMutableArray", {chat.Notification("Hi there", 400000000.0, "Chat")}));
        KeyedArchiveBuilder broken;
        WriteBackup({{"HomeDomain", "Library", "", true},
                     {"HomeDomain", Store("com.example.mail"), TwoTitles()},
                     {"HomeDomain", Store("com.example.chat"), chatBytes},
                     {"HomeDomain", Store("com.example.empty"), ""},
                     {"HomeDomain", Store("com.example.broken"), broken.Bytes(77)},
                     {"HomeDomain", Store("com.nimbuslabs.skyline"), chatBytes},
                     {"HomeDomain", Store("it's 100% \"q\""), chatBytes},
                     {"HomeDomain", "Library/SpringBoard/IconState.plist", "layout"},
                     {"MediaDomain", "Library/x.pushstore", "other domain"}},
                    version);
        ASSERT_TRUE(SetUpTool(CConfigureTool::Instance(), version));
    }

    IAppPushStoreModel* Listed(int32_t index) {
        return static_cast<IAppPushStoreModel*>(session_->GetResult0(index));
    }

    void ScanWith(CIPhone* device) {
        session_ = std::make_unique<CScanDevice>(device);
        session_->SetStatusRecord(status());
        session_->StartScan(kJunkPushNotifications);
    }

    BwScanStatus* status() { return reinterpret_cast<BwScanStatus*>(bytes_); }

    alignas(8) unsigned char bytes_[sizeof(BwScanStatus)] = {};
    std::unique_ptr<CScanDevice> session_;
};

// With a phone, whose home screen gives the icons of its applications.
TEST_F(PushStoreTest, StoresAreListedWithTheirMessagesSizesIconsAndWorkingCopies) {
    UseTimeZone("UTC0");
    testing::SimPhone phone;
    CIPhone* device = phone.Start(temp_);
    ASSERT_NE(device, nullptr);
    WriteStores();
    ScanWith(device);
    EXPECT_EQ(status()->finished, 1);
    // The store whose archive decodes to nothing is left out; the empty one stays.
    ASSERT_EQ(session_->GetResultCount0(), 5);
    std::vector<std::u16string> identifiers;
    uint64_t sizes = 0;
    for (int32_t i = 0; i < 5; ++i) {
        IAppPushStoreModel* store = Listed(i);
        const std::u16string identifier = Text(store, &IAppPushStoreModel::GetBundleIdentifier);
        SCOPED_TRACE(WideToUtf8(identifier));
        identifiers.push_back(identifier);
        const std::string path = WideToUtf8(Text(store, &IAppPushStoreModel::GetFilePath));
        EXPECT_TRUE(path.starts_with(RestoreCopy() + "/")) << path;
        EXPECT_EQ(store->GetFileSize(), ReadFileBytes(path).size());
        std::string icon(store->GetIconData(nullptr), '\0');
        store->GetIconData(reinterpret_cast<unsigned char*>(icon.data()));
        EXPECT_EQ(icon.starts_with("\x89PNG\r\n\x1a\n"), identifier == u"com.nimbuslabs.skyline");
        EXPECT_EQ(icon.empty(), identifier != u"com.nimbuslabs.skyline");
        EXPECT_EQ(store->Select(0), 1);
        sizes += store->GetFileSize();
        if (identifier == u"com.example.mail") {
            EXPECT_EQ(store->GetMessageCount(), 2);
            EXPECT_EQ(Text(store, &IAppPushStoreModel::GetDisplayName), u"Mail 2");
        } else if (identifier == u"com.example.empty") {
            EXPECT_EQ(store->GetMessageCount(), 0);
            EXPECT_EQ(store->GetFileSize(), 0u);
        } else {
            ASSERT_EQ(store->GetMessageCount(), 1);
            EXPECT_EQ(Text(store->GetMessage(0), &IPushMessageModel::GetMessageText), u"Hi there");
            EXPECT_EQ(Text(store->GetMessage(0), &IPushMessageModel::GetDateText),
                      u"2013-09-04 15:06:40");
        }
    }
    std::sort(identifiers.begin(), identifiers.end());
    EXPECT_EQ(identifiers, (std::vector<std::u16string>{
                               u"com.example.chat", u"com.example.empty", u"com.example.mail",
                               u"com.nimbuslabs.skyline", u"it's 100% \"q\""}));
    EXPECT_EQ(status()->selectedCount, 5u);
    EXPECT_EQ(status()->selectedSize, sizes);
    EXPECT_DOUBLE_EQ(status()->progress, 100.0);
}

TEST_F(PushStoreTest, CleanTakesExactlyTheSelectedStoresOutOfTheBackup) {
    WriteStores();
    ScanWith(nullptr);
    ASSERT_EQ(session_->GetResultCount0(), 5);
    std::vector<std::string> gone;
    for (int32_t i = 0; i < 5; ++i) {
        EXPECT_EQ(Listed(i)->GetIconData(nullptr), 0u);  // no phone, no icons
        const std::u16string identifier = Text(Listed(i), &IAppPushStoreModel::GetBundleIdentifier);
        if (identifier == u"com.example.mail" || identifier == u"com.example.empty") {
            gone.push_back(FileName("HomeDomain", Store(WideToUtf8(identifier))));
        } else {
            Listed(i)->Select(1);
        }
    }
    testing::FolderSnapshot expected = testing::Snapshot(Source());
    for (const std::string& name : gone)
        ASSERT_EQ(expected.erase(name), 1u);
    expected.erase("Manifest.mbdb");
    const uint64_t keptSize = status()->selectedSize;

    session_->StartClean();
    EXPECT_EQ(status()->finished, 1);
    EXPECT_EQ(status()->selectedCount, 3u);
    EXPECT_LT(status()->selectedSize, keptSize);
    // One delete entry per selected store, keyed by its own backup file.
    std::vector<std::string> keys = EntryKeys(CConfigureTool::Instance());
    std::sort(keys.begin(), keys.end());
    std::sort(gone.begin(), gone.end());
    EXPECT_EQ(keys, gone);
    for (const std::string& key : keys) {
        const CDicValueObj* entry = CConfigureTool::Instance().Configuration().Find(key);
        ASSERT_NE(entry, nullptr);
        EXPECT_EQ(entry->GetInteger("ExecuteType"), 1);
        EXPECT_EQ(entry->GetString("Domain"), "HomeDomain");
        EXPECT_EQ(entry->GetString("FullName"), ".pushstore");
    }
    ASSERT_TRUE(CConfigureTool::Instance().Complete());

    testing::FolderSnapshot after = testing::Snapshot(Source());
    after.erase("Manifest.mbdb");
    EXPECT_EQ(after, expected);
    std::string manifest;
    ASSERT_TRUE(platform::ReadWholeFile(platform::JoinPath(Source(), "Manifest.mbdb"), manifest));
    std::vector<std::string> stores;
    for (const MbdbRecord& record : ReadMbdb(manifest).records) {
        if (record.path.text.find(".pushstore") != std::string::npos) {
            stores.push_back(record.domain.text + ":" + record.path.text);
        }
    }
    std::sort(stores.begin(), stores.end());
    EXPECT_EQ(stores, (std::vector<std::string>{
                          "HomeDomain:" + Store("com.example.broken"),
                          "HomeDomain:" + Store("com.example.chat"),
                          "HomeDomain:" + Store("com.nimbuslabs.skyline"),
                          "HomeDomain:" + Store("it's 100% \"q\""),
                          "MediaDomain:Library/x.pushstore",
                      }));
    ExpectManifestMatchesFiles();
}

TEST_F(PushStoreTest, AStoppedScanListsNothingAndItsCleanRecordsNothing) {
    WriteStores();
    CAppNotificationJunk scanner;
    scanner.SetStatusRecord(status());
    scanner.RequestStop();
    scanner.Scan(nullptr);
    EXPECT_EQ(status()->finished, 1);
    EXPECT_TRUE(scanner.Results(kResultPushStores).empty());
    scanner.ClearStop();
    scanner.Clean();
    EXPECT_TRUE(EntryKeys(CConfigureTool::Instance()).empty());
}

// The stores of a simulated phone, written by the image builder with libplist, decode to the
// notifications the builder put there.
TEST_F(PushStoreTest, TheSimulatedPhonesStoresDecode) {
    UseTimeZone("UTC0");
    for (const char* version : {"5.1.1", "7.1.2"}) {
        SCOPED_TRACE(version);
        sim::ImageOptions options;
        options.iosVersion = version;
        const std::string image = temp_ / (std::string("image-") + version);
        std::string error;
        ASSERT_TRUE(testing::MakeTestImage(image, options, error)) << error;
        std::vector<platform::FolderEntry> entries;
        const std::string folder =
            sim::ImagePath(image, "/var/mobile/Library/SpringBoard/PushStore");
        ASSERT_TRUE(platform::ListFolder(folder, entries));
        size_t stores = 0;
        for (const platform::FolderEntry& entry : entries) {
            CAppPushStoreModel store;
            ASSERT_TRUE(ReadPushStore(ReadFileBytes(platform::JoinPath(folder, entry.name)), store))
                << entry.name;
            ++stores;
            if (entry.name == "com.apple.MobileSMS.pushstore") {
                ASSERT_EQ(store.GetMessageCount(), 3);
                EXPECT_EQ(Text(&store, &IAppPushStoreModel::GetDisplayName), u"Messages");
                EXPECT_EQ(Text(store.GetMessage(0), &IPushMessageModel::GetMessageText),
                          u"Anna Berg: On my way");
                // Newest first, each a date of the last days before the image's time.
                EXPECT_GT(store.GetMessage(0)->GetCreationTime(),
                          store.GetMessage(1)->GetCreationTime());
                EXPECT_GT(store.GetMessage(2)->GetCreationTime(), 3.0e8);
            }
        }
        EXPECT_EQ(stores, std::string(version) == "5.1.1" ? 3u : 5u);

        const testing::LibplistTree preferences = testing::LibplistFile(
            sim::ImagePath(image, "/var/mobile/Library/Preferences/com.apple.springboard.plist"));
        ASSERT_NE(preferences, nullptr);
        const std::vector<std::string> recent =
            testing::LibplistStrings(plist_dict_get_item(preferences.get(), "SBRecentDisplays"));
        ASSERT_GE(recent.size(), 4u);
        EXPECT_EQ(recent.front(), "com.apple.MobileSMS");
    }
}

}  // namespace
}  // namespace bw

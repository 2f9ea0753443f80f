// Safari's cookies, web application data, web mail, recent applications and push stores from end
// to end on the simulator, for each iOS version: back the phone up, scan and clean all five
// through one scan session with the device, complete, restore, and judge the phone's own files
// without the library: the cookie file with a reader of its own below, the databases with SQLite,
// the property lists with libplist. Exactly the chosen items go, everything else reads back as it
// was, every other file is byte for byte what it was, and nothing stays open on the device. (The
// suite's name puts it in the group of tests that start the backup tool one at a time.)
#include <gtest/gtest.h>
#include <plist/plist.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "backup/configure_tool.h"
#include "brackwater/apps.h"
#include "brackwater/privacy.h"
#include "brackwater/scan.h"
#include "common/plist_tree.h"
#include "platform/files.h"
#include "platform/text.h"
#include "session/scan_device.h"
#include "sim/sqlite_rows.h"
#include "support/backup_round_trip.h"
#include "support/cookie_file_reader.h"
#include "support/ios_versions.h"

// A namespace of its own: the test program is built in unity batches, where another file's
// helpers of the same names may share the translation unit.
namespace bw::web_round_trip {
namespace {

using testing::CookiePages;
using testing::ReadCookieFile;

constexpr char kCookies[] = "/var/mobile/Library/Cookies/Cookies.binarycookies";
constexpr char kAppCache[] = "/var/mobile/Library/Caches/com.apple.WebAppCache/ApplicationCache.db";
constexpr char kLocalStorage[] = "/var/mobile/Library/WebKit/LocalStorage/";
constexpr char kWebDatabases[] = "/var/mobile/Library/WebKit/Databases/";
constexpr char kSpringboard[] = "/var/mobile/Library/Preferences/com.apple.springboard.plist";
constexpr char kPushStores[] = "/var/mobile/Library/SpringBoard/PushStore/";

template <class Record>
std::string TextOf(Record* record, size_t (Record::*getter)(BwChar*)) {
    std::u16string text((record->*getter)(nullptr), u'\0');
    (record->*getter)(text.data());
    return WideToUtf8(text.c_str());
}

// Select(0) reads the flag, Select(1) toggles it.
template <class Record>
void SetSelected(Record* record, bool wanted) {
    if ((record->Select(0) != 0) != wanted) record->Select(1);
}

// --- SQLite files, compared table by table.
std::string Quoted(const std::string& text) {
    std::string quoted = "'";
    for (const char c : text)
        quoted += c == '\'' ? std::string("''") : std::string(1, c);
    return quoted + "'";
}

std::vector<std::string> TableNames(sim::SqliteFile& db) {
    return db.Column("select name from sqlite_master where type = 'table' order by name");
}

// Every table of `after` holds the rows of `before` that `kept` (a condition per table, "1" when
// absent) lets through; the schema is the one it was.
void ExpectTablesKept(sim::SqliteFile& before, sim::SqliteFile& after,
                      const std::map<std::string, std::string>& kept, const std::string& label) {
    EXPECT_EQ(after.IntegrityCheck(), "ok") << label;
    EXPECT_EQ(after.RowTexts("select type, name, sql from sqlite_master"),
              before.RowTexts("select type, name, sql from sqlite_master"))
        << label;
    for (const std::string& table : TableNames(before)) {
        const auto found = kept.find(table);
        const std::string where = found == kept.end() ? "1" : found->second;
        EXPECT_EQ(after.RowTexts("select * from \"" + table + "\""),
                  before.RowTexts("select * from \"" + table + "\" where " + where))
            << label << ": " << table;
    }
}

// --- Property lists, parsed by libplist and compared as its XML.
sim::PlistTree ParsePlist(const std::string& bytes) {
    plist_t tree = nullptr;
    if (bytes.starts_with("bplist00")) {
        plist_from_bin(bytes.data(), static_cast<uint32_t>(bytes.size()), &tree);
    } else {
        plist_from_xml(bytes.data(), static_cast<uint32_t>(bytes.size()), &tree);
    }
    return sim::PlistTree(tree);
}

class BackupRunWebPrivacy : public testing::BackupRoundTripTest,
                            public ::testing::WithParamInterface<const char*> {
  protected:
    bool LocalStorage() const { return GetParam()[0] == '7'; }

    // A file's bytes from before the clean, put where SQLite can open it.
    std::string Kept(const std::map<std::string, std::string>& files, const std::string& path,
                     const std::string& name) {
        const std::string copy = folder_ / ("before-" + name);
        EXPECT_TRUE(platform::WriteFileAtomic(copy, files.at(path))) << path;
        return copy;
    }
};

TEST_P(BackupRunWebPrivacy, ThePhoneLosesExactlyTheChosenWebItems) {
    std::string image, udid;
    CIPhone* phone = ArrivePhone(GetParam(), image, udid);
    ASSERT_NE(phone, nullptr);
    ASSERT_TRUE(RunTool(udid, kBackupModeBackup));
    const std::map<std::string, std::string> before = Files(image);
    const auto phonePath = [&](const std::string& devicePath) {
        return sim::ImagePath(image, devicePath);
    };
    ASSERT_TRUE(CConfigureTool::Instance().CreateIn(phone, folder_ / "work", false));
    BwScanStatus status{};
    CScanDevice session(phone);
    session.SetStatusRecord(&status);
    // Files the cleans may rewrite (judged by content below) and files they remove.
    std::set<std::string> rewritten, removed;

    // Cookies: the first site's page goes whole, the second site loses its second cookie.
    const std::optional<CookiePages> cookiesBefore = ReadCookieFile(before.at(phonePath(kCookies)));
    ASSERT_TRUE(cookiesBefore.has_value());
    ASSERT_GE(cookiesBefore->size(), 3u);
    ASSERT_GE((*cookiesBefore)[1].size(), 2u);
    session.StartScan(kJunkSafariCookies);
    auto* tree = static_cast<ICookieModel*>(session.GetCookieTree());
    ASSERT_NE(tree, nullptr);
    ASSERT_EQ(static_cast<size_t>(tree->GetPageCount()), cookiesBefore->size());
    for (int32_t p = 0; p < tree->GetPageCount(); ++p) {
        ICookiePageModel* page = tree->GetPage(p);
        const std::vector<testing::FileCookie>& file = (*cookiesBefore)[static_cast<size_t>(p)];
        ASSERT_EQ(static_cast<size_t>(page->GetCookieCount()), file.size()) << p;
        if ((page->Keep(0) != 0) != (p != 0)) page->Keep(1);
        for (int32_t c = 0; c < page->GetCookieCount(); ++c) {
            ICookieContentModel* cookie = page->GetCookie(c);
            // The tree lists the file's cookies in the file's order.
            EXPECT_EQ(TextOf(cookie, &ICookieContentModel::GetUrl),
                      file[static_cast<size_t>(c)].domain);
            EXPECT_EQ(TextOf(cookie, &ICookieContentModel::GetName),
                      file[static_cast<size_t>(c)].name);
            SetSelected(cookie, p == 1 && c == 1);
        }
    }
    session.StartClean();
    CookiePages cookiesExpected = *cookiesBefore;
    cookiesExpected[1].erase(cookiesExpected[1].begin() + 1);
    cookiesExpected.erase(cookiesExpected.begin());
    rewritten.insert(phonePath(kCookies));

    // Web application data: the first origin goes whole, the second loses one entry (on iOS 5
    // and 6 a resource whose body lies in a file, so that the cache's deletion queue is tried).
    session.StartScan(kJunkWebAppData);
    ASSERT_GE(session.GetResultCount0(), 3);
    std::string goneOrigin, trimmedOrigin, goneKey;
    int64_t goneResource = 0;
    for (int32_t g = 0; g < session.GetResultCount0(); ++g) {
        auto* origin = static_cast<ICacheGroupsModel*>(session.GetResult0(g));
        SetSelected(origin, g == 0);
        if (g == 0) goneOrigin = TextOf(origin, &ICacheGroupsModel::GetOrigin);
        if (g == 1) trimmedOrigin = TextOf(origin, &ICacheGroupsModel::GetOrigin);
        ASSERT_GE(origin->GetItemCount(), 2) << g;
        for (int32_t i = 0; i < origin->GetItemCount(); ++i) {
            IResourceDataModel* item = origin->GetItem(i);
            SetSelected(item, false);
            if (g != 1 || !goneKey.empty()) continue;
            const std::string key = TextOf(item, &IResourceDataModel::GetKey);
            if (LocalStorage() ? i == 1 : key.ends_with("/sprite.png")) {
                SetSelected(item, true);
                goneKey = key;
                goneResource = item->GetResourceId();
            }
        }
    }
    ASSERT_FALSE(goneKey.empty());
    session.StartClean();

    // Web mail: one message of the first site.
    session.StartScan(kJunkWebMail);
    ASSERT_GE(session.GetResultCount0(), 2);
    std::string mailSite, mailFile, goneMessage;
    for (int32_t s = 0; s < session.GetResultCount0(); ++s) {
        auto* site = static_cast<IMailModel*>(session.GetResult0(s));
        SetSelected(site, false);
        if (s == 0) {
            mailSite = TextOf(site, &IMailModel::GetOrigin);
            mailFile = TextOf(site, &IMailModel::GetPath);
        }
        ASSERT_GE(site->GetMessageCount(), 2);
        for (int32_t m = 0; m < site->GetMessageCount(); ++m) {
            SetSelected(site->GetMessage(m), s == 0 && m == 1);
            if (s == 0 && m == 1)
                goneMessage = TextOf(site->GetMessage(m), &IMailMessage::GetMessageId);
        }
    }
    session.StartClean();
    const std::string mailPath = phonePath(kWebDatabases + mailSite + "/" + mailFile);
    rewritten.insert(mailPath);

    // Recent applications: the first one listed goes. Only applications on the home screen are
    // listed, and the rewritten list holds only listed ones.
    session.StartScan(kJunkRecentApps);
    ASSERT_GE(session.GetResultCount0(), 2);
    std::string goneApp;
    std::set<std::string> listedApps;
    for (int32_t a = 0; a < session.GetResultCount0(); ++a) {
        auto* app = static_cast<IAppInfo*>(session.GetResult0(a));
        if ((app->Selected(0) != 0) != (a == 0)) app->Selected(1);
        if (a == 0) goneApp = TextOf(app, &IAppInfo::GetIdentifier);
        listedApps.insert(TextOf(app, &IAppInfo::GetIdentifier));
    }
    session.StartClean();
    rewritten.insert(phonePath(kSpringboard));

    // Push stores: the last one listed goes.
    session.StartScan(kJunkPushNotifications);
    ASSERT_GE(session.GetResultCount0(), 2);
    std::string goneStore;
    for (int32_t s = 0; s < session.GetResultCount0(); ++s) {
        auto* store = static_cast<IAppPushStoreModel*>(session.GetResult0(s));
        const bool last = s + 1 == session.GetResultCount0();
        SetSelected(store, last);
        if (last) goneStore = TextOf(store, &IAppPushStoreModel::GetBundleIdentifier);
    }
    session.StartClean();
    removed.insert(phonePath(kPushStores + goneStore + ".pushstore"));
    session.StartScan(kJunkCrashLogs);  // lets go of the private-data scanners

    // The scans and cleans closed every session, file and connection they opened on the phone.
    ExpectOpen(testing::kWiredAfc, testing::kWiredServices);

    ASSERT_TRUE(CConfigureTool::Instance().Complete());
    ASSERT_TRUE(RunTool(udid, kBackupModeRestore));
    const std::map<std::string, std::string> after = Files(image);

    // Cookies: the file reads back as the pages it had, less the chosen page and cookie.
    ASSERT_EQ(after.count(phonePath(kCookies)), 1u);
    const std::optional<CookiePages> cookiesAfter = ReadCookieFile(after.at(phonePath(kCookies)));
    ASSERT_TRUE(cookiesAfter.has_value());
    EXPECT_TRUE(*cookiesAfter == cookiesExpected);

    // Web application data.
    if (LocalStorage()) {
        // The tracker names each origin's file; the chosen origin's row and file are gone, the
        // trimmed origin's file lost one pair, the third origin's file is untouched.
        const std::string trackerPath = phonePath(std::string(kLocalStorage) + "StorageTracker.db");
        sim::SqliteFile trackerBefore(Kept(before, trackerPath, "tracker.db"),
                                      SQLITE_OPEN_READONLY);
        sim::SqliteFile trackerAfter(trackerPath, SQLITE_OPEN_READONLY);
        ASSERT_TRUE(trackerBefore.ok() && trackerAfter.ok());
        ExpectTablesKept(trackerBefore, trackerAfter,
                         {{"Origins", "origin <> " + Quoted(goneOrigin)}}, "tracker");
        rewritten.insert(trackerPath);
        const auto fileOf = [&](const std::string& origin) {
            const std::vector<std::string> paths =
                trackerBefore.Column("select path from Origins where origin = " + Quoted(origin));
            EXPECT_EQ(paths.size(), 1u) << origin;
            return paths.empty() ? std::string() : phonePath(paths.front());
        };
        removed.insert(fileOf(goneOrigin));
        const std::string trimmed = fileOf(trimmedOrigin);
        sim::SqliteFile storageBefore(Kept(before, trimmed, "storage.db"), SQLITE_OPEN_READONLY);
        sim::SqliteFile storageAfter(trimmed, SQLITE_OPEN_READONLY);
        ASSERT_TRUE(storageBefore.ok() && storageAfter.ok());
        ExpectTablesKept(storageBefore, storageAfter, {{"ItemTable", "key <> " + Quoted(goneKey)}},
                         "local storage");
        EXPECT_NE(storageAfter.RowTexts("select * from ItemTable"),
                  storageBefore.RowTexts("select * from ItemTable"));
        rewritten.insert(trimmed);
    } else {
        // The chosen origin's cache goes with its entries, resources and their data; the
        // trimmed origin loses one entry with its resource and data; the cache's queue of files
        // to delete stays as it was (the clean leaves bodies in files to the phone), and only
        // origins that still have a cache keep their quota row.
        const std::string cachePath = phonePath(kAppCache);
        sim::SqliteFile cacheBefore(Kept(before, cachePath, "appcache.db"), SQLITE_OPEN_READONLY);
        sim::SqliteFile cacheAfter(cachePath, SQLITE_OPEN_READONLY);
        ASSERT_TRUE(cacheBefore.ok() && cacheAfter.ok());
        const std::string goneCaches =
            "(select c.id from Caches c join CacheGroups g on "
            "c.cacheGroup = g.id where g.origin = " +
            Quoted(goneOrigin) + ")";
        const std::string goneResources = "(select resource from CacheEntries where cache in " +
                                          goneCaches + " union select " +
                                          std::to_string(goneResource) + ")";
        ASSERT_EQ(cacheBefore.Count("select count(*) from CacheResources r join "
                                    "CacheResourceData d on d.id = r.data where r.id = " +
                                    std::to_string(goneResource) + " and d.path is not null"),
                  1);
        ExpectTablesKept(
            cacheBefore, cacheAfter,
            {{"CacheGroups", "origin <> " + Quoted(goneOrigin)},
             {"Caches", "id not in " + goneCaches},
             {"CacheEntries", "resource not in " + goneResources},
             {"CacheResources", "id not in " + goneResources},
             {"CacheResourceData",
              "id not in (select data from CacheResources where id in " + goneResources + ")"},
             {"CacheWhitelistURLs", "cache not in " + goneCaches},
             {"CacheAllowsAllNetworkRequests", "cache not in " + goneCaches},
             {"FallbackURLs", "cache not in " + goneCaches},
             {"Origins", "origin in (select origin from CacheGroups where origin <> " +
                             Quoted(goneOrigin) + ")"}},
            "application cache");
        EXPECT_EQ(cacheAfter.Count("select count(*) from CacheGroups where origin = " +
                                   Quoted(trimmedOrigin)),
                  1);
        rewritten.insert(cachePath);
    }

    // Web mail: the site's database lost exactly the chosen message.
    {
        sim::SqliteFile mailBefore(Kept(before, mailPath, "mail.db"), SQLITE_OPEN_READONLY);
        sim::SqliteFile mailAfter(mailPath, SQLITE_OPEN_READONLY);
        ASSERT_TRUE(mailBefore.ok() && mailAfter.ok());
        const bool cached = mailBefore.Count(
                                "select count(*) from sqlite_master where name = "
                                "'cached_messages'") == 1;
        const std::string table = cached ? "cached_messages" : "message";
        const std::string id = cached ? "messageId" : "mid";
        ASSERT_EQ(mailBefore.Count("select count(*) from " + table + " where " + id + " = " +
                                   Quoted(goneMessage)),
                  1);
        ExpectTablesKept(mailBefore, mailAfter, {{table, id + " <> " + Quoted(goneMessage)}},
                         "web mail");
    }

    // Recent applications: the list holds the listed ones that were not chosen, in their order;
    // the rest of the preferences is equal.
    {
        const sim::PlistTree preferencesBefore = ParsePlist(before.at(phonePath(kSpringboard)));
        const sim::PlistTree preferencesAfter = ParsePlist(after.at(phonePath(kSpringboard)));
        ASSERT_NE(preferencesBefore, nullptr);
        ASSERT_NE(preferencesAfter, nullptr);
        plist_t recent = plist_dict_get_item(preferencesBefore.get(), "SBRecentDisplays");
        ASSERT_NE(recent, nullptr);
        std::vector<std::string> dropped;
        for (uint32_t i = plist_array_get_size(recent); i-- > 0;) {
            char* text = nullptr;
            plist_get_string_val(plist_array_get_item(recent, i), &text);
            const std::string id = text != nullptr ? text : "";
            free(text);
            if (id != goneApp && listedApps.count(id) != 0) continue;
            dropped.push_back(id);
            plist_array_remove_item(recent, i);
        }
        EXPECT_EQ(std::count(dropped.begin(), dropped.end(), goneApp), 1) << goneApp;
        EXPECT_EQ(sim::PlistXml(preferencesAfter.get()), sim::PlistXml(preferencesBefore.get()));
    }

    // Every other file of the phone is byte for byte what it was; the removed ones are gone.
    for (const std::string& path : removed) {
        EXPECT_EQ(before.count(path), 1u) << path;
        EXPECT_EQ(after.count(path), 0u) << path;
    }
    for (const std::string& path : rewritten)
        EXPECT_EQ(after.count(path), 1u) << path;
    size_t others = 0;
    for (const auto& [path, bytes] : before) {
        if (rewritten.count(path) != 0 || removed.count(path) != 0) continue;
        ++others;
        const auto found = after.find(path);
        ASSERT_NE(found, after.end()) << "gone: " << path;
        EXPECT_EQ(found->second, bytes) << path;
    }
    EXPECT_EQ(after.size(), others + rewritten.size());
    EndListening();
}

INSTANTIATE_TEST_SUITE_P(EachVersion, BackupRunWebPrivacy, bw::testing::EachIosVersion(),
                         bw::testing::IosVersionName);

}  // namespace
}  // namespace bw::web_round_trip

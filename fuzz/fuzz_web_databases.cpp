// The browser's web-data loaders on any bytes: as an application cache, a local-storage tracker,
// the web database index and each mail site's database. Each load is followed by the clean of
// everything it listed: nothing crashes, the records' counts agree with their lists, and no
// connection stays open.
#include <sqlite3.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <string>

#include "formats/sqlite_table.h"
#include "fuzz_seeds.h"
#include "platform/files.h"
#include "privacy/web_app_cache.h"
#include "privacy/web_mail.h"
#include "sqlite_seed.h"

namespace {

std::string gFolder;

std::string MakeDatabase(const char* sql) {
    return bw::fuzz::DatabaseBytes(gFolder, sql);
}

void CheckClosed() {
    if (bw::IsDatabaseOpen()) std::abort();
}

void LoadAndCleanWebApp(const std::string& path, bool localStorage) {
    bw::CWebAppCookieJunk owner;
    bw::CWebAppCacheManage manage(path, localStorage, &owner, nullptr);
    manage.Load();
    CheckClosed();
    if (owner.Results(kResultWebAppData).size() != manage.Groups().size()) std::abort();
    bool toggle = false;
    for (bw::CCacheGroupsModel* group : manage.Groups()) {
        if (static_cast<size_t>(group->GetItemCount()) != group->items.size()) std::abort();
        // Half the groups kept, with half their items selected: both clean paths run.
        if ((toggle = !toggle)) group->Select(1);
        for (size_t i = 0; i < group->items.size(); i += 2)
            group->items[i]->Select(1);
        char16_t buffer[64];
        if (group->GetOrigin(nullptr) <= 64) group->GetOrigin(buffer);
    }
    manage.DeleteSelected();
    CheckClosed();
}

void LoadAndCleanMail(const std::string& path) {
    bw::CWebMailDataBase::FindMailDatabases(path);
    CheckClosed();
    for (bw::MailSite site : {bw::MailSite::kFirst, bw::MailSite::kSecond}) {
        bw::CMailModel model;
        model.site = site;
        model.workingCopy = path;
        model.selected = 0;
        const bw::CMailSiteDB& reader = bw::MailSiteReader(site);
        reader.ReadMessages(model, 3600, nullptr);
        CheckClosed();
        for (size_t i = 0; i < model.messages.size(); i += 2)
            model.messages[i]->Select(1);
        if (reader.DeleteMessages(model) > model.messages.size()) std::abort();
        CheckClosed();
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    std::string pattern = "/tmp/bw-fuzz-web-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) std::abort();
    gFolder = pattern;
    bw::fuzz::MaybeWriteSeeds({
        MakeDatabase(
            "CREATE TABLE CacheGroups (id INTEGER PRIMARY KEY AUTOINCREMENT, manifestHostHash,"
            " manifestURL, newestCache, origin);"
            "CREATE TABLE Caches (id INTEGER PRIMARY KEY AUTOINCREMENT, cacheGroup, size);"
            "CREATE TABLE CacheEntries (cache, type, resource);"
            "CREATE TABLE CacheResources (id INTEGER PRIMARY KEY AUTOINCREMENT, url, statusCode,"
            " responseURL, mimeType, textEncodingName, headers, data);"
            "CREATE TABLE CacheResourceData (id INTEGER PRIMARY KEY AUTOINCREMENT, data, path);"
            "CREATE TABLE DeletedCacheResources (id INTEGER PRIMARY KEY AUTOINCREMENT, path);"
            "CREATE TABLE Origins (origin, quota);"
            "CREATE TRIGGER CacheResourceDataDeleted AFTER DELETE ON CacheResourceData FOR EACH"
            " ROW WHEN OLD.path NOT NULL BEGIN INSERT INTO DeletedCacheResources (path) values"
            " (OLD.path); END;"
            "INSERT INTO CacheGroups VALUES (1, 7, 'http://a/m', 1, 'http://a');"
            "INSERT INTO Caches VALUES (1, 1, 10);"
            "INSERT INTO CacheResourceData VALUES (1, x'00', 'p');"
            "INSERT INTO CacheResources VALUES (1, 'http://a/', 200, 'x', 'text/html', '', '', 1);"
            "INSERT INTO CacheEntries VALUES (1, 1, 1);"
            "INSERT INTO Origins VALUES ('http://a', 1);"),
        MakeDatabase(
            "CREATE TABLE Origins (origin, path);"
            "INSERT INTO Origins VALUES ('https_a_0', '/var/mobile/Library/a.localstorage');"
            "CREATE TABLE ItemTable (key, value);"
            "INSERT INTO ItemTable VALUES ('k', x'6b00');"),
        MakeDatabase("CREATE TABLE Databases (guid INTEGER PRIMARY KEY, origin, name, displayName,"
                     " estimatedSize, path);"
                     "INSERT INTO Databases VALUES (1, 'https_mail.google.com_0', 'n', 'n', 1,"
                     " '1.db');"
                     "INSERT INTO Databases VALUES (2, 'https_mail.yahoo.com_0', 'n', 'n', 1,"
                     " '2.db');"
                     "CREATE TABLE message (mid, fid, subject, fromEmail, toEmail, xapparentlyto,"
                     " receivedDate);"
                     "INSERT INTO message VALUES ('1_a', 'Inbox', 's', 'f', 't', '', 1400000000);"
                     "CREATE TABLE cached_messages (messageId, conversationid, subject,"
                     " address_from, address_to, receivedDateMs, localUpdate);"
                     "INSERT INTO cached_messages VALUES ('m', 'c', 's', 'f', 't', 1400000000000,"
                     " 0);"),
        std::string("SQLite format 3\0", 16),
    });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string path = gFolder + "/web.db";
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    for (int kind = 0; kind < 3; ++kind) {
        if (!bw::platform::WriteFileAtomic(path, bytes)) return 0;
        if (kind == 2) {
            LoadAndCleanMail(path);
        } else {
            LoadAndCleanWebApp(path, kind == 1);
        }
    }
    bw::platform::RemoveFile(path);
    bw::platform::RemoveFile(path + "-journal");
    bw::platform::RemoveFile(path + "-wal");
    bw::platform::RemoveFile(path + "-shm");
    return 0;
}

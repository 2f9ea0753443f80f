#include "web_data.h"

#include <string>
#include <vector>

#include "seeded_random.h"
#include "sqlite_build.h"

namespace bw::sim {
namespace {

// The browser's own statements for its application cache (schema version 7).
constexpr char kAppCacheSchema[] =
    "PRAGMA user_version = 7;"
    "CREATE TABLE CacheGroups (id INTEGER PRIMARY KEY AUTOINCREMENT, manifestHostHash INTEGER NOT "
    "NULL ON CONFLICT FAIL, manifestURL TEXT UNIQUE ON CONFLICT FAIL, newestCache INTEGER, origin "
    "TEXT);"
    "CREATE TABLE Caches (id INTEGER PRIMARY KEY AUTOINCREMENT, cacheGroup INTEGER, size INTEGER);"
    "CREATE TABLE CacheWhitelistURLs (url TEXT NOT NULL ON CONFLICT FAIL, cache INTEGER NOT NULL "
    "ON CONFLICT FAIL);"
    "CREATE TABLE CacheAllowsAllNetworkRequests (wildcard INTEGER NOT NULL ON CONFLICT FAIL, "
    "cache INTEGER NOT NULL ON CONFLICT FAIL);"
    "CREATE TABLE FallbackURLs (namespace TEXT NOT NULL ON CONFLICT FAIL, fallbackURL TEXT NOT "
    "NULL ON CONFLICT FAIL, cache INTEGER NOT NULL ON CONFLICT FAIL);"
    "CREATE TABLE CacheEntries (cache INTEGER NOT NULL ON CONFLICT FAIL, type INTEGER, resource "
    "INTEGER NOT NULL);"
    "CREATE TABLE CacheResources (id INTEGER PRIMARY KEY AUTOINCREMENT, url TEXT NOT NULL ON "
    "CONFLICT FAIL, statusCode INTEGER NOT NULL, responseURL TEXT NOT NULL, mimeType TEXT, "
    "textEncodingName TEXT, headers TEXT, data INTEGER NOT NULL ON CONFLICT FAIL);"
    "CREATE TABLE CacheResourceData (id INTEGER PRIMARY KEY AUTOINCREMENT, data BLOB, path TEXT);"
    "CREATE TABLE DeletedCacheResources (id INTEGER PRIMARY KEY AUTOINCREMENT, path TEXT);"
    "CREATE TABLE Origins (origin TEXT UNIQUE ON CONFLICT IGNORE, quota INTEGER NOT NULL ON "
    "CONFLICT FAIL);"
    "CREATE TRIGGER CacheDeleted AFTER DELETE ON Caches FOR EACH ROW BEGIN  DELETE FROM "
    "CacheEntries WHERE cache = OLD.id;  DELETE FROM CacheWhitelistURLs WHERE cache = OLD.id;  "
    "DELETE FROM CacheAllowsAllNetworkRequests WHERE cache = OLD.id;  DELETE FROM FallbackURLs "
    "WHERE cache = OLD.id; END;"
    "CREATE TRIGGER CacheEntryDeleted AFTER DELETE ON CacheEntries FOR EACH ROW BEGIN  DELETE "
    "FROM CacheResources WHERE id = OLD.resource; END;"
    "CREATE TRIGGER CacheResourceDeleted AFTER DELETE ON CacheResources FOR EACH ROW BEGIN  "
    "DELETE FROM CacheResourceData WHERE id = OLD.data; END;"
    "CREATE TRIGGER CacheResourceDataDeleted AFTER DELETE ON CacheResourceData FOR EACH ROW WHEN "
    "OLD.path NOT NULL BEGIN  INSERT INTO DeletedCacheResources (path) values (OLD.path); END;";

constexpr char kTrackerSchema[] =
    "CREATE TABLE Origins (origin TEXT UNIQUE ON CONFLICT REPLACE, path TEXT);";
// The newer form, whose values are UTF-16LE blobs.
constexpr char kItemSchema[] =
    "CREATE TABLE ItemTable (key TEXT UNIQUE ON CONFLICT REPLACE, value BLOB NOT NULL ON "
    "CONFLICT FAIL);";
constexpr char kIndexSchema[] =
    "CREATE TABLE Origins (origin TEXT UNIQUE ON CONFLICT REPLACE, quota INTEGER NOT NULL ON "
    "CONFLICT FAIL);"
    "CREATE TABLE Databases (guid INTEGER PRIMARY KEY AUTOINCREMENT, origin TEXT, name TEXT, "
    "displayName TEXT, estimatedSize INTEGER, path TEXT);";
constexpr char kVersionTable[] =
    "CREATE TABLE __WebKitDatabaseInfoTable__ (key TEXT NOT NULL ON CONFLICT FAIL UNIQUE ON "
    "CONFLICT REPLACE, value TEXT NOT NULL ON CONFLICT FAIL);"
    "INSERT INTO __WebKitDatabaseInfoTable__ VALUES ('WebKitDatabaseVersionKey', '1.0');";
constexpr char kFirstMailSchema[] =
    "CREATE TABLE message (mid TEXT PRIMARY KEY, fid TEXT, subject TEXT, fromName TEXT, fromEmail "
    "TEXT, toEmail TEXT, xapparentlyto TEXT, receivedDate INTEGER, flags INTEGER);"
    "CREATE TABLE folder (fid TEXT PRIMARY KEY, name TEXT, unread INTEGER);";
constexpr char kSecondMailSchema[] =
    "CREATE TABLE cached_messages (messageId TEXT PRIMARY KEY, conversationid TEXT, subject TEXT, "
    "snippet TEXT, address_from TEXT, address_to TEXT, receivedDateMs INTEGER, localUpdate "
    "INTEGER);"
    "CREATE TABLE cached_conversations (conversationId TEXT PRIMARY KEY, subject TEXT, "
    "messageCount INTEGER);";

constexpr int64_t kQuota = 5242880;

struct Resource {
    const char* path;
    const char* mimeType;
    int bytes;
    bool inFile;  // the body lies in the cache's file folder, not in the database
};
struct AppCacheSite {
    const char* origin;
    std::vector<Resource> resources;
};

const std::vector<AppCacheSite>& AppCacheSites() {
    static const std::vector<AppCacheSite> sites = {
        {"http://news.example.com",
         {{"/index.html", "text/html", 2400, false},
          {"/app.js", "text/javascript", 5100, false},
          {"/style.css", "text/css", 900, false}}},
        {"https://m.example.org",
         {{"/", "text/html", 1800, false},
          {"/sprite.png", "image/png", 12000, true},
          {"/offline.js", "text/javascript", 3000, false}}},
        {"http://game.example.net",
         {{"/play.html", "text/html", 1500, false},
          {"/engine.js", "text/javascript", 8000, false}}},
        {"https://docs.example.com",
         {{"/editor.html", "text/html", 2200, false},
          {"/editor.js", "text/javascript", 9000, false},
          {"/fonts.css", "text/css", 600, false}}},
    };
    return sites;
}

bool WriteDatabase(ImageWriter& writer, SqliteBuild& db, const std::string& path) {
    std::string bytes;
    if (!db.Bytes(bytes)) return writer.Fail(path + ": " + db.error());
    return writer.File(path, bytes);
}

bool Failed(ImageWriter& writer, SqliteBuild& db, const std::string& what) {
    return writer.Fail(what + ": " + db.error());
}

// The manifest host hash: a 32-bit unsigned hash of the host, as the browser keeps it.
int64_t HostHash(const std::string& url) {
    const size_t begin = url.find("://") + 3;
    return static_cast<int64_t>(StableHash(url.substr(begin)) & 0xffffffffu);
}

bool AddApplicationCache(ImageWriter& writer, SeededRandom& random) {
    SqliteBuild db;
    if (!db.Exec(kAppCacheSchema) || !db.Exec("BEGIN")) return Failed(writer, db, kAppCachePath);
    constexpr char kGroup[] =
        "INSERT INTO CacheGroups (manifestHostHash, manifestURL, newestCache, origin) VALUES (?, "
        "?, ?, ?)";
    constexpr char kCache[] = "INSERT INTO Caches (id, cacheGroup, size) VALUES (?, ?, ?)";
    constexpr char kData[] = "INSERT INTO CacheResourceData (data, path) VALUES (?, ?)";
    constexpr char kResource[] =
        "INSERT INTO CacheResources (url, statusCode, responseURL, mimeType, textEncodingName, "
        "headers, data) VALUES (?, 200, ?, ?, ?, ?, last_insert_rowid())";
    constexpr char kEntry[] =
        "INSERT INTO CacheEntries (cache, type, resource) VALUES (?, ?, last_insert_rowid())";
    constexpr char kOrigin[] = "INSERT INTO Origins (origin, quota) VALUES (?, ?)";
    int64_t group = 0;
    for (const AppCacheSite& site : AppCacheSites()) {
        ++group;
        const std::string origin = site.origin;
        const std::string manifest = origin + "/cache.manifest";
        int64_t size = 0;
        bool ok = db.Run(kOrigin, {SqlValue::Text(origin), SqlValue::Int(kQuota)}) &&
                  db.Run(kGroup, {SqlValue::Int(HostHash(manifest)), SqlValue::Text(manifest),
                                  SqlValue::Int(group), SqlValue::Text(origin)});
        // The manifest is the first resource of every cache (entry type 2: manifest; 1: master
        // page; 4: explicit).
        std::vector<Resource> resources = site.resources;
        resources.insert(resources.begin(),
                         Resource{"/cache.manifest", "text/cache-manifest", 120, false});
        int type = 2;
        for (const Resource& resource : resources) {
            const std::string url = origin + resource.path;
            const std::string body = random.FromAlphabet("abcdefghij<>/ ;{}", resource.bytes);
            const std::string headers = "Content-Type:" + std::string(resource.mimeType);
            size += static_cast<int64_t>(body.size() + headers.size() + url.size());
            ok = ok &&
                 db.Run(kData,
                        {resource.inFile ? SqlValue::Null() : SqlValue::Blob(body),
                         resource.inFile ? SqlValue::Text("ApplicationCache/" + random.LowerHex(16))
                                         : SqlValue::Null()}) &&
                 db.Run(kResource, {SqlValue::Text(url), SqlValue::Text(url),
                                    SqlValue::Text(resource.mimeType), SqlValue::Text("utf-8"),
                                    SqlValue::Text(headers)}) &&
                 db.Run(kEntry, {SqlValue::Int(group), SqlValue::Int(type)});
            type = type == 2 ? 1 : 4;
        }
        ok =
            ok && db.Run(kCache, {SqlValue::Int(group), SqlValue::Int(group), SqlValue::Int(size)});
        if (!ok) return Failed(writer, db, kAppCachePath);
    }
    // A site whose cache the browser already dropped keeps its quota row.
    if (!db.Run(kOrigin, {SqlValue::Text("http://old.example.com"), SqlValue::Int(kQuota)}) ||
        !db.Exec("COMMIT")) {
        return Failed(writer, db, kAppCachePath);
    }
    return WriteDatabase(writer, db, kAppCachePath);
}

std::string Utf16Le(const std::string& ascii) {
    std::string bytes;
    for (const char c : ascii) {
        bytes.push_back(c);
        bytes.push_back('\0');
    }
    return bytes;
}

struct StoredPair {
    const char* key;
    const char* value;
};
struct StorageSite {
    const char* origin;
    std::vector<StoredPair> pairs;
};

bool AddLocalStorage(ImageWriter& writer, SeededRandom& random) {
    const std::vector<StorageSite> sites = {
        {"http_news.example.com_0",
         {{"lastVisit", "1385000000"}, {"region", "en-US"}, {"fontSize", "17"}}},
        {"https_m.example.org_0",
         {{"session", ""},
          {"draft", "Don't forget the 50% deposit"},
          {"theme", "dark"},
          {"token", ""}}},
        {"https_shop.example.net_0",
         {{"cart", "[{\"sku\":\"A-1\",\"n\":2}]"},
          {"currency", "EUR"},
          {"seen", "yes"},
          {"ab", "B"}}},
    };
    SqliteBuild tracker;
    if (!tracker.Exec(kTrackerSchema)) return Failed(writer, tracker, "StorageTracker.db");
    constexpr char kTrack[] = "INSERT INTO Origins (origin, path) VALUES (?, ?)";
    constexpr char kItem[] = "INSERT INTO ItemTable (key, value) VALUES (?, ?)";
    for (const StorageSite& site : sites) {
        const std::string path =
            std::string(kLocalStorageFolder) + "/" + site.origin + ".localstorage";
        SqliteBuild storage;
        bool ok = storage.Exec(kItemSchema);
        for (const StoredPair& pair : site.pairs) {
            const std::string value = *pair.value != '\0' ? pair.value : random.LowerHex(24);
            ok = ok &&
                 storage.Run(kItem, {SqlValue::Text(pair.key), SqlValue::Blob(Utf16Le(value))});
        }
        if (!ok) return Failed(writer, storage, path);
        if (!WriteDatabase(writer, storage, path)) return false;
        if (!tracker.Run(kTrack, {SqlValue::Text(site.origin), SqlValue::Text(path)})) {
            return Failed(writer, tracker, "StorageTracker.db");
        }
    }
    return WriteDatabase(writer, tracker, std::string(kLocalStorageFolder) + "/StorageTracker.db");
}

struct WebDatabase {
    const char* origin;
    const char* name;
    const char* file;
};
constexpr WebDatabase kWebDatabases[] = {
    {"https_www.example.com_0", "prefs", "0000000000000001.db"},
    {"https_mail.google.com_0", "offline", "0000000000000002.db"},
    {"https_mail.yahoo.com_0", "mailcache", "0000000000000003.db"},
    {"http_notes.example.org_0", "notes", "0000000000000004.db"},
};

std::string SitePath(const WebDatabase& database) {
    return std::string(kWebDatabasesFolder) + "/" + database.origin + "/" + database.file;
}

constexpr const char* kSubjects[] = {
    "Your order has shipped", "Lunch on Friday?", "Re: 50% of the budget", "Photos from Sunday",
    "Meeting notes",          "Don't forget",     "Invoice 2013-114",      "Weekend plans",
};
constexpr const char* kPeople[] = {"anna.berg@example.com", "sam.okafor@example.org",
                                   "yuki.tanaka@example.net", "grace.kim@example.com"};

bool AddFirstMailSite(ImageWriter& writer, SeededRandom& random, int64_t now) {
    SqliteBuild db;
    bool ok = db.Exec(kVersionTable) && db.Exec(kFirstMailSchema) &&
              db.Exec(
                  "INSERT INTO folder VALUES ('Inbox', 'Inbox', 2);"
                  "INSERT INTO folder VALUES ('Sent', 'Sent', 0);");
    constexpr char kMessage[] =
        "INSERT INTO message (mid, fid, subject, fromName, fromEmail, toEmail, xapparentlyto, "
        "receivedDate, flags) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?)";
    int64_t clock = now - 9 * 86400;
    for (int i = 0; i < 6; ++i) {
        const bool sent = i % 3 == 2;
        const std::string person = random.Pick(kPeople);
        clock += random.Between(3600, 86400);
        // A list's mail names nobody in "To": the address it reached is kept apart.
        const bool list = i == 4;
        ok = ok &&
             db.Run(kMessage, {SqlValue::Text(std::to_string(i + 1) + "_" + random.Digits(4) + "_" +
                                              random.LowerHex(10)),
                               SqlValue::Text(sent ? "Sent" : "Inbox"),
                               SqlValue::Text(random.Pick(kSubjects)),
                               SqlValue::Text(sent ? "me" : person.substr(0, person.find('@'))),
                               SqlValue::Text(sent ? "me@yahoo.example" : person),
                               SqlValue::Text(list   ? ""
                                              : sent ? person
                                                     : "me@yahoo.example"),
                               SqlValue::Text(list ? "me@yahoo.example" : ""), SqlValue::Int(clock),
                               SqlValue::Int(sent ? 0 : i % 2)});
    }
    if (!ok) return Failed(writer, db, SitePath(kWebDatabases[2]));
    return WriteDatabase(writer, db, SitePath(kWebDatabases[2]));
}

bool AddSecondMailSite(ImageWriter& writer, SeededRandom& random, int64_t now) {
    SqliteBuild db;
    bool ok = db.Exec(kVersionTable) && db.Exec(kSecondMailSchema);
    constexpr char kMessage[] =
        "INSERT INTO cached_messages (messageId, conversationid, subject, snippet, address_from, "
        "address_to, receivedDateMs, localUpdate) VALUES (?, ?, ?, ?, ?, ?, ?, ?)";
    constexpr char kConversation[] =
        "INSERT OR REPLACE INTO cached_conversations (conversationId, subject, messageCount) "
        "VALUES (?, ?, ?)";
    int64_t clock = now - 6 * 86400;
    std::string conversation;
    const char* subject = "";
    for (int i = 0; i < 5; ++i) {
        // Messages two and three answer the first; the others start conversations of their own.
        if (i == 0 || i == 3 || i == 4) {
            conversation = random.LowerHex(16);
            subject = random.Pick(kSubjects);
        }
        const std::string person = random.Pick(kPeople);
        clock += random.Between(600, 50000);
        const int64_t milliseconds = clock * 1000 + random.Below(1000);
        ok = ok &&
             db.Run(kMessage, {SqlValue::Text(random.LowerHex(16)), SqlValue::Text(conversation),
                               SqlValue::Text(subject), SqlValue::Text("See you there"),
                               SqlValue::Text(person), SqlValue::Text("me@gmail.example"),
                               SqlValue::Int(milliseconds), SqlValue::Int(i % 2)}) &&
             db.Run(kConversation, {SqlValue::Text(conversation), SqlValue::Text(subject),
                                    SqlValue::Int(i == 2 ? 3 : 1)});
    }
    if (!ok) return Failed(writer, db, SitePath(kWebDatabases[1]));
    return WriteDatabase(writer, db, SitePath(kWebDatabases[1]));
}

bool AddWebDatabases(ImageWriter& writer, SeededRandom& random, int64_t now) {
    SqliteBuild index;
    bool ok = index.Exec(kIndexSchema);
    constexpr char kOrigin[] = "INSERT INTO Origins (origin, quota) VALUES (?, ?)";
    constexpr char kDatabase[] =
        "INSERT INTO Databases (origin, name, displayName, estimatedSize, path) VALUES (?, ?, ?, "
        "?, ?)";
    for (const WebDatabase& database : kWebDatabases) {
        ok = ok && index.Run(kOrigin, {SqlValue::Text(database.origin), SqlValue::Int(kQuota)}) &&
             index.Run(kDatabase, {SqlValue::Text(database.origin), SqlValue::Text(database.name),
                                   SqlValue::Text(database.name), SqlValue::Int(kQuota),
                                   SqlValue::Text(database.file)});
    }
    if (!ok) return Failed(writer, index, "Databases.db");
    // The sites that are not mail keep a small table of their own.
    for (const WebDatabase& database : {kWebDatabases[0], kWebDatabases[3]}) {
        SqliteBuild db;
        if (!db.Exec(kVersionTable) || !db.Exec("CREATE TABLE kv (k TEXT, v TEXT);"
                                                "INSERT INTO kv VALUES ('seen', '1');")) {
            return Failed(writer, db, SitePath(database));
        }
        if (!WriteDatabase(writer, db, SitePath(database))) return false;
    }
    return AddFirstMailSite(writer, random, now) && AddSecondMailSite(writer, random, now) &&
           WriteDatabase(writer, index, std::string(kWebDatabasesFolder) + "/Databases.db");
}

}  // namespace

bool AddWebData(ImageWriter& writer, const ImageOptions& options) {
    const DeviceIdentity& identity = writer.identity();
    SeededRandom random(options.seed, "web-data");
    const bool localStorage = identity.release->major >= 7;
    const bool stored =
        localStorage ? AddLocalStorage(writer, random) : AddApplicationCache(writer, random);
    return stored && AddWebDatabases(writer, random, identity.now);
}

}  // namespace bw::sim

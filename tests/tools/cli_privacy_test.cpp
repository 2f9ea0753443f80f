// The command-line host's privacy commands, run as a program against simulator images of each
// iOS version: what the scan lists is compared with the image's own databases, property lists,
// cookie file and folders, read by SQLite, libplist, the tests' cookie reader and the standard
// library, and a clean is judged on the image's files after the restore. (The suite's name puts
// it in the group of tests that start the backup tool one at a time.)

#include <gtest/gtest.h>
#include <plist/plist.h>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "common/plist_tree.h"
#include "image/image_builder.h"
#include "sim/sqlite_rows.h"
#include "support/canary.h"
#include "support/cli_run.h"
#include "support/cookie_file_reader.h"
#include "support/ios_versions.h"
#include "support/temp_folder.h"
#include "support/test_images.h"

namespace bw {
namespace {

using testing::CliRun;
namespace fs = std::filesystem;

// One JSON line of flat string, number and null values, read by a small strict parser of its own so
// that a malformed line fails the test.
using JsonObject = std::map<std::string, std::string>;

bool ParseJsonString(const std::string& text, size_t& at, std::string& out) {
    if (at >= text.size() || text[at] != '"') return false;
    for (++at; at < text.size(); ++at) {
        const char c = text[at];
        if (c == '"') {
            ++at;
            return true;
        }
        if (static_cast<unsigned char>(c) < 0x20) return false;
        if (c != '\\') {
            out += c;
            continue;
        }
        if (++at >= text.size()) return false;
        const char escaped = text[at];
        if (escaped == 'u') {
            if (at + 4 >= text.size()) return false;
            const unsigned code =
                static_cast<unsigned>(std::stoul(text.substr(at + 1, 4), nullptr, 16));
            at += 4;
            // The texts compared here are ASCII when escaped; others are kept as a marker.
            out += code < 0x80 ? static_cast<char>(code) : '?';
        } else {
            const std::string from = "\"\\/bfnrt", to = "\"\\/\b\f\n\r\t";
            const size_t index = from.find(escaped);
            if (index == std::string::npos) return false;
            out += to[index];
        }
    }
    return false;
}

std::optional<JsonObject> ParseJsonLine(const std::string& line) {
    JsonObject object;
    size_t at = 0;
    if (line.empty() || line[at++] != '{') return std::nullopt;
    while (at < line.size()) {
        std::string key, value;
        if (!ParseJsonString(line, at, key) || at >= line.size() || line[at++] != ':') {
            return std::nullopt;
        }
        if (at < line.size() && line[at] == '"') {
            if (!ParseJsonString(line, at, value)) return std::nullopt;
        } else {
            const size_t end = line.find_first_of(",}", at);
            if (end == std::string::npos || end == at) return std::nullopt;
            value = line.substr(at, end - at);
            if (value != "null" && value.find_first_not_of("-0123456789") != std::string::npos)
                return std::nullopt;
            at = end;
        }
        object[key] = value;
        if (at >= line.size()) return std::nullopt;
        if (line[at] == '}') return at + 1 == line.size() ? std::optional(object) : std::nullopt;
        if (line[at++] != ',') return std::nullopt;
    }
    return std::nullopt;
}

std::vector<JsonObject> ParseJsonLines(const std::string& out) {
    std::vector<JsonObject> objects;
    size_t start = 0;
    while (start < out.size()) {
        const size_t end = std::min(out.find('\n', start), out.size());
        const std::string line = out.substr(start, end - start);
        const std::optional<JsonObject> object = ParseJsonLine(line);
        EXPECT_TRUE(object.has_value()) << "not a JSON object line: " << line;
        if (object) objects.push_back(*object);
        start = end + 1;
    }
    return objects;
}

std::vector<JsonObject> OfType(const std::vector<JsonObject>& objects, const std::string& type) {
    std::vector<JsonObject> found;
    for (const JsonObject& object : objects) {
        if (object.at("type") == type) found.push_back(object);
    }
    return found;
}

std::string IsoUtc(int64_t seconds) {
    const std::time_t time = static_cast<std::time_t>(seconds);
    std::tm utc{};
    gmtime_r(&time, &utc);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
    return text;
}

// --- The web and Safari files of an image, read with libplist and SQLite.
sim::PlistTree PlistOfFile(const std::string& path) {
    std::string bytes;
    std::ifstream in(path, std::ios::binary);
    bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    plist_t tree = nullptr;
    if (bytes.starts_with("bplist00")) {
        plist_from_bin(bytes.data(), static_cast<uint32_t>(bytes.size()), &tree);
    } else if (!bytes.empty()) {
        plist_from_xml(bytes.data(), static_cast<uint32_t>(bytes.size()), &tree);
    }
    return sim::PlistTree(tree);
}

std::string PlistText(plist_t node) {
    if (node == nullptr || plist_get_node_type(node) != PLIST_STRING) return "";
    char* text = nullptr;
    plist_get_string_val(node, &text);
    std::string out = text != nullptr ? text : "";
    free(text);
    return out;
}

uint64_t PlistInteger(plist_t node) {
    uint64_t value = 0;
    if (node != nullptr && plist_get_node_type(node) == PLIST_UINT)
        plist_get_uint_val(node, &value);
    return value;
}

// Every string below a node, for the identifiers of the home screen's layout.
void CollectStrings(plist_t node, std::set<std::string>& out) {
    switch (plist_get_node_type(node)) {
        case PLIST_STRING:
            out.insert(PlistText(node));
            break;
        case PLIST_ARRAY:
            for (uint32_t i = 0; i < plist_array_get_size(node); ++i)
                CollectStrings(plist_array_get_item(node, i), out);
            break;
        case PLIST_DICT: {
            plist_dict_iter iter = nullptr;
            plist_dict_new_iter(node, &iter);
            char* key = nullptr;
            plist_t value = nullptr;
            for (plist_dict_next_item(node, iter, &key, &value); value != nullptr;
                 plist_dict_next_item(node, iter, &key, &value)) {
                free(key);
                key = nullptr;
                CollectStrings(value, out);
            }
            free(iter);
            break;
        }
        default:
            break;
    }
}

std::string Joined(std::initializer_list<std::string> fields) {
    std::string line;
    for (const std::string& field : fields)
        line += field + "|";
    return line;
}

// The listed lines of one type as texts of the given keys, each key required.
std::multiset<std::string> Listed(const std::vector<JsonObject>& items, const std::string& type,
                                  const std::vector<std::string>& keys) {
    std::multiset<std::string> lines;
    for (const JsonObject& item : OfType(items, type)) {
        std::string line;
        for (const std::string& key : keys) {
            const auto found = item.find(key);
            EXPECT_NE(found, item.end()) << type << " without " << key;
            line += (found != item.end() ? found->second : "(missing)") + "|";
        }
        lines.insert(line);
    }
    return lines;
}

class BackupToolPrivacyCommands : public ::testing::TestWithParam<const char*> {
  protected:
    void SetUp() override {
        image = folder / "phone";
        sim::ImageOptions options;
        options.iosVersion = GetParam();
        std::string error;
        ASSERT_TRUE(testing::MakeTestImage(image, options, error)) << error;
    }

    bool Legacy() const { return std::string(GetParam()).front() == '5'; }

    CliRun Sim(const std::string& arguments) {
        // As in the backup commands' tests: the runtime's threads outlive main, so the leak
        // checker of a sanitizer build cannot inspect the process.
        return testing::RunCli(folder,
                               "ASAN_OPTIONS=detect_leaks=0 XDG_CACHE_HOME=" + folder / "cache" +
                                   " XDG_DATA_HOME=" + folder / "data",
                               "--sim=" + image + " " + arguments);
    }

    std::string Fs(const std::string& path) const { return image + "/fs/" + path; }
    std::string SmsDb() const { return Fs("var/mobile/Library/SMS/sms.db"); }
    // "~/Library/..." as the message store names attachment files.
    std::string HomeFile(const std::string& tildePath) const {
        return Fs("var/mobile" + tildePath.substr(1));
    }

    // Conversation identifier -> number of messages, from the image's store.
    std::map<std::string, std::string> ExpectedConversations() {
        sim::SqliteFile db(SmsDb(), SQLITE_OPEN_READONLY);
        EXPECT_TRUE(db.ok());
        const std::string sql =
            Legacy() ? "select chat_identifier, (select count(*) from message m where "
                       "m.madrid_handle = c.chat_identifier) from madrid_chat c"
                     : "select chat_identifier, (select count(*) from chat_message_join j where "
                       "j.chat_id = c.ROWID) from chat c";
        std::map<std::string, std::string> expected;
        const auto rows = db.Rows(sql);
        EXPECT_TRUE(rows.has_value()) << sql;
        if (!rows) return expected;
        for (const auto& row : *rows)
            expected[row[0].text] = std::to_string(row[1].integer);
        return expected;
    }

    // Each call of the image's history as "address date duration", the date as UTC text.
    std::multiset<std::string> ExpectedCalls() {
        sim::SqliteFile calls(Fs("var/wireless/Library/CallHistory/call_history.db"),
                              SQLITE_OPEN_READONLY);
        EXPECT_TRUE(calls.ok());
        std::multiset<std::string> expected;
        const auto rows = calls.Rows("select address, date, duration from call");
        EXPECT_TRUE(rows.has_value());
        if (!rows) return expected;
        for (const auto& row : *rows) {
            expected.insert(row[0].text + " " + IsoUtc(row[1].integer) + " " +
                            std::to_string(row[2].integer));
        }
        EXPECT_FALSE(expected.empty());
        return expected;
    }
    static std::multiset<std::string> ListedCalls(const std::vector<JsonObject>& items) {
        std::multiset<std::string> listed;
        for (const JsonObject& call : OfType(items, "calls")) {
            EXPECT_TRUE(call.count("contact")) << "a call without its contact key";
            listed.insert(call.at("address") + " " + call.at("date") + " " + call.at("duration"));
        }
        return listed;
    }
    static std::map<std::string, std::string> ListedChats(const std::vector<JsonObject>& items) {
        std::map<std::string, std::string> listed;
        for (const JsonObject& chat : OfType(items, "messages")) {
            for (const char* key : {"contact", "attachments", "size"})
                EXPECT_TRUE(chat.count(key)) << key;
            listed[chat.at("chat")] = chat.at("messages");
        }
        return listed;
    }

    std::string Home(const std::string& path) const { return Fs("var/mobile/Library/" + path); }
    std::string CookieFile() const { return Home("Cookies/Cookies.binarycookies"); }
    std::string HistoryFile() const { return Home("Safari/History.plist"); }

    // Each page of the history as libplist's XML of it, with its address, in the file's order.
    std::vector<std::pair<std::string, std::string>> HistoryXml() const {
        std::vector<std::pair<std::string, std::string>> pages;
        const sim::PlistTree history = PlistOfFile(HistoryFile());
        EXPECT_NE(history, nullptr);
        if (history == nullptr) return pages;
        plist_t dates = plist_dict_get_item(history.get(), "WebHistoryDates");
        for (uint32_t i = 0; i < plist_array_get_size(dates); ++i) {
            plist_t page = plist_array_get_item(dates, i);
            pages.emplace_back(PlistText(plist_dict_get_item(page, "")), sim::PlistXml(page));
        }
        return pages;
    }

    // Each page of the history as "url|title|visits|", in the file's order.
    std::vector<std::string> HistoryPages() const {
        std::vector<std::string> pages;
        const sim::PlistTree history = PlistOfFile(HistoryFile());
        EXPECT_NE(history, nullptr);
        if (history == nullptr) return pages;
        plist_t dates = plist_dict_get_item(history.get(), "WebHistoryDates");
        for (uint32_t i = 0; i < plist_array_get_size(dates); ++i) {
            plist_t page = plist_array_get_item(dates, i);
            pages.push_back(
                Joined({PlistText(plist_dict_get_item(page, "")),
                        PlistText(plist_dict_get_item(page, "title")),
                        std::to_string(PlistInteger(plist_dict_get_item(page, "visitCount")))}));
        }
        return pages;
    }

    // Every cookie of the file, page after page.
    std::vector<testing::FileCookie> AllCookies() const {
        std::ifstream in(CookieFile(), std::ios::binary);
        const std::string bytes((std::istreambuf_iterator<char>(in)),
                                std::istreambuf_iterator<char>());
        const std::optional<testing::CookiePages> pages = testing::ReadCookieFile(bytes);
        EXPECT_TRUE(pages.has_value());
        std::vector<testing::FileCookie> cookies;
        if (pages) {
            for (const auto& page : *pages)
                cookies.insert(cookies.end(), page.begin(), page.end());
        }
        return cookies;
    }

    // Each cookie of the file as "domain|name|path|expires|", expires in UTC or null.
    std::multiset<std::string> FileCookies() const {
        std::multiset<std::string> cookies;
        for (const testing::FileCookie& cookie : AllCookies()) {
            // Seconds since 2001; no expiry marks a session cookie.
            const std::string expires =
                cookie.expires > 0 ? IsoUtc(static_cast<int64_t>(cookie.expires) + 978307200)
                                   : "null";
            cookies.insert(Joined({cookie.domain, cookie.name, cookie.path, expires}));
        }
        return cookies;
    }

    testing::TempFolder folder;
    std::string image;
};

TEST_P(BackupToolPrivacyCommands, ScanListsTheImagesCallsConversationsLeftoversAndSurplusFiles) {
    const CliRun scan = Sim("privacy scan all --json");
    ASSERT_EQ(scan.status, 0) << scan.err;
    const std::vector<JsonObject> items = ParseJsonLines(scan.out);

    // Calls: every row of the call history once, with its date as UTC text and its duration.
    EXPECT_EQ(ListedCalls(items), ExpectedCalls());

    // Conversations: each of the store's conversations with its number of messages.
    const std::map<std::string, std::string> listedChats = ListedChats(items);
    const std::map<std::string, std::string> expectedChats = ExpectedConversations();
    EXPECT_FALSE(expectedChats.empty());
    EXPECT_EQ(listedChats, expectedChats);

    // Removed applications: each one listed is a folder the image keeps for a removed
    // application, with that folder's file count and byte total; the image's third-party one is
    // among them.
    const std::vector<JsonObject> leftovers = OfType(items, "app-leftovers");
    bool sawDecks = false;
    for (const JsonObject& app : leftovers) {
        const std::string root = image + "/removed-apps/" + app.at("id");
        ASSERT_TRUE(fs::is_directory(root)) << root;
        uint64_t files = 0, bytes = 0;
        for (const auto& entry : fs::recursive_directory_iterator(root)) {
            if (!entry.is_regular_file()) continue;
            ++files;
            bytes += entry.file_size();
        }
        EXPECT_EQ(app.at("files"), std::to_string(files)) << app.at("id");
        EXPECT_EQ(app.at("size"), std::to_string(bytes)) << app.at("id");
        sawDecks = sawDecks || app.at("id") == "com.flashcardly.decks";
    }
    EXPECT_TRUE(sawDecks);

    // Surplus attachment files: files of the attachment folder that no attachment row names,
    // each listed with its size.
    sim::SqliteFile db(SmsDb(), SQLITE_OPEN_READONLY);
    std::set<std::string> referenced;
    for (const std::string& name : db.Column(Legacy() ? "select filename from madrid_attachment"
                                                      : "select filename from attachment")) {
        if (name.rfind("~/", 0) == 0) referenced.insert(name.substr(2));
    }
    std::map<std::string, std::string> expectedSurplus;
    const std::string home = Fs("var/mobile/");
    for (const auto& entry : fs::recursive_directory_iterator(home + "Library/SMS/Attachments")) {
        if (!entry.is_regular_file()) continue;
        const std::string relative = entry.path().string().substr(home.size());
        if (!referenced.count(relative)) {
            expectedSurplus[relative] = std::to_string(entry.file_size());
        }
    }
    std::map<std::string, std::string> listedSurplus;
    for (const JsonObject& file : OfType(items, "attachments"))
        listedSurplus[file.at("path")] = file.at("size");
    EXPECT_FALSE(expectedSurplus.empty());
    EXPECT_EQ(listedSurplus, expectedSurplus);
}

TEST_P(BackupToolPrivacyCommands, CleanOfOneConversationRemovesExactlyItFromThePhone) {
    const std::string target = "anna.berg@example.net";
    sim::SqliteFile before(SmsDb(), SQLITE_OPEN_READONLY);
    ASSERT_TRUE(before.ok());
    const std::string chatTable = Legacy() ? "madrid_chat" : "chat";
    const std::string attachmentTable = Legacy() ? "madrid_attachment" : "attachment";
    const std::string targetMessages =
        Legacy() ? "select ROWID from message where madrid_handle = '" + target + "'"
                 : "select message_id from chat_message_join where chat_id in (select ROWID "
                   "from chat where chat_identifier = '" +
                       target + "')";
    const std::multiset<std::string> otherMessages =
        before.RowTexts("select * from message where ROWID not in (" + targetMessages + ")");
    const std::multiset<std::string> otherChats = before.RowTexts(
        "select * from " + chatTable + " where chat_identifier <> '" + target + "'");
    const std::multiset<std::string> attachmentsBefore =
        before.RowTexts("select * from " + attachmentTable);
    const std::vector<std::string> namesBefore =
        before.Column("select filename from " + attachmentTable);
    ASSERT_EQ(before.Column("select count(*) from (" + targetMessages + ")").front() != "0", true);

    const CliRun clean = Sim("privacy clean messages --only '" + target + "'");
    ASSERT_EQ(clean.status, 0) << clean.err;
    EXPECT_NE(clean.out.find("removed conversation  " + target), std::string::npos) << clean.out;

    sim::SqliteFile after(SmsDb(), SQLITE_OPEN_READONLY);
    ASSERT_TRUE(after.ok());
    EXPECT_EQ(after.Column("pragma integrity_check"), std::vector<std::string>{"ok"});
    EXPECT_EQ(after.Column("select count(*) from " + chatTable + " where chat_identifier = '" +
                           target + "'"),
              std::vector<std::string>{"0"});
    EXPECT_EQ(after.Column("select count(*) from (" + targetMessages + ")"),
              std::vector<std::string>{"0"});
    EXPECT_EQ(after.RowTexts("select * from message"), otherMessages);
    EXPECT_EQ(after.RowTexts("select * from " + chatTable), otherChats);

    // The conversation's attachments (three in every image) went with their files; the others
    // are the rows they were, and their files are still there.
    const std::multiset<std::string> attachmentsAfter =
        after.RowTexts("select * from " + attachmentTable);
    EXPECT_TRUE(std::includes(attachmentsBefore.begin(), attachmentsBefore.end(),
                              attachmentsAfter.begin(), attachmentsAfter.end()));
    EXPECT_EQ(attachmentsBefore.size() - attachmentsAfter.size(), 3u);
    const std::vector<std::string> namesAfter =
        after.Column("select filename from " + attachmentTable);
    for (const std::string& name : namesBefore) {
        const bool kept = std::find(namesAfter.begin(), namesAfter.end(), name) != namesAfter.end();
        if (kept) continue;
        EXPECT_FALSE(fs::exists(HomeFile(name))) << name;
    }
}

TEST_P(BackupToolPrivacyCommands, CleanWithKeepLeavesTheKeptConversationsAndTheCalls) {
    const std::map<std::string, std::string> chats = ExpectedConversations();
    const CliRun clean = Sim("privacy clean messages --keep '*@*' --keep '+1617*'");
    ASSERT_EQ(clean.status, 0) << clean.err;
    std::map<std::string, std::string> kept;
    for (const auto& [chat, count] : chats) {
        if (chat.find('@') != std::string::npos || chat.rfind("+1617", 0) == 0) kept[chat] = count;
    }
    ASSERT_LT(kept.size(), chats.size());
    EXPECT_EQ(ExpectedConversations(), kept);
    // The working copies of the phone's messages do not stay behind in the cache.
    EXPECT_FALSE(fs::exists(folder / "cache/brackwater/deepclean"));
    sim::SqliteFile calls(Fs("var/wireless/Library/CallHistory/call_history.db"),
                          SQLITE_OPEN_READONLY);
    EXPECT_NE(calls.Column("select count(*) from call"), std::vector<std::string>{"0"});
}

TEST_P(BackupToolPrivacyCommands, BackupFolderIsReadWithoutTheDeviceAndLeftAsItWas) {
    const CliRun backup = Sim("backup");
    ASSERT_EQ(backup.status, 0) << backup.err;
    // A copy elsewhere, under a name that is not the device's: the reader takes the folder it is
    // given, wherever it is.
    const std::string copy = folder / "kept backups/old phone";
    fs::create_directories(folder / "kept backups");
    const std::string made = backup.out.substr(13, backup.out.size() - 14);
    fs::copy(made, copy, fs::copy_options::recursive);
    testing::PlantCanary(copy);
    const testing::TreeFingerprint before = testing::FingerprintTree(copy);

    const CliRun scan =
        testing::RunCli(folder, "ASAN_OPTIONS=detect_leaks=0 XDG_CACHE_HOME=" + folder / "cache2",
                        "privacy scan all --backup '" + copy + "' --json");
    ASSERT_EQ(scan.status, 0) << scan.err;
    const std::vector<JsonObject> items = ParseJsonLines(scan.out);
    EXPECT_EQ(ListedCalls(items), ExpectedCalls());
    EXPECT_EQ(ListedChats(items), ExpectedConversations());
    EXPECT_FALSE(OfType(items, "attachments").empty());
    EXPECT_TRUE(OfType(items, "app-leftovers").empty());
    EXPECT_EQ(testing::FingerprintTree(copy), before);
    // Nothing of the read is left in the program's cache either.
    EXPECT_FALSE(fs::exists(folder / "cache2"));

    const CliRun leftovers = testing::RunCli(folder, "", "privacy scan 17 --backup '" + copy + "'");
    EXPECT_EQ(leftovers.status, 2);
    EXPECT_NE(leftovers.err.find("app-leftovers needs the device"), std::string::npos);
    fs::remove(copy + "/Manifest.mbdb");
    const CliRun noManifest =
        testing::RunCli(folder, "", "privacy scan messages --backup '" + copy + "'");
    EXPECT_EQ(noManifest.status, 1);
    EXPECT_NE(noManifest.err.find("no Manifest.mbdb"), std::string::npos) << noManifest.err;
}

TEST_P(BackupToolPrivacyCommands, ScanListsTheWebAndSafariItemsAsTheImagesFilesHoldThem) {
    const CliRun scan = Sim(
        "privacy scan safari-tabs safari-cookies safari-history web-app-data web-mail recent-apps "
        "notifications --json");
    ASSERT_EQ(scan.status, 0) << scan.err;
    const std::vector<JsonObject> items = ParseJsonLines(scan.out);

    // Cookies: every cookie of the file, its expiry as UTC text or null for a session cookie.
    const std::multiset<std::string> cookies = FileCookies();
    EXPECT_GE(cookies.size(), 10u);
    EXPECT_EQ(Listed(items, "safari-cookies", {"domain", "name", "path", "expires"}), cookies);

    // History: every page with its title and visit count.
    const std::vector<std::string> pages = HistoryPages();
    EXPECT_GE(pages.size(), 48u);
    EXPECT_EQ(Listed(items, "safari-history", {"url", "title", "visits"}),
              std::multiset<std::string>(pages.begin(), pages.end()));

    // Tabs: each saved document with its title, address and number of back-forward entries.
    std::multiset<std::string> tabs;
    const sim::PlistTree state = PlistOfFile(Home("Safari/SuspendState.plist"));
    ASSERT_NE(state, nullptr);
    plist_t documents = plist_dict_get_item(state.get(), "SafariStateDocuments");
    for (uint32_t i = 0; i < plist_array_get_size(documents); ++i) {
        plist_t tab = plist_array_get_item(documents, i);
        plist_t entries = plist_dict_get_item(
            plist_dict_get_item(tab, "SafariStateDocumentBackForwardList"), "entries");
        tabs.insert(Joined({PlistText(plist_dict_get_item(tab, "SafariStateDocumentTitle")),
                            PlistText(plist_dict_get_item(tab, "SafariStateDocumentURL")),
                            std::to_string(plist_array_get_size(entries))}));
    }
    EXPECT_FALSE(tabs.empty());
    EXPECT_EQ(Listed(items, "safari-tabs", {"title", "url", "entries"}), tabs);

    // Web application data: caches by origin with their entries and the cache's size (iOS 5 and
    // 6), or local-storage origins with their pairs and the pairs' bytes (iOS 7).
    std::multiset<std::string> webData;
    if (std::string(GetParam()).front() == '7') {
        sim::SqliteFile tracker(Home("WebKit/LocalStorage/StorageTracker.db"),
                                SQLITE_OPEN_READONLY);
        ASSERT_TRUE(tracker.ok());
        const auto origins = tracker.Rows("select origin, path from Origins");
        ASSERT_TRUE(origins.has_value());
        for (const auto& row : *origins) {
            sim::SqliteFile storage(Fs(row[1].text.substr(1)), SQLITE_OPEN_READONLY);
            ASSERT_TRUE(storage.ok()) << row[1].text;
            webData.insert(Joined(
                {row[0].text, std::to_string(storage.Count("select count(*) from ItemTable")),
                 std::to_string(storage.Count("select total(length(cast(key as blob)) + "
                                              "length(cast(value as blob))) from ItemTable"))}));
        }
    } else {
        sim::SqliteFile cache(Home("Caches/com.apple.WebAppCache/ApplicationCache.db"),
                              SQLITE_OPEN_READONLY);
        ASSERT_TRUE(cache.ok());
        const auto caches = cache.Rows(
            "select g.origin, (select count(*) from CacheEntries e where e.cache = c.id), c.size "
            "from Caches c join CacheGroups g on g.id = c.cacheGroup");
        ASSERT_TRUE(caches.has_value());
        for (const auto& row : *caches) {
            webData.insert(Joined(
                {row[0].text, std::to_string(row[1].integer), std::to_string(row[2].integer)}));
        }
    }
    EXPECT_GE(webData.size(), 3u);
    EXPECT_EQ(Listed(items, "web-app-data", {"origin", "entries", "size"}), webData);

    // Web mail: each message of each mail site's database, under the site the index names.
    std::multiset<std::string> mail;
    sim::SqliteFile index(Home("WebKit/Databases/Databases.db"), SQLITE_OPEN_READONLY);
    ASSERT_TRUE(index.ok());
    const auto databases = index.Rows("select origin, path from Databases");
    ASSERT_TRUE(databases.has_value());
    for (const auto& row : *databases) {
        sim::SqliteFile site(Home("WebKit/Databases/" + row[0].text + "/" + row[1].text),
                             SQLITE_OPEN_READONLY);
        for (const char* table : {"message", "cached_messages"}) {
            for (const std::string& subject :
                 site.Column(std::string("select subject from ") + table))
                mail.insert(Joined({row[0].text, subject}));
        }
    }
    EXPECT_EQ(mail.size(), 11u);
    EXPECT_EQ(Listed(items, "web-mail", {"site", "subject"}), mail);

    // Recent applications: those of SpringBoard's list that the home screen shows, in order.
    const sim::PlistTree preferences = PlistOfFile(Home("Preferences/com.apple.springboard.plist"));
    const sim::PlistTree layout = PlistOfFile(Home("SpringBoard/IconState.plist"));
    ASSERT_NE(preferences, nullptr);
    ASSERT_NE(layout, nullptr);
    std::set<std::string> onScreen;
    CollectStrings(layout.get(), onScreen);
    std::vector<std::string> recent, listedRecent;
    plist_t displays = plist_dict_get_item(preferences.get(), "SBRecentDisplays");
    for (uint32_t i = 0; i < plist_array_get_size(displays); ++i) {
        const std::string id = PlistText(plist_array_get_item(displays, i));
        if (onScreen.count(id) != 0) recent.push_back(id);
    }
    ASSERT_LT(recent.size(), plist_array_get_size(displays));
    for (const JsonObject& app : OfType(items, "recent-apps"))
        listedRecent.push_back(app.at("id"));
    EXPECT_EQ(listedRecent, recent);

    // Push stores: each store file with the number of notifications its archived array holds.
    std::multiset<std::string> stores;
    for (const auto& entry : fs::directory_iterator(Home("SpringBoard/PushStore"))) {
        const sim::PlistTree archive = PlistOfFile(entry.path().string());
        ASSERT_NE(archive, nullptr) << entry.path();
        plist_t objects = plist_dict_get_item(archive.get(), "$objects");
        uint64_t root = 0;
        plist_get_uid_val(plist_dict_get_item(plist_dict_get_item(archive.get(), "$top"), "root"),
                          &root);
        plist_t array = plist_array_get_item(objects, static_cast<uint32_t>(root));
        stores.insert(Joined(
            {entry.path().stem().string(),
             std::to_string(plist_array_get_size(plist_dict_get_item(array, "NS.objects")))}));
    }
    EXPECT_GE(stores.size(), 2u);
    EXPECT_EQ(Listed(items, "notifications", {"id", "messages"}), stores);
}

TEST_P(BackupToolPrivacyCommands, CleanOfOneSiteRemovesItsCookiesAndMatchingPagesFromThePhone) {
    const std::string site = "shop.example";
    const std::vector<testing::FileCookie> cookiesBefore = AllCookies();
    const auto pagesBefore = HistoryXml();
    std::vector<testing::FileCookie> cookiesKept;
    for (const testing::FileCookie& cookie : cookiesBefore)
        if (cookie.domain.find(site) == std::string::npos) cookiesKept.push_back(cookie);
    // The site's pages are those whose address names it (no title here names it).
    std::vector<std::pair<std::string, std::string>> pagesKept;
    for (const auto& page : pagesBefore)
        if (page.first.find(site) == std::string::npos) pagesKept.push_back(page);
    ASSERT_LT(cookiesKept.size(), cookiesBefore.size());
    ASSERT_FALSE(cookiesKept.empty());
    ASSERT_LT(pagesKept.size(), pagesBefore.size());
    ASSERT_FALSE(pagesKept.empty());

    const CliRun clean = Sim("privacy clean safari-cookies safari-history --only '*" + site + "*'");
    ASSERT_EQ(clean.status, 0) << clean.err;
    // The other sites' cookies are the records they were, in their order; the other pages are
    // the pages they were.
    EXPECT_TRUE(AllCookies() == cookiesKept);
    EXPECT_EQ(HistoryXml(), pagesKept);
}

INSTANTIATE_TEST_SUITE_P(EachVersion, BackupToolPrivacyCommands, bw::testing::EachIosVersion(),
                         bw::testing::IosVersionName);

TEST(PrivacyCommandUsage, RefusesUnknownTypesAndMixedChoices) {
    testing::TempFolder folder;
    const CliRun unknown = testing::RunCli(folder, "", "privacy scan photos");
    EXPECT_EQ(unknown.status, 2);
    EXPECT_NE(unknown.err.find("unknown privacy type photos"), std::string::npos) << unknown.err;
    const CliRun both = testing::RunCli(folder, "", "privacy clean 9 --keep a --only b");
    EXPECT_EQ(both.status, 2);
    EXPECT_NE(both.err.find("not both"), std::string::npos) << both.err;
    const CliRun keepOnScan = testing::RunCli(folder, "", "privacy scan 9 --keep a");
    EXPECT_EQ(keepOnScan.status, 2);
}

}  // namespace
}  // namespace bw

namespace bw {
namespace {

// The demo's private-data tour ends with its own proofs, which must hold on the demo iPhone.
TEST(BackupToolPrivacyDemo, CleansOneConversationAndOneSitesCookies) {
    testing::TempFolder folder;
    const CliRun demo =
        testing::RunCli(folder,
                        "ASAN_OPTIONS=detect_leaks=0 XDG_CACHE_HOME=" + folder / "cache" +
                            " XDG_DATA_HOME=" + folder / "data",
                        "demo");
    ASSERT_EQ(demo.status, 0) << demo.err;
    for (const char* expected :
         {"calls: 24 found", "messages: 1 removed", "30 conversations before, 29 after",
          "safari-cookies: 3 removed", "13 cookies before, 10 after"}) {
        EXPECT_NE(demo.out.find(expected), std::string::npos) << expected << "\n" << demo.out;
    }
    // Both proofs: the conversation and the site's cookies.
    size_t proofs = 0;
    for (size_t at = demo.out.find("everything else is unchanged"); at != std::string::npos;
         at = demo.out.find("everything else is unchanged", at + 1)) {
        ++proofs;
    }
    EXPECT_EQ(proofs, 2u) << demo.out;
    // The demo's backups stay in its own folder, not in the user's backup root.
    EXPECT_FALSE(std::filesystem::exists(folder / "data/Apple Computer"));
}

}  // namespace
}  // namespace bw

// The messages, calls and contacts of an image, read from its files with a stock SQLite: each
// store passes SQLite's own checks, carries its version's tables and triggers, holds the promised
// rows, and agrees with the others on who is who; the attachment files lie where the rows say.
#include <sqlite3.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "image/image_builder.h"
#include "sim/sqlite_rows.h"
#include "support/temp_folder.h"

namespace bw::sim {
namespace {

namespace fs = std::filesystem;

constexpr char kSmsStore[] = "/var/mobile/Library/SMS/sms.db";
constexpr char kSmsAttachmentFolder[] = "/var/mobile/Library/SMS/Attachments";
constexpr char kCallStore[] = "/var/wireless/Library/CallHistory/call_history.db";
constexpr char kContactStore[] = "/var/mobile/Library/AddressBook/AddressBook.sqlitedb";

std::vector<std::string> SortedNames(std::vector<std::string> names) {
    std::sort(names.begin(), names.end());
    return names;
}

// The GUIDs of an iOS 5 "madrid_attachmentInfo" blob, read by the layout alone: the list starts
// at byte 66 when that byte is '$', else at 103; entries are 38 bytes apart; each is a GUID with
// '$' and '?' around it; the list ends at the first entry that is no GUID.
std::vector<std::string> GuidsOfInfo(const std::string& blob, size_t& start) {
    std::vector<std::string> guids;
    start = blob.size() > 66 && blob[66] == '$' ? 66 : 103;
    for (size_t at = start; at + 38 <= blob.size(); at += 38) {
        std::string guid;
        for (const char c : blob.substr(at, 38))
            if (c != '$' && c != '?') guid += c;
        const bool shaped = guid.size() == 36 && guid[8] == '-' && guid[13] == '-' &&
                            guid[18] == '-' && guid[23] == '-' &&
                            guid.find_first_not_of("0123456789ABCDEF-") == std::string::npos;
        if (!shaped) break;
        guids.push_back(guid);
    }
    return guids;
}

// One image to read, and more on demand.
class PrivateDataImage : public ::testing::Test {
  protected:
    void Open(const std::string& ios) {
        ios_ = ios;
        image_ = Build(ios, 1, 7);
    }

    std::string Build(const std::string& ios, int scale, uint64_t seed,
                      const std::string& name = "image") {
        ImageOptions options;
        options.iosVersion = ios;
        options.scale = scale;
        options.seed = seed;
        const std::string folder = temp_ / name;
        std::string error;
        EXPECT_TRUE(CreateImage(folder, options, error)) << error;
        return folder;
    }

    std::string File(const std::string& devicePath) const { return ImagePath(image_, devicePath); }
    int Major() const { return ios_[0] - '0'; }

    // A copy to write to, so that the image stays as built.
    std::string Copy(const std::string& devicePath) {
        const std::string copy = temp_ / ("copy-" + fs::path(devicePath).filename().string());
        fs::copy_file(File(devicePath), copy, fs::copy_options::overwrite_existing);
        return copy;
    }

    testing::TempFolder temp_;
    std::string ios_;
    std::string image_;
};

class SimImagePrivateData : public PrivateDataImage,
                            public ::testing::WithParamInterface<const char*> {
  protected:
    void SetUp() override { Open(GetParam()); }
};

class SimImageIos5Messages : public PrivateDataImage {
  protected:
    void SetUp() override { Open("5.1.1"); }
};

TEST_P(SimImagePrivateData, EveryStoreOpensWithStockSqliteAndPassesItsIntegrityCheck) {
    for (const char* path : {kSmsStore, kCallStore, kContactStore}) {
        SqliteFile db(File(path), SQLITE_OPEN_READONLY);
        ASSERT_TRUE(db.ok()) << path;
        EXPECT_EQ(db.IntegrityCheck(), "ok") << path;
    }
    // The full-text index agrees with its content table under SQLite's own tokenizer.
    SqliteFile contacts(Copy(kContactStore));
    EXPECT_EQ(contacts.Exec("INSERT INTO ABPersonFullTextSearch(ABPersonFullTextSearch) "
                            "VALUES('integrity-check')"),
              "");
    EXPECT_EQ(contacts.Count("SELECT count(*) FROM ABPersonFullTextSearch WHERE "
                             "ABPersonFullTextSearch MATCH 'Okafor'"),
              1);
}

TEST_P(SimImagePrivateData, MessageStoreHasTheTablesIndexesAndTriggersOfItsVersion) {
    SqliteFile db(File(kSmsStore), SQLITE_OPEN_READONLY);
    const auto names = [&](const char* type) {
        return SortedNames(db.Column(std::string("SELECT name FROM sqlite_master WHERE type = '") +
                                     type + "' AND name NOT LIKE 'sqlite_autoindex%'"));
    };
    if (Major() == 5) {
        EXPECT_EQ(names("table"), SortedNames({"_SqliteDatabaseProperties", "message",
                                               "sqlite_sequence", "msg_group", "group_member",
                                               "msg_pieces", "madrid_attachment", "madrid_chat"}));
        EXPECT_EQ(names("trigger"),
                  SortedNames({"delete_message", "delete_newest_message", "delete_pieces",
                               "insert_newest_message", "insert_unread_message",
                               "mark_message_read", "mark_message_unread"}));
        EXPECT_EQ(names("index").size(), 20u);
        EXPECT_EQ(db.Count("SELECT count(*) FROM sqlite_master WHERE name = 'madrid_guid_index'"),
                  1);
    } else {
        EXPECT_EQ(names("table"),
                  SortedNames({"_SqliteDatabaseProperties", "message", "sqlite_sequence", "chat",
                               "attachment", "handle", "message_attachment_join",
                               "chat_handle_join", "chat_message_join"}));
        EXPECT_EQ(names("trigger"),
                  SortedNames({"clean_orphaned_messages", "clean_orphaned_attachments",
                               "clean_orphaned_handles", "clean_orphaned_handles2",
                               "set_message_has_attachments", "clear_message_has_attachments",
                               "update_message_roomname_cache_insert",
                               "update_message_roomname_cache_delete", "delete_attachment_files"}));
        EXPECT_EQ(names("index"), SortedNames({"chat_idx_identifier", "chat_idx_room_name",
                                               "message_idx_was_downgraded", "message_idx_is_read",
                                               "message_idx_failed", "message_idx_handle",
                                               "chat_message_join_idx_message_id"}));
        // iOS 7's upgrades add columns to chat and attachment.
        const int64_t sevenColumns =
            db.Count(
                "SELECT count(*) FROM pragma_table_info('attachment') WHERE name IN "
                "('user_info', 'transfer_name', 'total_bytes')") +
            db.Count("SELECT count(*) FROM pragma_table_info('chat') WHERE name = 'display_name'");
        EXPECT_EQ(sevenColumns, Major() == 7 ? 4 : 0);
    }
    const auto version =
        db.Column("SELECT value FROM _SqliteDatabaseProperties WHERE key = '_ClientVersion'");
    EXPECT_EQ(version, std::vector<std::string>{Major() == 5   ? "21"
                                                : Major() == 6 ? "38"
                                                               : "7006"});
}

// (conversations, messages, attachment rows) as the store holds them.
struct MessageCounts {
    int64_t conversations, messages, attachments;
};

MessageCounts CountMessages(SqliteFile& db, int major) {
    if (major == 5) {
        return {db.Count("SELECT (SELECT count(*) FROM msg_group) + (SELECT count(*) FROM "
                         "madrid_chat)"),
                db.Count("SELECT count(*) FROM message"),
                db.Count("SELECT count(*) FROM madrid_attachment")};
    }
    return {db.Count("SELECT count(*) FROM chat"), db.Count("SELECT count(*) FROM message"),
            db.Count("SELECT count(*) FROM attachment")};
}

TEST_P(SimImagePrivateData, MessageStoreHoldsThePromisedConversations) {
    SqliteFile db(File(kSmsStore), SQLITE_OPEN_READONLY);
    const MessageCounts counts = CountMessages(db, Major());
    EXPECT_EQ(counts.conversations, 30);
    EXPECT_EQ(counts.messages, 165);
    EXPECT_EQ(counts.attachments, 20);
    if (Major() == 5) {
        // SMS by phone number, iMessage by number and by e-mail address, two groups.
        EXPECT_EQ(db.Count("SELECT count(*) FROM msg_group"), 18);
        EXPECT_EQ(db.Count("SELECT count(*) FROM madrid_chat WHERE chat_identifier LIKE '%@%'"), 6);
        EXPECT_EQ(db.Count("SELECT count(*) FROM madrid_chat WHERE style = 43"), 2);
        // The triggers kept each group's newest message and its unread count.
        EXPECT_EQ(db.Count("SELECT count(*) FROM msg_group g WHERE newest_message = (SELECT "
                           "max(ROWID) FROM message WHERE group_id = g.ROWID)"),
                  18);
        EXPECT_GT(db.Count("SELECT sum(unread_count) FROM msg_group"), 0);
    } else {
        EXPECT_EQ(db.Count("SELECT count(*) FROM chat WHERE service_name = 'SMS'"), 18);
        EXPECT_EQ(db.Count("SELECT count(*) FROM handle WHERE service = 'iMessage' AND id LIKE "
                           "'%@%'"),
                  6);
        EXPECT_EQ(db.Count("SELECT count(*) FROM chat WHERE style = 43 AND room_name LIKE 'chat%'"),
                  2);
        EXPECT_EQ(db.Count("SELECT count(*) FROM chat_message_join"), 165);
        EXPECT_EQ(db.Count("SELECT count(*) FROM message_attachment_join"), 20);
        // The triggers marked the messages that have attachments, and only those.
        EXPECT_EQ(db.Count("SELECT count(*) FROM message WHERE cache_has_attachments = 1"), 16);
        EXPECT_EQ(db.Count("SELECT count(*) FROM message WHERE cache_roomnames LIKE 'chat%'"),
                  db.Count("SELECT count(*) FROM chat_message_join j JOIN chat c ON c.ROWID = "
                           "j.chat_id WHERE c.style = 43"));
    }
    // Texts outside ASCII come through as UTF-8.
    EXPECT_GT(db.Count("SELECT count(*) FROM message WHERE text LIKE '%K\xc3\xb6ln%' OR text LIKE "
                       "'%\xe6\x98\x8e%'"),
              0);
}

TEST_P(SimImagePrivateData, AttachmentFilesLieWhereTheRowsSayExceptTheMissingOnes) {
    SqliteFile db(File(kSmsStore), SQLITE_OPEN_READONLY);
    const std::vector<std::string> names =
        db.Column(Major() == 5 ? "SELECT filename || '|' || attachment_guid FROM madrid_attachment"
                               : "SELECT filename || '|' || guid FROM attachment");
    ASSERT_EQ(names.size(), 20u);
    std::set<std::string> referenced;
    int missing = 0;
    for (const std::string& entry : names) {
        const std::string name = entry.substr(0, entry.find('|'));
        const std::string guid = entry.substr(entry.find('|') + 1);
        ASSERT_TRUE(name.starts_with("~/Library/SMS/Attachments/")) << name;
        EXPECT_NE(name.find("/" + guid + "/"), std::string::npos) << name;
        const std::string devicePath = "/var/mobile" + name.substr(1);
        referenced.insert(File(devicePath));
        if (!fs::is_regular_file(File(devicePath))) ++missing;
    }
    EXPECT_EQ(missing, 2);
    int unreferenced = 0;
    for (const auto& entry : fs::recursive_directory_iterator(File(kSmsAttachmentFolder))) {
        if (entry.is_regular_file() && referenced.count(entry.path().string()) == 0) ++unreferenced;
    }
    EXPECT_EQ(unreferenced, 3);
}

TEST_P(SimImagePrivateData, StockSqliteCannotWriteThroughTheTriggersButTheStoresFunctionsCan) {
    SqliteFile db(Copy(kSmsStore));
    if (Major() == 5) {
        const std::string insert =
            "INSERT INTO message (address, date, text, flags, group_id, is_madrid) VALUES "
            "('+15550000000', 1, 'x', 0, 1, 0)";
        EXPECT_NE(db.Exec(insert).find("no such function: read"), std::string::npos);
        // Our own read(): bit 1 of the flags.
        sqlite3_create_function(
            db.handle(), "read", 1, SQLITE_UTF8, nullptr,
            [](sqlite3_context* context, int, sqlite3_value** values) {
                sqlite3_result_int(context, (sqlite3_value_int(values[0]) & 2) != 0);
            },
            nullptr, nullptr);
        const int64_t unread = db.Count("SELECT unread_count FROM msg_group WHERE ROWID = 1");
        EXPECT_EQ(db.Exec(insert), "");
        EXPECT_EQ(db.Count("SELECT unread_count FROM msg_group WHERE ROWID = 1"), unread + 1);
        EXPECT_EQ(db.Count("SELECT newest_message FROM msg_group WHERE ROWID = 1"),
                  db.Count("SELECT max(ROWID) FROM message"));
        return;
    }
    const std::string remove = "DELETE FROM message_attachment_join WHERE attachment_id = 1";
    EXPECT_NE(db.Exec(remove).find("no such function: delete_attachment_path"), std::string::npos);
    static std::vector<std::string> removedPaths;
    removedPaths.clear();
    sqlite3_create_function(
        db.handle(), "delete_attachment_path", 1, SQLITE_UTF8, nullptr,
        [](sqlite3_context* context, int, sqlite3_value** values) {
            removedPaths.emplace_back(reinterpret_cast<const char*>(sqlite3_value_text(values[0])));
            sqlite3_result_null(context);
        },
        nullptr, nullptr);
    const std::string filename = db.Column("SELECT filename FROM attachment WHERE ROWID = 1").at(0);
    EXPECT_EQ(db.Exec(remove), "");
    // The orphaned attachment row went, and its file was handed to the store's function.
    EXPECT_EQ(db.Count("SELECT count(*) FROM attachment WHERE ROWID = 1"), 0);
    EXPECT_EQ(removedPaths, std::vector<std::string>{filename});
}

TEST_F(SimImageIos5Messages, AttachmentInfoBlobsListTheMessagesAttachments) {
    SqliteFile db(File(kSmsStore), SQLITE_OPEN_READONLY);
    const auto rows = db.Rows(
        "SELECT ROWID, madrid_attachmentInfo FROM message WHERE madrid_attachmentInfo IS NOT NULL");
    ASSERT_TRUE(rows);
    std::set<size_t> starts;
    int empty = 0, listed = 0;
    for (const auto& row : *rows) {
        const std::string& blob = row[1].text;
        EXPECT_GE(blob.size(), 67u);
        size_t start = 0;
        const std::vector<std::string> guids = GuidsOfInfo(blob, start);
        const std::vector<std::string> attached =
            db.Column("SELECT attachment_guid FROM madrid_attachment WHERE message_id = " +
                      std::to_string(row[0].integer) + " ORDER BY ROWID");
        EXPECT_EQ(guids, attached) << "message " << row[0].integer;
        if (guids.empty()) {
            ++empty;
        } else {
            starts.insert(start);
            listed += static_cast<int>(guids.size());
        }
    }
    EXPECT_EQ(starts, (std::set<size_t>{66, 103}));
    EXPECT_EQ(listed, 20);
    EXPECT_GT(empty, 0);
    // Every attachment row belongs to a message whose blob lists it.
    EXPECT_EQ(db.Count("SELECT count(*) FROM madrid_attachment a JOIN message m ON m.ROWID = "
                       "a.message_id WHERE m.madrid_attachmentInfo IS NOT NULL"),
              20);
}

TEST_P(SimImagePrivateData, CallsNameTheirContactsByDocidAndNumber) {
    SqliteFile calls(File(kCallStore), SQLITE_OPEN_READONLY);
    SqliteFile contacts(File(kContactStore), SQLITE_OPEN_READONLY);
    const auto rows = calls.Rows("SELECT address, duration, flags, id FROM call ORDER BY ROWID");
    ASSERT_TRUE(rows);
    ASSERT_EQ(rows->size(), 24u);
    std::set<int64_t> flags;
    int silent = 0, talked = 0, noNumber = 0, fromContacts = 0, strangers = 0;
    for (const auto& row : *rows) {
        flags.insert(row[2].integer);
        (row[1].integer == 0 ? silent : talked)++;
        if (row[0].text.empty()) {
            ++noNumber;
            EXPECT_EQ(row[3].integer, -1);
            continue;
        }
        if (row[3].integer == -1) {
            ++strangers;
            EXPECT_EQ(contacts.Count("SELECT count(*) FROM ABPersonFullTextSearch_content WHERE "
                                     "instr(c15Phone, '" +
                                     row[0].text + "') > 0"),
                      0);
            continue;
        }
        ++fromContacts;
        // The caller's number is among the forms the contact's full-text row keeps.
        const auto phones =
            contacts.Column("SELECT c15Phone FROM ABPersonFullTextSearch_content WHERE docid = " +
                            std::to_string(row[3].integer));
        ASSERT_EQ(phones.size(), 1u) << row[3].integer;
        EXPECT_NE(phones[0].find(row[0].text), std::string::npos) << row[0].text;
    }
    EXPECT_EQ(flags, (std::set<int64_t>{0, 4, 5, 9, 16, 20, 64, 65}));
    EXPECT_GT(silent, 0);
    EXPECT_GT(talked, 0);
    EXPECT_EQ(noNumber, 1);
    EXPECT_EQ(fromContacts, 15);
    EXPECT_EQ(strangers, 8);
    // The timer triggers ran: the lifetime total is every call rounded up to whole minutes.
    EXPECT_EQ(calls.Count("SELECT CAST(value AS INTEGER) FROM _SqliteDatabaseProperties WHERE key "
                          "= 'timer_lifetime'"),
              calls.Count("SELECT sum((duration + 59) / 60 * 60) FROM call"));
    EXPECT_EQ(calls.Column("SELECT value FROM _SqliteDatabaseProperties WHERE key = "
                           "'_ClientVersion'"),
              std::vector<std::string>{Major() == 5   ? "9"
                                       : Major() == 6 ? "11"
                                                      : "12"});
}

TEST_P(SimImagePrivateData, AddressBookHoldsTheContactsTheMessagesReferTo) {
    SqliteFile contacts(File(kContactStore), SQLITE_OPEN_READONLY);
    SqliteFile sms(File(kSmsStore), SQLITE_OPEN_READONLY);
    const auto rows = contacts.Rows(
        "SELECT docid, c0First, c1Last, c15Phone FROM ABPersonFullTextSearch_content ORDER BY "
        "docid");
    ASSERT_TRUE(rows);
    ASSERT_EQ(rows->size(), 14u);
    EXPECT_EQ(contacts.Count("SELECT count(*) FROM ABPerson p JOIN ABPersonFullTextSearch_content "
                             "c ON c.docid = p.ROWID AND c.c0First = p.First"),
              14);
    std::string everyPhone;
    int severalNumbers = 0, outsideAscii = 0;
    for (const auto& row : *rows) {
        everyPhone += row[3].text + " ";
        if (std::count(row[3].text.begin(), row[3].text.end(), '+') > 1) ++severalNumbers;
        if (std::any_of(row[1].text.begin(), row[1].text.end(),
                        [](char c) { return static_cast<unsigned char>(c) >= 0x80; }))
            ++outsideAscii;
    }
    EXPECT_EQ(severalNumbers, 2);
    EXPECT_GE(outsideAscii, 3);
    // Every phone number a conversation of a contact uses is in the index; numbers of strangers
    // are not.
    const std::vector<std::string> addresses =
        sms.Column(Major() == 5 ? "SELECT address FROM group_member UNION SELECT madrid_handle "
                                  "FROM message WHERE madrid_handle LIKE '+%'"
                                : "SELECT DISTINCT id FROM handle WHERE id LIKE '+%'");
    int known = 0;
    for (const std::string& address : addresses) {
        if (everyPhone.find(address + " ") != std::string::npos) ++known;
    }
    EXPECT_EQ(known, 15);
    EXPECT_EQ(static_cast<int>(addresses.size()) - known, 6);
}

TEST_P(SimImagePrivateData, TheSameSeedGivesTheSameStoresAndAnotherSeedOthers) {
    const std::string again = Build(GetParam(), 1, 7, "again");
    const std::string other = Build(GetParam(), 1, 8, "other");
    for (const char* path : {kSmsStore, kCallStore, kContactStore}) {
        const std::string bytes = testing::ReadFileBytes(File(path));
        EXPECT_EQ(testing::ReadFileBytes(ImagePath(again, path)), bytes) << path;
        EXPECT_NE(testing::ReadFileBytes(ImagePath(other, path)), bytes) << path;
    }
}

TEST_P(SimImagePrivateData, ScaleAddsConversationsWithFiftyMessagesEach) {
    const std::string scaled = Build(GetParam(), 4, 7, "scaled");
    SqliteFile db(ImagePath(scaled, kSmsStore), SQLITE_OPEN_READONLY);
    const MessageCounts counts = CountMessages(db, Major());
    EXPECT_EQ(counts.conversations, 30 + 3 * 2);
    EXPECT_EQ(counts.messages, 165 + 3 * 100);
    EXPECT_EQ(counts.attachments, 20);
    EXPECT_EQ(db.IntegrityCheck(), "ok");
}

INSTANTIATE_TEST_SUITE_P(Versions, SimImagePrivateData,
                         ::testing::Values("5.1.1", "6.1.3", "7.1.2"), [](const auto& info) {
                             std::string name = info.param;
                             std::replace(name.begin(), name.end(), '.', '_');
                             return "ios" + name;
                         });

}  // namespace
}  // namespace bw::sim

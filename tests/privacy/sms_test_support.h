// Message databases of both schemas built with the sqlite3 C API, the attachment information
// blob of iOS 5 built by its layout rules, a recorder of every statement any connection of the
// process runs, and a backup folder with the deep-clean configuration around them.
#pragma once

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <string>
#include <vector>

#include "backup/configure_test_support.h"
#include "brackwater/scan.h"
#include "formats/sqlite_table.h"
#include "privacy/sms_junk.h"
#include "privacy/sms_models.h"

namespace bw::testing {

// The device's own functions that the triggers of its message database call: copies good
// enough to write test rows through those triggers.
inline void TestRead(sqlite3_context* context, int, sqlite3_value** values) {
    sqlite3_result_int(context, (sqlite3_value_int(values[0]) & 2) != 0);
}
inline void TestDeleteAttachmentPath(sqlite3_context* context, int, sqlite3_value**) {
    sqlite3_result_null(context);
}

// A connection of the test's own, closed with the object.
class TestDb {
  public:
    explicit TestDb(const std::string& path) {
        if (sqlite3_open(path.c_str(), &db_) != SQLITE_OK) ADD_FAILURE() << "open " << path;
        sqlite3_create_function(db_, "read", 1, SQLITE_UTF8, nullptr, &TestRead, nullptr, nullptr);
        sqlite3_create_function(db_, "delete_attachment_path", 1, SQLITE_UTF8, nullptr,
                                &TestDeleteAttachmentPath, nullptr, nullptr);
    }
    ~TestDb() { sqlite3_close(db_); }
    TestDb(const TestDb&) = delete;
    TestDb& operator=(const TestDb&) = delete;

    void Exec(const std::string& sql) {
        char* error = nullptr;
        if (sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, &error) != SQLITE_OK) {
            ADD_FAILURE() << (error != nullptr ? error : "?") << " in " << sql;
        }
        sqlite3_free(error);
    }
    // One statement with text and blob parameters bound in order ("?"); blobs are marked by a
    // leading entry in `blobs`.
    void Bind(const std::string& sql, const std::vector<std::string>& values,
              const std::vector<bool>& blobs = {}) {
        sqlite3_stmt* statement = nullptr;
        ASSERT_EQ(sqlite3_prepare_v2(db_, sql.c_str(), -1, &statement, nullptr), SQLITE_OK) << sql;
        for (size_t i = 0; i < values.size(); ++i) {
            const int index = static_cast<int>(i + 1);
            if (i < blobs.size() && blobs[i]) {
                sqlite3_bind_blob(statement, index, values[i].data(),
                                  static_cast<int>(values[i].size()), SQLITE_TRANSIENT);
            } else {
                sqlite3_bind_text(statement, index, values[i].data(),
                                  static_cast<int>(values[i].size()), SQLITE_TRANSIENT);
            }
        }
        EXPECT_EQ(sqlite3_step(statement), SQLITE_DONE) << sql;
        sqlite3_finalize(statement);
    }
    // The first column of every row, as text ("NULL" for a null).
    std::vector<std::string> Column(const std::string& sql) {
        std::vector<std::string> cells;
        sqlite3_stmt* statement = nullptr;
        if (sqlite3_prepare_v2(db_, sql.c_str(), -1, &statement, nullptr) != SQLITE_OK) {
            ADD_FAILURE() << sqlite3_errmsg(db_) << " in " << sql;
            return cells;
        }
        while (sqlite3_step(statement) == SQLITE_ROW) {
            const unsigned char* text = sqlite3_column_text(statement, 0);
            cells.emplace_back(text == nullptr ? "NULL" : reinterpret_cast<const char*>(text));
        }
        sqlite3_finalize(statement);
        return cells;
    }
    std::string Value(const std::string& sql) {
        const std::vector<std::string> cells = Column(sql);
        return cells.empty() ? "(no row)" : cells.front();
    }

  private:
    sqlite3* db_ = nullptr;
};

inline std::string ReadBytes(const std::string& path) {
    std::string bytes;
    platform::ReadWholeFile(path, bytes);
    return bytes;
}

// The seven iOS 5 triggers as the device's database defines them, written here independently.
inline const std::vector<std::string>& Ios5Triggers() {
    static const std::vector<std::string> triggers = {
        "CREATE TRIGGER delete_message AFTER DELETE ON message WHEN NOT read(old.flags) BEGIN "
        "UPDATE msg_group SET unread_count = (SELECT unread_count FROM msg_group WHERE ROWID = "
        "old.group_id) - 1 WHERE ROWID = old.group_id; END",
        "CREATE TRIGGER delete_newest_message AFTER DELETE ON message WHEN old.ROWID = (SELECT "
        "newest_message FROM msg_group WHERE ROWID = old.group_id) BEGIN UPDATE msg_group SET "
        "newest_message = (SELECT ROWID FROM message WHERE group_id = old.group_id AND ROWID = "
        "(SELECT max(ROWID) FROM message WHERE group_id = old.group_id)) WHERE ROWID = "
        "old.group_id; END",
        "CREATE TRIGGER delete_pieces AFTER DELETE ON message BEGIN DELETE from msg_pieces where "
        "old.ROWID == msg_pieces.message_id; END",
        "CREATE TRIGGER insert_newest_message AFTER INSERT ON message WHEN new.ROWID >= "
        "IFNULL((SELECT MAX(ROWID) FROM message WHERE message.group_id = new.group_id), 0) BEGIN "
        "UPDATE msg_group SET newest_message = new.ROWID WHERE ROWID = new.group_id; END",
        "CREATE TRIGGER insert_unread_message AFTER INSERT ON message WHEN NOT read(new.flags) "
        "BEGIN UPDATE msg_group SET unread_count = (SELECT unread_count FROM msg_group WHERE "
        "ROWID = new.group_id) + 1 WHERE ROWID = new.group_id; END",
        "CREATE TRIGGER mark_message_read AFTER UPDATE ON message WHEN NOT read(old.flags) AND "
        "read(new.flags) BEGIN UPDATE msg_group SET unread_count = (SELECT unread_count FROM "
        "msg_group WHERE ROWID = new.group_id) - 1 WHERE ROWID = new.group_id; END",
        "CREATE TRIGGER mark_message_unread AFTER UPDATE ON message WHEN read(old.flags) AND NOT "
        "read(new.flags) BEGIN UPDATE msg_group SET unread_count = (SELECT unread_count FROM "
        "msg_group WHERE ROWID = new.group_id) + 1 WHERE ROWID = new.group_id; END",
    };
    return triggers;
}

inline void CreateIos5Schema(TestDb& db) {
    db.Exec(
        "CREATE TABLE _SqliteDatabaseProperties (key TEXT, value TEXT, UNIQUE(key));"
        "INSERT INTO _SqliteDatabaseProperties VALUES ('__CPRecordSequenceNumber', 41);"
        "CREATE TABLE msg_group (ROWID INTEGER PRIMARY KEY AUTOINCREMENT, type INTEGER,"
        " newest_message INTEGER, unread_count INTEGER);"
        "CREATE TABLE msg_pieces (ROWID INTEGER PRIMARY KEY AUTOINCREMENT, message_id INTEGER);"
        "CREATE TABLE madrid_chat (ROWID INTEGER PRIMARY KEY AUTOINCREMENT, chat_identifier TEXT,"
        " service_name TEXT);"
        "CREATE TABLE message (ROWID INTEGER PRIMARY KEY AUTOINCREMENT, group_id INTEGER,"
        " flags INTEGER, text TEXT, subject TEXT, date INTEGER, madrid_handle TEXT,"
        " madrid_date_read INTEGER, madrid_date_delivered INTEGER, madrid_attachmentInfo BLOB);"
        "CREATE TABLE madrid_attachment (ROWID INTEGER PRIMARY KEY AUTOINCREMENT,"
        " attachment_guid TEXT, created_date INTEGER, start_date INTEGER, filename TEXT,"
        " uti_type TEXT, mime_type TEXT, transfer_state INTEGER);"
        "INSERT INTO msg_group (type, unread_count) VALUES (0, 0);");
    for (const std::string& trigger : Ios5Triggers())
        db.Exec(trigger + ";");
}

inline void CreateIos6Schema(TestDb& db) {
    db.Exec(
        "CREATE TABLE _SqliteDatabaseProperties (key TEXT, value TEXT, UNIQUE(key));"
        "INSERT INTO _SqliteDatabaseProperties VALUES ('__IMDRecordSequenceNumber', 7);"
        "CREATE TABLE handle (ROWID INTEGER PRIMARY KEY AUTOINCREMENT, id TEXT NOT NULL);"
        "CREATE TABLE chat (ROWID INTEGER PRIMARY KEY AUTOINCREMENT, guid TEXT UNIQUE NOT NULL,"
        " chat_identifier TEXT);"
        "CREATE TABLE message (ROWID INTEGER PRIMARY KEY AUTOINCREMENT, text TEXT, subject TEXT,"
        " date INTEGER, date_read INTEGER, is_finished INTEGER, cache_has_attachments INTEGER,"
        " is_read INTEGER, is_sent INTEGER);"
        "CREATE TABLE attachment (ROWID INTEGER PRIMARY KEY AUTOINCREMENT, guid TEXT UNIQUE,"
        " created_date INTEGER, start_date INTEGER, filename TEXT);"
        "CREATE TABLE chat_message_join (chat_id INTEGER, message_id INTEGER);"
        "CREATE TABLE message_attachment_join (message_id INTEGER, attachment_id INTEGER);"
        "CREATE TABLE chat_handle_join (chat_id INTEGER, handle_id INTEGER);"
        // The device removes orphaned rows itself, from triggers on the join tables.
        "CREATE TRIGGER clean_orphaned_messages AFTER DELETE ON chat_message_join BEGIN DELETE"
        " FROM message WHERE ROWID = old.message_id AND (SELECT 1 FROM chat_message_join WHERE"
        " message_id = old.message_id LIMIT 1) IS NULL; END;"
        "CREATE TRIGGER clean_orphaned_attachments AFTER DELETE ON message_attachment_join BEGIN"
        " DELETE FROM attachment WHERE ROWID = old.attachment_id AND (SELECT 1 FROM"
        " message_attachment_join WHERE attachment_id = old.attachment_id LIMIT 1) IS NULL;"
        " END;"
        "CREATE TRIGGER delete_attachment_files AFTER DELETE ON attachment BEGIN SELECT"
        " delete_attachment_path(old.filename); END;");
}

// An iOS 5 attachment information blob naming `guids`: the list begins at byte 66, marked by
// "$" there, or (without the mark) at byte 103; each entry takes 38 bytes, the GUID padded with
// the "$" and "?" that the archive puts around it.
inline std::string AttachmentInfoBlob(const std::vector<std::string>& guids, bool markedStart) {
    std::string blob(markedStart ? 66 : 103, 'x');
    for (const std::string& guid : guids) {
        blob += markedStart ? "$" + guid + "?" : guid + "?$";
    }
    blob += std::string(8, '\0');
    return blob;
}

// Every statement text that any connection of this process starts while the recorder lives:
// the library's too (trigger programs show as "-- TRIGGER name").
class StatementRecorder {
  public:
    StatementRecorder() {
        Statements().clear();
        sqlite3_auto_extension(reinterpret_cast<void (*)()>(&Install));
    }
    ~StatementRecorder() { sqlite3_cancel_auto_extension(reinterpret_cast<void (*)()>(&Install)); }
    StatementRecorder(const StatementRecorder&) = delete;
    StatementRecorder& operator=(const StatementRecorder&) = delete;

    static std::vector<std::string>& Statements() {
        static std::vector<std::string> statements;
        return statements;
    }

  private:
    static int Trace(unsigned, void*, void*, void* text) {
        Statements().emplace_back(static_cast<const char*>(text));
        return 0;
    }
    static int Install(sqlite3* db, const char**, const void*) {
        sqlite3_trace_v2(db, SQLITE_TRACE_STMT, &Trace, nullptr);
        return SQLITE_OK;
    }
};

// A backup whose home domain holds `smsDatabase` as "Library/SMS/sms.db", with the files of
// `extra`, and a deep-clean configuration over it; the scanner works on its working copy.
class SmsBackupFixture : public DeepCleanFixture {
  protected:
    std::string NewDatabasePath() {
        static int counter = 0;
        return temp_ / ("made-" + std::to_string(++counter) + ".db");
    }

    void WriteSmsBackup(const std::string& smsDatabaseBytes, std::vector<BackupFile> extra,
                        const std::string& productVersion) {
        std::vector<BackupFile> files = {
            {"HomeDomain", "Library", "", true},
            {"HomeDomain", "Library/SMS/sms.db", smsDatabaseBytes},
            {"MediaDomain", "Library/SMS/Attachments", "", true},
        };
        files.insert(files.end(), extra.begin(), extra.end());
        WriteBackup(files, productVersion);
        ASSERT_TRUE(SetUpTool(tool_, productVersion));
        scanner_.SetConfiguration(&tool_);
        scanner_.SetStatusRecord(&status_);
    }

    void Scan(const std::string& productVersion) { scanner_.ScanBackup(productVersion, kTestUdid); }

    std::string WorkingCopy() { return tool_.CopySmsDatabase(); }

    CSMSChatModel* Chat(size_t index) {
        const ResultList& chats = scanner_.Results(kResultChats);
        return index < chats.size() ? chats.At<CSMSChatModel>(index) : nullptr;
    }
    size_t ChatCount() const { return scanner_.Results(kResultChats).size(); }

    CConfigureTool tool_;
    CDeviceSMSJunk scanner_;
    BwScanStatus status_{};
};

}  // namespace bw::testing

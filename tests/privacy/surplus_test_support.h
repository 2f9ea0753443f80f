// SMS databases for the surplus-attachments tests, written with the sqlite3 C API, and the
// attachment-info blobs of iOS 5 messages, laid out by the archive's rules.
#pragma once

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <string>
#include <vector>

namespace bw::testing {

class SqliteFile {
  public:
    explicit SqliteFile(const std::string& path) {
        if (sqlite3_open(path.c_str(), &db_) != SQLITE_OK) ADD_FAILURE() << "cannot open " << path;
    }
    ~SqliteFile() { sqlite3_close(db_); }
    SqliteFile(const SqliteFile&) = delete;
    SqliteFile& operator=(const SqliteFile&) = delete;

    void Exec(const std::string& sql) {
        char* error = nullptr;
        if (sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, &error) != SQLITE_OK) {
            ADD_FAILURE() << sql << ": " << (error != nullptr ? error : "");
        }
        sqlite3_free(error);
    }

    // Column 0 of every row, as text ("NULL" for a null).
    std::vector<std::string> Column(const std::string& sql) {
        std::vector<std::string> values;
        sqlite3_stmt* statement = nullptr;
        if (sqlite3_prepare_v2(db_, sql.c_str(), -1, &statement, nullptr) != SQLITE_OK) {
            ADD_FAILURE() << sql << ": " << sqlite3_errmsg(db_);
            return values;
        }
        while (sqlite3_step(statement) == SQLITE_ROW) {
            const unsigned char* text = sqlite3_column_text(statement, 0);
            values.emplace_back(text != nullptr ? reinterpret_cast<const char*>(text) : "NULL");
        }
        sqlite3_finalize(statement);
        return values;
    }

    void InsertBlob(const std::string& sql, const std::string& blob) {
        sqlite3_stmt* statement = nullptr;
        ASSERT_EQ(sqlite3_prepare_v2(db_, sql.c_str(), -1, &statement, nullptr), SQLITE_OK);
        sqlite3_bind_blob(statement, 1, blob.data(), static_cast<int>(blob.size()),
                          SQLITE_TRANSIENT);
        EXPECT_EQ(sqlite3_step(statement), SQLITE_DONE);
        sqlite3_finalize(statement);
    }

  private:
    sqlite3* db_ = nullptr;
};

// The iOS 6 tables the cleanup touches, with the phone's triggers: deleting attachment rows
// fails ("no such function") unless the cleanup takes delete_attachment_files away first.
inline void CreateSms6Schema(SqliteFile& db) {
    db.Exec(
        "CREATE TABLE message (ROWID INTEGER PRIMARY KEY AUTOINCREMENT, guid TEXT UNIQUE NOT "
        "NULL, text TEXT, cache_has_attachments INTEGER DEFAULT 0);"
        "CREATE TABLE attachment (ROWID INTEGER PRIMARY KEY AUTOINCREMENT, guid TEXT UNIQUE NOT "
        "NULL, created_date INTEGER DEFAULT 0, start_date INTEGER DEFAULT 0, filename TEXT);"
        "CREATE TABLE message_attachment_join (message_id INTEGER REFERENCES message (ROWID) ON "
        "DELETE CASCADE, attachment_id INTEGER REFERENCES attachment (ROWID) ON DELETE CASCADE, "
        "UNIQUE(message_id, attachment_id));"
        "CREATE TRIGGER clean_orphaned_attachments AFTER DELETE ON message_attachment_join BEGIN "
        "DELETE FROM attachment WHERE attachment.ROWID = old.attachment_id AND (SELECT 1 from "
        "message_attachment_join WHERE attachment_id = old.attachment_id LIMIT 1) IS NULL; END;"
        "CREATE TRIGGER delete_attachment_files AFTER DELETE ON attachment BEGIN   SELECT "
        "delete_attachment_path(old.filename); END;");
}

// The iOS 5 tables, with the seven triggers as an iOS 5 database stores them (a line break before
// BEGIN); they call read(), which only the phone has.
inline void CreateSms5Schema(SqliteFile& db) {
    db.Exec(
        "CREATE TABLE message (ROWID INTEGER PRIMARY KEY AUTOINCREMENT, flags INTEGER, group_id "
        "INTEGER, text TEXT, madrid_attachmentInfo BLOB);"
        "CREATE TABLE msg_group (ROWID INTEGER PRIMARY KEY AUTOINCREMENT, newest_message INTEGER, "
        "unread_count INTEGER);"
        "CREATE TABLE msg_pieces (ROWID INTEGER PRIMARY KEY AUTOINCREMENT, message_id INTEGER);"
        "CREATE TABLE madrid_attachment (ROWID INTEGER PRIMARY KEY AUTOINCREMENT, attachment_guid "
        "TEXT, created_date INTEGER, start_date INTEGER, filename TEXT, message_id INTEGER);");
    for (const char* name :
         {"delete_message", "delete_newest_message", "delete_pieces", "insert_newest_message",
          "insert_unread_message", "mark_message_read", "mark_message_unread"}) {
        db.Exec(std::string("CREATE TRIGGER ") + name +
                " AFTER DELETE ON message WHEN NOT read(old.flags)\nBEGIN DELETE FROM msg_pieces "
                "WHERE message_id = old.ROWID; END;");
    }
}

// An attachment-info blob whose entries start at byte 66, marked by '$' there: each entry is
// '$', the GUID and '?', 38 bytes.
inline std::string InfoBlobAt66(const std::vector<std::string>& guids) {
    std::string blob(66, 'k');
    for (const std::string& guid : guids)
        blob += "$" + guid + "?";
    return blob;
}

// The longer header: byte 66 is not '$' and the entries start at byte 103.
inline std::string InfoBlobAt103(const std::vector<std::string>& guids) {
    std::string blob(103, 'k');
    for (const std::string& guid : guids)
        blob += guid + "?$";
    return blob;
}

}  // namespace bw::testing

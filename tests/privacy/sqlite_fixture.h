// Databases for the private-data scanner tests, written and read with the sqlite3 C API directly,
// never through the library's SQLite layer.
#pragma once

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <string>
#include <vector>

namespace bw::testing {

// Runs `sql` (several statements) on the database at `path`, created when missing.
inline void RunSql(const std::string& path, const std::string& sql) {
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
    char* error = nullptr;
    EXPECT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &error), SQLITE_OK)
        << (error != nullptr ? error : "");
    sqlite3_free(error);
    sqlite3_close(db);
}

// The rows of a query, each row's columns as text ("NULL" for NULL) joined by "|".
inline std::vector<std::string> QueryRows(const std::string& path, const std::string& sql) {
    std::vector<std::string> rows;
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
        sqlite3_close(db);
        return rows;
    }
    sqlite3_stmt* statement = nullptr;
    if (sqlite3_prepare_v2(db, sql.c_str(), -1, &statement, nullptr) == SQLITE_OK) {
        while (sqlite3_step(statement) == SQLITE_ROW) {
            std::string row;
            for (int i = 0; i < sqlite3_column_count(statement); ++i) {
                if (i > 0) row += "|";
                const unsigned char* text = sqlite3_column_text(statement, i);
                row += text != nullptr ? reinterpret_cast<const char*>(text) : "NULL";
            }
            rows.push_back(row);
        }
    }
    sqlite3_finalize(statement);
    sqlite3_close(db);
    return rows;
}

inline std::string IntegrityCheck(const std::string& path) {
    const std::vector<std::string> rows = QueryRows(path, "PRAGMA integrity_check");
    return rows.empty() ? "" : rows.front();
}

}  // namespace bw::testing

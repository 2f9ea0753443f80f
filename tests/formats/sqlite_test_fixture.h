// Shared by the database layer tests: a temporary folder per test, a guarantee that no connection
// outlives the test, and a second way into a database file that does not go through the layer.
#pragma once

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <optional>
#include <string>

#include "formats/sqlite_table.h"
#include "support/temp_folder.h"

namespace bw::testing {

class SqliteTest : public ::testing::Test {
  public:
    void SetUp() override { ASSERT_FALSE(folder_.path().empty()); }

    void TearDown() override {
        // The layer's state is process-wide; leave none behind for the next test in this process.
        for (int guard = 0; IsDatabaseOpen() && guard < 100; ++guard)
            CloseDatabase();
    }

    std::string PathOf(std::string_view name) const { return folder_ / name; }

    // Opens `name` in the test folder through the layer and runs each statement in it.
    void OpenWith(std::string_view name, std::initializer_list<std::string_view> statements) {
        ASSERT_TRUE(OpenDatabase(PathOf(name)));
        for (std::string_view statement : statements) {
            ASSERT_TRUE(ExecuteSql(kExecuteStatement, statement)) << statement;
        }
    }

    // The first column of the first row of `sql`, read with a connection of its own.
    static std::optional<std::string> ReadDirectly(const std::string& path,
                                                   const std::string& sql) {
        sqlite3* db = nullptr;
        std::optional<std::string> value;
        if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
            sqlite3_stmt* statement = nullptr;
            if (sqlite3_prepare_v2(db, sql.c_str(), -1, &statement, nullptr) == SQLITE_OK &&
                sqlite3_step(statement) == SQLITE_ROW) {
                const auto* text = sqlite3_column_text(statement, 0);
                value = text ? reinterpret_cast<const char*>(text) : "";
            }
            sqlite3_finalize(statement);
        }
        sqlite3_close(db);
        return value;
    }

    // Runs `sql` on the current connection and returns a copy of the shared table.
    static CTable Query(std::string_view sql) {
        EXPECT_TRUE(QueryToTable(sql)) << sql;
        return CopyResultTable();
    }

    TempFolder folder_;
};

}  // namespace bw::testing

// Reading SQLite files in the simulator's tests with SQLite itself, as any desktop program would:
// no function of the phone's registered unless a test registers its own.
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace bw::sim {

// One result cell, with the storage class SQLite reports for it.
struct SqliteCell {
    int type = SQLITE_NULL;
    int64_t integer = 0;
    double real = 0.0;
    std::string text;
};

class SqliteFile {
  public:
    explicit SqliteFile(const std::string& path, int flags = SQLITE_OPEN_READWRITE) {
        if (sqlite3_open_v2(path.c_str(), &db_, flags, nullptr) != SQLITE_OK) {
            sqlite3_close(db_);
            db_ = nullptr;
        }
    }
    ~SqliteFile() { sqlite3_close(db_); }
    SqliteFile(const SqliteFile&) = delete;
    SqliteFile& operator=(const SqliteFile&) = delete;

    bool ok() const { return db_ != nullptr; }
    sqlite3* handle() const { return db_; }

    // Runs statements; "" on success, else SQLite's message.
    std::string Exec(const std::string& sql) {
        char* message = nullptr;
        if (sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, &message) == SQLITE_OK) return "";
        std::string text = message != nullptr ? message : "failed";
        sqlite3_free(message);
        return text;
    }

    // The first column of every row, as text.
    std::vector<std::string> Column(const std::string& sql) {
        std::vector<std::string> values;
        if (const auto rows = Rows(sql)) {
            for (const auto& row : *rows)
                values.push_back(row.front().text);
        }
        return values;
    }

    // The rows of one statement; nullopt when it does not prepare or fails midway.
    std::optional<std::vector<std::vector<SqliteCell>>> Rows(const std::string& sql) {
        sqlite3_stmt* statement = nullptr;
        if (db_ == nullptr ||
            sqlite3_prepare_v2(db_, sql.c_str(), -1, &statement, nullptr) != SQLITE_OK)
            return std::nullopt;
        std::vector<std::vector<SqliteCell>> rows;
        int step = SQLITE_ROW;
        while ((step = sqlite3_step(statement)) == SQLITE_ROW) {
            std::vector<SqliteCell> row;
            for (int i = 0; i < sqlite3_column_count(statement); ++i) {
                SqliteCell cell;
                cell.type = sqlite3_column_type(statement, i);
                cell.integer = sqlite3_column_int64(statement, i);
                cell.real = sqlite3_column_double(statement, i);
                if (const auto* text = sqlite3_column_blob(statement, i))
                    cell.text.assign(static_cast<const char*>(text),
                                     static_cast<size_t>(sqlite3_column_bytes(statement, i)));
                row.push_back(std::move(cell));
            }
            rows.push_back(std::move(row));
        }
        sqlite3_finalize(statement);
        if (step != SQLITE_DONE) return std::nullopt;
        return rows;
    }

    // Every row of a statement, each as one text of its cells' storage classes and bytes, for
    // comparing tables row for row. A statement that fails gives one text that names it, which
    // equals no table's rows.
    std::multiset<std::string> RowTexts(const std::string& sql) {
        const auto rows = Rows(sql);
        if (!rows) return {"(failed) " + sql};
        std::multiset<std::string> texts;
        for (const auto& row : *rows) {
            std::string text;
            for (const SqliteCell& cell : row)
                text += std::to_string(cell.type) + ":" + cell.text + "|";
            texts.insert(std::move(text));
        }
        return texts;
    }

    int64_t Count(const std::string& sql) {
        const auto rows = Rows(sql);
        return rows && rows->size() == 1 ? rows->front().front().integer : -1;
    }

    std::string IntegrityCheck() {
        const auto rows = Rows("PRAGMA integrity_check");
        return rows && !rows->empty() ? rows->front().front().text : "(failed)";
    }

  private:
    sqlite3* db_ = nullptr;
};

}  // namespace bw::sim

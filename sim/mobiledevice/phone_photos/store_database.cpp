#include "phone_photos/store_database.h"

#include <memory>

namespace bw::sim::md {

StoreDatabase::~StoreDatabase() {
    if (db_ != nullptr) sqlite3_close_v2(db_);
}

bool StoreDatabase::Open(const std::string& path, bool walMode, std::string& error) {
    const int status =
        sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOFOLLOW, nullptr);
    if (status != SQLITE_OK) return Failed("open", error);
    sqlite3_busy_timeout(db_, 5000);
    if (walMode) sqlite3_db_config(db_, SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 1, nullptr);
    return true;
}

bool StoreDatabase::Exec(const std::string& sql, std::string& error) {
    return sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, nullptr) == SQLITE_OK ||
           Failed(sql, error);
}

bool StoreDatabase::Run(const std::string& sql, const std::vector<SqlValue>& values,
                        std::string& error, const std::function<void(sqlite3_stmt*)>& row) {
    sqlite3_stmt* statement = nullptr;
    if (sqlite3_prepare_v2(db_, sql.c_str(), -1, &statement, nullptr) != SQLITE_OK)
        return Failed(sql, error);
    std::unique_ptr<sqlite3_stmt, int (*)(sqlite3_stmt*)> owner(statement, sqlite3_finalize);
    for (size_t i = 0; i < values.size(); ++i) {
        const int at = static_cast<int>(i) + 1;
        const SqlValue& value = values[i];
        switch (value.kind) {
            case SqlValue::Kind::Null:
                sqlite3_bind_null(statement, at);
                break;
            case SqlValue::Kind::Integer:
                sqlite3_bind_int64(statement, at, value.integer);
                break;
            case SqlValue::Kind::Real:
                sqlite3_bind_double(statement, at, value.real);
                break;
            case SqlValue::Kind::Text:
                sqlite3_bind_text(statement, at, value.bytes.data(),
                                  static_cast<int>(value.bytes.size()), SQLITE_TRANSIENT);
                break;
            case SqlValue::Kind::Blob:
                sqlite3_bind_blob(statement, at, value.bytes.data(),
                                  static_cast<int>(value.bytes.size()), SQLITE_TRANSIENT);
                break;
        }
    }
    for (;;) {
        const int status = sqlite3_step(statement);
        if (status == SQLITE_DONE) return true;
        if (status != SQLITE_ROW) return Failed(sql, error);
        if (row) row(statement);
    }
}

int64_t StoreDatabase::Integer(const std::string& sql, std::string& error, bool& ok) {
    int64_t result = 0;
    ok = Run(sql, {}, error, [&](sqlite3_stmt* s) { result = sqlite3_column_int64(s, 0); });
    return result;
}

bool StoreDatabase::Failed(const std::string& what, std::string& error) {
    error = "Photos.sqlite: " + what + ": " + (db_ != nullptr ? sqlite3_errmsg(db_) : "");
    return false;
}

std::string ColumnText(sqlite3_stmt* statement, int column) {
    const auto* text = sqlite3_column_text(statement, column);
    return text != nullptr ? reinterpret_cast<const char*>(text) : "";
}

}  // namespace bw::sim::md

#include "sqlite_build.h"

#include <span>

namespace bw::sim {
namespace {

void ReadFunction(sqlite3_context* context, int, sqlite3_value** arguments) {
    sqlite3_result_int64(context, MessageFlagsRead(sqlite3_value_int64(arguments[0])));
}

void DeleteAttachmentPathFunction(sqlite3_context* context, int, sqlite3_value**) {
    sqlite3_result_null(context);
}

}  // namespace

// Bit 1 of the flags is the read mark: the store's own upgrade sets read = ((flags >> 1) & 1).
int64_t MessageFlagsRead(int64_t flags) {
    return (flags >> 1) & 1;
}

bool RegisterMessageStoreFunctions(sqlite3* db) {
    return sqlite3_create_function(db, "read", 1, SQLITE_UTF8 | SQLITE_DETERMINISTIC, nullptr,
                                   ReadFunction, nullptr, nullptr) == SQLITE_OK &&
           sqlite3_create_function(db, "delete_attachment_path", 1, SQLITE_UTF8, nullptr,
                                   DeleteAttachmentPathFunction, nullptr, nullptr) == SQLITE_OK;
}

SqliteBuild::SqliteBuild() {
    if (sqlite3_open_v2(":memory:", &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr) !=
        SQLITE_OK) {
        Failed("cannot open a database in memory");
        return;
    }
    if (!RegisterMessageStoreFunctions(db_)) Failed("cannot register the store's functions");
}

SqliteBuild::~SqliteBuild() {
    for (auto& [sql, statement] : statements_)
        sqlite3_finalize(statement);
    sqlite3_close(db_);
}

bool SqliteBuild::Failed(std::string_view what) {
    if (error_.empty()) {
        error_ = std::string(what);
        if (db_ != nullptr) error_ += std::string(": ") + sqlite3_errmsg(db_);
    }
    return false;
}

bool SqliteBuild::Exec(std::string_view sql) {
    if (!error_.empty()) return false;
    const std::string text(sql);
    return sqlite3_exec(db_, text.c_str(), nullptr, nullptr, nullptr) == SQLITE_OK ||
           Failed(text.substr(0, 60));
}

bool SqliteBuild::Run(const char* sql, std::initializer_list<SqlValue> values) {
    return RunBound(sql, values.begin(), values.size());
}

bool SqliteBuild::Run(const char* sql, const std::vector<SqlValue>& values) {
    return RunBound(sql, values.data(), values.size());
}

bool SqliteBuild::RunBound(const char* sql, const SqlValue* values, size_t count) {
    if (!error_.empty()) return false;
    sqlite3_stmt*& statement = statements_[sql];
    if (statement == nullptr && sqlite3_prepare_v2(db_, sql, -1, &statement, nullptr) != SQLITE_OK)
        return Failed(sql);
    sqlite3_reset(statement);
    sqlite3_clear_bindings(statement);
    int index = 0;
    for (const SqlValue& value : std::span<const SqlValue>(values, count)) {
        ++index;
        int bound = SQLITE_OK;
        switch (value.kind) {
            case SqlValue::Kind::Null:
                bound = sqlite3_bind_null(statement, index);
                break;
            case SqlValue::Kind::Integer:
                bound = sqlite3_bind_int64(statement, index, value.integer);
                break;
            case SqlValue::Kind::Real:
                bound = sqlite3_bind_double(statement, index, value.real);
                break;
            case SqlValue::Kind::Text:
                bound = sqlite3_bind_text(statement, index, value.bytes.data(),
                                          static_cast<int>(value.bytes.size()), SQLITE_TRANSIENT);
                break;
            case SqlValue::Kind::Blob:
                bound = sqlite3_bind_blob(statement, index, value.bytes.data(),
                                          static_cast<int>(value.bytes.size()), SQLITE_TRANSIENT);
                break;
        }
        if (bound != SQLITE_OK) return Failed(sql);
    }
    const int stepped = sqlite3_step(statement);
    return stepped == SQLITE_DONE || stepped == SQLITE_ROW || Failed(sql);
}

bool SqliteBuild::Bytes(std::string& bytes) {
    if (!error_.empty()) return false;
    sqlite3_int64 size = 0;
    unsigned char* data = sqlite3_serialize(db_, "main", &size, 0);
    if (data == nullptr) return Failed("cannot take the database's bytes");
    bytes.assign(reinterpret_cast<const char*>(data), static_cast<size_t>(size));
    sqlite3_free(data);
    return true;
}

}  // namespace bw::sim

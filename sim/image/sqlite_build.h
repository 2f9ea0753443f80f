// A database the builder fills through SQLite itself, in memory, and takes out as the bytes of
// a database file. The private-data stores (messages, calls, contacts) carry indexes, triggers and
// full-text tables, which only SQLite writes faithfully; the file is the same for the same
// statements under one SQLite version.
#pragma once

#include <sqlite3.h>

#include <initializer_list>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "junk_sqlite.h"

namespace bw::sim {

// read(flags) as the iOS 5 message triggers use it: whether the flags mark a message read.
int64_t MessageFlagsRead(int64_t flags);

// Registers the functions Apple's message store registers on every connection, which its triggers
// call: read(flags) (iOS 5) and delete_attachment_path(filename) (iOS 6 and 7). The simulator
// keeps attachment files apart from the database, so its delete_attachment_path removes nothing
// and answers NULL, as the trigger's SELECT expects.
bool RegisterMessageStoreFunctions(sqlite3* db);

class SqliteBuild {
  public:
    SqliteBuild();
    ~SqliteBuild();
    SqliteBuild(const SqliteBuild&) = delete;
    SqliteBuild& operator=(const SqliteBuild&) = delete;

    // Runs statements (a whole schema at once). False with error() on the first failure.
    bool Exec(std::string_view sql);
    // Runs one statement with its "?" parameters bound in order. Statements are prepared once.
    bool Run(const char* sql, std::initializer_list<SqlValue> values);
    bool Run(const char* sql, const std::vector<SqlValue>& values);
    // The database file's bytes, or false with error().
    bool Bytes(std::string& bytes);

    sqlite3* handle() { return db_; }
    const std::string& error() const { return error_; }

  private:
    bool Failed(std::string_view what);
    bool RunBound(const char* sql, const SqlValue* values, size_t count);

    sqlite3* db_ = nullptr;
    std::map<const char*, sqlite3_stmt*> statements_;
    std::string error_;
};

}  // namespace bw::sim

// The photo library's store as the phone's daemon opens it: SQLite itself, read and written
// with bound values. In WAL mode nothing is checkpointed on close, as the daemon keeps the store
// open: changes stay in the log.
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "image/junk_sqlite.h"

namespace bw::sim::md {

class StoreDatabase {
  public:
    StoreDatabase() = default;
    ~StoreDatabase();
    StoreDatabase(const StoreDatabase&) = delete;
    StoreDatabase& operator=(const StoreDatabase&) = delete;

    // Opens the file for reading and writing, refusing a link; false with `error`.
    bool Open(const std::string& path, bool walMode, std::string& error);
    bool Exec(const std::string& sql, std::string& error);
    // Runs `sql` with `values` bound in order; `row` sees each result row.
    bool Run(const std::string& sql, const std::vector<SqlValue>& values, std::string& error,
             const std::function<void(sqlite3_stmt*)>& row = {});
    // The first column of the first row (0 when there is none); `ok` says whether it ran.
    int64_t Integer(const std::string& sql, std::string& error, bool& ok);

  private:
    bool Failed(const std::string& what, std::string& error);

    sqlite3* db_ = nullptr;
};

// The text of a column, "" for NULL.
std::string ColumnText(sqlite3_stmt* statement, int column);

}  // namespace bw::sim::md

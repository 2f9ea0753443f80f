// The one small database layer through which every reader and editor of an SQLite database goes:
// one current connection, a stack of saved connections, and the result of the last query as an
// in-memory table of typed cells.
//
// Threads: the current connection, the saved stack and the shared result table are process-wide
// and unguarded. Use the layer from one thread at a time.
//
// Paths and SQL are UTF-8; host text is converted (WideToUtf8) before it reaches these functions.
// Nothing is logged here: the caller decides what a failure means to the user.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace bw {

// Cell type codes: the SQLite fundamental types, plus 0 for a cell that holds no value.
inline constexpr int32_t kCellNoValue = 0;
inline constexpr int32_t kCellInteger = 1;
inline constexpr int32_t kCellFloat = 2;
inline constexpr int32_t kCellText = 3;
inline constexpr int32_t kCellBlob = 4;
inline constexpr int32_t kCellNull = 5;

struct TableCell {
    int32_t type = kCellNoValue;
    // Read through SQLite's 32-bit accessor and sign-extended: a stored value outside the 32-bit
    // range arrives as its low 32 bits (2^32 + 1 reads as 1). The databases this system reads keep
    // row ids, dates in seconds, durations and flags here, which fit.
    int64_t intValue = 0;
    // The whole stored integer, for the columns that keep sizes, 64-bit ids or milliseconds.
    int64_t int64Value = 0;
    double floatValue = 0.0;
    // Text cells: the UTF-8 text up to its first zero byte. Blob cells: every byte of the blob.
    // Null cells: empty.
    std::string text;
};

// One result row: one cell per result column, in the query's column order.
using TableRow = std::vector<TableCell>;

class CTable {
  public:
    CTable() = default;
    CTable(const CTable&) = default;
    CTable(CTable&&) = default;
    CTable& operator=(const CTable&) = default;
    CTable& operator=(CTable&&) = default;
    virtual ~CTable() = default;

    std::vector<TableRow> rows;  // row 0 is the first row SQLite returned
};

// ExecuteSql modes.
inline constexpr int kExecuteQuery = 1;      // a query into the shared result table
inline constexpr int kExecuteStatement = 2;  // one statement that returns no rows

// Makes `path` the current connection; a connection that was current is saved and comes back with
// the matching CloseDatabase. A missing file is created (as SQLite does), so check that the file
// exists first when a missing one is an error. On failure the connection that was current before
// stays current and nothing is left to close: do not call CloseDatabase for a failed open.
bool OpenDatabase(const std::string& path);

// Closes the current connection, clears the shared result table and makes the most recently saved
// connection current again. After the outermost close no connection is current.
void CloseDatabase();

// True while a connection is current.
bool IsDatabaseOpen();

// Mode kExecuteQuery: QueryToTable(sql). Any other mode: runs one statement and is true only when
// it ran to its end without producing a row (a SELECT that returns a row is false). The shared
// result table is untouched in that mode. Only the first statement of `sql` runs.
bool ExecuteSql(int mode, std::string_view sql);

// Runs a query into the shared result table; true only when it ran to its end. When the statement
// does not prepare (or there is no current connection) the previous result stays; when it stops
// early (busy, an error) the rows read before the failure stay. Only the first statement of `sql`
// runs. A busy database fails at once: nothing waits for another connection's lock.
bool QueryToTable(std::string_view sql);

// A value bound to a statement's "?" parameter: a number or UTF-8 text. Text from a backup or a
// device goes into statements only this way, never pasted into the SQL.
using SqlValue = std::variant<int64_t, std::string>;

// As ExecuteSql with kExecuteStatement and QueryToTable, with `values` bound to the statement's
// parameters in order; false (nothing run) when their number differs from the parameters'.
bool ExecuteBound(std::string_view sql, const std::vector<SqlValue>& values);
bool QueryBound(std::string_view sql, const std::vector<SqlValue>& values);

// Runs a query with `values` bound and hands each row to `onRow` as it comes, through one row
// buffer that the next row overwrites; the shared result table is untouched, so `onRow` may run
// queries of its own on the same connection. True only when the query ran to its end.
bool QueryEachRow(std::string_view sql, const std::vector<SqlValue>& values,
                  const std::function<void(const TableRow&)>& onRow);

// True when the current database has a table whose name contains `name` (case-insensitively for
// ASCII, as SQLite's LIKE matches; "_" and "%" in `name` are wildcards). Replaces the shared
// result table.
bool TableExists(std::string_view name);

// A copy of the shared result table, taken right after a query.
CTable CopyResultTable();

// The shared result table itself, moved out and left empty: for a reader that walks a large
// result once and needs no second look at it.
CTable TakeResultTable();

// Copies row / cell `index` (from 0); false when `index` is out of range.
bool GetTableRow(const CTable& table, size_t index, TableRow& row);
bool GetRowCell(const TableRow& row, size_t index, TableCell& cell);

// Copies the text of a text cell (type kCellText); false for every other type. A blob's bytes are
// read from the cell's `text` field directly.
bool GetCellText(const TableCell& cell, std::string& text);

}  // namespace bw

#include "formats/sqlite_table.h"

#include <sqlite3.h>

#include <climits>
#include <memory>
#include <variant>
#include <vector>

#include "platform/files.h"

namespace bw {
namespace {

static_assert(kCellInteger == SQLITE_INTEGER && kCellFloat == SQLITE_FLOAT &&
              kCellText == SQLITE_TEXT && kCellBlob == SQLITE_BLOB && kCellNull == SQLITE_NULL);

struct DatabaseState {
    sqlite3* current = nullptr;
    std::vector<sqlite3*> saved;
    std::vector<TableRow> result;
};

DatabaseState& State() {
    static DatabaseState state;
    return state;
}

struct StatementFinalizer {
    void operator()(sqlite3_stmt* statement) const { sqlite3_finalize(statement); }
};
using Statement = std::unique_ptr<sqlite3_stmt, StatementFinalizer>;

// Only the first statement of `sql` is prepared (no tail is kept), so "a; b" runs "a" alone.
// Text that holds no statement at all (empty, only a comment) prepares to nothing and counts as a
// failed prepare, so the caller gets false instead of a silent no-op.
Statement Prepare(std::string_view sql) {
    sqlite3* connection = State().current;
    if (connection == nullptr || sql.empty() || sql.size() > static_cast<size_t>(INT_MAX)) {
        return nullptr;
    }
    sqlite3_stmt* statement = nullptr;
    const int status = sqlite3_prepare_v2(connection, sql.data(), static_cast<int>(sql.size()),
                                          &statement, nullptr);
    Statement owned(statement);
    if (status != SQLITE_OK) return nullptr;
    return owned;
}

// Fills `cell` from the column, reusing the capacity of its text: a reader that walks many rows
// through one row buffer then allocates only for texts longer than any before.
void ReadCellInto(sqlite3_stmt* statement, int column, TableCell& cell) {
    cell.type = sqlite3_column_type(statement, column);
    cell.intValue = 0;
    cell.floatValue = 0.0;
    cell.text.clear();
    switch (cell.type) {
        case SQLITE_INTEGER:
            cell.intValue = sqlite3_column_int(statement, column);
            cell.int64Value = sqlite3_column_int64(statement, column);
            break;
        case SQLITE_FLOAT:
            cell.floatValue = sqlite3_column_double(statement, column);
            break;
        case SQLITE_TEXT:
            if (const auto* text = sqlite3_column_text(statement, column)) {
                cell.text.assign(reinterpret_cast<const char*>(text));
            }
            break;
        case SQLITE_BLOB: {
            // The pointer first, then the byte count: SQLite's documented order for a blob.
            const auto* bytes = static_cast<const char*>(sqlite3_column_blob(statement, column));
            const int size = sqlite3_column_bytes(statement, column);
            if (bytes != nullptr && size > 0) cell.text.assign(bytes, static_cast<size_t>(size));
            break;
        }
        default:
            break;
    }
}

TableCell ReadCell(sqlite3_stmt* statement, int column) {
    TableCell cell;
    ReadCellInto(statement, column, cell);
    return cell;
}

// A path that starts with "file:" would be read as a URI by this SQLite build; the relative path
// of the same file keeps it a plain file name.
std::string PlainFileName(const std::string& path) {
    if (path.starts_with("file:")) return "./" + path;
    return path;
}

}  // namespace

bool OpenDatabase(const std::string& path) {
    // An empty path would open a private temporary database and a path with a zero byte another
    // file than the one named: both are caller mistakes that must not look like success.
    if (path.empty() || path.find('\0') != std::string::npos) return false;
    // SQLite opens whatever the path names, and its first read of a named pipe waits for a writer
    // that never comes. Only a regular file, or none yet, is a database.
    if (platform::PathExists(path) && !platform::IsFile(path)) return false;

    DatabaseState& state = State();
    if (state.current != nullptr) state.saved.push_back(state.current);
    // sqlite3_open creates a missing file. We keep that: callers open working copies they have
    // just made and check for the file first where a missing one matters. No busy timeout is set:
    // these are private copies, and a database locked by someone else is a failure, not a wait.
    // A connection is used by one thread at a time (see the header), so SQLite's own lock around
    // every call on it is left out: a scan makes millions of such calls.
    sqlite3* connection = nullptr;
    const int status =
        sqlite3_open_v2(PlainFileName(path).c_str(), &connection,
                        SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX, nullptr);
    if (status == SQLITE_OK) {
        state.current = connection;
        return true;
    }
    // SQLite usually hands back a handle even when the open fails. We close it and bring the
    // previous connection back, so a failed open leaves nothing to close and the caller's
    // enclosing open/close pair still works.
    sqlite3_close(connection);
    state.current = nullptr;
    if (!state.saved.empty()) {
        state.current = state.saved.back();
        state.saved.pop_back();
    }
    return false;
}

void CloseDatabase() {
    DatabaseState& state = State();
    sqlite3_close(state.current);
    state.current = nullptr;
    state.result.clear();
    if (!state.saved.empty()) {
        state.current = state.saved.back();
        state.saved.pop_back();
    }
}

bool IsDatabaseOpen() {
    return State().current != nullptr;
}

bool ExecuteSql(int mode, std::string_view sql) {
    if (mode == kExecuteQuery) return QueryToTable(sql);
    Statement statement = Prepare(sql);
    if (!statement) return false;
    return sqlite3_step(statement.get()) == SQLITE_DONE;
}

namespace {

// Binds the values to the statement's parameters in order; false when a value has no parameter
// or SQLite refuses it.
bool BindAll(sqlite3_stmt* statement, const std::vector<SqlValue>& values) {
    if (static_cast<size_t>(sqlite3_bind_parameter_count(statement)) != values.size()) return false;
    int index = 1;
    for (const SqlValue& value : values) {
        const int bound =
            std::holds_alternative<int64_t>(value)
                ? sqlite3_bind_int64(statement, index, std::get<int64_t>(value))
                : sqlite3_bind_text64(statement, index, std::get<std::string>(value).data(),
                                      std::get<std::string>(value).size(), SQLITE_TRANSIENT,
                                      SQLITE_UTF8);
        if (bound != SQLITE_OK) return false;
        ++index;
    }
    return true;
}

bool StepIntoTable(sqlite3_stmt* statement);

}  // namespace

bool ExecuteBound(std::string_view sql, const std::vector<SqlValue>& values) {
    Statement statement = Prepare(sql);
    if (!statement || !BindAll(statement.get(), values)) return false;
    return sqlite3_step(statement.get()) == SQLITE_DONE;
}

bool QueryBound(std::string_view sql, const std::vector<SqlValue>& values) {
    Statement statement = Prepare(sql);
    if (!statement || !BindAll(statement.get(), values)) return false;
    return StepIntoTable(statement.get());
}

bool QueryToTable(std::string_view sql) {
    Statement statement = Prepare(sql);
    if (!statement) return false;
    return StepIntoTable(statement.get());
}

bool QueryEachRow(std::string_view sql, const std::vector<SqlValue>& values,
                  const std::function<void(const TableRow&)>& onRow) {
    Statement statement = Prepare(sql);
    if (!statement || !BindAll(statement.get(), values)) return false;
    const int columns = sqlite3_column_count(statement.get());
    TableRow row(static_cast<size_t>(columns));
    int status = SQLITE_ROW;
    while ((status = sqlite3_step(statement.get())) == SQLITE_ROW) {
        for (int column = 0; column < columns; ++column)
            ReadCellInto(statement.get(), column, row[static_cast<size_t>(column)]);
        onRow(row);
    }
    return status == SQLITE_DONE;
}

namespace {

bool StepIntoTable(sqlite3_stmt* statement) {
    std::vector<TableRow>& result = State().result;
    result.clear();
    const int columns = sqlite3_column_count(statement);
    int status = SQLITE_ROW;
    while ((status = sqlite3_step(statement)) == SQLITE_ROW) {
        TableRow row;
        row.reserve(static_cast<size_t>(columns));
        for (int column = 0; column < columns; ++column) {
            row.push_back(ReadCell(statement, column));
        }
        result.push_back(std::move(row));
    }
    return status == SQLITE_DONE;
}

}  // namespace

bool TableExists(std::string_view name) {
    // A quote in the name is doubled so that it stays part of the pattern instead of ending the
    // SQL literal; for every other name the text is unchanged.
    std::string pattern;
    for (char c : name) {
        pattern += c;
        if (c == '\'') pattern += '\'';
    }
    const bool ran =
        QueryToTable("SELECT tbl_name FROM sqlite_master WHERE type='table' and tbl_name like '%" +
                     pattern + "%'");
    return ran && !State().result.empty();
}

CTable CopyResultTable() {
    CTable table;
    table.rows = State().result;
    return table;
}

CTable TakeResultTable() {
    CTable table;
    table.rows = std::move(State().result);
    State().result.clear();
    return table;
}

bool GetTableRow(const CTable& table, size_t index, TableRow& row) {
    if (index >= table.rows.size()) return false;
    row = table.rows[index];
    return true;
}

bool GetRowCell(const TableRow& row, size_t index, TableCell& cell) {
    if (index >= row.size()) return false;
    cell = row[index];
    return true;
}

bool GetCellText(const TableCell& cell, std::string& text) {
    if (cell.type != kCellText) return false;
    text = cell.text;
    return true;
}

}  // namespace bw

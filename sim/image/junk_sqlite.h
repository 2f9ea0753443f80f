// SQLite database files written byte by byte for the junk stores of the images: writing the file
// format ourselves makes the bytes independent of any SQLite version, so the same options give
// the same database everywhere (the private-data stores, which need triggers and full-text
// tables, are written by SQLite itself: sqlite_build.h). Only what the images need is supported:
// tables (no indexes), rows whose records fit in a page, 4096-byte pages, UTF-8 text, and a
// write-ahead log holding the pages changed since the last checkpoint.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace bw::sim {

struct SqlValue {
    enum class Kind { Null, Integer, Real, Text, Blob };
    Kind kind = Kind::Null;
    int64_t integer = 0;
    double real = 0.0;
    std::string bytes;  // text or blob

    static SqlValue Null() { return {}; }
    static SqlValue Int(int64_t value) { return {Kind::Integer, value, 0.0, {}}; }
    static SqlValue Real(double value) { return {Kind::Real, 0, value, {}}; }
    static SqlValue Text(std::string value) { return {Kind::Text, 0, 0.0, std::move(value)}; }
    static SqlValue Blob(std::string value) { return {Kind::Blob, 0, 0.0, std::move(value)}; }
};

struct SqlRow {
    int64_t rowid = 0;
    // One value per column, in column order. An INTEGER PRIMARY KEY column is the rowid and is
    // stored as NULL, as SQLite stores it.
    std::vector<SqlValue> values;
    // Starts a new leaf page even when the row would fit in the current one, so that rows
    // added before it later change that page alone.
    bool startsPage = false;
};

struct SqlTable {
    std::string name;
    std::string sql;           // the CREATE TABLE statement
    std::vector<SqlRow> rows;  // rowids strictly increasing
};

inline constexpr uint32_t kSqlitePageSize = 4096;

// The bytes of a database holding `tables` in this order. `walMode` marks the file as a
// write-ahead-log database (file format 2), as stores opened in that mode are. False with
// `error` when a rowid repeats or goes down, a record does not fit in a page, or the schema
// does not fit in the first page.
bool BuildSqliteDatabase(const std::vector<SqlTable>& tables, bool walMode, std::string& bytes,
                         std::string& error);

// A write-ahead log that turns the database `checkpointed` into `current` (both built by
// BuildSqliteDatabase in WAL mode): one frame for each page that differs or is new, the last one
// committing the transaction. The salts tie the frames to this log; identical databases give a
// log with a header and no frames, as a log reads after a checkpoint.
std::string BuildSqliteWal(const std::string& checkpointed, const std::string& current,
                           uint32_t salt1, uint32_t salt2);

}  // namespace bw::sim

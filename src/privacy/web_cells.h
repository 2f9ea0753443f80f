// Reading the cells of the browser's databases. They come from a backup: a cell of another type
// than its column should hold reads as empty or 0, and every statement that takes a value from
// them binds it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "formats/sqlite_table.h"

namespace bw::web {

// The whole 64-bit integer of an integer cell; 0 for any other cell.
int64_t Integer(const TableRow& row, size_t column);
// The text of a text cell; empty for any other cell.
std::string Text(const TableRow& row, size_t column);
// A text cell as UTF-16; a blob cell read as UTF-16LE without a byte-order mark (how newer
// WebKit keeps local-storage values); anything else empty.
std::u16string WideText(const TableRow& row, size_t column);
// The bytes a cell holds (text or blob); 0 for numbers and NULL.
uint64_t StoredBytes(const TableRow& row, size_t column);
// A cell as a value to bind back into a statement: integers as integers, everything else as
// its text.
SqlValue Bindable(const TableRow& row, size_t column);

// Runs `prefix` + "(?,?,...)" for `values` in chunks that stay below SQLite's parameter limit.
// True when every chunk ran.
bool ExecuteInChunks(std::string_view prefix, const std::vector<SqlValue>& values);

// Numbers read from the database itself, joined with ",".
std::string NumberList(const std::vector<int64_t>& numbers);

}  // namespace bw::web

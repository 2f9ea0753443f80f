#include "privacy/web_cells.h"

#include <algorithm>

#include "platform/text.h"

namespace bw::web {
namespace {

// Far below SQLite's default limit of 32766 parameters, and small enough for older builds.
constexpr size_t kChunk = 500;

}  // namespace

int64_t Integer(const TableRow& row, size_t column) {
    TableCell cell;
    return GetRowCell(row, column, cell) && cell.type == kCellInteger ? cell.int64Value : 0;
}

std::string Text(const TableRow& row, size_t column) {
    TableCell cell;
    std::string text;
    if (GetRowCell(row, column, cell)) GetCellText(cell, text);
    return text;
}

std::u16string WideText(const TableRow& row, size_t column) {
    TableCell cell;
    if (!GetRowCell(row, column, cell)) return {};
    if (cell.type == kCellText) return Utf8ToWide(cell.text);
    if (cell.type != kCellBlob) return {};
    std::u16string text;
    text.reserve(cell.text.size() / 2);
    for (size_t i = 0; i + 1 < cell.text.size(); i += 2) {
        const auto low = static_cast<unsigned char>(cell.text[i]);
        const auto high = static_cast<unsigned char>(cell.text[i + 1]);
        text.push_back(static_cast<char16_t>(low | (high << 8)));
    }
    return text;
}

uint64_t StoredBytes(const TableRow& row, size_t column) {
    TableCell cell;
    if (!GetRowCell(row, column, cell)) return 0;
    return cell.type == kCellText || cell.type == kCellBlob ? cell.text.size() : 0;
}

SqlValue Bindable(const TableRow& row, size_t column) {
    TableCell cell;
    if (GetRowCell(row, column, cell) && cell.type == kCellInteger) return cell.int64Value;
    return Text(row, column);
}

bool ExecuteInChunks(std::string_view prefix, const std::vector<SqlValue>& values) {
    bool all = true;
    for (size_t from = 0; from < values.size(); from += kChunk) {
        const size_t count = std::min(kChunk, values.size() - from);
        std::string sql(prefix);
        sql += '(';
        for (size_t i = 0; i < count; ++i)
            sql += i == 0 ? "?" : ",?";
        sql += ')';
        const std::vector<SqlValue> chunk(
            values.begin() + static_cast<std::ptrdiff_t>(from),
            values.begin() + static_cast<std::ptrdiff_t>(from + count));
        all = ExecuteBound(sql, chunk) && all;
    }
    return all;
}

std::string NumberList(const std::vector<int64_t>& numbers) {
    std::string list;
    for (int64_t number : numbers) {
        if (!list.empty()) list += ',';
        list += std::to_string(number);
    }
    return list;
}

}  // namespace bw::web

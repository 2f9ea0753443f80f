#include "junk_sqlite.h"

#include <bit>
#include <cstring>

namespace bw::sim {
namespace {

constexpr size_t kPage = kSqlitePageSize;
constexpr size_t kFileHeader = 100;
constexpr uint8_t kTableLeaf = 0x0d;
constexpr uint8_t kTableInterior = 0x05;
// A table leaf keeps at most usable size - 35 bytes of a record in the page; more would need
// overflow pages, which these small databases never need.
constexpr size_t kMaxLocalPayload = kPage - 35;
// The version of the SQLite library that last wrote the file, as the header records it: the one
// iOS 7 shipped with.
constexpr uint32_t kWriterVersion = 3007013;
constexpr uint32_t kWalMagicBigEndian = 0x377f0683;
constexpr uint32_t kWalFormatVersion = 3007000;

void PutBe16(std::string& out, size_t at, uint32_t value) {
    out[at] = static_cast<char>(value >> 8);
    out[at + 1] = static_cast<char>(value);
}

void PutBe32(std::string& out, size_t at, uint32_t value) {
    for (int i = 0; i < 4; ++i)
        out[at + i] = static_cast<char>(value >> (24 - 8 * i));
}

void AppendBe(std::string& out, uint64_t value, int bytes) {
    for (int i = bytes - 1; i >= 0; --i)
        out += static_cast<char>(value >> (8 * i));
}

uint32_t ReadBe32(const unsigned char* at) {
    return (uint32_t{at[0]} << 24) | (uint32_t{at[1]} << 16) | (uint32_t{at[2]} << 8) | at[3];
}

// SQLite's variable-length integer: big-endian groups of 7 bits, the ninth byte taking 8.
void AppendVarint(std::string& out, uint64_t value) {
    if (value >> 56 != 0) {
        char bytes[9];
        bytes[8] = static_cast<char>(value);
        value >>= 8;
        for (int i = 7; i >= 0; --i) {
            bytes[i] = static_cast<char>((value & 0x7f) | 0x80);
            value >>= 7;
        }
        out.append(bytes, 9);
        return;
    }
    char groups[8];
    int count = 0;
    do {
        groups[count++] = static_cast<char>(value & 0x7f);
        value >>= 7;
    } while (value != 0);
    for (int i = count - 1; i >= 0; --i)
        out += static_cast<char>(groups[i] | (i > 0 ? 0x80 : 0));
}

size_t VarintLength(uint64_t value) {
    std::string bytes;
    AppendVarint(bytes, value);
    return bytes.size();
}

// The smallest integer serial type that holds the value; 0 and 1 have their own types (file
// format 4), which every SQLite since 3.3 reads.
void IntegerSerial(int64_t value, uint64_t& type, int& bytes) {
    if (value == 0 || value == 1) {
        type = value == 0 ? 8 : 9;
        bytes = 0;
        return;
    }
    const struct {
        int64_t limit;
        uint64_t type;
        int bytes;
    } kSizes[] = {{INT64_C(1) << 7, 1, 1},
                  {INT64_C(1) << 15, 2, 2},
                  {INT64_C(1) << 23, 3, 3},
                  {INT64_C(1) << 31, 4, 4},
                  {INT64_C(1) << 47, 5, 6}};
    for (const auto& size : kSizes) {
        if (value >= -size.limit && value < size.limit) {
            type = size.type;
            bytes = size.bytes;
            return;
        }
    }
    type = 6;
    bytes = 8;
}

std::string EncodeRecord(const std::vector<SqlValue>& values) {
    std::string header, body;
    for (const SqlValue& value : values) {
        switch (value.kind) {
            case SqlValue::Kind::Null:
                AppendVarint(header, 0);
                break;
            case SqlValue::Kind::Integer: {
                uint64_t type = 0;
                int bytes = 0;
                IntegerSerial(value.integer, type, bytes);
                AppendVarint(header, type);
                AppendBe(body, static_cast<uint64_t>(value.integer), bytes);
                break;
            }
            case SqlValue::Kind::Real:
                AppendVarint(header, 7);
                AppendBe(body, std::bit_cast<uint64_t>(value.real), 8);
                break;
            case SqlValue::Kind::Text:
                AppendVarint(header, value.bytes.size() * 2 + 13);
                body += value.bytes;
                break;
            case SqlValue::Kind::Blob:
                AppendVarint(header, value.bytes.size() * 2 + 12);
                body += value.bytes;
                break;
        }
    }
    // The header size counts itself, so its own length may grow it by a byte.
    size_t size = header.size() + 1;
    if (VarintLength(size) > 1) size = header.size() + VarintLength(header.size() + 2);
    std::string record;
    AppendVarint(record, size);
    return record + header + body;
}

// A b-tree page: header at `offset` (100 on the first page, after the file header), the cell
// pointers after it, the cells packed at the end of the page in pointer order.
std::string MakePage(size_t offset, uint8_t type, const std::vector<std::string>& cells,
                     uint32_t rightChild) {
    std::string page(kPage, '\0');
    const size_t headerSize = type == kTableInterior ? 12 : 8;
    size_t content = kPage;
    for (size_t i = 0; i < cells.size(); ++i) {
        content -= cells[i].size();
        std::memcpy(&page[content], cells[i].data(), cells[i].size());
        PutBe16(page, offset + headerSize + 2 * i, static_cast<uint32_t>(content));
    }
    page[offset] = static_cast<char>(type);
    PutBe16(page, offset + 3, static_cast<uint32_t>(cells.size()));
    PutBe16(page, offset + 5, static_cast<uint32_t>(content));
    if (type == kTableInterior) PutBe32(page, offset + 8, rightChild);
    return page;
}

struct Node {
    uint32_t page;
    int64_t maxRowid;
};

class TreeWriter {
  public:
    explicit TreeWriter(std::vector<std::string>& pages) : pages_(pages) {}

    // The root page of a table holding `rows`, or 0 with `error`.
    uint32_t Table(const std::vector<SqlRow>& rows, std::string& error) {
        std::vector<Node> level;
        std::vector<std::string> cells;
        size_t used = 8;
        int64_t last = 0;
        for (size_t i = 0; i < rows.size(); ++i) {
            const SqlRow& row = rows[i];
            if (i > 0 && row.rowid <= last) {
                error = "rowids must increase";
                return 0;
            }
            const std::string payload = EncodeRecord(row.values);
            if (payload.size() > kMaxLocalPayload) {
                error = "a row does not fit in a page";
                return 0;
            }
            std::string cell;
            AppendVarint(cell, payload.size());
            AppendVarint(cell, static_cast<uint64_t>(row.rowid));
            cell += payload;
            if (used + 2 + cell.size() > kPage || (row.startsPage && !cells.empty())) {
                level.push_back({Add(MakePage(0, kTableLeaf, cells, 0)), last});
                cells.clear();
                used = 8;
            }
            used += 2 + cell.size();
            cells.push_back(std::move(cell));
            last = row.rowid;
        }
        if (!cells.empty() || level.empty())
            level.push_back({Add(MakePage(0, kTableLeaf, cells, 0)), last});
        while (level.size() > 1)
            level = Interior(level);
        return level.front().page;
    }

  private:
    uint32_t Add(std::string page) {
        pages_.push_back(std::move(page));
        return static_cast<uint32_t>(pages_.size());
    }

    static std::string InteriorCell(const Node& child) {
        std::string cell(4, '\0');
        PutBe32(cell, 0, child.page);
        AppendVarint(cell, static_cast<uint64_t>(child.maxRowid));
        return cell;
    }

    // One level up: each interior page points at as many children as fit, the last one through
    // its right-child pointer.
    std::vector<Node> Interior(const std::vector<Node>& children) {
        std::vector<std::vector<Node>> groups(1);
        size_t used = 12;
        for (const Node& child : children) {
            std::vector<Node>& group = groups.back();
            if (!group.empty()) {
                const size_t add = 2 + InteriorCell(group.back()).size();
                if (used + add > kPage) {
                    groups.emplace_back();
                    used = 12;
                } else {
                    used += add;
                }
            }
            groups.back().push_back(child);
        }
        // An interior page needs a cell besides its right child.
        if (groups.size() > 1 && groups.back().size() == 1) {
            std::vector<Node>& previous = groups[groups.size() - 2];
            groups.back().insert(groups.back().begin(), previous.back());
            previous.pop_back();
        }
        std::vector<Node> parents;
        for (const std::vector<Node>& group : groups) {
            std::vector<std::string> cells;
            for (size_t i = 0; i + 1 < group.size(); ++i)
                cells.push_back(InteriorCell(group[i]));
            parents.push_back({Add(MakePage(0, kTableInterior, cells, group.back().page)),
                               group.back().maxRowid});
        }
        return parents;
    }

    std::vector<std::string>& pages_;
};

void WriteFileHeader(std::string& page, bool walMode, uint32_t pageCount) {
    std::memcpy(&page[0], "SQLite format 3", 16);
    PutBe16(page, 16, kPage);
    page[18] = page[19] = walMode ? 2 : 1;
    page[21] = 64;         // maximum embedded payload fraction
    page[22] = 32;         // minimum embedded payload fraction
    page[23] = 32;         // leaf payload fraction
    PutBe32(page, 24, 1);  // change counter
    PutBe32(page, 28, pageCount);
    PutBe32(page, 40, 1);  // schema cookie
    PutBe32(page, 44, 4);  // schema format
    PutBe32(page, 56, 1);  // UTF-8
    PutBe32(page, 92, 1);  // the page count is valid for change 1
    PutBe32(page, 96, kWriterVersion);
}

void WalChecksum(const unsigned char* data, size_t size, uint32_t& s0, uint32_t& s1) {
    for (size_t i = 0; i + 8 <= size; i += 8) {
        s0 += ReadBe32(data + i) + s1;
        s1 += ReadBe32(data + i + 4) + s0;
    }
}

}  // namespace

bool BuildSqliteDatabase(const std::vector<SqlTable>& tables, bool walMode, std::string& bytes,
                         std::string& error) {
    std::vector<std::string> pages(1);  // the first page is written last
    TreeWriter writer(pages);
    std::vector<std::string> schemaCells;
    size_t used = kFileHeader + 8;
    int64_t schemaRowid = 0;
    for (const SqlTable& table : tables) {
        const uint32_t root = writer.Table(table.rows, error);
        if (root == 0) {
            error = table.name + ": " + error;
            return false;
        }
        const std::string payload = EncodeRecord(
            {SqlValue::Text("table"), SqlValue::Text(table.name), SqlValue::Text(table.name),
             SqlValue::Int(root), SqlValue::Text(table.sql)});
        std::string cell;
        AppendVarint(cell, payload.size());
        AppendVarint(cell, static_cast<uint64_t>(++schemaRowid));
        cell += payload;
        used += 2 + cell.size();
        if (payload.size() > kMaxLocalPayload || used > kPage) {
            error = "the schema does not fit in the first page";
            return false;
        }
        schemaCells.push_back(std::move(cell));
    }
    pages[0] = MakePage(kFileHeader, kTableLeaf, schemaCells, 0);
    WriteFileHeader(pages[0], walMode, static_cast<uint32_t>(pages.size()));
    bytes.clear();
    bytes.reserve(pages.size() * kPage);
    for (const std::string& page : pages)
        bytes += page;
    return true;
}

std::string BuildSqliteWal(const std::string& checkpointed, const std::string& current,
                           uint32_t salt1, uint32_t salt2) {
    std::string wal(32, '\0');
    PutBe32(wal, 0, kWalMagicBigEndian);
    PutBe32(wal, 4, kWalFormatVersion);
    PutBe32(wal, 8, kPage);
    PutBe32(wal, 12, 0);  // checkpoint sequence
    PutBe32(wal, 16, salt1);
    PutBe32(wal, 20, salt2);
    uint32_t s0 = 0, s1 = 0;
    WalChecksum(reinterpret_cast<const unsigned char*>(wal.data()), 24, s0, s1);
    PutBe32(wal, 24, s0);
    PutBe32(wal, 28, s1);

    const size_t pageCount = current.size() / kPage;
    std::vector<size_t> changed;
    for (size_t page = 0; page < pageCount; ++page) {
        if (checkpointed.size() < (page + 1) * kPage ||
            checkpointed.compare(page * kPage, kPage, current, page * kPage, kPage) != 0)
            changed.push_back(page);
    }
    if (changed.empty() && checkpointed.size() != current.size() && pageCount > 0)
        changed.push_back(0);
    for (size_t i = 0; i < changed.size(); ++i) {
        std::string frame(24, '\0');
        PutBe32(frame, 0, static_cast<uint32_t>(changed[i] + 1));
        // The last frame commits the transaction and gives the database's size after it.
        PutBe32(frame, 4, i + 1 == changed.size() ? static_cast<uint32_t>(pageCount) : 0);
        PutBe32(frame, 8, salt1);
        PutBe32(frame, 12, salt2);
        const auto* page =
            reinterpret_cast<const unsigned char*>(current.data()) + changed[i] * kPage;
        WalChecksum(reinterpret_cast<const unsigned char*>(frame.data()), 8, s0, s1);
        WalChecksum(page, kPage, s0, s1);
        PutBe32(frame, 16, s0);
        PutBe32(frame, 20, s1);
        wal += frame;
        wal.append(reinterpret_cast<const char*>(page), kPage);
    }
    return wal;
}

}  // namespace bw::sim

#include "privacy/contact_manage.h"

#include <utility>

#include "formats/sqlite_table.h"
#include "platform/files.h"
#include "platform/text.h"

namespace bw {
namespace {

// Text columns arrive as UTF-8; a number, a blob or NULL in a name column reads as no text.
std::u16string TextOf(const TableRow& row, size_t column) {
    TableCell cell;
    std::string text;
    if (!GetRowCell(row, column, cell) || !GetCellText(cell, text)) return {};
    return Utf8ToWide(text);
}

}  // namespace

bool CContactManage::Load(const std::string& path) {
    contacts_.clear();
    // Opening a missing file would create an empty database in the working folder.
    if (path.empty() || !platform::IsFile(path) || !OpenDatabase(path)) return false;
    bool read = false;
    if (TableExists("ABPersonFullTextSearch_content") &&
        QueryToTable("SELECT Count(docid) FROM ABPersonFullTextSearch_content") &&
        QueryToTable("SELECT docid,c0First,c1Last,c15Phone FROM ABPersonFullTextSearch_content")) {
        const CTable table = CopyResultTable();
        contacts_.reserve(table.rows.size());
        for (const TableRow& row : table.rows) {
            ContactRecord contact;
            TableCell docid;
            if (GetRowCell(row, 0, docid) && docid.type == kCellInteger) {
                contact.docid = static_cast<int32_t>(docid.intValue);
            }
            contact.name = TextOf(row, 1).append(u" ").append(TextOf(row, 2));
            contact.phone = TextOf(row, 3);
            contacts_.push_back(std::move(contact));
        }
        read = true;
    }
    CloseDatabase();
    return read;
}

std::u16string CContactManage::LookUpName(int32_t identifier, std::u16string_view address) const {
    if (address.empty()) return u"Unknown";
    for (const ContactRecord& contact : contacts_) {
        const bool match = identifier != -1 ? contact.docid == identifier
                                            : contact.phone.find(address) != std::u16string::npos;
        if (match) return contact.name;
    }
    return {};
}

}  // namespace bw

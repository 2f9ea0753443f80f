// Reading the cells of the message database's rows. The database comes from the backup, so a
// cell of another type than its column should hold leaves the field as it was.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "device/host_utils.h"
#include "formats/sqlite_table.h"
#include "platform/clock.h"
#include "platform/text.h"
#include "privacy/sms_models.h"

namespace bw::sms {

// Seconds from the Unix epoch to 2001-01-01, the epoch of the iOS 6 and 7 dates.
inline constexpr int64_t kEpoch2001 = 978307200;

// Cells are read in place: a large scan reads millions of them.
inline int64_t Integer(const TableRow& row, size_t column) {
    return column < row.size() && row[column].type == kCellInteger ? row[column].intValue : 0;
}

// A view into the row's cell: valid while the row is.
inline std::string_view Text(const TableRow& row, size_t column) {
    if (column >= row.size() || row[column].type != kCellText) return {};
    return row[column].text;
}

// Every byte of a blob cell (a text cell up to its first zero byte).
inline std::string Bytes(const TableRow& row, size_t column) {
    if (column >= row.size()) return {};
    const TableCell& cell = row[column];
    return cell.type == kCellBlob || cell.type == kCellText ? cell.text : std::string();
}

// A stored date shown as local time; a date never set shows nothing.
inline std::u16string DateText(int64_t stored, int64_t epochOffset) {
    if (stored == 0) return {};
    return Utf8ToWide(FormatDateTimeSlashed(platform::LocalCalendar(stored + epochOffset)));
}

// An attachment record from the columns ROWID, guid, created_date, start_date, filename; dates
// count from `epochOffset` seconds after the Unix epoch.
inline std::unique_ptr<CAttachmentModel> AttachmentFromRow(const TableRow& row,
                                                           int64_t epochOffset) {
    auto attachment = std::make_unique<CAttachmentModel>();
    attachment->rowId = static_cast<int32_t>(Integer(row, 0));
    attachment->guid = std::string(Text(row, 1));
    attachment->createdDate = Integer(row, 2);
    attachment->createdDateText = DateText(attachment->createdDate, epochOffset);
    attachment->startDate = Integer(row, 3);
    attachment->fileName = Utf8ToWide(Text(row, 4));
    return attachment;
}

}  // namespace bw::sms

#include "privacy/call_history_junk.h"

#include <string_view>
#include <utility>

#include "backup/configure_tool.h"
#include "formats/sqlite_table.h"
#include "platform/files.h"
#include "platform/text.h"

namespace bw {
namespace {

constexpr char kCountQuery[] = "SELECT Count(ROWID) FROM call";
constexpr char kCallsQuery[] = "SELECT ROWID,address,date,duration,flags,id FROM call ORDER BY id";

int32_t IntegerOf(const TableRow& row, size_t column, int32_t fallback) {
    TableCell cell;
    if (!GetRowCell(row, column, cell) || cell.type != kCellInteger) return fallback;
    return static_cast<int32_t>(cell.intValue);
}

// Devices store the date as an integer; a float is taken as it is.
double DateOf(const TableRow& row, size_t column) {
    TableCell cell;
    if (!GetRowCell(row, column, cell)) return 0.0;
    if (cell.type == kCellInteger) return static_cast<double>(cell.intValue);
    if (cell.type == kCellFloat) return cell.floatValue;
    return 0.0;
}

std::u16string TextOf(const TableRow& row, size_t column) {
    TableCell cell;
    std::string text;
    if (!GetRowCell(row, column, cell) || !GetCellText(cell, text)) return {};
    return Utf8ToWide(text);
}

std::unique_ptr<CCallHistoryModel> MakeCall(const TableRow& row) {
    auto call = std::make_unique<CCallHistoryModel>();
    call->rowId = IntegerOf(row, 0, 0);
    call->address = TextOf(row, 1);
    call->date = DateOf(row, 2);
    call->duration = IntegerOf(row, 3, 0);
    call->flags = IntegerOf(row, 4, 0);
    // A NULL identifier names no contact; read as 0 it would name the contact with docid 0.
    call->addressBookId = IntegerOf(row, 5, -1);
    call->callType = CallTypeOf(call->flags, call->duration);
    return call;
}

std::string RowIdList(const std::vector<int32_t>& rowIds) {
    std::string list;
    for (int32_t rowId : rowIds) {
        if (!list.empty()) list += ',';
        list += std::to_string(rowId);
    }
    return list;
}

}  // namespace

// Flags 0, 4, 16, 20 and 64 count any non-zero duration as a connected call; the others only a
// positive one, so a negative duration there reads as not connected.
int32_t CallTypeOf(int32_t flags, int32_t duration) {
    switch (flags & 0xFFFF) {
        case 0:
        case 4:
            return duration != 0 ? 2 : 1;
        case 5:
        case 9:
            return duration > 0 ? 3 : 4;
        case 16:
        case 20:
        case 64:
            return duration != 0 ? 6 : 5;
        case 17:
        case 21:
        case 65:
            return duration > 0 ? 7 : 8;
        default:
            return 0;
    }
}

unsigned char CCallHistoryModel::Select(unsigned char toggle) {
    return ToggleSelected(selected, toggle);
}

ICallHistoryModel* CCallContactModel::GetCall(int32_t index) {
    return ItemAt<ICallHistoryModel>(calls, index);
}

unsigned char CCallContactModel::Select(unsigned char toggle) {
    return ToggleSelected(selected, toggle);
}

CCallHistoryManage::CCallHistoryManage(std::string databasePath, std::string addressBookPath,
                                       CDeviceJunk* owner)
    : databasePath_(std::move(databasePath)),
      addressBookPath_(std::move(addressBookPath)),
      owner_(owner) {}

CCallContactModel& CCallHistoryManage::GroupFor(const std::u16string& name) {
    for (CCallContactModel* group : groups_) {
        if (group->name == name) return *group;
    }
    auto group = std::make_unique<CCallContactModel>();
    group->name = name;
    group->sequence = static_cast<int32_t>(groups_.size());
    CCallContactModel* raw =
        owner_->Results(kResultCallContacts).Append<ICallContactModel>(std::move(group));
    groups_.push_back(raw);
    return *raw;
}

void CCallHistoryManage::LoadCalls() {
    contacts_.Load(addressBookPath_);
    // Opening a missing file would create an empty database beside the working copies.
    if (!platform::IsFile(databasePath_) || !OpenDatabase(databasePath_)) return;
    if (TableExists("call") && !Stopped()) {
        processed_ = 0;
        total_ = 0;
        if (QueryToTable(kCountQuery)) {
            const CTable table = CopyResultTable();
            TableRow row;
            if (GetTableRow(table, 0, row)) total_ = static_cast<uint32_t>(IntegerOf(row, 0, 0));
        }
    }
    if (Stopped()) {
        CloseDatabase();
        return;
    }
    // Rows read before a failure (a damaged page) are not listed: the clean would delete by a
    // list whose neighbours the database could not show.
    if (QueryToTable(kCallsQuery)) {
        const CTable table = CopyResultTable();
        for (const TableRow& row : table.rows) {
            if (Stopped()) break;
            std::unique_ptr<CCallHistoryModel> call = MakeCall(row);
            const std::u16string name = contacts_.LookUpName(call->addressBookId, call->address);
            GroupFor(name).calls.push_back(std::move(call));
            owner_->PublishProgress(processed_, total_);
            owner_->SetMessage(name);
            owner_->AdjustSelection(1, 0, true);
            ++processed_;
        }
    }
    CloseDatabase();
}

void CCallHistoryManage::DeleteSelected() {
    if (!platform::IsFile(databasePath_) || !OpenDatabase(databasePath_)) return;
    processed_ = 0;
    total_ = static_cast<uint32_t>(groups_.size());
    for (CCallContactModel* group : groups_) {
        ++processed_;
        // The ROWIDs were read from this database: only numbers it gave go into the statement.
        std::vector<int32_t> rowIds;
        for (const std::unique_ptr<CCallHistoryModel>& call : group->calls) {
            if (group->selected != 0 || call->selected != 0) rowIds.push_back(call->rowId);
        }
        if (rowIds.empty()) continue;
        const std::string statement = "DELETE FROM call WHERE ROWID IN (" + RowIdList(rowIds) + ")";
        // A failed delete leaves those calls where they are, and the counts with them.
        if (!ExecuteSql(kExecuteStatement, statement)) continue;
        owner_->SetMessage(group->name);
        owner_->AdjustSelection(static_cast<uint32_t>(rowIds.size()), 0, false);
        owner_->PublishProgress(processed_, total_);
    }
    CloseDatabase();
}

void CCallHistoryJunk::Scan(CIPhone* device) {
    device_ = device;
    if (!StopRequested()) scanning_ = 1;
    if (databasePath_.empty()) databasePath_ = CConfigureTool::Instance().CopyCallHistory();
    manage_.reset();
    ReleaseItems(kResultCallContacts);
    if (!databasePath_.empty() && platform::IsFile(databasePath_)) {
        manage_ = std::make_unique<CCallHistoryManage>(
            databasePath_, CConfigureTool::Instance().CopyAddressBook(), this);
    }
    SetMessage(kMessageScanning);
    if (manage_ != nullptr && !StopRequested()) manage_->LoadCalls();
    SetFinished();
}

void CCallHistoryJunk::Clean() {
    if (manage_ != nullptr && !manage_->Groups().empty()) {
        scanning_ = 0;
        manage_->DeleteSelected();
    }
    SetFinished();
}

}  // namespace bw

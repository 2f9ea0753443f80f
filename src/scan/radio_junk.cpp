#include "scan/radio_junk.h"

#include <cstdio>
#include <memory>

#include "device/host_utils.h"
#include "device/iphone.h"
#include "formats/sqlite_table.h"
#include "platform/environment.h"
#include "platform/files.h"
#include "platform/text.h"

namespace bw {

namespace {

constexpr std::array<const char*, 3> kLocalNames = {"Radio.db", "Radio.db-shm", "Radio.db-wal"};

constexpr char kCountQuery[] = "SELECT COUNT(Z_PK) FROM ZTRACKHISTORY";
constexpr char kHistoryQuery[] =
    "Select a.Z_PK as historyPk,a.ZTRACK_STORE_ID,b.Z_PK,b.ZALBUM,b.ZARTIST,b.ZTITLE,a.ZDATE,"
    "a.ZSTATION_NAME FROM ZTRACKHISTORY AS a,ZTRACK as b WHERE a.ZTRACK_STORE_ID = b.ZSTORE_ID";

// A cell of another type than the column should hold leaves the field as it was.
void ReadInteger(const TableRow& row, size_t column, int32_t& field) {
    TableCell cell;
    if (GetRowCell(row, column, cell) && cell.type == kCellInteger) {
        field = static_cast<int32_t>(cell.intValue);
    }
}

void ReadFloat(const TableRow& row, size_t column, double& field) {
    TableCell cell;
    if (GetRowCell(row, column, cell) && cell.type == kCellFloat) field = cell.floatValue;
}

void ReadText(const TableRow& row, size_t column, std::u16string& field) {
    TableCell cell;
    std::string text;
    if (GetRowCell(row, column, cell) && GetCellText(cell, text)) field = Utf8ToWide(text);
}

std::unique_ptr<CRadioHistoryModel> MakeHistoryRow(const TableRow& row) {
    auto model = std::make_unique<CRadioHistoryModel>();
    ReadInteger(row, 0, model->historyKey);
    ReadFloat(row, 1, model->trackStoreId);
    ReadInteger(row, 2, model->trackKey);
    ReadText(row, 3, model->album);
    ReadText(row, 4, model->artist);
    ReadText(row, 5, model->title);
    ReadFloat(row, 6, model->date);
    ReadText(row, 7, model->stationName);
    return model;
}

}  // namespace

unsigned char CRadioHistoryModel::Select(unsigned char toggle) {
    return ToggleSelected(selected, toggle);
}

CRadioTempJunk::~CRadioTempJunk() {
    RemoveWorkingFolder();
}

void CRadioTempJunk::RemoveWorkingFolder() {
    if (!workingFolder_.empty()) platform::DeleteTree(workingFolder_);
    workingFolder_.clear();
    localPaths = {};
}

// The working folder is "BrackwaterRadio-<GUID>" in the temporary folder: one per scan, so that
// two sessions (or two devices) never share a copy, and each scan starts from the device's files
// only. A file the device lacks has no local copy, and the clean writes nothing in its place.
void CRadioTempJunk::Scan(CIPhone* device) {
    device_ = device;
    ReleaseItems(kResultRadioHistory);
    RemoveWorkingFolder();
    if (device_ == nullptr) {
        SetFinished();
        return;
    }
    workingFolder_ = GetTempFolder("BrackwaterRadio-" + NewGuidText());
    if (workingFolder_.empty()) {  // no private folder: the phone's history is not copied out
        SetFinished();
        return;
    }
    for (size_t i = 0; i < kRadioDeviceFiles.size(); ++i) {
        localPaths[i] = platform::JoinPath(workingFolder_, kLocalNames[i]);
        if (device_->FileExists(kRadioDeviceFiles[i])) {
            device_->CopyFileFromDevice(kRadioDeviceFiles[i], localPaths[i]);
        }
    }
    ReadHistory(localPaths[0]);
    SetFinished();
}

bool CRadioTempJunk::ReadHistory(const std::string& database) {
    // Opening would create an empty database where the device has none.
    if (!platform::IsFile(database) || !OpenDatabase(database)) return false;
    int64_t rowCount = 0;
    if (ExecuteSql(kExecuteQuery, kCountQuery)) {
        TableRow row;
        TableCell cell;
        const CTable table = CopyResultTable();
        if (GetTableRow(table, 0, row) && GetRowCell(row, 0, cell) && cell.type == kCellInteger) {
            rowCount = cell.intValue;
        }
    }
    processed_ = 0;
    total_ = static_cast<uint32_t>(rowCount > 0 ? rowCount : 0);
    SetMessage(kMessageScanning);
    if (ExecuteSql(kExecuteQuery, kHistoryQuery)) {
        const CTable table = CopyResultTable();
        for (const TableRow& row : table.rows) {
            std::unique_ptr<CRadioHistoryModel> model = MakeHistoryRow(row);
            SetMessage(model->title);
            Results(kResultRadioHistory).Append<IRadioHistoryModel>(std::move(model));
            ++processed_;
            SetTotals(processed_, selectedSize_, extraCounter_);
            WriteProgress();
        }
    }
    CloseDatabase();
    return true;
}

void CRadioTempJunk::Clean() {
    const ResultList& rows = Results(kResultRadioHistory);
    if (rows.empty() || device_ == nullptr || localPaths[0].empty() ||
        !platform::IsFile(localPaths[0]) || !OpenDatabase(localPaths[0])) {
        SetFinished();
        return;
    }
    std::vector<CRadioHistoryModel*> selected;
    for (size_t i = 0; i < rows.size(); ++i) {
        CRadioHistoryModel* row = rows.At<CRadioHistoryModel>(i);
        if (row->Select(0) != 0) selected.push_back(row);
    }
    processed_ = 0;
    total_ = static_cast<uint32_t>(selected.size());
    // Every selected row goes: the edit is written back as one file set, so stopping halfway
    // would only leave the user unsure what was deleted.
    for (CRadioHistoryModel* row : selected) {
        SetMessage(row->title);
        char statement[260];
        std::snprintf(statement, sizeof statement, "DELETE FROM ZTRACKHISTORY WHERE Z_PK =%d",
                      row->historyKey);
        ExecuteSql(kExecuteStatement, statement);
        std::snprintf(statement, sizeof statement, "DELETE FROM ZTRACK WHERE Z_PK =%d",
                      row->trackKey);
        ExecuteSql(kExecuteStatement, statement);
        ++processed_;
        WriteProgress();
    }
    CloseDatabase();
    // Closing the last connection merges the write-ahead log into Radio.db and removes the local
    // -wal and -shm: the device's old ones are then removed too, and never written back beside
    // a database that already holds their pages.
    for (size_t i = 0; i < kRadioDeviceFiles.size(); ++i) {
        if (device_->FileExists(kRadioDeviceFiles[i])) device_->RemovePath(kRadioDeviceFiles[i]);
        if (platform::IsFile(localPaths[i])) {
            device_->CopyFileToDevice(localPaths[i], kRadioDeviceFiles[i]);
        }
    }
    RemoveWorkingFolder();
    SetFinished();
}

}  // namespace bw

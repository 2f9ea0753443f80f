#include "privacy/surplus_files_junk.h"

#include <algorithm>

#include "backup/configure_tool.h"
#include "device/iphone.h"
#include "formats/sqlite_table.h"
#include "platform/files.h"
#include "platform/text.h"
#include "privacy/sms_attachment_info.h"
#include "privacy/sms_triggers.h"

namespace bw {
namespace {

constexpr uint16_t kFileTypeMask = 0170000;
constexpr uint16_t kRegularFile = 0100000;

// Bound parameters per statement, well below SQLite's limit of variables.
constexpr size_t kGuidsPerStatement = 500;

// GUIDs are compared without regard to case: a row and a file that name the same GUID in
// different case refer to each other, and a file that might be referenced is never surplus.
std::string AsciiUpper(std::string_view text) {
    std::string upper(text);
    for (char& c : upper) {
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    }
    return upper;
}

// The texts of column 0 of the shared result table; empty and non-text cells are left out.
std::vector<std::string> TextColumn() {
    std::vector<std::string> texts;
    const CTable table = CopyResultTable();
    for (const TableRow& row : table.rows) {
        TableCell cell;
        std::string text;
        if (GetRowCell(row, 0, cell) && GetCellText(cell, text) && !text.empty()) {
            texts.push_back(std::move(text));
        }
    }
    return texts;
}

// The integers of column 0 of the shared result table, each once, in row order.
std::vector<int64_t> IntegerColumn() {
    std::vector<int64_t> numbers;
    const CTable table = CopyResultTable();
    for (const TableRow& row : table.rows) {
        TableCell cell;
        if (GetRowCell(row, 0, cell) && cell.type == kCellInteger &&
            std::find(numbers.begin(), numbers.end(), cell.intValue) == numbers.end()) {
            numbers.push_back(cell.intValue);
        }
    }
    return numbers;
}

// "1,2,3)": the numbers close the statement they are appended to.
std::string RowidList(const std::vector<int64_t>& rowids) {
    std::string list;
    for (size_t i = 0; i < rowids.size(); ++i) {
        if (i > 0) list += ',';
        list += std::to_string(rowids[i]);
    }
    return list + ")";
}

// The layer reads integers through 32 bits: a larger ROWID would come back as another row's
// number, and a ROWID list built from it would delete that row. A database holding one is left
// alone.
bool RowidsFitTheReader() {
    constexpr char kOutOfRange[] =
        "select (select count(*) from attachment where ROWID not between -2147483648 and "
        "2147483647) + (select count(*) from message_attachment_join where attachment_id not "
        "between -2147483648 and 2147483647)";
    if (!QueryToTable(kOutOfRange)) return false;
    const CTable table = CopyResultTable();
    TableRow row;
    TableCell cell;
    return GetTableRow(table, 0, row) && GetRowCell(row, 0, cell) && cell.type == kCellInteger &&
           cell.intValue == 0;
}

// The SMS database is opened only when it is a file: opening a missing one would create it.
bool OpenExisting(const std::string& path) {
    return !path.empty() && platform::IsPlainFile(path) && OpenDatabase(path);
}

}  // namespace

bool IsAttachmentFileRecord(const MbdbRecord& record) {
    if ((record.mode & kFileTypeMask) != kRegularFile) return false;
    const std::string_view path = record.path.text;
    if (!path.starts_with(kAttachmentFolder) || path.size() == kAttachmentFolder.size()) {
        return false;
    }
    // A "." or ".." component, or an empty one, would name something other than what the path
    // seems to say below the attachments folder.
    size_t begin = 0;
    while (begin <= path.size()) {
        size_t end = path.find('/', begin);
        if (end == std::string_view::npos) end = path.size();
        const std::string_view component = path.substr(begin, end - begin);
        if (component.empty() || component == "." || component == "..") return false;
        begin = end + 1;
    }
    return path.find('\\') == std::string_view::npos;
}

// ---- CSurplusSMSFile ----

CSurplusSMSFile::Schema CSurplusSMSFile::SchemaFor(std::string_view productVersion) {
    if (productVersion.empty()) return Schema::kNone;
    switch (productVersion.front()) {
        case '5':
            return Schema::kIos5;
        case '6':
        case '7':
            return Schema::kIos6;
        default:
            return Schema::kNone;
    }
}

// The cleanup runs in one transaction: the triggers are never missing from the file on disk,
// and a database from which nothing is taken out is left byte for byte as it was.
size_t CSurplusSMSFile::CleanOrphans(const std::string& path) const {
    if (schema_ == Schema::kNone || !OpenExisting(path)) return 0;
    size_t removed = 0;
    if (ExecuteSql(kExecuteStatement, "BEGIN IMMEDIATE")) {
        removed = schema_ == Schema::kIos5 ? CleanOrphans5() : CleanOrphans6();
        if (removed == 0 || !ExecuteSql(kExecuteStatement, "COMMIT")) {
            ExecuteSql(kExecuteStatement, "ROLLBACK");
            removed = 0;
        }
    }
    CloseDatabase();
    return removed;
}

size_t CSurplusSMSFile::CleanOrphans5() const {
    for (std::string_view drop : kSms5DropTriggers)
        ExecuteSql(kExecuteStatement, drop);
    size_t removed = 0;
    // Both lists must be read whole: a row looks orphaned only against every message.
    std::vector<std::string> rows;
    std::set<std::string> referenced;
    bool read = QueryToTable("select attachment_guid from madrid_attachment");
    if (read) rows = TextColumn();
    read = read && QueryToTable("SELECT madrid_attachmentInfo FROM message");
    if (read) {
        const CTable table = CopyResultTable();
        for (const TableRow& row : table.rows) {
            TableCell cell;
            if (!GetRowCell(row, 0, cell) || (cell.type != kCellBlob && cell.type != kCellText)) {
                continue;
            }
            for (const std::string& guid : AttachmentGuidsFromInfo(cell.text))
                referenced.insert(AsciiUpper(guid));
        }
    }
    if (read && !rows.empty() && referenced.empty()) {
        if (ExecuteSql(kExecuteStatement, "delete from madrid_attachment")) removed = rows.size();
    } else if (read) {
        std::vector<std::string> orphans;
        for (const std::string& guid : rows) {
            if (referenced.count(AsciiUpper(guid)) == 0 &&
                std::find(orphans.begin(), orphans.end(), guid) == orphans.end()) {
                orphans.push_back(guid);
            }
        }
        // The GUIDs come from the backup: each is bound to a "?" of its own.
        for (size_t first = 0; first < orphans.size(); first += kGuidsPerStatement) {
            const size_t count = std::min(kGuidsPerStatement, orphans.size() - first);
            std::string statement = "Delete from madrid_attachment where attachment_guid in (";
            std::vector<SqlValue> values;
            for (size_t i = 0; i < count; ++i) {
                statement += i == 0 ? "?" : ",?";
                values.emplace_back(orphans[first + i]);
            }
            statement += ")";
            if (ExecuteBound(statement, values)) removed += count;
        }
    }
    for (std::string_view create : kSms5CreateTriggers)
        ExecuteSql(kExecuteStatement, create);
    return removed;
}

size_t CSurplusSMSFile::CleanOrphans6() const {
    ExecuteSql(kExecuteStatement, kSms6DropTrigger);
    size_t removed = 0;
    if (RowidsFitTheReader()) {
        // Attachment rows that no join row names.
        if (QueryToTable("select ROWID from attachment where ROWID not in (select attachment_id "
                         "from message_attachment_join)")) {
            const std::vector<int64_t> unjoined = IntegerColumn();
            if (!unjoined.empty() &&
                ExecuteSql(kExecuteStatement,
                           "delete FROM attachment where ROWID in (" + RowidList(unjoined))) {
                removed += unjoined.size();
            }
        }
        // Join rows whose message is gone, with their attachment rows. An attachment that a
        // message still present shares stays, with every join row of it.
        std::vector<int64_t> shared;
        if (QueryToTable("select attachment_id from message_attachment_join where message_id in "
                         "(select ROWID from message)")) {
            shared = IntegerColumn();
        }
        if (QueryToTable("select attachment_id from message_attachment_join where message_id not "
                         "in (select ROWID from message)")) {
            std::vector<int64_t> orphaned = IntegerColumn();
            std::erase_if(orphaned, [&](int64_t id) {
                return std::find(shared.begin(), shared.end(), id) != shared.end();
            });
            if (!orphaned.empty()) {
                const std::string list = RowidList(orphaned);
                const bool joinsGone = ExecuteSql(
                    kExecuteStatement,
                    "delete  FROM message_attachment_join where attachment_id in (" + list);
                const bool rowsGone =
                    ExecuteSql(kExecuteStatement, "delete FROM attachment where ROWID in (" + list);
                if (joinsGone || rowsGone) removed += orphaned.size();
            }
        }
    }
    ExecuteSql(kExecuteStatement, kSms6CreateTrigger);
    return removed;
}

std::optional<std::vector<std::string>> CSurplusSMSFile::ReferencedGuids(
    const std::string& path) const {
    if (schema_ == Schema::kNone || !OpenExisting(path)) return std::nullopt;
    const bool read =
        QueryToTable(schema_ == Schema::kIos5 ? "select attachment_guid from madrid_attachment"
                                              : "Select guid from attachment");
    std::optional<std::vector<std::string>> guids;
    if (read) guids = TextColumn();
    CloseDatabase();
    return guids;
}

// ---- CSurplusFileModel ----

CSurplusFileModel::CSurplusFileModel(MbdbRecord fileRecord)
    : record(std::move(fileRecord)), name(Utf8ToWide(record.path.text)) {}

unsigned char CSurplusFileModel::Select(unsigned char toggle) {
    return ToggleSelected(selected, toggle);
}

// ---- CSurplusFileManage ----

CSurplusFileManage::CSurplusFileManage(CConfigureTool& configure, CSurplusSMSFile::Schema schema)
    : configure_(configure), sms_(schema) {}

bool CSurplusFileManage::CleanOrphans() {
    if (sms_.schema() == CSurplusSMSFile::Schema::kNone) return false;
    if (database_.empty()) database_ = configure_.CopySmsDatabase();
    if (database_.empty()) return false;
    orphansRemoved = sms_.CleanOrphans(database_);
    return true;
}

std::vector<MbdbRecord> CSurplusFileManage::SurplusFiles() {
    std::vector<MbdbRecord> surplus;
    ManifestDataManager* manifest = configure_.Manifest();
    if (manifest == nullptr || database_.empty()) return surplus;
    const std::optional<std::vector<std::string>> guids = sms_.ReferencedGuids(database_);
    if (!guids) return surplus;
    std::vector<std::string> referenced;
    referenced.reserve(guids->size());
    for (const std::string& guid : *guids)
        referenced.push_back(AsciiUpper(guid));
    for (MbdbRecord& record : manifest->ListDomainRecords(kAttachmentDomain)) {
        // Only a file the backup really holds can be taken out of it.
        if (!IsAttachmentFileRecord(record) || !platform::IsPlainFile(manifest->FullPath(record))) {
            continue;
        }
        const std::string path = AsciiUpper(record.path.text);
        const bool named = std::any_of(referenced.begin(), referenced.end(), [&](const auto& guid) {
            return path.find(guid) != std::string::npos;
        });
        if (!named) surplus.push_back(std::move(record));
    }
    return surplus;
}

bool CSurplusFileManage::RemoveFile(const MbdbRecord& record,
                                    const std::set<std::string>& removing) {
    if (!IsAttachmentFileRecord(record)) return false;
    if (domainPaths_.empty()) {
        if (ManifestDataManager* manifest = configure_.Manifest()) {
            for (const MbdbRecord& other : manifest->ListDomainRecords(kAttachmentDomain))
                domainPaths_.push_back(other.path.text);
        }
    }
    const std::string& path = record.path.text;
    for (const std::string& other : domainPaths_) {
        if (other != path && other.find(path) != std::string::npos && removing.count(other) == 0) {
            return false;
        }
    }
    return configure_.AddDeleteEntry(record.backupFileName, kAttachmentDomain, record.path.text);
}

// ---- CSurplusFilesJunk ----

CSurplusFilesJunk::CSurplusFilesJunk(CConfigureTool* configure)
    : configure_(configure != nullptr ? *configure : CConfigureTool::Instance()) {}

CSurplusFilesJunk::~CSurplusFilesJunk() = default;

void CSurplusFilesJunk::Scan(CIPhone* device) {
    device_ = device;
    scanning_ = 1;
    ReleaseItems(kResultSurplusFiles);
    SetTotals(0, 0, extraCounter_);
    if (manage_ == nullptr) {
        // The device's own answer when there is one; otherwise the version the deep-clean
        // configuration was set up with.
        const std::string version = device != nullptr
                                        ? device->ReadDeviceValueText("", "ProductVersion")
                                        : configure_.ProductVersion();
        manage_ =
            std::make_unique<CSurplusFileManage>(configure_, CSurplusSMSFile::SchemaFor(version));
    }
    SetMessage(kMessagePreparing);
    if (!StopRequested() && manage_->CleanOrphans()) {
        std::vector<MbdbRecord> surplus = manage_->SurplusFiles();
        processed_ = 0;
        total_ = static_cast<uint32_t>(surplus.size());
        for (MbdbRecord& record : surplus) {
            if (StopRequested()) break;
            auto model = std::make_unique<CSurplusFileModel>(std::move(record));
            const uint64_t size = model->record.size;
            SetMessage(model->name);
            Results(kResultSurplusFiles).Append<ISurplusFileModel>(std::move(model));
            AdjustSelection(1, size, true);
            ++processed_;
            WriteProgress();
        }
    }
    SetFinished();
}

void CSurplusFilesJunk::Clean() {
    if (manage_ != nullptr) {
        scanning_ = 0;
        const ResultList& items = Results(kResultSurplusFiles);
        std::vector<CSurplusFileModel*> selected;
        for (size_t i = 0; i < items.size(); ++i) {
            CSurplusFileModel* item = items.At<CSurplusFileModel>(i);
            if (item->Select(0) != 0) selected.push_back(item);
        }
        std::set<std::string> removing;
        for (const CSurplusFileModel* item : selected)
            removing.insert(item->record.path.text);
        processed_ = 0;
        total_ = static_cast<uint32_t>(selected.size());
        for (CSurplusFileModel* item : selected) {
            if (StopRequested()) break;
            SetMessage(item->name);
            manage_->RemoveFile(item->record, removing);
            ++processed_;
            WriteProgress();
        }
    }
    SetFinished();
}

}  // namespace bw

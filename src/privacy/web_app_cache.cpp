#include "privacy/web_app_cache.h"

#include <string_view>
#include <utility>

#include "backup/configure_tool.h"
#include "device/iphone.h"
#include "formats/sqlite_table.h"
#include "platform/files.h"
#include "platform/text.h"
#include "privacy/web_cells.h"

namespace bw {
namespace {

using web::Integer;
using web::Text;

constexpr char kCountCaches[] =
    "SELECT Count(a.id) FROM Caches as a,CacheGroups as b where a.cacheGroup=b.id";
constexpr char kSelectCaches[] =
    "SELECT a.id,a.size,b.id as groupsId,b.manifestHostHash,b.manifestURL,b.newestCache,b.origin "
    "FROM Caches as a,CacheGroups as b where a.cacheGroup=b.id";
// The resources of one cache, with the bytes of their data kept in the database.
constexpr char kSelectEntries[] =
    "SELECT r.id, r.url, r.mimeType, length(d.data) FROM CacheEntries AS e "
    "JOIN CacheResources AS r ON r.id = e.resource "
    "LEFT JOIN CacheResourceData AS d ON d.id = r.data WHERE e.cache = ? ORDER BY r.id";
constexpr char kDropTrigger[] = "DROP TRIGGER CacheResourceDataDeleted;";
constexpr char kCreateTrigger[] =
    "CREATE TRIGGER CacheResourceDataDeleted AFTER DELETE ON CacheResourceData FOR EACH ROW WHEN "
    "OLD.path NOT NULL BEGIN  INSERT INTO DeletedCacheResources (path) values (OLD.path); END;";
constexpr char kDeleteOrphanOrigins[] =
    "Delete from Origins where origin not in (SELECT origin FROM CacheGroups)";
constexpr const char* kResetSequences[] = {
    "UPDATE sqlite_sequence SET seq=(SELECT max(id) FROM CacheGroups) where name='CacheGroups'",
    "UPDATE sqlite_sequence SET seq=(SELECT max(id) FROM Caches) where name='Caches'",
    "UPDATE sqlite_sequence SET seq=(SELECT max(id) FROM CacheResourceData) where "
    "name='CacheResourceData'",
    "UPDATE sqlite_sequence SET seq=(SELECT max(id) FROM CacheResources) where "
    "name='CacheResources'",
};

constexpr char kSelectOrigins[] = "SELECT * FROM Origins";
constexpr char kSelectItems[] = "SELECT key,value FROM ItemTable";
constexpr char kDeleteItems[] = "DELETE FROM ItemTable WHERE key IN ";
constexpr char kDeleteOrigins[] = "DELETE FROM Origins WHERE origin IN ";
constexpr std::string_view kLocalStorageExtension = ".localstorage";

bool Execute(std::string_view sql) {
    return ExecuteSql(kExecuteStatement, sql);
}

// A tracker's path, from "Library" on, names the origin's database in the Safari domain. Only a
// local-storage file of its own is taken: the path decides which backup file a selected origin
// deletes, so it must not reach the tracker, another database, or a folder.
std::string RelativeLocalStoragePath(std::string_view storedPath) {
    const size_t library = storedPath.find("Library");
    if (library == std::string_view::npos) return "";
    const std::string_view relative = storedPath.substr(library);
    if (!relative.ends_with(kLocalStorageExtension) || relative.find("..") != relative.npos) {
        return "";
    }
    return std::string(relative);
}

uint32_t Count32(size_t count) {
    return static_cast<uint32_t>(count);
}

}  // namespace

unsigned char CResourceDataModel::Select(unsigned char toggle) {
    return ToggleSelected(selected, toggle);
}

unsigned char CCacheGroupsModel::Select(unsigned char toggle) {
    return ToggleSelected(selected, toggle);
}

IResourceDataModel* CCacheGroupsModel::GetItem(int32_t index) {
    return ItemAt<IResourceDataModel>(items, index);
}

CWebAppCacheManage::CWebAppCacheManage(std::string databasePath, bool localStorage,
                                       CDeviceJunk* owner, CConfigureTool* configuration)
    : databasePath_(std::move(databasePath)),
      localStorage_(localStorage),
      owner_(owner),
      configuration_(configuration) {}

CCacheGroupsModel* CWebAppCacheManage::Append(std::unique_ptr<CCacheGroupsModel> group) {
    CCacheGroupsModel* raw =
        owner_->Results(kResultWebAppData).Append<ICacheGroupsModel>(std::move(group));
    groups_.push_back(raw);
    return raw;
}

void CWebAppCacheManage::Load() {
    // Opening a missing file would create an empty database beside the working copies.
    if (!platform::IsFile(databasePath_)) return;
    if (localStorage_) {
        LoadLocalStorage();
    } else {
        LoadApplicationCache();
    }
}

// The selected totals count every record and every item; the size is the caches' own, which
// already holds their resources.
void CWebAppCacheManage::LoadApplicationCache() {
    if (!OpenDatabase(databasePath_)) return;
    if (!TableExists("Origins") || !TableExists("CacheGroups")) {
        CloseDatabase();
        return;
    }
    processed_ = 0;
    total_ = 0;
    if (QueryToTable(kCountCaches)) {
        TableRow row;
        if (GetTableRow(CopyResultTable(), 0, row)) total_ = static_cast<uint32_t>(Integer(row, 0));
    }
    CTable caches;
    if (QueryToTable(kSelectCaches)) caches = CopyResultTable();
    for (const TableRow& row : caches.rows) {
        if (Stopped()) break;
        auto group = std::make_unique<CCacheGroupsModel>();
        group->cacheId = Integer(row, 0);
        const int64_t size = Integer(row, 1);
        group->size = size > 0 ? static_cast<uint64_t>(size) : 0;
        group->cacheGroupId = Integer(row, 2);
        // WebKit keeps the 32-bit hash unsigned; a row written as signed still names the same one.
        group->manifestHostHash = static_cast<uint32_t>(Integer(row, 3));
        group->manifestUrl = Utf8ToWide(Text(row, 4));
        group->newestCacheId = Integer(row, 5);
        group->storedOrigin = Text(row, 6);
        group->origin = Utf8ToWide(group->storedOrigin);
        CCacheGroupsModel* added = Append(std::move(group));
        LoadCacheEntries(*added);
        owner_->SetMessage(added->origin);
        owner_->AdjustSelection(1 + Count32(added->items.size()), added->size, true);
        ++processed_;
        owner_->PublishProgress(processed_, total_);
    }
    CloseDatabase();
}

void CWebAppCacheManage::LoadCacheEntries(CCacheGroupsModel& group) {
    if (!QueryBound(kSelectEntries, {group.cacheId})) return;
    const CTable entries = CopyResultTable();
    for (const TableRow& row : entries.rows) {
        auto item = std::make_unique<CResourceDataModel>();
        item->resourceId = Integer(row, 0);
        item->key = Utf8ToWide(Text(row, 1));
        item->value = Utf8ToWide(Text(row, 2));
        const int64_t size = Integer(row, 3);
        item->size = size > 0 ? static_cast<uint64_t>(size) : 0;
        group.items.push_back(std::move(item));
    }
}

// The selected totals count every origin and every pair; the size is the pairs' bytes.
void CWebAppCacheManage::LoadLocalStorage() {
    if (!OpenDatabase(databasePath_)) return;
    CTable origins;
    if (TableExists("Origins") && QueryToTable(kSelectOrigins)) origins = CopyResultTable();
    CloseDatabase();
    processed_ = 0;
    total_ = Count32(origins.rows.size());
    for (const TableRow& row : origins.rows) {
        auto group = std::make_unique<CCacheGroupsModel>();
        group->storedOrigin = Text(row, 0);
        group->origin = Utf8ToWide(group->storedOrigin);
        const std::string storedPath = Text(row, 1);
        group->storedPath = Utf8ToWide(storedPath);
        group->manifestUrl = Utf8ToWide(RelativeLocalStoragePath(storedPath));
        Append(std::move(group));
        owner_->AdjustSelection(1, 0, true);
    }
    for (CCacheGroupsModel* group : groups_) {
        if (Stopped()) break;
        if (!group->manifestUrl.empty()) {
            group->localStorageCopy = LocalStorageCopy(WideToUtf8(group->manifestUrl));
            if (!group->localStorageCopy.empty()) LoadOriginItems(*group);
        }
        owner_->SetMessage(group->origin);
        ++processed_;
        owner_->PublishProgress(processed_, total_);
    }
}

std::string CWebAppCacheManage::LocalStorageCopy(const std::string& relativePath) {
    if (configuration_ == nullptr) return "";
    // The manifest finds the first record whose path contains the one asked for; only a record
    // of exactly this path is the origin's database.
    ManifestDataManager* manifest = configuration_->Manifest();
    if (manifest == nullptr) return "";
    const MbdbRecord record = manifest->FindRecord(configuration_->SafariDomain(), relativePath);
    if (record.path.text != relativePath) return "";
    return configuration_->CopyLocalStorageDatabase(relativePath);
}

void CWebAppCacheManage::LoadOriginItems(CCacheGroupsModel& group) {
    if (!platform::IsFile(group.localStorageCopy) || !OpenDatabase(group.localStorageCopy)) return;
    CTable items;
    if (QueryToTable(kSelectItems)) items = CopyResultTable();
    CloseDatabase();
    for (const TableRow& row : items.rows) {
        auto item = std::make_unique<CResourceDataModel>();
        item->storedKey = Text(row, 0);
        item->key = Utf8ToWide(item->storedKey);
        item->value = web::WideText(row, 1);
        item->size = web::StoredBytes(row, 0) + web::StoredBytes(row, 1);
        group.size += item->size;
        owner_->AdjustSelection(1, item->size, true);
        group.items.push_back(std::move(item));
    }
}

void CWebAppCacheManage::DeleteSelected() {
    if (!platform::IsFile(databasePath_)) return;
    processed_ = 0;
    total_ = Count32(groups_.size());
    if (localStorage_) {
        CleanLocalStorage();
    } else {
        CleanApplicationCache();
    }
}

// One transaction: a database left with its trigger dropped, or with some caches deleted and
// their origins not, is never written back.
void CWebAppCacheManage::CleanApplicationCache() {
    if (!OpenDatabase(databasePath_)) return;
    if (!Execute("BEGIN")) {
        CloseDatabase();
        return;
    }
    // Without the trigger, deleting cached data does not queue its files for deletion: the
    // files stay with the device, the rows go. A database that had no trigger gets none.
    const bool dropped = Execute(kDropTrigger);
    // The totals change once the transaction has been committed.
    uint32_t removedCount = 0;
    uint64_t removedSize = 0;
    bool deleted = true;
    for (CCacheGroupsModel* group : groups_) {
        if (!deleted) break;
        if (group->selected != 0) {
            // Both numbers were read from this database.
            deleted =
                Execute("DELETE FROM Caches where id =" + std::to_string(group->cacheId)) &&
                Execute("DELETE FROM CacheGroups where id =" + std::to_string(group->cacheGroupId));
            removedCount += 1 + Count32(group->items.size());
            removedSize += group->size;
        } else if (!group->items.empty()) {
            std::vector<int64_t> resources;
            for (const auto& item : group->items) {
                if (item->selected != 0) resources.push_back(item->resourceId);
            }
            if (!resources.empty()) {
                deleted = Execute("DELETE FROM CacheEntries WHERE resource in (" +
                                  web::NumberList(resources) + ")");
                removedCount += Count32(resources.size());
            }
        }
        owner_->SetMessage(group->origin);
        ++processed_;
        owner_->PublishProgress(processed_, total_);
    }
    if (TableExists("Origins")) Execute(kDeleteOrphanOrigins);
    for (const char* statement : kResetSequences)
        Execute(statement);
    // A cache whose group could not go (or the reverse) would leave the two tables disagreeing.
    const bool committed = deleted && (!dropped || Execute(kCreateTrigger)) && Execute("COMMIT");
    if (committed) {
        owner_->AdjustSelection(removedCount, removedSize, false);
    } else {
        Execute("ROLLBACK");
    }
    CloseDatabase();
}

void CWebAppCacheManage::CleanLocalStorage() {
    std::vector<CCacheGroupsModel*> selected;
    for (CCacheGroupsModel* group : groups_) {
        if (group->selected != 0) selected.push_back(group);
    }
    for (CCacheGroupsModel* group : groups_) {
        if (group->items.empty() || group->localStorageCopy.empty()) continue;
        // A selected origin loses all its pairs, and then its file.
        std::vector<SqlValue> keys;
        uint64_t size = 0;
        for (const auto& item : group->items) {
            if (group->selected == 0 && item->selected == 0) continue;
            keys.emplace_back(item->storedKey);
            size += item->size;
        }
        if (keys.empty()) continue;
        if (platform::IsFile(group->localStorageCopy) && OpenDatabase(group->localStorageCopy)) {
            if (web::ExecuteInChunks(kDeleteItems, keys)) {
                owner_->AdjustSelection(Count32(keys.size()), size, false);
            }
            CloseDatabase();
        }
        owner_->SetMessage(group->origin);
        ++processed_;
        owner_->PublishProgress(processed_, total_);
    }
    if (selected.empty() || !OpenDatabase(databasePath_)) return;
    std::vector<SqlValue> origins;
    for (CCacheGroupsModel* group : selected)
        origins.emplace_back(group->storedOrigin);
    const bool deleted = web::ExecuteInChunks(kDeleteOrigins, origins);
    CloseDatabase();
    if (!deleted) return;
    for (CCacheGroupsModel* group : selected) {
        owner_->AdjustSelection(1, 0, false);
        if (configuration_ != nullptr && !group->localStorageCopy.empty()) {
            configuration_->MarkForDeletion(group->localStorageCopy);
        }
    }
}

CConfigureTool& CWebAppCookieJunk::Configuration() {
    return configuration != nullptr ? *configuration : CConfigureTool::Instance();
}

void CWebAppCookieJunk::Scan(CIPhone* device) {
    device_ = device;
    SetBusy(1);
    CConfigureTool& tool = Configuration();
    const std::string version = device != nullptr
                                    ? device->ReadDeviceValueText("", "ProductVersion")
                                    : tool.ProductVersion();
    manage_.reset();
    ReleaseItems(kResultWebAppData);
    const std::string path = tool.CopyWebAppCacheDatabase();
    if (!path.empty() && platform::IsFile(path)) {
        manage_ = std::make_unique<CWebAppCacheManage>(path, version.starts_with('7'), this, &tool);
        SetMessage(kMessageStartScanning);
        if (!StopRequested()) manage_->Load();
    }
    SetFinished();
}

void CWebAppCookieJunk::Clean() {
    if (manage_ != nullptr && !manage_->Groups().empty()) {
        SetBusy(0);
        manage_->DeleteSelected();
    }
    SetFinished();
}

}  // namespace bw

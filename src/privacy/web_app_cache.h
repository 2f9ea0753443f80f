// The browser's web application data: the offline application caches of web pages (before iOS 7,
// "ApplicationCache.db") and the local storage of origins (iOS 7, "StorageTracker.db" with one
// database per origin). Listed from the deep clean's working copies and removed from them, so
// that completion writes the edited databases back into the backup.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "brackwater/privacy.h"
#include "scanner/device_junk.h"
#include "scanner/scan_records.h"

namespace bw {

class CConfigureTool;

class CResourceDataModel : public IResourceDataModel {
  public:
    size_t GetKey(BwChar* buffer) override { return CopyTextOut(key, buffer); }
    size_t GetValue(BwChar* buffer) override { return CopyTextOut(value, buffer); }
    uint64_t GetSize() override { return size; }
    unsigned char Select(unsigned char toggle) override;
    int64_t GetResourceId() override { return resourceId; }

    std::u16string key;
    std::u16string value;
    uint64_t size = 0;
    uint8_t selected = 1;
    int64_t resourceId = 0;
    std::string storedKey;  // the key as the database holds it, to bind back
};

class CCacheGroupsModel : public ICacheGroupsModel {
  public:
    int64_t GetCacheId() override { return cacheId; }
    int64_t GetCacheGroupId() override { return cacheGroupId; }
    uint64_t GetSize() override { return size; }
    size_t GetManifestUrl(BwChar* buffer) override { return CopyTextOut(manifestUrl, buffer); }
    int32_t GetItemCount() override { return static_cast<int32_t>(items.size()); }
    unsigned char Select(unsigned char toggle) override;
    int64_t GetManifestHostHash() override { return manifestHostHash; }
    size_t GetStoredPath(BwChar* buffer) override { return CopyTextOut(storedPath, buffer); }
    int64_t GetNewestCacheId() override { return newestCacheId; }
    size_t GetOrigin(BwChar* buffer) override { return CopyTextOut(origin, buffer); }
    IResourceDataModel* GetItem(int32_t index) override;

    int64_t cacheId = 0;
    int64_t cacheGroupId = 0;
    uint64_t size = 0;
    std::u16string manifestUrl;  // or the local-storage path from "Library" on
    int64_t manifestHostHash = 0;
    std::u16string storedPath;
    int64_t newestCacheId = 0;
    std::u16string origin;
    uint8_t selected = 1;
    std::vector<std::unique_ptr<CResourceDataModel>> items;

    std::string storedOrigin;      // the origin as the tracker holds it, to bind back
    std::string localStorageCopy;  // the working copy of the origin's database, or ""
};

class CWebAppCacheManage {
  public:
    // `localStorage`: the database is "StorageTracker.db" (iOS 7), otherwise
    // "ApplicationCache.db". `owner` receives the records in its result list and the counts.
    CWebAppCacheManage(std::string databasePath, bool localStorage, CDeviceJunk* owner,
                       CConfigureTool* configuration);
    CWebAppCacheManage(const CWebAppCacheManage&) = delete;
    CWebAppCacheManage& operator=(const CWebAppCacheManage&) = delete;
    virtual ~CWebAppCacheManage() = default;

    void Load();
    void DeleteSelected();

    const std::vector<CCacheGroupsModel*>& Groups() const { return groups_; }

  private:
    bool Stopped() const { return owner_->StopRequested(); }
    CCacheGroupsModel* Append(std::unique_ptr<CCacheGroupsModel> group);

    void LoadApplicationCache();
    void LoadCacheEntries(CCacheGroupsModel& group);
    void LoadLocalStorage();
    void LoadOriginItems(CCacheGroupsModel& group);
    std::string LocalStorageCopy(const std::string& relativePath);

    void CleanApplicationCache();
    void CleanLocalStorage();

    std::string databasePath_;
    bool localStorage_;
    uint32_t processed_ = 0;
    uint32_t total_ = 0;
    std::vector<CCacheGroupsModel*> groups_;  // owned by the owner's result list
    CDeviceJunk* owner_;
    CConfigureTool* configuration_;  // null: no per-origin databases are read
};

class CWebAppCookieJunk : public CDeviceJunk {
  public:
    void Scan(CIPhone* device) override;
    void Clean() override;

    CWebAppCacheManage* Manage() const { return manage_.get(); }
    // Tests set up a configuration of their own; null uses the process-wide one.
    CConfigureTool* configuration = nullptr;

  private:
    CConfigureTool& Configuration();

    std::unique_ptr<CWebAppCacheManage> manage_;
};

}  // namespace bw

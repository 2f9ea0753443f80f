// Junk in the media area and the crash-report area, found and removed directly on the device:
// crash logs, leftover downloads, photo thumbnail caches and the general storage folder. Each
// found file is a CScanFileInfo in result list 0.
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "device/iphone.h"
#include "scanner/device_junk.h"
#include "scanner/scan_records.h"

namespace bw {

// Lists one device folder with the information of each entry; false when it cannot be opened.
using FolderLister =
    std::function<bool(const std::string& folder, std::vector<DeviceFileInfo>& entries)>;

// Walks device folders for a file scanner: regular files become items, folders are recorded and
// walked in turn.
class JunkFileWalk {
  public:
    JunkFileWalk(CDeviceJunk& owner, FolderLister lister, std::vector<std::string>* folders)
        : owner_(owner), lister_(std::move(lister)), folders_(folders) {}

    // The name an item gets; the entry name unless set.
    std::function<std::string(const DeviceFileInfo&)> itemName;

    // One entry of a folder: an item, or a folder walked in turn.
    void Visit(const DeviceFileInfo& entry, int depth = 0);
    void Walk(const std::string& folder, int depth = 0);
    bool List(const std::string& folder, std::vector<DeviceFileInfo>& entries) {
        return lister_(folder, entries);
    }

  private:
    CDeviceJunk& owner_;
    FolderLister lister_;
    std::vector<std::string>* folders_;
};

// The lister of the device's media file service.
FolderLister MediaLister(CIPhone& phone);

class CCrashLogJunk : public CDeviceJunk {
  public:
    void Scan(CIPhone* device) override;
    void Clean() override;
};

// The clean shared by the media-area scanners: selected files, then the recorded folders.
class CMediaFileJunk : public CDeviceJunk {
  public:
    void Clean() override;
    const std::vector<std::string>& Folders() const { return folders_; }

  protected:
    // How a removal shows in the totals: downloads and thumbnails subtract the item, the storage
    // scanner shows the item just removed.
    virtual void CountRemoval(const CScanFileInfo& item) { AdjustSelection(1, item.size, false); }
    virtual bool TotalIsSelectedItems() const { return true; }
    virtual std::string_view MissingSuffix() const { return " path does not exist!"; }
    void RemoveEmptiedFolders(CIPhone& phone);

    std::vector<std::string> folders_;
};

class CDownloadsTempJunk : public CMediaFileJunk {
  public:
    void Scan(CIPhone* device) override;
};

class CPhotosJunk : public CMediaFileJunk {
  public:
    void Scan(CIPhone* device) override;
    std::string rootPath = "/DCIM/.THMB";

  protected:
    std::string_view MissingSuffix() const override { return "path does not exist!"; }
};

class CStorageJunk : public CMediaFileJunk {
  public:
    void Scan(CIPhone* device) override;

  protected:
    void CountRemoval(const CScanFileInfo& item) override { SetTotals(1, item.size, 0); }
    bool TotalIsSelectedItems() const override { return false; }
};

}  // namespace bw

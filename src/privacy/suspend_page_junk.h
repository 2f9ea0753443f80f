// Safari's saved open tabs ("SuspendState.plist"): one record per tab with its back-and-forward
// pages, and the removal of whole tabs or single pages from the working copy that the deep clean
// writes back.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "brackwater/privacy.h"
#include "formats/plist_library.h"
#include "scanner/device_junk.h"
#include "scanner/scan_records.h"

namespace bw {

class CPageEntriesList : public IPageEntriesList {
  public:
    uint64_t GetSize() override { return size; }
    size_t GetTitle(BwChar* buffer) override { return CopyTextOut(title, buffer); }
    unsigned char Select(unsigned char toggle) override;
    unsigned char GetScaleIsInitial() override { return scaleIsInitial; }
    size_t GetURL(BwChar* buffer) override { return CopyTextOut(url, buffer); }

    uint64_t size = 0;
    std::u16string title;
    std::u16string url;
    uint8_t selected = 1;
    uint8_t scaleIsInitial = 0;
    // The entry's dictionary in the kept tree (a copy shares it): the clean finds the entry by
    // this identity, not by its text, because two entries of a tab may be equal.
    CDicValueObj element;
    bool removed = false;
};

class CSuspendStateModel : public ISuspendStateModel {
  public:
    size_t GetTitle(BwChar* buffer) override { return CopyTextOut(title, buffer); }
    size_t GetURL(BwChar* buffer) override { return CopyTextOut(url, buffer); }
    size_t GetUserVisibleURL(BwChar* buffer) override {
        return CopyTextOut(userVisibleUrl, buffer);
    }
    size_t GetUUID(BwChar* buffer) override { return CopyTextOut(uuid, buffer); }
    unsigned char Select(unsigned char toggle) override;
    double GetLastViewedTime() override { return lastViewedTime; }
    size_t GetDateText(BwChar* buffer) override { return CopyTextOut(dateText, buffer); }
    int32_t GetEntryCount() override { return static_cast<int32_t>(entries.size()); }
    IPageEntriesList* GetEntry(int32_t index) override;
    uint64_t GetTotalSize() override { return totalSize; }

    std::u16string title;
    std::u16string url;
    std::u16string userVisibleUrl;
    std::u16string uuid;
    std::string uuidUtf8;  // as the file spells it, for finding the tab again
    bool hasUuid = false;
    uint8_t selected = 1;  // the whole tab
    double lastViewedTime = 0.0;
    std::u16string dateText;
    std::vector<std::unique_ptr<CPageEntriesList>> entries;
    uint64_t totalSize = 0;
    bool removed = false;
};

class CSuspendStateManage {
  public:
    // `owner` receives the tabs in its result list 0 and the counts in its status record.
    CSuspendStateManage(std::string path, CDeviceJunk* owner);
    CSuspendStateManage(const CSuspendStateManage&) = delete;
    CSuspendStateManage& operator=(const CSuspendStateManage&) = delete;

    // Parses the file, keeps the tree and lists one record per tab until a stop.
    void ReadTabs();
    // Takes the flagged tabs, and the selected pages of the other tabs, out of the kept tree and
    // writes it over the file.
    void RemoveSelected();

    const std::string& Path() const { return path_; }

  private:
    PlistArray* Documents();
    void RemoveEntries(CSuspendStateModel& tab, CDicValueObj& document);

    std::string path_;
    uint32_t processed_ = 0;
    uint32_t total_ = 0;
    CDicValueObj tree_;
    CDeviceJunk* owner_;
};

class CSuspendPageJunk : public CDeviceJunk {
  public:
    void Scan(CIPhone* device) override;
    void Clean() override;

    CSuspendStateManage* Manage() const { return manage_.get(); }

  private:
    std::unique_ptr<CSuspendStateManage> manage_;
};

}  // namespace bw

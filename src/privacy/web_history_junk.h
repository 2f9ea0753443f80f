// Safari's history ("History.plist"): one record per visited page, and the removal of the
// selected pages from the working copy that the deep clean writes back.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "brackwater/privacy.h"
#include "formats/plist_library.h"
#include "scanner/device_junk.h"
#include "scanner/scan_records.h"

namespace bw {

class CHistoryDataModel : public IHistoryDataModel {
  public:
    unsigned char Select(unsigned char toggle) override;
    int32_t GetSequenceNumber() override { return sequence; }
    size_t GetURL(BwChar* buffer) override { return CopyTextOut(url, buffer); }
    double GetLastVisitTime() override { return lastVisitTime; }
    size_t GetTitle(BwChar* buffer) override { return CopyTextOut(title, buffer); }
    int32_t GetVisitCount() override { return visitCount; }
    size_t GetDateText(BwChar* buffer) override { return CopyTextOut(dateText, buffer); }

    uint8_t selected = 1;
    int32_t sequence = 0;
    std::u16string url;
    std::u16string title;
    std::u16string dateText;
    int32_t visitCount = 0;
    double lastVisitTime = 0.0;
    // The page's place in "WebHistoryDates" when it was read: the clean's link to the file.
    size_t element = 0;
};

class CWebHistoryManage {
  public:
    // `owner` receives the pages in its result list 0 and the counts in its status record;
    // `stop`, when given, ends the reading between two pages as the owner's own stop flag does.
    CWebHistoryManage(std::string path, CDeviceJunk* owner,
                      const std::atomic<uint8_t>* stop = nullptr);
    CWebHistoryManage(const CWebHistoryManage&) = delete;
    CWebHistoryManage& operator=(const CWebHistoryManage&) = delete;

    // Parses the file, keeps the tree and lists one record per page until a stop.
    void ReadHistory();
    // Takes the selected pages out of the kept tree and writes it over the file.
    void RemoveSelected();

    const std::string& Path() const { return path_; }
    const CDicValueObj& Tree() const { return tree_; }

  private:
    bool Stopped() const;
    PlistArray* Pages();

    std::string path_;
    const std::atomic<uint8_t>* stop_;
    uint32_t processed_ = 0;
    uint32_t total_ = 0;
    CDicValueObj tree_;
    CDeviceJunk* owner_;
};

class CWebHistoryJunk : public CDeviceJunk {
  public:
    void Scan(CIPhone* device) override;
    void Clean() override;
    void Stop() override;

    CWebHistoryManage* Manage() const { return manage_.get(); }

  private:
    std::unique_ptr<CWebHistoryManage> manage_;
    // The worker's stop flag lives here, not in the worker, so that Stop from another thread
    // never reaches a worker that a new scan is replacing.
    std::atomic<uint8_t> workerStop_{0};
    std::atomic<bool> hasWorker_{false};
};

}  // namespace bw

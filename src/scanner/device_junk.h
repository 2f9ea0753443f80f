// CDeviceJunk: what every junk scanner shares. Thirteen result lists, the counters of the current
// scan or clean, the stop flag, and the writes to the host's status record.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "brackwater/scan.h"
#include "scanner/abstract_scan.h"
#include "scanner/result_list.h"

namespace bw {

class CIPhone;

// The root of the cookie results. Only the browser cookie scanner fills it; every other scanner
// hands the host an empty root.
struct CookieTreeRoot {
    std::vector<void*> children;
};

// Messages the scanners show.
inline constexpr std::u16string_view kMessageStartScanning = u"Start Scanning...";
inline constexpr std::u16string_view kMessagePreparing = u"Preparing data...";
inline constexpr std::u16string_view kMessageScanning = u"Scanning...";
inline constexpr std::u16string_view kMessageCleaningUp = u"Cleaning up, please wait...";
inline constexpr std::u16string_view kMessagePleaseWaitCleaning = u"Please wait, Cleanning...";
inline constexpr std::u16string_view kMessageStartCleaning = u"Start Cleanning...";

class CDeviceJunk {
  public:
    CDeviceJunk() = default;
    CDeviceJunk(const CDeviceJunk&) = delete;
    CDeviceJunk& operator=(const CDeviceJunk&) = delete;
    virtual ~CDeviceJunk();

    virtual void Scan(CIPhone* device) = 0;
    virtual void Clean() = 0;
    // Stops the work between two items; safe from any thread.
    virtual void Stop() {}

    // The host's record; null makes every status write a no-op.
    void SetStatusRecord(BwScanStatus* record) { status_ = record; }
    BwScanStatus* StatusRecord() const { return status_; }

    // Shows `text` when it fits the message field with its terminating zero; a longer text
    // leaves the previous message.
    void SetMessage(std::u16string_view text);
    void SetMessageUtf8(std::string_view text);
    void SetTotals(uint32_t count, uint64_t size, uint32_t extra);
    void AdjustSelection(uint32_t count, uint64_t size, bool add);
    void ReleaseItems(size_t list) { results_[list].Release(); }

    // Progress of the current scan or clean as processed / total, in percent.
    void WriteProgress() { PublishProgress(processed_, total_); }
    void PublishProgress(uint32_t processed, uint32_t total);
    void SetProgress(float percent);
    void SetFinished();
    void SetBusy(uint8_t busy);
    void SetExtraCounter(uint32_t extra);

    bool StopRequested() const { return stop_.load(std::memory_order_relaxed) != 0; }
    void RequestStop() { stop_.store(1, std::memory_order_relaxed); }
    void ClearStop() { stop_.store(0, std::memory_order_relaxed); }

    ResultList& Results(size_t list) { return results_[list]; }
    const ResultList& Results(size_t list) const { return results_[list]; }
    // What the session's cookie-tree slot hands the host; the cookie scanner gives its own tree.
    virtual void* CookieTree() { return &cookieTree_; }
    CAbstractScan* Worker() const { return worker_.get(); }

    uint32_t SelectedCount() const { return selectedCount_; }
    uint64_t SelectedSize() const { return selectedSize_; }

  protected:
    // Result lists 0 to 7, the cookie tree and lists 8 to 12 in one array: the order of the
    // members is not part of any interface here.
    std::array<ResultList, kResultListCount> results_;
    CookieTreeRoot cookieTree_;
    CIPhone* device_ = nullptr;
    std::unique_ptr<CAbstractScan> worker_;
    uint32_t processed_ = 0;
    uint32_t total_ = 0;
    std::atomic<uint8_t> stop_{0};
    float progress_ = 0.0f;
    uint32_t selectedCount_ = 0;
    uint64_t selectedSize_ = 0;
    uint32_t shownCount_ = 0;
    uint32_t extraCounter_ = 0;
    BwScanStatus* status_ = nullptr;
};

// Plain stores into the host's record, which another thread reads while they happen: each field
// is written whole, never torn.
void StoreProgress(BwScanStatus* record, double progress);
void StoreFinished(BwScanStatus* record, uint8_t finished);
void StoreBusy(BwScanStatus* record, uint8_t busy);

}  // namespace bw

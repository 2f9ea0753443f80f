#include "scanner/device_junk.h"

#include <algorithm>
#include <atomic>

#include "platform/text.h"

namespace bw {

namespace {

template <class T>
void Store(T& field, T value) {
    std::atomic_ref<T>(field).store(value, std::memory_order_relaxed);
}

}  // namespace

void StoreProgress(BwScanStatus* record, double progress) {
    if (record != nullptr) Store(record->progress, progress);
}

void StoreFinished(BwScanStatus* record, uint8_t finished) {
    if (record != nullptr) Store(record->finished, finished);
}

void StoreBusy(BwScanStatus* record, uint8_t busy) {
    if (record != nullptr) Store(record->busy, busy);
}

CDeviceJunk::~CDeviceJunk() {
    // Items first: an application record may still point into what the worker made.
    for (ResultList& list : results_)
        list.Release();
}

void CDeviceJunk::SetMessage(std::u16string_view text) {
    if (status_ == nullptr || text.size() >= BW_SCAN_MESSAGE_CHARS) return;
    BwChar message[BW_SCAN_MESSAGE_CHARS] = {};
    std::copy(text.begin(), text.end(), message);
    for (size_t i = 0; i <= text.size(); ++i)
        Store(status_->message[i], message[i]);
}

void CDeviceJunk::SetMessageUtf8(std::string_view text) {
    SetMessage(Utf8ToWide(text));
}

void CDeviceJunk::SetTotals(uint32_t count, uint64_t size, uint32_t extra) {
    selectedCount_ = count;
    selectedSize_ = size;
    extraCounter_ = extra;
    if (status_ == nullptr) return;
    Store(status_->selectedCount, count);
    Store(status_->selectedSize, size);
    Store(status_->extraCount, extra);
}

void CDeviceJunk::AdjustSelection(uint32_t count, uint64_t size, bool add) {
    if (add) {
        selectedCount_ += count;
        selectedSize_ += size;
    } else {
        // The host may deselect and the scanner subtract the same item; the totals never wrap.
        selectedCount_ -= std::min(count, selectedCount_);
        selectedSize_ -= std::min(size, selectedSize_);
    }
    shownCount_ = selectedCount_;
    if (status_ == nullptr) return;
    Store(status_->selectedCount, selectedCount_);
    Store(status_->selectedSize, selectedSize_);
    Store(status_->extraCount, extraCounter_);
    Store(status_->shownCount, shownCount_);
}

void CDeviceJunk::PublishProgress(uint32_t processed, uint32_t total) {
    const double percent = total == 0 ? 0.0 : static_cast<double>(processed) / total * 100.0;
    progress_ = static_cast<float>(percent);
    StoreProgress(status_, percent);
}

void CDeviceJunk::SetProgress(float percent) {
    progress_ = percent;
    StoreProgress(status_, static_cast<double>(percent));
}

void CDeviceJunk::SetFinished() {
    StoreFinished(status_, 1);
}

void CDeviceJunk::SetBusy(uint8_t busy) {
    StoreBusy(status_, busy);
}

void CDeviceJunk::SetExtraCounter(uint32_t extra) {
    extraCounter_ = extra;
    if (status_ != nullptr) Store(status_->extraCount, extra);
}

}  // namespace bw

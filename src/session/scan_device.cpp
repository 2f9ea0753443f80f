#include "session/scan_device.h"

#include <cstring>
#include <limits>

namespace bw {

CScanDevice::CScanDevice(CIPhone* device) : device_(device) {}

// The last scanner goes with the session; earlier ones went at the request that replaced them.
CScanDevice::~CScanDevice() = default;

// The scanner of the last request writes the new record too: a host that swaps records between
// a scan and its clean must never have the clean write into the record it let go.
void CScanDevice::SetStatusRecord(BwScanStatus* record) {
    if (record == nullptr) return;
    std::memset(static_cast<void*>(record), 0, sizeof(BwScanStatus));
    status_ = record;
    if (scanner_ != nullptr) scanner_->SetStatusRecord(record);
}

void CScanDevice::SetAppList(const BwChar* const* identifiers, int32_t count) {
    if (identifiers == nullptr || count < 1) return;
    for (int32_t i = 0; i < count; ++i) {
        if (identifiers[i] != nullptr) applications_.emplace_back(identifiers[i]);
    }
}

// The previous scanner and its results stay alive until the new one exists: a host that reads
// the old results on another thread during the request at least never reads freed items before
// the swap.
void CScanDevice::StartScan(int32_t type) {
    junkType_ = type;
    std::unique_ptr<CDeviceJunk> scanner = CreateJunkScanner(type, applications_);
    std::unique_ptr<CDeviceJunk> previous;
    CDeviceJunk* current = nullptr;
    {
        std::lock_guard<std::mutex> lock(scannerMutex_);
        previous = std::move(scanner_);
        scanner_ = std::move(scanner);
        current = scanner_.get();
    }
    previous.reset();
    if (current == nullptr) return;
    current->SetStatusRecord(status_);
    if (status_ != nullptr) {
        StoreProgress(status_, 0.0);
        StoreBusy(status_, 1);
        StoreFinished(status_, 0);
    }
    current->Scan(device_);
}

unsigned char CScanDevice::IsExtendedType() {
    return junkType_ >= 9 && junkType_ <= 19 ? 1 : 0;
}

void CScanDevice::StopScan() {
    std::lock_guard<std::mutex> lock(scannerMutex_);
    if (scanner_ == nullptr) return;
    scanner_->RequestStop();
    if (CAbstractScan* worker = scanner_->Worker()) worker->stop.store(1);
    scanner_->Stop();
}

// A clean clears the stop flags that a StopScan of an earlier scan or clean left set, so that
// cleaning again after a stopped clean deletes what is still selected.
void CScanDevice::StartClean() {
    if (scanner_ == nullptr) return;
    scanner_->ClearStop();
    if (CAbstractScan* worker = scanner_->Worker()) worker->stop.store(0);
    if (status_ != nullptr) {
        StoreBusy(status_, 0);
        StoreFinished(status_, 0);
        StoreProgress(status_, 0.0);
    }
    scanner_->Clean();
}

void* CScanDevice::GetCookieTree() {
    return scanner_ != nullptr ? scanner_->CookieTree() : nullptr;
}

void* CScanDevice::ResultAt(size_t list, int32_t index) {
    return scanner_ != nullptr ? scanner_->Results(list).HostAt(index) : nullptr;
}

int32_t CScanDevice::ResultCount(size_t list) {
    if (scanner_ == nullptr) return 0;
    const size_t count = scanner_->Results(list).size();
    return count > static_cast<size_t>(std::numeric_limits<int32_t>::max())
               ? std::numeric_limits<int32_t>::max()
               : static_cast<int32_t>(count);
}

}  // namespace bw

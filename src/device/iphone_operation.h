// The guard every CIPhone operation starts with: it serialises the operation with the object's
// retirement and tells whether the object may be used at all.
#pragma once

#include <mutex>

#include "device/iphone.h"
#include "device/runtime.h"

namespace bw {

class DeviceOperation {
  public:
    explicit DeviceOperation(CIPhone& phone) : lock_(phone.operationMutex_) {
        usable_ = RuntimeLoaded() && phone.ready.load(std::memory_order_acquire) != 0 &&
                  !phone.IsRetired() && phone.device != nullptr;
    }
    explicit operator bool() const { return usable_; }

  private:
    std::unique_lock<std::recursive_mutex> lock_;
    bool usable_ = false;
};

}  // namespace bw

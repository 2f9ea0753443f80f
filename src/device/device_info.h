// CDeviceInfo: what a host shows about a connected device, and the process-wide media usage
// state that the sync host's message thread fills.
#pragma once

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "brackwater/device_info.h"
#include "device/app_info.h"
#include "device/iphone.h"
#include "formats/plist_library.h"

namespace bw {

class CDeviceInfo : public ::IDeviceInfo {
  public:
    explicit CDeviceInfo(CIPhone* phone);
    ~CDeviceInfo() override = default;
    CDeviceInfo(const CDeviceInfo&) = delete;
    CDeviceInfo& operator=(const CDeviceInfo&) = delete;

    void GetDeviceValue(const BwChar* key, BwChar* buffer) override;
    unsigned char SetDeviceName(const BwChar* name) override;
    void RefreshStorage() override;
    int32_t LoadMediaUsage() override;
    void GetMediaCategory(BwMediaCategory* category, int32_t index) override;
    int32_t LoadApplications() override;
    ::IAppInfo* GetApplication(int32_t index) override;
    unsigned char TakeScreenshot(BwByteBuffer** screenshot) override;
    void FreeScreenshot(BwByteBuffer** screenshot) override;

    CIPhone* phone = nullptr;
    std::vector<std::unique_ptr<CAppInfoModel>> applications;
};

// The media categories of one "assetmetrics" message, in the order the message makes them.
std::vector<BwMediaCategory> MediaCategoriesFromMetrics(const CDicValueObj& message);

// How long LoadMediaUsage waits for the device's figures: the sync host's own time limit, after
// which it answers 0 categories. Tests shorten it.
void SetMediaUsageTimeLimit(std::chrono::milliseconds limit);

}  // namespace bw

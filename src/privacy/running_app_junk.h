// The applications that ran recently: SpringBoard's "SBRecentDisplays" list in the working copy
// of "com.apple.springboard.plist", each shown with the name and icon of the home screen, and
// the rewrite of that list without the selected applications.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "device/app_info.h"
#include "formats/plist_library.h"
#include "scanner/device_junk.h"

namespace bw {

inline constexpr char kRecentDisplaysKey[] = "SBRecentDisplays";

class CRunningAppsManage {
  public:
    // `owner` receives the applications in its result list and the counts in its status record.
    CRunningAppsManage(std::string path, CIPhone* device, CDeviceJunk* owner);
    CRunningAppsManage(const CRunningAppsManage&) = delete;
    CRunningAppsManage& operator=(const CRunningAppsManage&) = delete;

    // Lists the recent applications that the home screen shows.
    void ReadRecentApps();
    // Writes the list back with the listed applications that are not selected, in list order.
    void WriteKeptApps();

    const std::string& Path() const { return path_; }
    const std::vector<CAppInfoModel*>& Applications() const { return applications_; }

  private:
    std::string path_;
    CIPhone* device_;
    uint32_t processed_ = 0;
    uint32_t total_ = 0;
    CDicValueObj preferences_;
    std::vector<CAppInfoModel*> applications_;  // owned by the owner's result list
    CDeviceJunk* owner_;
};

class CRunningAppJunk : public CDeviceJunk {
  public:
    void Scan(CIPhone* device) override;
    void Clean() override;

    CRunningAppsManage* Manage() const { return manage_.get(); }

  private:
    std::unique_ptr<CRunningAppsManage> manage_;
};

}  // namespace bw

// Junk in the sandboxes of the installed user applications: caches, cookies and temporary files,
// found and removed through each application's house-arrest file service. The three scanners
// differ only in the container folders they hand to the shared worker, CAppScanJunk.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "device/app_info.h"
#include "device/iphone.h"
#include "scanner/abstract_scan.h"
#include "scanner/device_junk.h"

namespace bw {

// Walks the given container folders of every installed user application and deletes the files
// the host left selected.
class CAppScanJunk : public CAbstractScan {
  public:
    CAppScanJunk(CIPhone* phone, CDeviceJunk* scanner) : owner(scanner), device(phone) {}

    void CleanApps(const std::vector<CAppInfo*>& applications) override;
    void ScanApps(const std::vector<std::string>& folders,
                  std::vector<std::unique_ptr<CAppInfo>>& applications) override;

    uint32_t processed = 0;
    uint32_t total = 0;
    CDeviceJunk* owner;
    std::string currentFolder;
    CIPhone* device;
    std::vector<std::u16string> excludedApplications;

  private:
    void WalkFolder(CAppInfo& application, const std::string& folder, int depth);
    bool Stopped() const { return stop.load(std::memory_order_relaxed) != 0; }
};

// The scanner shared by the three sandbox junk types; results in list 2, one CAppInfo per
// application with at least one file found.
class CAppSandboxJunk : public CDeviceJunk {
  public:
    explicit CAppSandboxJunk(std::vector<std::string> folders) : folders_(std::move(folders)) {}

    void Scan(CIPhone* device) override;
    void Clean() override;

    // Applications the host wants left alone (bundle identifiers, compared exactly).
    std::vector<std::u16string> excludedApplications;

  private:
    std::vector<std::string> folders_;
};

class CAppCachesJunk : public CAppSandboxJunk {
  public:
    CAppCachesJunk() : CAppSandboxJunk({"/Library/Caches"}) {}
};

class CAppCookiesJunk : public CAppSandboxJunk {
  public:
    CAppCookiesJunk() : CAppSandboxJunk({"/Library/Cookies"}) {}
};

// "/Library/tmp" and "/Library/Tmp" are both walked: a device whose file system tells letter
// case apart can hold both.
class CAppTempJunk : public CAppSandboxJunk {
  public:
    CAppTempJunk() : CAppSandboxJunk({"/tmp", "/Library/tmp", "/Library/Tmp"}) {}
};

}  // namespace bw

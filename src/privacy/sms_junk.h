// The conversations of the backup's message database (junk type 9): listed with their messages
// and attachments into result list 11, and the selected ones deleted from the deep clean's
// working copy of the database, their attachment files from the backup.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "privacy/sms_database.h"
#include "scanner/device_junk.h"

namespace bw {

class CConfigureTool;

class CDeviceSMSJunk : public CDeviceJunk {
  public:
    CDeviceSMSJunk() = default;
    ~CDeviceSMSJunk() override;

    void Scan(CIPhone* device) override;
    void Clean() override;
    void Stop() override;

    // Reads one of the device's values ("ProductVersion", "UniqueDeviceID").
    using DeviceValueReader = std::function<std::string(std::string_view key)>;
    // The scan with the device's values read through `readValue`, only once the backup has a
    // database to read.
    void ScanBackup(const DeviceValueReader& readValue);
    // The same for a device whose values are known.
    void ScanBackup(std::string_view productVersion, std::string_view udid);

    // The deep-clean configuration that serves the working copies; the process-wide one unless
    // set (it must outlive the scanner).
    void SetConfiguration(CConfigureTool* configure) { configure_ = configure; }

    CSMSDBAbstract* Database() const { return database_.get(); }
    const std::string& DatabasePath() const { return databasePath_; }
    bool Scanning() const { return scanning_ != 0; }

  private:
    CConfigureTool& Configuration();

    uint8_t scanning_ = 0;
    std::string databasePath_;
    std::unique_ptr<CSMSDBAbstract> database_;
    // What Stop reads from another thread while the scan may be creating the database object.
    std::atomic<CSMSDBAbstract*> stopTarget_{nullptr};
    CConfigureTool* configure_ = nullptr;
};

}  // namespace bw

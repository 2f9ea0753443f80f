#include "privacy/sms_junk.h"

#include <utility>

#include "backup/configure_tool.h"
#include "device/iphone.h"
#include "platform/files.h"

namespace bw {

CDeviceSMSJunk::~CDeviceSMSJunk() {
    stopTarget_.store(nullptr);
}

CConfigureTool& CDeviceSMSJunk::Configuration() {
    return configure_ != nullptr ? *configure_ : CConfigureTool::Instance();
}

void CDeviceSMSJunk::Scan(CIPhone* device) {
    device_ = device;
    if (device == nullptr) {
        // A backup read without its device: the values the configuration was set up with.
        const CConfigureTool& configuration = Configuration();
        ScanBackup(configuration.ProductVersion(), configuration.Udid());
        return;
    }
    ScanBackup([device](std::string_view key) { return device->ReadDeviceValueText("", key); });
}

void CDeviceSMSJunk::ScanBackup(std::string_view productVersion, std::string_view udid) {
    ScanBackup([&](std::string_view key) {
        return std::string(key == "ProductVersion" ? productVersion : udid);
    });
}

void CDeviceSMSJunk::ScanBackup(const DeviceValueReader& readValue) {
    if (!StopRequested()) scanning_ = 1;
    // A new scan lists the database as it is now, not beside what an earlier scan found.
    ReleaseItems(kResultChats);
    if (databasePath_.empty()) databasePath_ = Configuration().CopySmsDatabase();
    if (database_ == nullptr && !databasePath_.empty() && platform::IsFile(databasePath_)) {
        std::string udid = readValue("UniqueDeviceID");
        database_ = CreateSmsDatabase(readValue("ProductVersion"), databasePath_, std::move(udid),
                                      this, &Configuration());
        stopTarget_.store(database_.get());
    }
    SetMessage(kMessageStartScanning);
    if (!StopRequested() && database_ != nullptr) database_->LoadChats(Results(kResultChats));
    SetFinished();
}

void CDeviceSMSJunk::Clean() {
    if (database_ != nullptr && !Results(kResultChats).empty()) {
        scanning_ = 0;
        database_->DeleteChats(Results(kResultChats));
    }
    SetFinished();
}

void CDeviceSMSJunk::Stop() {
    RequestStop();
    if (CSMSDBAbstract* database = stopTarget_.load()) database->RequestStop();
}

}  // namespace bw

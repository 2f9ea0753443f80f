// Exported deep-clean functions over the process-wide configuration object. Nothing is thrown
// across these functions.
#include <string>

#include "backup/backup_prepare.h"
#include "backup/configure_tool.h"
#include "brackwater/deepclean.h"
#include "device/connect_listener.h"
#include "exports/host_text.h"
#include "platform/text.h"
#include "session/scan_device.h"

extern "C" {

BRACKWATER_API unsigned char CreateConfigureToolExIn(CIPhone* device, const BwChar* workPath) {
    try {
        bw::CIPhone* phone = device != nullptr ? bw::FromHost(device) : nullptr;
        const std::string path =
            workPath != nullptr ? bw::WideToUtf8(std::u16string_view(workPath)) : std::string();
        // Earlier working folders go the way the host chose for the current backup when it
        // prepared the backup: deleted with their contents, or archived under a dated name.
        const bool deleteCurrent = bw::BackupPrepareWorkInstance()->DeleteCurrent();
        return bw::CConfigureTool::Instance().CreateIn(phone, path, deleteCurrent) ? 1 : 0;
    } catch (...) {
        return 0;
    }
}

BRACKWATER_API unsigned char CreateBackupInfo(void) {
    try {
        return bw::CConfigureTool::Instance().WriteBackupInfo() ? 1 : 0;
    } catch (...) {
        return 0;
    }
}

BRACKWATER_API unsigned char DeepCleanComplete(void) {
    try {
        return bw::CConfigureTool::Instance().Complete() ? 1 : 0;
    } catch (...) {
        return 0;
    }
}

BRACKWATER_API unsigned char BrackwaterDeepCleanFromFolder(const BwChar* backupFolder,
                                                           const BwChar* udid,
                                                           const BwChar* productVersion,
                                                           const BwChar* workPath) {
    bw::exports::ClearLastError();
    try {
        if (backupFolder == nullptr || udid == nullptr || productVersion == nullptr ||
            workPath == nullptr) {
            return 0;
        }
        bw::ConfigureDeviceFacts facts;
        facts.udid = bw::WideToUtf8(std::u16string_view(udid));
        facts.productVersion = bw::WideToUtf8(std::u16string_view(productVersion));
        // The working folders are the host's own, made for this read: nothing earlier to keep.
        return bw::CConfigureTool::Instance().SetUpFromFolder(
                   facts, bw::WideToUtf8(std::u16string_view(workPath)),
                   bw::WideToUtf8(std::u16string_view(backupFolder)), true)
                   ? 1
                   : 0;
    } catch (...) {
        return 0;
    }
}

BRACKWATER_API IScanDevice* BrackwaterScanBackupNew(void) {
    bw::exports::ClearLastError();
    try {
        return new bw::CScanDevice(nullptr);
    } catch (...) {
        return nullptr;
    }
}

}  // extern "C"

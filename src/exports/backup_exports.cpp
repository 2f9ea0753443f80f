// Exported backup functions: the backup information file, preparation and its checks, and the
// backup tool driver. Device pointers from the host are checked against the objects this process
// made; nothing is thrown across these functions.
#include <new>
#include <string>

#include "backup/backup_info.h"
#include "backup/backup_prepare.h"
#include "backup/device_backup.h"
#include "brackwater/backup.h"
#include "device/connect_listener.h"
#include "platform/text.h"

namespace {

std::string Utf8(const BwChar* text) {
    if (text == nullptr) return {};
    return bw::WideToUtf8(std::u16string_view(text));
}

}  // namespace

extern "C" {

BRACKWATER_API ICreateInfoPlist* CreateInfoObjNewEx(CIPhone* device, const BwChar* folder) {
    try {
        bw::CIPhone* phone = bw::FromHost(device);
        if (phone == nullptr || folder == nullptr) return nullptr;
        return new (std::nothrow) bw::CCreateInfoPlist(phone, Utf8(folder));
    } catch (...) {
        return nullptr;
    }
}

BRACKWATER_API void CreateInfoObjDelete(ICreateInfoPlist** object) {
    if (object == nullptr) return;
    try {
        delete *object;
    } catch (...) {
    }
    *object = nullptr;
}

BRACKWATER_API IBackupPrepareWork* GetBackupPrepareWorkInstance(void) {
    try {
        return bw::BackupPrepareWorkInstance();
    } catch (...) {
        return nullptr;
    }
}

BRACKWATER_API unsigned char CheckDeviceBackUpEncryptionE(CIPhone* device) {
    try {
        return bw::CheckDeviceBackUpEncryption(bw::FromHost(device)) ? 1 : 0;
    } catch (...) {
        return 0;
    }
}

BRACKWATER_API unsigned char CheckDeviceRestoreEx(CIPhone* device, const BwChar* folder) {
    try {
        if (folder == nullptr) return 0;
        return bw::CheckDeviceRestore(bw::FromHost(device), Utf8(folder)) ? 1 : 0;
    } catch (...) {
        return 0;
    }
}

BRACKWATER_API unsigned char IsOpeniCloudEx(CIPhone* device) {
    try {
        return bw::IsOpeniCloud(bw::FromHost(device)) ? 1 : 0;
    } catch (...) {
        return 0;
    }
}

BRACKWATER_API IDeviceBackUp* DeviceBackUpNewEx(const BwChar* targetIdentifier, int32_t mode,
                                                unsigned char restoreFromCopy,
                                                const BwChar* backupFolder) {
    try {
        return new (std::nothrow) bw::CDeviceBackUp(
            targetIdentifier != nullptr ? std::u16string(targetIdentifier) : std::u16string(), mode,
            restoreFromCopy != 0,
            backupFolder != nullptr ? std::u16string(backupFolder) : std::u16string());
    } catch (...) {
        return nullptr;
    }
}

BRACKWATER_API void DeviceBackUpDelete(IDeviceBackUp** object) {
    if (object == nullptr) return;
    try {
        delete *object;
    } catch (...) {
    }
    *object = nullptr;
}

BRACKWATER_API unsigned char VerifyBackUp(const BwChar* folder) {
    try {
        const std::string path = Utf8(folder);
        return !path.empty() && bw::IsLibraryBackup(path) ? 1 : 0;
    } catch (...) {
        return 0;
    }
}

}  // extern "C"

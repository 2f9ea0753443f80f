// Exported look-ups for hosts that show backups: the backup root, and this library's kept backups
// of a device with their dates and versions. Nothing is thrown across these functions.
#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "backup/backup_prepare.h"
#include "brackwater/backup.h"
#include "device/connect_listener.h"
#include "device/host_utils.h"
#include "device/iphone.h"
#include "platform/files.h"

extern "C" {

BRACKWATER_API size_t BrackwaterBackupRoot(char* buffer, size_t size) {
    try {
        const std::string root = bw::GetBackupRoot();
        if (buffer != nullptr && size > root.size()) {
            std::memcpy(buffer, root.c_str(), root.size() + 1);
        }
        return root.size();
    } catch (...) {
        return 0;
    }
}

BRACKWATER_API int BrackwaterDeviceBackups(CIPhone* device, BwBackupSink sink, void* context) {
    try {
        bw::CIPhone* phone = bw::FromHost(device);
        if (phone == nullptr) return -1;
        // The same folders the preparation counts against its limit: the device's current
        // backup and its archives, real folders only, made by this library.
        const std::vector<std::string> kept = bw::KeptBackupsOf(
            bw::GetBackupRoot(), phone->ReadDeviceValueText("", "UniqueDeviceID"));
        int count = 0;
        for (const std::string& folder : kept) {
            if (sink != nullptr) {
                sink(context, folder.c_str(), bw::ReadBackupDate(folder).c_str(),
                     bw::ReadBackupVersion(folder).c_str());
            }
            ++count;
        }
        return count;
    } catch (...) {
        return -1;
    }
}

}  // extern "C"

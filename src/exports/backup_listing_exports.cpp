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
        const std::string udid = phone->ReadDeviceValueText("", "UniqueDeviceID");
        const std::string root = bw::GetBackupRoot();
        std::vector<bw::platform::FolderEntry> entries;
        if (udid.empty() || root.empty() || !bw::platform::ListFolder(root, entries)) return 0;
        // The same folders the preparation counts against its limit: the device's current
        // backup and its archives, real folders only, made by this library.
        std::vector<std::string> kept;
        for (const bw::platform::FolderEntry& entry : entries) {
            if (!entry.isFolder || entry.isLink) continue;
            if (entry.name.find(udid) == std::string::npos) continue;
            const std::string folder = bw::platform::JoinPath(root, entry.name);
            if (bw::IsLibraryBackup(folder)) kept.push_back(folder);
        }
        std::sort(kept.begin(), kept.end());
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

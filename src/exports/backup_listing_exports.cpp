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
#include "formats/plist_library.h"
#include "platform/files.h"

namespace {

// The kept backups of the device other than its current one that carry a "Last Backup Date",
// oldest first (equal dates by folder name, so the order does not depend on the listing).
std::vector<std::string> DatedArchivesOldestFirst(const std::vector<std::string>& kept,
                                                  const std::string& current) {
    std::vector<std::pair<int64_t, std::string>> dated;
    for (const std::string& folder : kept) {
        if (folder == current) continue;
        bw::CDicValueObj info;
        bw::readPlistFromFile(bw::platform::JoinPath(folder, "Info.plist"), info);
        if (const auto date = info.GetDate("Last Backup Date")) {
            dated.emplace_back(bw::PlistReferenceSecondsFromCalendar(*date), folder);
        }
        bw::FreePListDictionary(info);
    }
    std::sort(dated.begin(), dated.end());
    std::vector<std::string> folders;
    for (auto& entry : dated)
        folders.push_back(std::move(entry.second));
    return folders;
}

}  // namespace

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

BRACKWATER_API int BrackwaterPruneBackups(CIPhone* device, int32_t keep) {
    try {
        bw::CIPhone* phone = bw::FromHost(device);
        if (phone == nullptr || keep < 0) return -1;
        const std::string udid = phone->ReadDeviceValueText("", "UniqueDeviceID");
        const std::string root = bw::GetBackupRoot();
        const std::vector<std::string> kept = bw::KeptBackupsOf(root, udid);
        const std::string current = bw::platform::JoinPath(root, udid);
        size_t remaining = kept.size();
        int removed = 0;
        for (const std::string& folder : DatedArchivesOldestFirst(kept, current)) {
            if (remaining <= static_cast<size_t>(keep)) break;
            bw::DeleteFolderTree(folder);
            if (bw::platform::PathExists(folder)) continue;  // a part could not be removed
            --remaining;
            ++removed;
        }
        return removed;
    } catch (...) {
        return -1;
    }
}

BRACKWATER_API int BrackwaterRemoveBackup(CIPhone* device, const char* folder) {
    try {
        bw::CIPhone* phone = bw::FromHost(device);
        if (phone == nullptr || folder == nullptr) return 0;
        const std::string udid = phone->ReadDeviceValueText("", "UniqueDeviceID");
        const std::string root = bw::GetBackupRoot();
        const std::vector<std::string> kept = bw::KeptBackupsOf(root, udid);
        // Only a folder named exactly as the listing names it: no other path can lead outside
        // the backup root or to another device's backup.
        if (folder == bw::platform::JoinPath(root, udid) ||
            std::find(kept.begin(), kept.end(), folder) == kept.end()) {
            return 0;
        }
        bw::DeleteFolderTree(folder);
        return bw::platform::PathExists(folder) ? 0 : 1;
    } catch (...) {
        return 0;
    }
}

}  // extern "C"

// Exported look-ups for hosts that show backups: the backup root, and this library's kept backups
// of a device with their dates and versions. Nothing is thrown across these functions.
#include <algorithm>
#include <string>
#include <vector>

#include "backup/backup_prepare.h"
#include "brackwater/backup.h"
#include "device/connect_listener.h"
#include "device/host_utils.h"
#include "device/iphone.h"
#include "exports/host_text.h"
#include "formats/plist_library.h"
#include "platform/files.h"
#include "platform/text.h"

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

BRACKWATER_API size_t BrackwaterBackupRoot(BwChar* buffer) {
    bw::exports::ClearLastError();
    try {
        return bw::exports::CopyHostText(bw::GetBackupRoot(), buffer);
    } catch (...) {
        return 0;
    }
}

BRACKWATER_API int BrackwaterDeviceBackups(CIPhone* device, BwBackupSink sink, void* context) {
    bw::exports::ClearLastError();
    try {
        bw::CIPhone* phone = bw::FromHost(device);
        if (phone == nullptr) {
            bw::exports::SetLastError("unknown device");
            return -1;
        }
        // The same folders the preparation counts against its limit: the device's current
        // backup and its archives, real folders only, made by this library.
        const std::vector<std::string> kept = bw::KeptBackupsOf(
            bw::GetBackupRoot(), phone->ReadDeviceValueText("", "UniqueDeviceID"));
        int count = 0;
        for (const std::string& folder : kept) {
            if (sink != nullptr) {
                sink(context, bw::Utf8ToWide(folder).c_str(),
                     bw::Utf8ToWide(bw::ReadBackupDate(folder)).c_str(),
                     bw::Utf8ToWide(bw::ReadBackupVersion(folder)).c_str());
            }
            ++count;
        }
        return count;
    } catch (...) {
        return -1;
    }
}

BRACKWATER_API int BrackwaterPruneBackups(CIPhone* device, int32_t keep) {
    bw::exports::ClearLastError();
    try {
        bw::CIPhone* phone = bw::FromHost(device);
        if (phone == nullptr || keep < 0) {
            bw::exports::SetLastError(phone == nullptr ? "unknown device"
                                                       : "negative count to keep");
            return -1;
        }
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

BRACKWATER_API int BrackwaterRemoveBackup(CIPhone* device, const BwChar* hostFolder) {
    using bw::exports::Fail;
    bw::exports::ClearLastError();
    try {
        bw::CIPhone* phone = bw::FromHost(device);
        if (phone == nullptr) return Fail("unknown device");
        std::string folder;
        if (hostFolder == nullptr) return Fail("missing argument");
        if (!bw::exports::HostTextToUtf8(hostFolder, folder)) {
            return Fail("the folder is not valid UTF-16");
        }
        const std::string udid = phone->ReadDeviceValueText("", "UniqueDeviceID");
        const std::string root = bw::GetBackupRoot();
        const std::vector<std::string> kept = bw::KeptBackupsOf(root, udid);
        // Only a folder named exactly as the listing names it: no other path can lead outside
        // the backup root or to another device's backup.
        if (folder == bw::platform::JoinPath(root, udid)) {
            return Fail(folder + ": the device's current backup is not removed");
        }
        if (std::find(kept.begin(), kept.end(), folder) == kept.end()) {
            return Fail(folder + ": not a backup of this device that this library keeps");
        }
        bw::DeleteFolderTree(folder);
        if (bw::platform::PathExists(folder)) return Fail(folder + ": could not be removed");
        return 1;
    } catch (...) {
        return 0;
    }
}

}  // extern "C"

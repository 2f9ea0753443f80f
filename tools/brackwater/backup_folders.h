// What the backup commands read from backup folders, through the library's property-list
// conversion: whether a backup is encrypted, and which complete backup a restore takes.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "brackwater/device.h"

namespace cli {

// The JSON text of the value of `key` in the outermost object of `json` (as the property-list
// conversion writes it), or nothing when the object has no such key or the text is no object.
std::optional<std::string> TopLevelValue(std::string_view json, std::string_view key);

enum class Encryption { kNone, kEncrypted, kUnreadable };

// A backup is encrypted when its Manifest.plist holds "IsEncrypted" as anything but boolean
// false: a manifest that says 1 or "YES" still needs a password the tool does not give. A folder
// without a Manifest.plist is not encrypted (the backup tool refuses it on its own).
Encryption ManifestEncryption(const std::string& folder, std::string& error);

// The backup a restore without a folder takes: the device's current backup (the folder named
// `udid`) when it is complete (written to the end, with the library's Info.plist), otherwise the
// complete archive with the latest "Last Backup Date". Empty when the device has no complete
// backup.
std::string BackupToRestore(CIPhone* device, const std::string& udid);

// The folder that holds every device's backups.
std::string BackupRoot();

// Runs one backup or restore (kBackupMode...) through the backup tool and waits for its end,
// drawing the progress on a terminal; false with the tool's reason in `failure`.
bool RunTool(const std::string& udid, int32_t mode, bool fromCopy, const std::string& folder,
             std::string& failure);

// What a failed run's error code means, for a run whose status carries no text.
std::string ErrorCodeMeaning(int32_t code);

}  // namespace cli

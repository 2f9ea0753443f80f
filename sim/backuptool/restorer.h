// Restoring a backup folder to a simulated device: for every domain the backup holds, the
// device's files of that domain are made equal to the backup (files written, folders and links
// made, and whatever the backup no longer lists removed).
#pragma once

#include <string>

#include "backup_writer.h"

namespace bw::sim::backuptool {

// The backup is checked completely (manifest readable, every record inside its domain, every
// listed file present, with the size and, where recorded, the SHA-1 its record gives) before the
// device is touched, so a broken or damaged backup changes nothing. So is whatever the device
// could not take (kErrorUnrestorable): a name or path too long for the host, an entry below a
// link or file the backup itself makes, a domain folder on the device that is a link. Domain
// folders are opened from the image folder without following links, and restored modes keep
// only a phone's permission bits (no set-ID, sticky, or group or other write).
// A domain of an application that is not installed on the device is left out, and so is a domain
// the simulated device does not have.
ToolResult RestoreBackup(const DeviceImage& image, const std::string& backupFolder,
                         Reporter& reporter, bool& stopped);

}  // namespace bw::sim::backuptool

// The working copy of the device's photo library database that the photo manager and a sync run
// read: "Photos.sqlite" and its companions copied from "PhotoData/" into a local folder.
#pragma once

#include <string>

namespace bw {

class CIPhone;

// Deletes the local copies in `localFolder`, then copies "Photos.sqlite", "Photos.sqlite-wal"
// and "Photos.sqlite-shm" from the device's "PhotoData/" (a missing companion is skipped). Does
// nothing unless the folder is this user's private folder. True when "Photos.sqlite" arrived.
bool CopyPhotoDatabase(CIPhone* device, const std::string& localFolder);

}  // namespace bw

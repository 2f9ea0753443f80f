#include "photo/photo_database_copy.h"

#include <string_view>

#include "device/iphone.h"
#include "platform/files.h"

namespace bw {

namespace {

constexpr const char* kDatabaseFiles[] = {"Photos.sqlite", "Photos.sqlite-wal",
                                          "Photos.sqlite-shm"};

}  // namespace

bool CopyPhotoDatabase(CIPhone* device, const std::string& localFolder) {
    if (localFolder.empty() || !platform::IsPrivateFolder(localFolder)) return false;
    // Companions of an older copy must not meet a newer main file: SQLite would replay them.
    for (const char* name : kDatabaseFiles) {
        platform::RemoveFile(platform::JoinPath(localFolder, name));
    }
    if (device == nullptr) return false;
    // A missing companion file is skipped; the copy of each file appears whole or not at all.
    // It is a working copy, made again by every load, so it is not flushed to the disk.
    bool mainArrived = false;
    for (const char* name : kDatabaseFiles) {
        const std::string devicePath = std::string("PhotoData/") + name;
        if (!device->FileExists(devicePath)) continue;
        const bool copied =
            device->CopyFileFromDevice(devicePath, platform::JoinPath(localFolder, name), false);
        if (std::string_view(name) == kDatabaseFiles[0]) mainArrived = copied;
    }
    return mainArrived;
}

}  // namespace bw

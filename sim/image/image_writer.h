// Writes the fs/ tree of an image: folders, files and links named by device paths, each with a
// fixed modification time and fixed permissions, so that two builds give the same tree.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>

#include "device_identity.h"

namespace bw::sim {

class ImageWriter {
  public:
    ImageWriter(std::string fsFolder, const DeviceIdentity& identity)
        : fsFolder_(std::move(fsFolder)), identity_(identity) {}

    // Device paths are absolute ("/var/mobile/Media/DCIM"). Parent folders are made as needed.
    // Each operation fails (false, with error()) on a path it cannot write or a path that is
    // already taken by another kind of entry.
    bool Folder(std::string_view devicePath);
    bool File(std::string_view devicePath, std::string_view bytes, int64_t time);
    bool File(std::string_view devicePath, std::string_view bytes) {
        return File(devicePath, bytes, PathTime(identity_, devicePath));
    }
    // A file of the image folder itself, beside fs/ (a manifest for tests): no service of the
    // device sees it.
    bool SideFile(std::string_view name, std::string_view bytes, int64_t time);
    // A relative link whose target must exist and lie inside the service root that holds the
    // link (the deepest one of ImageRoot), so that every service can follow it.
    bool Link(std::string_view devicePath, std::string_view target);

    // Records the first failure of a content step; always false.
    bool Fail(std::string message);

    // Dates every folder, deepest first, no earlier than the newest entry in it, as adding an
    // entry updates a folder's time.
    bool Finish();

    const DeviceIdentity& identity() const { return identity_; }
    const std::string& error() const { return error_; }
    std::string HostPath(std::string_view devicePath) const;

  private:
    bool MakeParents(std::string_view devicePath);
    bool WriteHostFile(const std::string& host, std::string_view bytes, int64_t time);
    void Dated(const std::string& devicePath, int64_t time);

    std::string fsFolder_;
    const DeviceIdentity& identity_;
    std::map<std::string, int64_t> folderTimes_;  // device path to time
    std::map<std::string, int64_t> newestChild_;  // folder to the latest time of an entry in it
    std::string error_;
};

// "/a/b/../c" as "/a/c": "." and empty parts dropped, ".." taking off one part and stopping at
// "/". The result is absolute and has no trailing slash (except "/").
std::string NormalizeDevicePath(std::string_view path);

}  // namespace bw::sim

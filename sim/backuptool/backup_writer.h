// Backing a simulated device up into a backup folder as a device of iOS 5-7 writes one:
// Manifest.mbdb, Manifest.plist, Status.plist, Info.plist and one file per backed-up file, named
// by the SHA-1 of its domain, "-" and its relative path.
#pragma once

#include <string>

#include "device_image.h"
#include "tool_messages.h"

namespace bw::sim::backuptool {

struct ToolResult {
    int errorCode = 0;  // 0: done
    std::string description;

    static ToolResult Ok() { return {}; }
    static ToolResult Error(int code, std::string text) { return {code, std::move(text)}; }
};

// Writes the backup of `image` as `backupRoot`/`folderName`. The backup is made beside it and
// moved into place only when complete, so a failed or interrupted backup leaves the previous
// folder as it was. `stopped` is set when the reporter asked to stop (the failure is reported).
ToolResult WriteBackup(const DeviceImage& image, const std::string& backupRoot,
                       const std::string& folderName, Reporter& reporter, bool& stopped);

}  // namespace bw::sim::backuptool

#include "scan/media_junk.h"

#include <memory>

#include "device/iphone_operation.h"
#include "device/runtime.h"

namespace bw {

namespace {

// Junk folders nest a few levels; a deeper tree is not walked further rather than risk the stack.
constexpr int kMaxWalkDepth = 64;

constexpr std::string_view kStorageRoot = "/general_storage";

// Links are neither listed nor walked: a link to a folder could lead out of the junk folder (or
// back into it), and removing what it leads to would delete files nobody selected.
bool IsPlainFile(const DeviceFileInfo& entry) {
    return !entry.isLink && entry.fileType == kDeviceFileRegular;
}

bool IsPlainFolder(const DeviceFileInfo& entry) {
    return !entry.isLink && entry.fileType == kDeviceFolder;
}

// The crash-report area's lister, on the connection its service opened.
FolderLister CrashReportLister(CIPhone& phone, rt::AFCConnectionRef connection) {
    return [&phone, connection](const std::string& folder, std::vector<DeviceFileInfo>& entries) {
        std::vector<std::string> names;
        if (!phone.ListCrashReports(connection, folder, names)) return false;
        for (const std::string& name : names) {
            DeviceFileInfo& info = entries.emplace_back();
            phone.GetFileInfo(connection, CIPhone::JoinDevicePath(folder, name), info);
        }
        return true;
    };
}

// Ends what OpenCrashReportService began. The connection is closed even on a device that left
// meanwhile: it is ours, and the device object does not know it.
void CloseCrashReportService(CIPhone& phone, rt::AFCConnectionRef connection) {
    if (connection == nullptr || !RuntimeLoaded()) return;
    DeviceOperation operation(phone);
    Runtime().AFCConnectionClose(connection);
    if (!operation) return;
    Runtime().AMDeviceStopSession(phone.device);
    Runtime().AMDeviceDisconnect(phone.device);
}

}  // namespace

void JunkFileWalk::Visit(const DeviceFileInfo& entry, int depth) {
    if (IsPlainFile(entry)) {
        auto item = std::make_unique<CScanFileInfo>(itemName ? itemName(entry) : entry.name,
                                                    entry.path, entry.size);
        owner_.SetMessage(item->name);
        owner_.Results(kResultFiles).Append<IScanFileInfo>(std::move(item));
        owner_.AdjustSelection(1, entry.size, true);
    } else if (IsPlainFolder(entry)) {
        if (folders_ != nullptr) folders_->push_back(entry.path);
        Walk(entry.path, depth + 1);
    }
}

void JunkFileWalk::Walk(const std::string& folder, int depth) {
    if (depth > kMaxWalkDepth) return;
    std::vector<DeviceFileInfo> entries;
    if (!lister_(folder, entries)) return;
    for (const DeviceFileInfo& entry : entries) {
        if (owner_.StopRequested()) return;
        Visit(entry, depth);
    }
}

FolderLister MediaLister(CIPhone& phone) {
    return [&phone](const std::string& folder, std::vector<DeviceFileInfo>& entries) {
        return phone.ListDirectoryInfo(folder, entries);
    };
}

// ---- Crash logs ----

void CCrashLogJunk::Scan(CIPhone* device) {
    SetBusy(1);
    ReleaseItems(kResultFiles);
    device_ = device;
    if (device_ != nullptr) {
        const rt::AFCConnectionRef connection = device_->OpenCrashReportService();
        if (connection != nullptr) {
            JunkFileWalk walk(*this, CrashReportLister(*device_, connection), nullptr);
            std::vector<std::string> names;
            device_->ListCrashReports(connection, "/", names);
            processed_ = 0;
            SetExtraCounter(0);
            total_ = static_cast<uint32_t>(names.size());
            for (const std::string& name : names) {
                if (StopRequested()) break;
                DeviceFileInfo entry;
                device_->GetFileInfo(connection, "/" + name, entry);
                walk.Visit(entry);
                ++processed_;
                WriteProgress();
            }
            CloseCrashReportService(*device_, connection);
        }
    }
    SetFinished();
}

void CCrashLogJunk::Clean() {
    if (device_ != nullptr && !Results(kResultFiles).empty()) {
        const rt::AFCConnectionRef connection = device_->OpenCrashReportService();
        if (connection != nullptr) {
            std::vector<CScanFileInfo*> selected;
            const ResultList& items = Results(kResultFiles);
            for (size_t i = 0; i < items.size(); ++i) {
                CScanFileInfo* item = items.At<CScanFileInfo>(i);
                if (item->Select(0) != 0) selected.push_back(item);
            }
            processed_ = 0;
            total_ = static_cast<uint32_t>(selected.size());
            for (CScanFileInfo* item : selected) {
                if (StopRequested()) break;
                SetMessage(item->name);
                device_->RemoveCrashReport(connection, item->devicePath);
                ++processed_;
                WriteProgress();
                AdjustSelection(1, item->size, false);
            }
            CloseCrashReportService(*device_, connection);
        }
    }
    SetFinished();
}

// ---- Downloads, thumbnails and general storage ----

void CMediaFileJunk::Clean() {
    SetBusy(0);
    if (device_ != nullptr && !Results(kResultFiles).empty()) {
        CIPhone& phone = *device_;
        const ResultList& items = Results(kResultFiles);
        std::vector<CScanFileInfo*> selected;
        for (size_t i = 0; i < items.size(); ++i) {
            CScanFileInfo* item = items.At<CScanFileInfo>(i);
            if (item->Select(0) != 0) selected.push_back(item);
        }
        processed_ = 0;
        total_ = static_cast<uint32_t>(TotalIsSelectedItems() ? selected.size() : items.size());
        for (CScanFileInfo* item : selected) {
            if (StopRequested()) break;
            SetMessage(item->name);
            // One exchange per file: the removal itself tells whether the file was still there.
            // Only a failed removal asks again, so that a file that is gone is reported (and not
            // counted) while a file that stayed counts as processed, as a removal that is not
            // examined would.
            if (!phone.RemoveDevicePath(item->devicePath) && !phone.FileExists(item->devicePath)) {
                SetMessageUtf8(item->devicePath + std::string(MissingSuffix()));
                continue;
            }
            ++processed_;
            WriteProgress();
            CountRemoval(*item);
        }
        RemoveEmptiedFolders(phone);
    }
    SetFinished();
}

// Folders are removed deepest first, and only when they are empty by then: a folder that still
// holds an unselected item, a file whose removal failed or anything the scan did not list stays
// with all its contents, while a folder the clean emptied (and any empty folder above it) goes.
void CMediaFileJunk::RemoveEmptiedFolders(CIPhone& phone) {
    for (auto folder = folders_.rbegin(); folder != folders_.rend(); ++folder) {
        if (StopRequested()) break;
        std::vector<std::string> names;
        // The listing proved the folder is there: it is removed by its device path at once.
        if (phone.ListDirectory(*folder, names) && names.empty()) phone.RemoveDevicePath(*folder);
    }
    folders_.clear();
}

void CDownloadsTempJunk::Scan(CIPhone* device) {
    SetBusy(1);
    ReleaseItems(kResultFiles);
    folders_.clear();
    device_ = device;
    if (device_ != nullptr) {
        JunkFileWalk walk(*this, MediaLister(*device_), &folders_);
        std::vector<DeviceFileInfo> entries;
        walk.List("/Downloads", entries);
        // The download queue's own database lives at the root; copies of the same name in
        // sub-folders are leftovers like any other file.
        std::erase_if(entries, [](const DeviceFileInfo& entry) {
            return IsPlainFile(entry) && entry.name.find(".sqlitedb") != std::string::npos;
        });
        processed_ = 0;
        total_ = static_cast<uint32_t>(entries.size());
        for (const DeviceFileInfo& entry : entries) {
            if (StopRequested()) break;
            walk.Visit(entry);
            ++processed_;
            WriteProgress();
        }
    }
    SetFinished();
}

void CPhotosJunk::Scan(CIPhone* device) {
    SetBusy(1);
    ReleaseItems(kResultFiles);
    folders_.clear();
    device_ = device;
    if (device_ != nullptr && device_->FileExists(rootPath)) {
        JunkFileWalk walk(*this, MediaLister(*device_), &folders_);
        std::vector<DeviceFileInfo> entries;
        walk.List(rootPath, entries);
        if (!entries.empty()) {
            total_ = static_cast<uint32_t>(entries.size());
            processed_ = 0;
            SetExtraCounter(0);
            // Files directly in the root are the thumbnail store itself, not leftovers: only
            // the sub-folders are walked.
            for (const DeviceFileInfo& entry : entries) {
                if (StopRequested()) break;
                if (IsPlainFolder(entry)) walk.Visit(entry);
                ++processed_;
                WriteProgress();
            }
        }
    }
    SetFinished();
}

void CStorageJunk::Scan(CIPhone* device) {
    SetBusy(1);
    ReleaseItems(kResultFiles);
    folders_.clear();
    device_ = device;
    if (device_ != nullptr) {
        JunkFileWalk walk(*this, MediaLister(*device_), &folders_);
        walk.itemName = [](const DeviceFileInfo& entry) {
            std::string name = entry.path;
            const size_t root = name.find(kStorageRoot);
            if (root != std::string::npos) name.erase(root, kStorageRoot.size());
            return name;
        };
        std::vector<DeviceFileInfo> entries;
        walk.List(std::string(kStorageRoot), entries);
        processed_ = 0;
        total_ = static_cast<uint32_t>(entries.size());
        for (const DeviceFileInfo& entry : entries) {
            if (StopRequested()) break;
            walk.Visit(entry);
            ++processed_;
            WriteProgress();
        }
    }
    SetFinished();
}

}  // namespace bw

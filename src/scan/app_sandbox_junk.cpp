#include "scan/app_sandbox_junk.h"

#include <algorithm>

#include "device/app_install_proxy.h"
#include "device/iphone_operation.h"
#include "platform/text.h"
#include "scanner/scan_records.h"

namespace bw {

namespace {

constexpr int kMaxWalkDepth = 64;

// Ends what OpenAppContainer began: the container's connections, then the lockdown session.
void CloseContainer(CIPhone& phone) {
    DeviceOperation operation(phone);
    phone.CloseAppContainer();
    if (!operation) return;
    Runtime().AMDeviceStopSession(phone.device);
    Runtime().AMDeviceDisconnect(phone.device);
}

size_t SelectedFiles(CAppInfo& application) {
    size_t count = 0;
    for (const AppInfoItem& item : application.items)
        count += item->Select(0) != 0 ? 1 : 0;
    return count;
}

}  // namespace

void CAppScanJunk::ScanApps(const std::vector<std::string>& folders,
                            std::vector<std::unique_ptr<CAppInfo>>& applications) {
    owner->SetMessage(kMessagePreparing);
    if (device == nullptr) return;
    std::vector<InstalledApplication> installed = ListInstalledApplications(*device);
    if (!excludedApplications.empty()) {
        std::erase_if(installed, [this](const InstalledApplication& application) {
            const std::u16string identifier = Utf8ToWide(application.bundleIdentifier);
            return std::find(excludedApplications.begin(), excludedApplications.end(),
                             identifier) != excludedApplications.end();
        });
    }
    total = static_cast<uint32_t>(installed.size());
    processed = 0;
    for (const InstalledApplication& entry : installed) {
        if (Stopped()) break;
        ++processed;
        owner->PublishProgress(processed, total);
        auto application = std::make_unique<CAppInfo>();
        application->bundleIdentifier = entry.bundleIdentifier;
        application->name = entry.name;
        application->iconData = entry.iconData;
        owner->SetMessageUtf8(application->name);
        for (const std::string& folder : folders) {
            if (Stopped()) break;
            currentFolder = folder;
            if (!device->OpenAppContainer(application->bundleIdentifier)) continue;
            WalkFolder(*application, folder, 0);
            CloseContainer(*device);
        }
        if (!application->items.empty() && SelectedFiles(*application) > 0) {
            application->selected = 1;
        }
        applications.push_back(std::move(application));
    }
}

// Links are neither listed nor followed: one could lead out of the folder, and its target would
// be deleted with files nobody selected.
void CAppScanJunk::WalkFolder(CAppInfo& application, const std::string& folder, int depth) {
    if (depth > kMaxWalkDepth) return;
    std::vector<DeviceFileInfo> entries;
    if (!device->ListDirectoryInfo(folder, entries)) return;
    for (const DeviceFileInfo& entry : entries) {
        if (Stopped()) return;
        if (entry.isLink) continue;
        if (entry.fileType == kDeviceFolder) {
            WalkFolder(application, entry.path, depth + 1);
        } else if (entry.fileType == kDeviceFileRegular) {
            // The house-arrest service is rooted at the container, so its paths already are the
            // paths the user knows from the application; there is no prefix to drop.
            application.AddItem(std::make_unique<CAppDetailFile>(entry.name, entry.path, entry.size,
                                                                 std::string_view{}));
            ++application.itemCount;
            application.totalSize += entry.size;
            owner->AdjustSelection(1, entry.size, true);
        }
    }
}

// The folders of an application record stay empty: the sandbox folders and their sub-folders
// belong to the application, which expects to find them, so a clean removes files only.
void CAppScanJunk::CleanApps(const std::vector<CAppInfo*>& applications) {
    if (device == nullptr || applications.empty()) return;
    total = 0;
    for (CAppInfo* application : applications)
        total += static_cast<uint32_t>(SelectedFiles(*application));
    processed = 0;
    for (CAppInfo* application : applications) {
        if (Stopped()) break;
        if (application->items.empty()) continue;
        owner->SetMessageUtf8(application->name);
        if (!device->OpenAppContainer(application->bundleIdentifier)) continue;
        for (const AppInfoItem& item : application->items) {
            if (Stopped()) break;
            if (item->Select(0) == 0) continue;
            auto* file = static_cast<CAppDetailFile*>(item.get());
            device->RemoveDevicePath(file->devicePath);
            ++processed;
            owner->PublishProgress(processed, total);
            owner->AdjustSelection(1, file->size, false);
        }
        for (const std::string& folder : application->folders) {
            if (Stopped()) break;
            device->RemoveTree(folder);
        }
        CloseContainer(*device);
    }
}

void CAppSandboxJunk::Scan(CIPhone* device) {
    ReleaseItems(kResultApplications);
    device_ = device;
    auto worker = std::make_unique<CAppScanJunk>(device, this);
    worker->excludedApplications = excludedApplications;
    CAppScanJunk& scan = *worker;
    worker_ = std::move(worker);
    std::vector<std::unique_ptr<CAppInfo>> applications;
    scan.ScanApps(folders_, applications);
    for (std::unique_ptr<CAppInfo>& application : applications) {
        if (application->itemCount >= 1) {
            Results(kResultApplications).Append<IAppInfo>(std::move(application));
        }
    }
    SetFinished();
}

void CAppSandboxJunk::Clean() {
    const ResultList& applications = Results(kResultApplications);
    if (applications.empty() || worker_ == nullptr) {
        SetFinished();
        return;
    }
    std::vector<CAppInfo*> selected;
    for (size_t i = 0; i < applications.size(); ++i) {
        CAppInfo* application = applications.At<CAppInfo>(i);
        if (application->Selected(0) != 0) selected.push_back(application);
    }
    if (!selected.empty()) worker_->CleanApps(selected);
    SetFinished();
}

}  // namespace bw

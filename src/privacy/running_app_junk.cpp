#include "privacy/running_app_junk.h"

#include <utility>

#include "backup/configure_tool.h"
#include "platform/files.h"
#include "privacy/springboard_icons.h"

namespace bw {

CRunningAppsManage::CRunningAppsManage(std::string path, CIPhone* device, CDeviceJunk* owner)
    : path_(std::move(path)), device_(device), owner_(owner) {}

void CRunningAppsManage::ReadRecentApps() {
    std::string bytes;
    if (!platform::ReadWholeFile(path_, bytes, kPlistMaxInputBytes)) return;
    readPlistFromString(bytes, preferences_, 0);
    const CDicValueObj* recent = preferences_.Find(kRecentDisplaysKey);
    if (recent == nullptr || recent->Array() == nullptr) return;
    const PlistArray displays = *recent->Array();
    total_ = static_cast<uint32_t>(displays.size());
    processed_ = 0;

    // The names come from the home screen: without it there is nothing to show.
    SpringboardIcons springboard(device_);
    if (!springboard.IsOpen()) return;
    for (const CDicValueObj& display : displays) {
        if (owner_->StopRequested()) break;
        const IconLayoutEntry* entry =
            display.String() != nullptr ? springboard.Find(*display.String()) : nullptr;
        if (entry != nullptr) {
            owner_->SetMessageUtf8(entry->displayName);
            auto application =
                std::make_unique<CAppInfoModel>(springboard.Icon(entry->bundleIdentifier),
                                                entry->displayName, entry->bundleIdentifier);
            application->selected = 1;  // a found item starts selected
            applications_.push_back(
                owner_->Results(kResultRecentApps).Append<IAppInfo>(std::move(application)));
            owner_->AdjustSelection(1, 0, true);
        }
        ++processed_;
        owner_->PublishProgress(processed_, total_);
    }
}

void CRunningAppsManage::WriteKeptApps() {
    processed_ = 0;
    total_ = static_cast<uint32_t>(applications_.size());
    // Identifiers the home screen no longer shows were never listed; they go with the rewrite.
    CDicValueObj kept = CDicValueObj::MakeArray();
    for (const CAppInfoModel* application : applications_) {
        if (application->selected != 0) {
            owner_->AdjustSelection(1, 0, false);
        } else {
            kept.Array()->push_back(CDicValueObj::MakeString(application->bundleIdentifier));
        }
        owner_->SetMessageUtf8(application->bundleIdentifier);
        ++processed_;
        owner_->PublishProgress(processed_, total_);
    }
    preferences_.Set(kRecentDisplaysKey, kept);

    std::string bytes;
    writeBinary(preferences_, bytes);
    // The new list replaces the old one in a single step: a failure leaves the old file, never
    // an empty or half-written one.
    if (!bytes.empty()) platform::WriteFileAtomic(path_, bytes);
}

void CRunningAppJunk::Scan(CIPhone* device) {
    SetBusy(1);
    device_ = device;
    manage_.reset();
    ReleaseItems(kResultRecentApps);
    if (!StopRequested()) {
        const std::string path = CConfigureTool::Instance().CopySpringboardPlist();
        if (!path.empty() && platform::IsFile(path)) {
            manage_ = std::make_unique<CRunningAppsManage>(path, device, this);
            SetMessage(kMessageStartScanning);
            if (!StopRequested()) manage_->ReadRecentApps();
        }
    }
    SetFinished();
}

void CRunningAppJunk::Clean() {
    if (manage_ != nullptr && !manage_->Applications().empty()) {
        SetBusy(0);
        manage_->WriteKeptApps();
        SetProgress(100.0f);
    }
    SetFinished();
}

}  // namespace bw

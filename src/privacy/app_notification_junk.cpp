#include "privacy/app_notification_junk.h"

#include <algorithm>
#include <cmath>
#include <ctime>
#include <utility>

#include "backup/configure_tool.h"
#include "device/host_utils.h"
#include "formats/keyed_archive.h"
#include "platform/clock.h"
#include "platform/files.h"
#include "platform/text.h"
#include "privacy/springboard_icons.h"

namespace bw {
namespace {

constexpr char kHomeDomain[] = "HomeDomain";

// Push stores hold a few hundred notifications at most; anything far larger is not one.
constexpr uint64_t kMaxPushStoreBytes = 64u << 20;

std::string FileNameOf(const std::string& path) {
    const size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The store's application: its file name without the extension.
std::string BundleIdentifierOf(const std::string& path) {
    const std::string name = FileNameOf(path);
    const size_t dot = name.rfind('.');
    return dot == std::string::npos ? name : name.substr(0, dot);
}

}  // namespace

std::u16string ReferenceDateText(double seconds) {
    // Seconds past any date a calendar can show are clamped rather than overflowing.
    if (!std::isfinite(seconds)) seconds = 0.0;
    seconds = std::clamp(seconds, -1e11, 1e11);
    std::tm reference{};
    reference.tm_year = 101;
    reference.tm_mday = 1;
    reference.tm_isdst = -1;
    const int64_t start = platform::UnixSecondsFromLocal(reference);
    return Utf8ToWide(
        FormatDateTime(platform::LocalCalendar(start + static_cast<int64_t>(seconds))));
}

size_t CAppPushStoreModel::GetIconData(unsigned char* buffer) {
    if (buffer != nullptr) std::copy(iconData.begin(), iconData.end(), buffer);
    return iconData.size();
}

unsigned char CAppPushStoreModel::Select(unsigned char toggle) {
    return ToggleSelected(selected, toggle);
}

IPushMessageModel* CAppPushStoreModel::GetMessage(int32_t index) {
    return ItemAt<IPushMessageModel>(messages, index);
}

bool ReadPushStore(const std::string& bytes, CAppPushStoreModel& store) {
    CDicValueObj archive;
    if (!bytes.empty()) readPlistFromString(bytes, archive, 0);
    // An empty or unparsable file is still a store; it just shows no messages.
    if (archive.type == kPlistNone) return true;
    const CDicValueObj root = CNSArchiverFormatHelper::Decode(archive);
    if (root.type == kPlistNone) return false;
    const PlistArray* notifications = root.Array();
    if (notifications == nullptr) return true;
    for (const CDicValueObj& notification : *notifications) {
        if (notification.Dictionary() == nullptr) continue;
        auto message = std::make_unique<CPushMessageModel>();
        message->message =
            Utf8ToWide(notification.GetString("AppNotificationMessage").value_or(""));
        message->creationTime = notification.GetReal("AppNotificationCreationDate").value_or(0.0);
        message->dateText = ReferenceDateText(message->creationTime);
        if (const std::optional<std::string> title =
                notification.GetString("AppNotificationTitle")) {
            store.displayName = Utf8ToWide(*title);
        }
        store.messages.push_back(std::move(message));
    }
    return true;
}

CPushStoreManage::CPushStoreManage(std::vector<std::string> paths, CIPhone* device,
                                   CDeviceJunk* owner)
    : paths_(std::move(paths)), device_(device), owner_(owner) {}

void CPushStoreManage::ReadStores() {
    SpringboardIcons springboard(device_);
    std::vector<std::unique_ptr<CAppPushStoreModel>> stores;
    for (const std::string& path : paths_) {
        auto store = std::make_unique<CAppPushStoreModel>();
        store->path = path;
        store->filePath = Utf8ToWide(path);
        store->bundleIdentifier = Utf8ToWide(BundleIdentifierOf(path));
        store->fileSize = platform::FileSize(path).value_or(0);
        stores.push_back(std::move(store));
    }
    processed_ = 0;
    total_ = static_cast<uint32_t>(stores.size());
    for (std::unique_ptr<CAppPushStoreModel>& store : stores) {
        if (owner_->StopRequested()) break;
        std::string bytes;
        const bool read = platform::ReadWholeFile(store->path, bytes, kMaxPushStoreBytes);
        const bool listed = ReadPushStore(read ? bytes : std::string(), *store);
        owner_->SetMessage(store->displayName);
        ++processed_;
        owner_->PublishProgress(processed_, total_);
        if (!listed) continue;
        const std::string identifier = BundleIdentifierOf(store->path);
        if (springboard.Find(identifier) != nullptr) store->iconData = springboard.Icon(identifier);
        owner_->AdjustSelection(1, store->fileSize, true);
        stores_.push_back(
            owner_->Results(kResultPushStores).Append<IAppPushStoreModel>(std::move(store)));
    }
}

void CPushStoreManage::DeleteSelected() {
    processed_ = 0;
    total_ = static_cast<uint32_t>(stores_.size());
    CConfigureTool& configuration = CConfigureTool::Instance();
    for (CAppPushStoreModel* store : stores_) {
        if (store->selected == 0) continue;
        // Completion takes out the store's own backup file, named by the entry's key; the
        // configuration maps the working copy's name back to it.
        if (platform::IsFile(store->path) &&
            configuration.AddDeleteEntry(store->path, kHomeDomain, kPushStoreExtension)) {
            owner_->AdjustSelection(1, store->fileSize, false);
        }
        owner_->SetMessage(store->displayName);
        ++processed_;
        owner_->PublishProgress(processed_, total_);
    }
}

void CAppNotificationJunk::Scan(CIPhone* device) {
    SetBusy(1);
    device_ = device;
    manage_.reset();
    ReleaseItems(kResultPushStores);
    if (!StopRequested()) {
        std::vector<std::string> paths = CConfigureTool::Instance().CopyPushStoreFiles();
        if (!paths.empty()) {
            manage_ = std::make_unique<CPushStoreManage>(std::move(paths), device, this);
            SetMessage(kMessageStartScanning);
            if (!StopRequested()) manage_->ReadStores();
        }
    }
    SetFinished();
}

void CAppNotificationJunk::Clean() {
    if (manage_ != nullptr && !StopRequested() && !manage_->Stores().empty()) {
        SetBusy(0);
        manage_->DeleteSelected();
    }
    SetFinished();
}

}  // namespace bw

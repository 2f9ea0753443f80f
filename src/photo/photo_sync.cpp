#include "photo/photo_sync.h"

#include <algorithm>
#include <charconv>

#include "backup/configure_tool.h"
#include "device/iphone.h"
#include "device/iphone_file.h"
#include "device/runtime.h"
#include "device/runtime_values.h"
#include "device/sync_host.h"
#include "photo/photo.h"
#include "photo/photo_manager.h"
#include "photo/photo_thumbnail.h"
#include "platform/files.h"
#include "platform/process.h"
#include "platform/text.h"

namespace bw {
namespace {

constexpr char kListDevicePath[] = "Photos/Sync/PhotoLibrary.plist";
constexpr char kListName[] = "PhotoLibrary.plist";
constexpr char kThumbsFolder[] = "Photos/Thumbs";
constexpr char kAirlockFolder[] = "Airlock/Photo";
constexpr char kPhotoDataclass[] = "Photo";
constexpr unsigned kAssetPauseMs = 100;

// One run at a time per process: the host connection and its handlers are process-wide.
std::mutex& RunMutex() {
    static std::mutex* mutex = new std::mutex;
    return *mutex;
}

std::string DeviceValue(CIPhone& device, std::string_view key, const std::string& fallback) {
    std::string value = device.CachedValue(key).value_or("");
    if (value.empty()) value = device.ReadDeviceValueText("", key);
    return value.empty() ? fallback : value;
}

// The anchor after the device's: one more, in decimal. A device anchor that is no number counts
// as 0, so the run still sends a usable anchor.
std::string NextAnchor(std::string_view deviceAnchor) {
    uint64_t value = 0;
    const auto [end, error] =
        std::from_chars(deviceAnchor.data(), deviceAnchor.data() + deviceAnchor.size(), value);
    if (error != std::errc() || end != deviceAnchor.data() + deviceAnchor.size()) value = 0;
    return std::to_string(value + 1);
}

// Makes each level of a device folder that is missing; true when the whole path is a folder.
bool MakeDeviceFolders(CIPhone& device, const std::string& path) {
    for (size_t slash = path.find('/');; slash = path.find('/', slash + 1)) {
        const std::string level = path.substr(0, slash);
        if (!device.IsDirectory(level)) device.MakeDirectory(level);
        if (slash == std::string::npos) break;
    }
    return device.IsDirectory(path);
}

CFOwned<rt::CFMutableDictionaryRef> MakeDictionary() {
    const RuntimeTable& runtime = Runtime();
    return CFOwned<rt::CFMutableDictionaryRef>(
        runtime.CFDictionaryCreateMutable(nullptr, 0, runtime.kCFTypeDictionaryKeyCallBacks,
                                          runtime.kCFTypeDictionaryValueCallBacks));
}

void SetText(rt::CFMutableDictionaryRef dictionary, std::string_view key, std::string_view text) {
    const CFString keyText = MakeCFString(key);
    const CFString value = MakeCFString(text);
    if (dictionary != nullptr && keyText && value)
        Runtime().CFDictionarySetValue(dictionary, keyText.get(), value.get());
}

void SetNumber(rt::CFMutableDictionaryRef dictionary, std::string_view key, int32_t number) {
    const RuntimeTable& runtime = Runtime();
    const CFString keyText = MakeCFString(key);
    const CFOwned<rt::CFNumberRef> value(
        runtime.CFNumberCreate(nullptr, rt::kCFNumberSInt32Type, &number));
    if (dictionary != nullptr && keyText && value)
        runtime.CFDictionarySetValue(dictionary, keyText.get(), value.get());
}

}  // namespace

bool VersionAtLeast(std::string_view version, int major, int minor, int patch) {
    const int wanted[3] = {major, minor, patch};
    for (int part = 0; part < 3; ++part) {
        int value = 0;
        if (!version.empty()) {
            const auto [end, error] =
                std::from_chars(version.data(), version.data() + version.size(), value);
            if (error != std::errc()) value = 0;
            const size_t dot = version.find('.');
            version = dot == std::string_view::npos ? std::string_view() : version.substr(dot + 1);
            (void)end;
        }
        if (value != wanted[part]) return value > wanted[part];
    }
    return true;
}

// The builder refuses to work while either value is 0, and the device reads the file by its index,
// not by these two. We let them say what the builder was told about the device: `setting` is a
// set of flags (1 always, 2 an iPod, 4 an iPad, 8 version 5.0.0 or later, 16 version 6.1.0 or
// later), the trailer value the thumbnail generation of that version (1 before 5.0.0, 2 up to
// 6.1.0, 3 from 6.1.0 on). So a file found on a device tells which device it was made for.
AirlockSettings AirlockSettingsFor(std::string_view productType, std::string_view productVersion) {
    const std::string type = AsciiLower(productType);
    const bool from5 = VersionAtLeast(productVersion, 5, 0, 0);
    const bool from61 = VersionAtLeast(productVersion, 6, 1, 0);
    AirlockSettings settings;
    settings.setting = 1u | (type.find("ipod") != std::string::npos ? 2u : 0u) |
                       (type.find("ipad") != std::string::npos ? 4u : 0u) | (from5 ? 8u : 0u) |
                       (from61 ? 16u : 0u);
    settings.trailerValue = from61 ? 3u : from5 ? 2u : 1u;
    return settings;
}

// ---- PhotoImporter ---------------------------------------------------------------------------

PhotoImporter PhotoImporter::ForAddition(std::vector<std::string> paths, std::string albumName) {
    PhotoImporter importer;
    importer.paths_ = std::move(paths);
    importer.albumName_ = std::move(albumName);
    return importer;
}

PhotoImporter PhotoImporter::ForRemoval(std::vector<std::string> identifiers) {
    PhotoImporter importer;
    importer.removal_ = true;
    importer.removals_ = std::move(identifiers);
    return importer;
}

void PhotoImporter::ApplyTo(PlistValue& library, std::string_view newestUuid,
                            std::string_view productVersion) {
    entries_.clear();
    byIdentifier_.clear();
    if (removal_) {
        RemoveAssetEntries(library, removals_);
        return;
    }
    entries_ = AddPictureEntries(library, paths_, albumName_, newestUuid, productVersion);
    for (size_t i = 0; i < entries_.size(); ++i)
        byIdentifier_.emplace(NormalizedSyncIdentifier(entries_[i].identifier), i);
}

const SyncPictureEntry* PhotoImporter::Find(std::string_view assetId) const {
    const auto found = byIdentifier_.find(NormalizedSyncIdentifier(assetId));
    return found != byIdentifier_.end() ? &entries_[found->second] : nullptr;
}

// ---- CPhotoSync ------------------------------------------------------------------------------

CPhotoSync::CPhotoSync(CIPhone* device, PhotoImporter importer, std::string albumName)
    : importer_(std::move(importer)), device_(device), albumName_(std::move(albumName)) {
    if (device_ == nullptr) return;
    productVersion_ = DeviceValue(*device_, "ProductVersion", device_->productVersion);
    productType_ = DeviceValue(*device_, "ProductType", "");
    serialNumber_ = DeviceValue(*device_, "SerialNumber", device_->serialNumber);
    localFolder_ = CPhotoManager::MakeLocalFolder(serialNumber_);
}

CPhotoSync::CPhotoSync(CIPhone* device, std::string albumName, std::vector<std::string> paths)
    : CPhotoSync(device, PhotoImporter::ForAddition(std::move(paths), albumName), albumName) {}

namespace {
std::vector<std::string> IdentifiersOf(const std::vector<IPhoto*>& photos) {
    std::vector<std::string> identifiers;
    for (IPhoto* photo : photos) {
        if (const auto* object = dynamic_cast<const CPhoto*>(photo))
            identifiers.push_back(object->uuid);
    }
    return identifiers;
}
}  // namespace

CPhotoSync::CPhotoSync(CIPhone* device, const std::vector<IPhoto*>& photos)
    : CPhotoSync(device, PhotoImporter::ForRemoval(IdentifiersOf(photos)), std::string()) {}

CPhotoSync::~CPhotoSync() {
    std::unique_lock<std::mutex> lock(stateMutex_);
    if (started_ && !connectionEnded_) {
        connectionEnded_ = true;
        lock.unlock();
        CiMobileSync::Instance().End();
        RunMutex().unlock();
    }
}

SyncOutcome CPhotoSync::outcome() const {
    std::lock_guard<std::mutex> lock(stateMutex_);
    return outcome_;
}

void CPhotoSync::Report(int32_t stage, int32_t done, int32_t total, const std::string& name) {
    if (progress_) progress_(stage, done, total, name);
}

void CPhotoSync::Complete(SyncOutcome outcome) {
    {
        std::lock_guard<std::mutex> lock(stateMutex_);
        if (outcome_ != SyncOutcome::kNone) return;
        outcome_ = outcome;
    }
    ended_.notify_all();
    if (completion_) completion_(outcome);
}

bool CPhotoSync::Start() {
    if (device_ == nullptr || localFolder_.empty()) {
        Complete(SyncOutcome::kStartFailed);
        return false;
    }
    // Held until the run's connection has ended (Wait or the destructor).
    RunMutex().lock();
    {
        std::lock_guard<std::mutex> lock(stateMutex_);
        started_ = true;
    }
    CiMobileSync& sync = CiMobileSync::Instance();
    sync.RegisterHandlers({[this](const SyncMessage& m) { RequestSync(m); },
                           [this](const SyncMessage& m) { SendMetadata(m); },
                           [this](const SyncMessage& m) { SendAssets(m); },
                           [this](const SyncMessage& m) { Finish(m); }},
                          [this](SyncOutcome outcome) { Complete(outcome); });
    // Each run opens a connection of its own and ends it when the run ends (finished, failed or
    // timed out), so nothing of a run outlives the call that made it, and a device that left in
    // between is never spoken to on a stale connection. The device therefore always announces
    // "SyncAllowed" afresh, and the sync request goes out when it does.
    if (!sync.Start(*device_)) {
        Complete(SyncOutcome::kStartFailed);
        return false;
    }
    return true;
}

SyncOutcome CPhotoSync::Wait() {
    CiMobileSync& sync = CiMobileSync::Instance();
    bool timedOut = false;
    {
        std::unique_lock<std::mutex> lock(stateMutex_);
        while (started_ && outcome_ == SyncOutcome::kNone) {
            const auto deadline = sync.lastActivity() + PhotoSyncTimeLimit();
            if (std::chrono::steady_clock::now() >= deadline) {
                timedOut = true;
                break;
            }
            ended_.wait_until(lock, deadline);
        }
    }
    if (timedOut) Complete(SyncOutcome::kTimedOut);
    std::unique_lock<std::mutex> lock(stateMutex_);
    if (started_ && !connectionEnded_) {
        connectionEnded_ = true;
        lock.unlock();
        sync.End();
        RunMutex().unlock();
        lock.lock();
    }
    return outcome_;
}

// Handler 1 (after "SyncAllowed"): the sync request.
void CPhotoSync::RequestSync(const SyncMessage&) {
    CiMobileSync& sync = CiMobileSync::Instance();
    const RuntimeTable& runtime = Runtime();
    bool sent = false;
    {
        std::lock_guard<std::mutex> lock(CiMobileSync::Mutex());
        rt::ATHostConnectionRef connection = sync.connection();
        if (connection == nullptr) return;
        runtime.ATHostConnectionSendPowerAssertion(connection, runtime.kCFBooleanTrue);
        // The run's library identifier is the host's version text, as in the connection's own
        // announcement: the host has one library, whatever it syncs.
        const CFString version = MakeCFString(sync.hostVersion());
        const CFOwned<rt::CFMutableDictionaryRef> hostInfo =
            MakeSyncHostInfo(version.get(), version.get(), {"Data"});
        const CFOwned<rt::CFMutableDictionaryRef> anchors = MakeDictionary();
        SetText(anchors.get(), kPhotoDataclass, photoAnchor_);
        const CFOwned<rt::CFMutableArrayRef> dataclasses(
            runtime.CFArrayCreateMutable(nullptr, 0, runtime.kCFTypeArrayCallBacks));
        for (const char* name : {kPhotoDataclass, "Keybag"}) {
            const CFString text = MakeCFString(name);
            if (dataclasses && text) runtime.CFArrayAppendValue(dataclasses.get(), text.get());
        }
        sent = hostInfo && anchors && dataclasses &&
               runtime.ATHostConnectionSendSyncRequest(connection, dataclasses.get(), anchors.get(),
                                                       hostInfo.get()) == 0;
        sync.SetLastFinishedStage(sent ? 1.0f : 4.0f);
        // Inside the section that sent: the device's answer starts the next stage only after
        // it, so the host sees the stages in order.
        if (sent) Report(kStageSyncAllowed, 1, 1, {});
    }
    sync.NoteActivity();
    // Nothing more can come on a connection that is closed now.
    if (!sent) {
        sync.CloseConnection();
        Complete(SyncOutcome::kStartFailed);
    }
}

bool CPhotoSync::WriteAndUploadList() {
    if (device_->FileExists(kListDevicePath)) device_->RemovePath(kListDevicePath);
    CreatePhotoSyncPlist builder(device_, localFolder_, productVersion_);
    PlistValue library = builder.Build();
    // A list built without the device's database names none of its synced photos, and the
    // device would take that as "remove them all": such a list is never sent.
    if (!builder.databaseRead()) return false;
    {
        std::lock_guard<std::mutex> lock(importerMutex_);
        importer_.ApplyTo(library, builder.newestSyncedUuid(), productVersion_);
    }
    // "PhotoLibrary.plist.lastsynced" is left alone on both sides: the device compares the new
    // list with its database, not with an earlier list.
    const std::string local = platform::JoinPath(localFolder_, kListName);
    if (!WritePlistBinary(local, library)) return false;
    const bool uploaded = MakeDeviceFolders(*device_, "Photos/Sync") &&
                          device_->CopyFileToDevice(local, kListDevicePath);
    platform::RemoveFile(local);
    return uploaded;
}

// Handler 2 (after "ReadyForSync"): the list, then the metadata message.
void CPhotoSync::SendMetadata(const SyncMessage& message) {
    CiMobileSync& sync = CiMobileSync::Instance();
    const RuntimeTable& runtime = Runtime();
    photoAnchor_ = NextAnchor(message.photoAnchor);
    Report(kStageReadyForSync, 0, 1, kListName);
    bool sent = WriteAndUploadList();
    sync.NoteActivity();
    {
        std::lock_guard<std::mutex> lock(CiMobileSync::Mutex());
        rt::ATHostConnectionRef connection = sync.connection();
        if (sent && connection != nullptr) {
            runtime.ATHostConnectionSendPowerAssertion(connection, runtime.kCFBooleanTrue);
            const CFOwned<rt::CFMutableDictionaryRef> syncTypes = MakeDictionary();
            SetNumber(syncTypes.get(), "Keybag", 1);
            SetNumber(syncTypes.get(), kPhotoDataclass, 1);
            const CFOwned<rt::CFMutableDictionaryRef> anchors = MakeDictionary();
            SetText(anchors.get(), kPhotoDataclass, photoAnchor_);
            sent = syncTypes && anchors &&
                   runtime.ATHostConnectionSendMetadataSyncFinished(connection, syncTypes.get(),
                                                                    anchors.get()) == 0;
        } else {
            sent = false;
        }
        sync.SetLastFinishedStage(sent ? 2.0f : 4.0f);
        if (sent) Report(kStageReadyForSync, 1, 1, kListName);
    }
    // The device waits for metadata that will not come now: the run ends at once rather than
    // keeping the host's call until the time limit.
    if (!sent) Complete(SyncOutcome::kStartFailed);
}

std::optional<SyncPictureEntry> CPhotoSync::PictureFor(const std::string& assetId) const {
    std::lock_guard<std::mutex> lock(importerMutex_);
    const SyncPictureEntry* entry = importer_.Find(assetId);
    return entry != nullptr ? std::optional<SyncPictureEntry>(*entry) : std::nullopt;
}

bool CPhotoSync::SendAsset(const std::string& assetId) {
    // The identifier becomes part of device paths: one plain name, or the asset is refused.
    const std::optional<SyncPictureEntry> entry =
        IsPlainFileName(assetId) ? PictureFor(assetId) : std::nullopt;
    if (!entry || !IsPlainFileName(entry->originalFileName)) return false;
    const std::string folder = std::string(kAirlockFolder) + "/" + assetId;
    if (!MakeDeviceFolders(*device_, folder) ||
        !device_->CopyFileToDevice(entry->path, folder + "/" + entry->originalFileName)) {
        return false;
    }
    CPhotoUsuallyAirlock thumbnail(entry->path, localFolder_, productType_);
    const AirlockSettings settings = AirlockSettingsFor(productType_, productVersion_);
    thumbnail.trailerValue = settings.trailerValue;
    thumbnail.setting = settings.setting;
    const std::string built = thumbnail.BuildThumbnailFile();
    return !built.empty() && MakeDeviceFolders(*device_, kThumbsFolder) &&
           device_->CopyFileToDevice(built, std::string(kThumbsFolder) + "/" + assetId + ".mthmb");
}

// Handler 3 (after "AssetManifest"): each requested picture with its thumbnail file.
void CPhotoSync::SendAssets(const SyncMessage& message) {
    CiMobileSync& sync = CiMobileSync::Instance();
    const RuntimeTable& runtime = Runtime();
    const auto total = static_cast<int32_t>(message.assetIds.size());
    for (int32_t i = 0; i < total && !sync.stopping(); ++i) {
        const std::string& assetId = message.assetIds[static_cast<size_t>(i)];
        const bool uploaded = SendAsset(assetId);
        sync.NoteActivity();
        {
            std::lock_guard<std::mutex> lock(CiMobileSync::Mutex());
            rt::ATHostConnectionRef connection = sync.connection();
            if (connection == nullptr) break;
            const CFString id = MakeCFString(assetId);
            const CFString dataclass = MakeCFString(kPhotoDataclass);
            if (uploaded) {
                const CFString path =
                    MakeCFString(std::string(kThumbsFolder) + "/" + assetId + ".mthmb");
                runtime.ATHostConnectionSendAssetCompleted(connection, id.get(), dataclass.get(),
                                                           path.get());
            } else {
                runtime.ATHostConnectionSendFileError(connection, id.get(), dataclass.get(),
                                                      kAssetNotDelivered);
            }
            const std::optional<SyncPictureEntry> entry = PictureFor(assetId);
            Report(kStageAssetManifest, i + 1, total, entry ? entry->originalFileName : "");
        }
        if (i + 1 < total) platform::Sleep(kAssetPauseMs);
    }
    std::lock_guard<std::mutex> lock(CiMobileSync::Mutex());
    sync.SetLastFinishedStage(3.0f);
}

// Handler 4 (after "SyncFinished"): the device applied the list.
void CPhotoSync::Finish(const SyncMessage&) {
    CiMobileSync& sync = CiMobileSync::Instance();
    {
        std::lock_guard<std::mutex> lock(CiMobileSync::Mutex());
        // The run holds no lock file on the device: the notification alone goes out.
        CiPhoneFile noLockFile(nullptr, std::string(), 0);
        device_->PostSyncDidFinish(noLockFile);
        sync.SetLastFinishedStage(4.0f);
    }
    Report(kStageSyncFinished, 1, 1, {});
    Complete(SyncOutcome::kDone);
}

}  // namespace bw

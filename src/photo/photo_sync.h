// CPhotoSync: one photo sync run over the AirTraffic host connection (CiMobileSync), adding
// pictures of the computer to the device's synced library or removing synced photos from it.
// PhotoImporter is the run's data: the pictures to add (and the identifiers the list gave them)
// or the photos to remove.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "photo/mobile_sync.h"
#include "photo/photo_sync_plist.h"

class IPhoto;

namespace bw {

class CIPhone;

// Progress of a run, from its threads: the stage (kStage...), items done and their total, and
// the name of the item (a picture's file name; the list's name at stage 2; empty otherwise).
// Reports of a sent message are made while the run holds the connection's lock, so they arrive
// in stage order; a callback must not wait for the run.
using SyncProgress =
    std::function<void(int32_t stage, int32_t done, int32_t total, const std::string& name)>;

// The error code a "FileError" carries for a requested asset the run cannot deliver.
inline constexpr int kAssetNotDelivered = 1;

// "1.2.3" is at least major.minor.patch; missing parts count as 0.
bool VersionAtLeast(std::string_view version, int major, int minor, int patch);

// The values the "Airlock_photo" builder is given for a device (see photo_sync.cpp).
struct AirlockSettings {
    uint32_t trailerValue = 0;
    uint32_t setting = 0;
};
AirlockSettings AirlockSettingsFor(std::string_view productType, std::string_view productVersion);

class PhotoImporter {
  public:
    // An addition of the pictures at `paths` (computer paths) to `albumName`.
    static PhotoImporter ForAddition(std::vector<std::string> paths, std::string albumName);
    // A removal of the assets with these identifiers (any spelling).
    static PhotoImporter ForRemoval(std::vector<std::string> identifiers);

    bool isRemoval() const { return removal_; }
    size_t pictureCount() const { return paths_.size(); }

    // Adds this run's pictures to the list (and remembers the identifiers they got) or drops the
    // removed assets from it.
    void ApplyTo(PlistValue& library, std::string_view newestUuid, std::string_view productVersion);
    // The picture a requested identifier stands for (dashes and case ignored), or null.
    const SyncPictureEntry* Find(std::string_view assetId) const;

  private:
    bool removal_ = false;
    std::vector<std::string> paths_;
    std::string albumName_;
    std::vector<std::string> removals_;
    std::vector<SyncPictureEntry> entries_;
    std::map<std::string, size_t> byIdentifier_;  // normalized identifier -> entry
};

class CPhotoSync {
  public:
    using Completion = std::function<void(SyncOutcome)>;

    // An addition of pictures of the computer.
    CPhotoSync(CIPhone* device, std::string albumName, std::vector<std::string> paths);
    // A removal of synced photos (of one album).
    CPhotoSync(CIPhone* device, const std::vector<IPhoto*>& photos);
    // Ends what is left of the run: nothing of it outlives the object.
    ~CPhotoSync();
    CPhotoSync(const CPhotoSync&) = delete;
    CPhotoSync& operator=(const CPhotoSync&) = delete;

    // Called once when the run ends, whatever the outcome (from a run thread, or from Wait).
    void SetCompletion(Completion completion) { completion_ = std::move(completion); }
    void SetProgress(SyncProgress progress) { progress_ = std::move(progress); }

    // Registers the handlers and starts the connection; false (and the run ended as
    // kStartFailed) when the connection cannot be made.
    bool Start();
    // Waits until the run ended, or until the device has shown no life for the time limit (then
    // the run ends as kTimedOut). Then ends the connection and every thread of the run.
    SyncOutcome Wait();

    SyncOutcome outcome() const;
    const std::string& localFolder() const { return localFolder_; }

  private:
    CPhotoSync(CIPhone* device, PhotoImporter importer, std::string albumName);

    // Handlers of stages 1 to 4.
    void RequestSync(const SyncMessage& message);
    void SendMetadata(const SyncMessage& message);
    void SendAssets(const SyncMessage& message);
    void Finish(const SyncMessage& message);

    bool WriteAndUploadList();
    // The picture of a requested identifier, copied under the importer's lock (a device may ask
    // for assets while the list is still being written).
    std::optional<SyncPictureEntry> PictureFor(const std::string& assetId) const;
    bool SendAsset(const std::string& assetId);
    void Complete(SyncOutcome outcome);
    void Report(int32_t stage, int32_t done, int32_t total, const std::string& name);

    mutable std::mutex importerMutex_;
    PhotoImporter importer_;
    CIPhone* device_ = nullptr;
    std::string productVersion_;
    std::string productType_;
    std::string serialNumber_;
    std::string localFolder_;
    std::string albumName_;
    // The host keeps no anchor between runs: a run asks from "0", and after the device told its
    // own anchor the run's anchor is that plus one.
    std::string photoAnchor_ = "0";
    bool metadataFailed_ = false;

    Completion completion_;
    SyncProgress progress_;
    mutable std::mutex stateMutex_;
    std::condition_variable ended_;
    SyncOutcome outcome_ = SyncOutcome::kNone;
    bool started_ = false;
    bool connectionEnded_ = false;
};

}  // namespace bw

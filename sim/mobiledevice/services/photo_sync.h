// The device's side of a photo sync on "com.apple.atc". The host asks to sync ("RequestingSync"),
// the device answers with its photo anchor ("ReadyForSync"); the host uploads
// "Photos/Sync/PhotoLibrary.plist" and says so ("FinishedSyncingMetadata"); the device asks for
// every listed asset it lacks ("AssetManifest"); the host uploads each one and reports it
// ("FileComplete" or "FileError"); once every requested asset is accounted for the device applies
// the list to its library and sends "SyncFinished". Tests can make the device refuse, fall silent
// or drop the link at each stage, and wait for a stage without sleeping (sim_control.h).
#pragma once

#include <set>
#include <string>
#include <vector>

#include "common/plist_tree.h"
#include "phone_photos/sync_list.h"

namespace bw::sim::md {

class Device;

// What a session needs of its AirTraffic link.
class PhotoSyncLink {
  public:
    virtual ~PhotoSyncLink() = default;
    virtual Device& device() const = 0;
    // Queues a message; `params` is taken over (null: empty).
    virtual void Send(const char* command, plist_t params) = 0;
    // Drops the link after the messages queued before.
    virtual void Drop() = 0;
};

// Error codes of "SyncFailed" the device sends.
inline constexpr int kSyncRefused = 12;
inline constexpr int kSyncListUnusable = 23;
inline constexpr int kSyncApplyFailed = 26;

// One link's sync; the handlers run one at a time, in the order the host's messages arrive.
class PhotoSyncSession {
  public:
    void OnRequestingSync(PhotoSyncLink& link, plist_t params);
    void OnMetadataFinished(PhotoSyncLink& link, plist_t params);
    void OnFileComplete(PhotoSyncLink& link, plist_t params);
    void OnFileError(PhotoSyncLink& link, plist_t params);
    // The host gave up: the sync ends with nothing applied.
    void OnSyncFailed(PhotoSyncLink& link, plist_t params);

  private:
    enum class State { Idle, Requested, AwaitingFiles };

    void OnFileReport(PhotoSyncLink& link, plist_t params, bool completed);
    void Finish(PhotoSyncLink& link);

    State state_ = State::Idle;
    SyncList list_;
    std::set<std::string> pending_;  // requested ids not yet reported
    std::vector<std::string> requested_, completed_;
};

// Test behaviours of a device, holding until it leaves. Stages 1 to 4: after "RequestingSync",
// after "FinishedSyncingMetadata", after the last file report (nothing applied), after applying
// (before "SyncFinished"); 0 turns the behaviour off.
void SetPhotoSyncRefuse(const Device& device, bool refuse);
void SetPhotoSyncStall(const Device& device, int stage);
void SetPhotoSyncLeave(const Device& device, int stage);
// Waits until the device handled the host message of `stage` in its latest sync (a new
// "RequestingSync" starts again from none); false when `timeoutMs` passed first.
bool WaitPhotoSyncStage(const Device& device, int stage, int timeoutMs);

}  // namespace bw::sim::md

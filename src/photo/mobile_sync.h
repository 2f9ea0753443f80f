// CiMobileSync: the process-wide AirTraffic host connection of the photo sync. It opens the
// connection for a device, announces the host, reads the device's messages on a thread of its own
// and hands each recognised message to one of four handlers that the running sync registered.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "device/runtime_types.h"

namespace bw {

class CDicValueObj;
class CIPhone;

// Stages of a sync, named after the device message that starts each.
inline constexpr int32_t kStageNone = 0;
inline constexpr int32_t kStageSyncAllowed = 1;
inline constexpr int32_t kStageReadyForSync = 2;
inline constexpr int32_t kStageAssetManifest = 3;
inline constexpr int32_t kStageSyncFinished = 4;

// The most asset identifiers one manifest may request: a device asks for what the list names,
// and no list of ours comes near this.
inline constexpr size_t kMaxManifestAssets = 100000;

// What the dispatcher and the handlers read of one device message. Everything comes from the
// message's property-list form, so a value of the wrong type reads as absent instead of reaching
// the runtime's typed getters.
struct SyncMessage {
    std::string name;         // "Command"
    std::string photoAnchor;  // Params.DataclassAnchors.Photo (text or integer)
    // Params.AssetManifest.Photo[i].AssetID, in order; entries without a text identifier are
    // skipped. Not checked as path names here: the handler that builds paths does that.
    std::vector<std::string> assetIds;
    int64_t errorCode = 0;  // Params.ErrorCode of "SyncFailed"
};

// Reads a message given as its property-list tree; an unusable tree gives an empty name.
SyncMessage ReadSyncMessage(const CDicValueObj& message);
// The same from the bytes of a property list (XML or binary).
SyncMessage ReadSyncMessageBytes(const void* bytes, size_t length);

// How a run ended, as BrackwaterPhotoSyncResult reports it.
enum class SyncOutcome : int32_t {
    kNone = -1,
    kDone = 0,
    kRefused = 1,
    kTimedOut = 2,
    kDeviceLeft = 3,
    kStartFailed = 4,
};

class CiMobileSync {
  public:
    using Handler = std::function<void(const SyncMessage&)>;
    // Called on the reader thread when the connection ended without the finish handler: the
    // device refused ("SyncFailed") or the link died ("ConnectionInvalid").
    using EndHandler = std::function<void(SyncOutcome)>;

    // The instance, created under the process-wide mutex on first use and never destroyed.
    static CiMobileSync& Instance();
    // Guards the creation of the instance, the handlers' sections that use the connection and
    // the run's state.
    static std::mutex& Mutex();

    // Handlers of stages 1 to 4 (index 0 to 3) and the end handler of the next run.
    void RegisterHandlers(std::array<Handler, 4> handlers, EndHandler onEnd);

    // Opens the connection for the device, announces the host and starts the reader thread.
    // False (nothing left open) when the connection cannot be made or kept.
    bool Start(CIPhone& device);

    // Ends the run's connection: stops the reader thread, joins every handler thread, then
    // invalidates and releases the connection, and forgets the handlers. Never from a handler
    // or the reader thread.
    void End();

    // The connection, or null once it was closed. Handlers use it under Mutex().
    rt::ATHostConnectionRef connection() const { return connection_.load(); }
    // Closes the connection (invalidate and release) once, under Mutex(); safe from any thread
    // that does not hold it.
    void CloseConnection();

    // Runs `work` on a new tracked thread (joined by End).
    void RunOnThread(std::function<void()> work);
    // True once End began: long handler work stops between items.
    bool stopping() const { return stop_.load(); }
    // The reader and handler threads that are running now (0 once End returned).
    int liveThreads() const { return liveThreads_.load(); }

    float lastFinishedStage() const { return lastFinishedStage_.load(); }
    void SetLastFinishedStage(float stage) { lastFinishedStage_.store(stage); }
    int32_t currentStage() const { return currentStage_.load(); }
    bool syncAllowed() const { return syncAllowed_.load(); }
    const std::string& deviceId() const { return deviceId_; }
    const std::string& hostVersion() const { return hostVersion_; }

    // When the device last showed life (a message, or a handler's finished step).
    std::chrono::steady_clock::time_point lastActivity() const;
    void NoteActivity();

    // The dispatcher: the stage rules, then the handler on its own thread. Public so that the
    // reader thread and tests drive the same code.
    void Dispatch(const SyncMessage& message);

  private:
    CiMobileSync() = default;
    void ReadMessages();

    std::array<Handler, 4> handlers_;
    EndHandler onEnd_;
    std::atomic<rt::ATHostConnectionRef> connection_{nullptr};
    CIPhone* device_ = nullptr;
    std::string deviceId_;
    std::string hostVersion_;
    std::atomic<bool> syncAllowed_{false};
    std::atomic<float> lastFinishedStage_{0.0f};
    std::atomic<int32_t> currentStage_{kStageNone};
    SyncMessage lastMessage_;
    std::atomic<bool> stop_{false};
    std::thread reader_;
    std::mutex threadsMutex_;
    std::vector<std::thread> handlerThreads_;
    std::atomic<int64_t> lastActivityTicks_{0};
    std::atomic<int> liveThreads_{0};
};

// The inactivity limit of a run's wait: this long without a message from the device (or a step
// of the run's own uploads) ends the run as timed out.
inline constexpr std::chrono::milliseconds kPhotoSyncTimeLimit{60000};
// For tests: the limit of later waits (kPhotoSyncTimeLimit when not set).
void SetPhotoSyncTimeLimit(std::chrono::milliseconds limit);
std::chrono::milliseconds PhotoSyncTimeLimit();

}  // namespace bw

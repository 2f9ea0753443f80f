#include "photo/mobile_sync.h"

#include <algorithm>
#include <cstdio>
#include <optional>

#include "device/iphone.h"
#include "device/runtime.h"
#include "device/runtime_values.h"
#include "device/sync_host.h"
#include "formats/plist_library.h"
#include "platform/process.h"

namespace bw {
namespace {

constexpr unsigned kReadPauseMs = 100;

std::atomic<int64_t>& TimeLimitMs() {
    static std::atomic<int64_t> limit{kPhotoSyncTimeLimit.count()};
    return limit;
}

int64_t Ticks(std::chrono::steady_clock::time_point when) {
    return when.time_since_epoch().count();
}

// An anchor is a decimal text; a device that sends it as a number means the same.
std::string AnchorText(const CDicValueObj* value) {
    if (value == nullptr) return {};
    if (const std::string* text = value->String()) return *text;
    if (const int64_t* number = value->Integer()) return std::to_string(*number);
    return {};
}

}  // namespace

SyncMessage ReadSyncMessage(const CDicValueObj& message) {
    SyncMessage read;
    read.name = message.GetString("Command").value_or("");
    const CDicValueObj* params = message.Find("Params");
    if (params == nullptr || params->Dictionary() == nullptr) return read;
    if (const CDicValueObj* anchors = params->Find("DataclassAnchors"))
        read.photoAnchor = AnchorText(anchors->Find("Photo"));
    read.errorCode = params->GetInteger("ErrorCode").value_or(0);
    const CDicValueObj* manifest = params->Find("AssetManifest");
    const CDicValueObj* photos = manifest != nullptr ? manifest->Find("Photo") : nullptr;
    const PlistArray* entries = photos != nullptr ? photos->Array() : nullptr;
    if (entries == nullptr) return read;
    for (const CDicValueObj& entry : *entries) {
        if (read.assetIds.size() == kMaxManifestAssets) break;
        if (std::optional<std::string> id = entry.GetString("AssetID"); id && !id->empty())
            read.assetIds.push_back(std::move(*id));
    }
    return read;
}

SyncMessage ReadSyncMessageBytes(const void* bytes, size_t length) {
    CDicValueObj tree;
    if (bytes != nullptr && length > 0 && length <= kPlistMaxInputBytes)
        readPlistFromByteArry(bytes, static_cast<int>(length), tree, 0);
    return ReadSyncMessage(tree);
}

void SetPhotoSyncTimeLimit(std::chrono::milliseconds limit) {
    TimeLimitMs().store(limit.count());
}

std::chrono::milliseconds PhotoSyncTimeLimit() {
    return std::chrono::milliseconds(TimeLimitMs().load());
}

std::mutex& CiMobileSync::Mutex() {
    static std::mutex* mutex = new std::mutex;  // outlives every thread that may still use it
    return *mutex;
}

CiMobileSync& CiMobileSync::Instance() {
    static CiMobileSync* instance = nullptr;
    std::lock_guard<std::mutex> lock(Mutex());
    if (instance == nullptr) instance = new CiMobileSync;
    return *instance;
}

void CiMobileSync::RegisterHandlers(std::array<Handler, 4> handlers, EndHandler onEnd) {
    std::lock_guard<std::mutex> lock(Mutex());
    handlers_ = std::move(handlers);
    onEnd_ = std::move(onEnd);
}

std::chrono::steady_clock::time_point CiMobileSync::lastActivity() const {
    return std::chrono::steady_clock::time_point(
        std::chrono::steady_clock::duration(lastActivityTicks_.load()));
}

void CiMobileSync::NoteActivity() {
    lastActivityTicks_.store(Ticks(std::chrono::steady_clock::now()));
}

bool CiMobileSync::Start(CIPhone& device) {
    if (!RuntimeLoaded() || LoadAirTrafficHost() == nullptr) return false;
    const RuntimeTable& runtime = Runtime();
    // Each run has a connection of its own (see CPhotoSync), so nothing of an earlier run counts.
    device_ = &device;
    syncAllowed_.store(false);
    lastFinishedStage_.store(0.0f);
    currentStage_.store(kStageNone);
    stop_.store(false);
    NoteActivity();

    hostVersion_ = SyncHostVersion();
    deviceId_ = device.CachedValue("UniqueDeviceID").value_or("");
    if (deviceId_.empty()) deviceId_ = device.udid;
    const CFString versionText = MakeCFString(hostVersion_);
    const CFString identifierText = MakeCFString(deviceId_);
    rt::ATHostConnectionRef connection =
        runtime.ATHostConnectionCreateWithLibrary(versionText.get(), identifierText.get(), nullptr);
    if (connection == nullptr) return false;
    std::fputs("\nCall:ATHostConnectionSendPowerAssertion \n", stderr);
    if (runtime.ATHostConnectionSendPowerAssertion(connection, runtime.kCFBooleanTrue) != 0 ||
        runtime.ATHostConnectionRetain(connection) != 0) {
        runtime.ATHostConnectionInvalidate(connection);
        runtime.ATHostConnectionRelease(connection);
        return false;
    }
    connection_.store(connection);

    // The connection's library identifier and the host's version are the same text.
    const CFOwned<rt::CFMutableDictionaryRef> hostInfo =
        MakeSyncHostInfo(versionText.get(), versionText.get(), {});
    std::fputs("\nCall:ATHostConnectionSendHostInfo \n", stderr);
    if (!hostInfo || runtime.ATHostConnectionSendHostInfo(connection, hostInfo.get()) != 0) {
        CloseConnection();
        return false;
    }
    liveThreads_.fetch_add(1);
    reader_ = std::thread([this] {
        ReadMessages();
        liveThreads_.fetch_sub(1);
    });
    return true;
}

void CiMobileSync::CloseConnection() {
    // Handlers send under the mutex: the connection is never released under a send.
    std::lock_guard<std::mutex> lock(Mutex());
    rt::ATHostConnectionRef connection = connection_.exchange(nullptr);
    if (connection == nullptr) return;
    const RuntimeTable& runtime = Runtime();
    runtime.ATHostConnectionInvalidate(connection);
    // Two references: the one the connection was made with and the one Retain added.
    runtime.ATHostConnectionRelease(connection);
    runtime.ATHostConnectionRelease(connection);
}

void CiMobileSync::End() {
    stop_.store(true);
    if (reader_.joinable()) reader_.join();
    std::vector<std::thread> threads;
    {
        std::lock_guard<std::mutex> lock(threadsMutex_);
        threads.swap(handlerThreads_);
    }
    for (std::thread& thread : threads)
        thread.join();
    CloseConnection();
    std::lock_guard<std::mutex> lock(Mutex());
    handlers_ = {};
    onEnd_ = nullptr;
    device_ = nullptr;
}

void CiMobileSync::RunOnThread(std::function<void()> work) {
    std::lock_guard<std::mutex> lock(threadsMutex_);
    liveThreads_.fetch_add(1);
    handlerThreads_.emplace_back([this, work = std::move(work)] {
        work();
        liveThreads_.fetch_sub(1);
    });
}

void CiMobileSync::ReadMessages() {
    const RuntimeTable& runtime = Runtime();
    while (!stop_.load()) {
        rt::ATHostConnectionRef connection = connection_.load();
        if (connection == nullptr) break;
        if (rt::CFDictionaryRef message = runtime.ATHostConnectionReadMessage(connection)) {
            const CFOwned<rt::CFDictionaryRef> owned(message);
            NoteActivity();
            // The message is read from its property-list form: the runtime's typed getters
            // crash on a value of the wrong type, and a device may send anything.
            const CFOwned<rt::CFDataRef> xml(runtime.CFPropertyListCreateXMLData(nullptr, message));
            if (xml) {
                Dispatch(ReadSyncMessageBytes(runtime.CFDataGetBytePtr(xml.get()),
                                              static_cast<size_t>(std::max<rt::CFIndex>(
                                                  runtime.CFDataGetLength(xml.get()), 0))));
            }
        }
        platform::Sleep(kReadPauseMs);
    }
}

void CiMobileSync::Dispatch(const SyncMessage& message) {
    int handler = -1;
    Handler work;
    EndHandler onEnd;
    SyncOutcome outcome = SyncOutcome::kNone;
    {
        // Under the mutex: a handler sets its finished stage inside the section in which it
        // sends, so the device's answer to that send is judged by the stage the send reached.
        std::lock_guard<std::mutex> lock(Mutex());
        lastMessage_ = message;
        const float finished = lastFinishedStage_.load();
        if (message.name == "SyncAllowed") {
            currentStage_.store(kStageSyncAllowed);
            syncAllowed_.store(true);
            if (finished == 0.0f) handler = 0;
        } else if (message.name == "ReadyForSync") {
            currentStage_.store(kStageReadyForSync);
            if (finished == 1.0f) handler = 1;
        } else if (message.name == "AssetManifest") {
            currentStage_.store(kStageAssetManifest);
            if (finished != 4.0f) handler = 2;
        } else if (message.name == "SyncFinished") {
            currentStage_.store(kStageSyncFinished);
            handler = 3;
        } else if (message.name == "ConnectionInvalid") {
            currentStage_.store(kStageNone);
            onEnd = onEnd_;
            outcome = SyncOutcome::kDeviceLeft;
        } else if (message.name == "SyncFailed") {
            // A device that said no sends nothing more on this sync: waiting for it until the
            // time limit would only keep the host's call hanging, so the run ends here.
            onEnd = onEnd_;
            outcome = SyncOutcome::kRefused;
        }
        if (handler >= 0) work = handlers_[static_cast<size_t>(handler)];
    }
    if (outcome == SyncOutcome::kDeviceLeft) CloseConnection();
    if (outcome != SyncOutcome::kNone) {
        if (onEnd) onEnd(outcome);
        return;
    }
    // A stage whose handler is not registered does nothing.
    if (!work) return;
    RunOnThread([work = std::move(work), message] { work(message); });
}

}  // namespace bw

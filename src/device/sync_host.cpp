#include "device/sync_host.h"

#include <algorithm>
#include <atomic>
#include <mutex>
#include <thread>

#include "device/runtime.h"
#include "device/runtime_values.h"
#include "formats/plist_library.h"
#include "platform/environment.h"
#include "platform/process.h"
#include "platform/text.h"

namespace bw {
namespace {

constexpr unsigned kPassPauseMs = 100;

struct SyncHostState {
    std::mutex mutex;  // guards thread and handler against a second start
    std::thread thread;
    AssetMetricsHandler handler = nullptr;
    std::atomic<int64_t> timeLimitMs{kSyncHostTimeLimit.count()};
};

SyncHostState& State() {
    static SyncHostState* state = new SyncHostState;
    return *state;
}

// One message: true when the loop ends. Messages without "Command" are skipped; a link that
// died ("connectioninvalid") ends the connection at once rather than at the time limit.
bool HandleMessage(CIPhone& phone, rt::CFDictionaryRef message, AssetMetricsHandler handler) {
    const RuntimeTable& runtime = Runtime();
    const CFString command = MakeCFString("Command");
    if (!runtime.CFDictionaryContainsKey(message, command.get())) return false;
    const std::string name = AsciiLower(CFStringToWString(runtime.ATCFMessageGetName(message)));
    if (name == "connectioninvalid") {
        EndSyncHost(phone);
        return true;
    }
    if (name != "assetmetrics" || handler == nullptr) return false;
    const CFOwned<rt::CFDataRef> xml(runtime.CFPropertyListCreateXMLData(nullptr, message));
    if (!xml) return false;
    const rt::CFIndex length = runtime.CFDataGetLength(xml.get());
    const rt::UInt8* bytes = runtime.CFDataGetBytePtr(xml.get());
    CDicValueObj tree;
    if (bytes != nullptr && length > 0 && length <= static_cast<rt::CFIndex>(kPlistMaxInputBytes)) {
        readPlistFromByteArry(bytes, static_cast<int>(length), tree, 0);
    }
    return handler(tree);
}

void RunMessageThread(CIPhone* phone, AssetMetricsHandler handler,
                      std::chrono::milliseconds limit) {
    const RuntimeTable& runtime = Runtime();
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (rt::ATHostConnectionRef connection = phone->syncHost.load()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            EndSyncHost(*phone);
            break;
        }
        if (rt::CFDictionaryRef message = runtime.ATHostConnectionReadMessage(connection)) {
            const CFOwned<rt::CFDictionaryRef> owned(message);
            if (HandleMessage(*phone, message, handler)) break;
        }
        platform::Sleep(kPassPauseMs);
    }
}

}  // namespace

std::string SyncHostVersion() {
    std::string version = GetFileVersionString(GetITunesFolder() + "\\iTunes.dll");
    return version.empty() ? kDefaultSyncHostVersion : version;
}

CFOwned<rt::CFMutableDictionaryRef> MakeSyncHostInfo(rt::CFStringRef libraryId,
                                                     rt::CFStringRef version,
                                                     const std::vector<std::string>& dataclasses) {
    const RuntimeTable& runtime = Runtime();
    if (!RuntimeLoaded()) return {};
    CFOwned<rt::CFMutableDictionaryRef> hostInfo(
        runtime.CFDictionaryCreateMutable(nullptr, 0, runtime.kCFTypeDictionaryKeyCallBacks,
                                          runtime.kCFTypeDictionaryValueCallBacks));
    const CFOwned<rt::CFMutableArrayRef> names(
        runtime.CFArrayCreateMutable(nullptr, 0, runtime.kCFTypeArrayCallBacks));
    if (!hostInfo || !names) return {};
    for (const std::string& dataclass : dataclasses) {
        const CFString name = MakeCFString(dataclass);
        if (name) runtime.CFArrayAppendValue(names.get(), name.get());
    }
    const CFString hostName = MakeCFString(platform::ComputerName(kSyncHostNameLength));
    const CFString libraryKey = MakeCFString("LibraryID");
    const CFString hostNameKey = MakeCFString("SyncHostName");
    const CFString dataclassesKey = MakeCFString("SyncedDataclasses");
    const CFString versionKey = MakeCFString("Version");
    runtime.CFDictionarySetValue(hostInfo.get(), libraryKey.get(), libraryId);
    runtime.CFDictionarySetValue(hostInfo.get(), hostNameKey.get(), hostName.get());
    runtime.CFDictionarySetValue(hostInfo.get(), dataclassesKey.get(), names.get());
    runtime.CFDictionarySetValue(hostInfo.get(), versionKey.get(), version);
    return hostInfo;
}

bool EndSyncHost(CIPhone& phone) {
    rt::ATHostConnectionRef connection = phone.syncHost.exchange(nullptr);
    if (connection == nullptr) return false;
    const RuntimeTable& runtime = Runtime();
    runtime.ATHostConnectionInvalidate(connection);
    // The start holds two references: the one the connection was made with and Retain's.
    runtime.ATHostConnectionRelease(connection);
    runtime.ATHostConnectionRelease(connection);
    return true;
}

void JoinSyncHostThread() {
    SyncHostState& state = State();
    std::lock_guard<std::mutex> lock(state.mutex);
    if (state.thread.joinable()) state.thread.join();
}

void SetSyncHostTimeLimit(std::chrono::milliseconds limit) {
    State().timeLimitMs.store(limit.count());
}

bool CIPhone::StartSyncHost(AssetMetricsHandler handler) {
    if (!RuntimeLoaded() || LoadAirTrafficHost() == nullptr) return false;
    SyncHostState& state = State();
    std::lock_guard<std::mutex> lock(state.mutex);
    // One sync host per process: the thread of an earlier start has ended before a new one.
    if (state.thread.joinable()) state.thread.join();
    state.handler = handler;

    const RuntimeTable& runtime = Runtime();
    const std::string version = SyncHostVersion();
    // The cache holds the identifier once the device information was read; until then the one
    // read when the device was opened is the same value.
    std::string identifier = CachedValue("UniqueDeviceID").value_or("");
    if (identifier.empty()) identifier = udid;
    const CFString versionText = MakeCFString(version);
    const CFString identifierText = MakeCFString(identifier);
    rt::ATHostConnectionRef connection =
        runtime.ATHostConnectionCreateWithLibrary(versionText.get(), identifierText.get(), nullptr);
    if (connection == nullptr) return false;
    if (runtime.ATHostConnectionSendPowerAssertion(connection, runtime.kCFBooleanTrue) != 0) {
        runtime.ATHostConnectionInvalidate(connection);
        runtime.ATHostConnectionRelease(connection);
        return false;
    }
    if (runtime.ATHostConnectionRetain(connection) != 0) {
        runtime.ATHostConnectionInvalidate(connection);
        runtime.ATHostConnectionRelease(connection);
        return false;
    }
    syncHost.store(connection);

    const CFOwned<rt::CFMutableDictionaryRef> hostInfo =
        MakeSyncHostInfo(versionText.get(), versionText.get(), {});
    if (!hostInfo) {
        EndSyncHost(*this);
        return false;
    }
    if (runtime.ATHostConnectionSendHostInfo(connection, hostInfo.get()) != 0) {
        EndSyncHost(*this);
        return false;
    }
    state.thread = std::thread(RunMessageThread, this, handler,
                               std::chrono::milliseconds(state.timeLimitMs.load()));
    return true;
}

}  // namespace bw
